#include "platform/device.h"

#include <openssl/rand.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <random>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace est {
namespace fs = std::filesystem;

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// These texts end up in request headers: keep printable ASCII only, so a hostile or odd
// file can neither split a header nor smuggle bytes into it.
std::string printable(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c >= 0x20 && c < 0x7f) out += c;
  return std::string(trim(out));
}

std::string readSmallText(const fs::path& file) {
  auto bytes = readFile(file, nullptr, 64 * 1024);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

}  // namespace

std::string makeUUIDString() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) {
    std::random_device rd;
    for (auto& x : b) x = static_cast<unsigned char>(rd());
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += hex[b[i] >> 4];
    out += hex[b[i] & 0x0f];
  }
  return out;
}

bool isCanonicalUUID(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

std::string loadOrCreateVendorIdentifier(const fs::path& file, Error* error) {
  Error readError;
  auto bytes = readFile(file, &readError, 4096);
  if (bytes) {
    std::string text(
        trim(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
    if (isCanonicalUUID(text)) return text;
  }
  bool missing = !bytes && (readError.code == ENOENT || readError.code == ENOTDIR);
  if (!missing) {
    // Whatever sits there is kept for inspection, never overwritten.
    Error moveError;
    if (auto aside = moveAsideCorrupt(file, &moveError))
      logLine("Vendor identifier file " + file.string() + " is damaged; moved aside to " +
              aside->string());
    else
      logLine("Vendor identifier file " + file.string() +
              " is damaged and cannot be moved aside: " + moveError.description);
  }
  std::string id = makeUUIDString();
  Error writeError;
  if (!createDirectories(file.parent_path(), &writeError) ||
      !writeFileAtomically(file, id + "\n", &writeError)) {
    logLine("Vendor identifier cannot be kept: " + writeError.description);
    Error::assign(error, writeError);
  }
  return id;
}

std::string vendorIdentifier() {
  static std::once_flag once;
  static std::string id;
  std::call_once(once,
                 [] { id = loadOrCreateVendorIdentifier(dataDirectory() / "vendor-identifier"); });
  return id;
}

std::string deviceModel(const fs::path& productNameFile) {
  std::string name = printable(readSmallText(productNameFile));
  return name.empty() ? "Linux" : name;
}

SystemRelease parseOsRelease(std::string_view text) {
  SystemRelease out;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = trim(line);
    size_t eq = line.find('=');
    if (line.empty() || line.front() == '#' || eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq);
    std::string_view raw = line.substr(eq + 1);
    // Shell-style value: optionally quoted, backslash escapes inside double quotes.
    std::string value;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      char quote = raw.front();
      for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
        if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
        value += raw[i];
      }
    } else {
      value = raw;
    }
    if (key == "NAME")
      out.name = printable(value);
    else if (key == "VERSION_ID")
      out.version = printable(value);
  }
  return out;
}

SystemRelease systemRelease(const fs::path& osReleaseFile) {
  std::string text = readSmallText(osReleaseFile);
  // The os-release rules name a second place for the same file.
  if (text.empty() && osReleaseFile == "/etc/os-release")
    text = readSmallText("/usr/lib/os-release");
  SystemRelease r = parseOsRelease(text);
  if (r.name.empty()) r.name = "Linux";
  if (r.version.empty()) {
    struct utsname u;
    if (::uname(&u) == 0) r.version = printable(u.release);
  }
  return r;
}

std::optional<std::string> localeIdentifierFrom(std::string_view value) {
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX") return std::nullopt;
  for (char c : value)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return std::nullopt;
  return std::string(value);
}

std::string localeIdentifier() {
  // The first variable that is set decides, as it does for the C library.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return localeIdentifierFrom(v).value_or("en_US");
  }
  return "en_US";
}

}  // namespace est
