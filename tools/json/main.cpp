// json: validates, pretty-prints and key-sorts JSON with the project's codec.
//
// Exit status: 0 success, 1 the text is not accepted (error trace on standard error, one error
// a line, innermost first), 2 the input cannot be read or the command line is wrong.

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/json.h"

namespace {

constexpr const char* kUsage =
    "usage: json [--fragment] [--pretty] [--sort-keys] [--max-depth N] [--check] [--] [FILE|-]\n"
    "       json -h | --help\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "json: %s\n%s", message.c_str(), kUsage);
  return 2;
}

bool readAll(std::FILE* f, std::string& out) {
  // A regular file is read into space of its size, not grown and copied as it comes.
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return !std::ferror(f);
}

}  // namespace

int main(int argc, char** argv) {
  bool fragment = false, pretty = false, sortKeys = false, check = false;
  std::uint64_t maxDepth = 512;
  const char* path = nullptr;
  bool endOfOptions = false;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        endOfOptions = true;
      } else if (arg == "--fragment") {
        fragment = true;
      } else if (arg == "--pretty") {
        pretty = true;
      } else if (arg == "--sort-keys") {
        sortKeys = true;
      } else if (arg == "--check") {
        check = true;
      } else if (arg == "--max-depth" || arg.starts_with("--max-depth=")) {
        std::string_view value;
        if (arg == "--max-depth") {
          if (i + 1 >= argc) return usageError("--max-depth needs a number");
          value = argv[++i];
        } else {
          value = arg.substr(std::strlen("--max-depth="));
        }
        auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), maxDepth);
        if (ec != std::errc() || ptr != value.data() + value.size() || value.empty())
          return usageError("--max-depth needs a number, not '" + std::string(value) + "'");
      } else if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      } else {
        return usageError("unknown option '" + std::string(arg) + "'");
      }
    } else {
      if (path) return usageError("only one input file");
      path = argv[i];
    }
  }

  std::string text;
  if (!path || std::string_view(path) == "-") {
    if (!readAll(stdin, text)) {
      std::fprintf(stderr, "json: cannot read standard input: %s\n", std::strerror(errno));
      return 2;
    }
  } else {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
      std::fprintf(stderr, "json: cannot read %s: %s\n", path, std::strerror(errno));
      return 2;
    }
    bool ok = readAll(f, text);
    int err = errno;
    std::fclose(f);
    if (!ok) {
      std::fprintf(stderr, "json: cannot read %s: %s\n", path, std::strerror(err));
      return 2;
    }
  }

  est::LxJSON json;
  json.setMaxDepth(maxDepth);
  json.setHumanReadable(pretty);
  json.setSortKeys(sortKeys);

  std::optional<est::Json> value = json.objectWithString(text, fragment, nullptr);
  if (!value) {
    std::fputs(est::formatErrorTraceLines(json.errorTrace()).c_str(), stderr);
    return 1;
  }
  // Done: the process ends without giving the tree back block by block.
  if (check) std::_Exit(0);

  std::optional<std::string> out = json.stringWithObject(*value, fragment, nullptr);
  if (!out) {
    std::fputs(est::formatErrorTraceLines(json.errorTrace()).c_str(), stderr);
    return 1;
  }
  out->push_back('\n');
  if (std::fwrite(out->data(), 1, out->size(), stdout) != out->size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "json: cannot write standard output: %s\n", std::strerror(errno));
    return 2;
  }
  std::_Exit(0);
}
