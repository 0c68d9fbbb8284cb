#include "http/request_files.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <cstdlib>

#include "http/http_errors.h"
#include "platform/format.h"

namespace est {

namespace {

// Work files live in a folder only we can enter: no other local user reads a partial body or
// plants a link where one is about to be written. Empty when no such folder can be had.
std::string privateTemporaryDirectory() {
  std::string dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    dir = std::string(runtime) + "/est-http";
  } else {
    const char* t = std::getenv("TMPDIR");
    dir = strprintf("%s/est-http-%u", t && *t ? t : "/tmp", static_cast<unsigned>(::getuid()));
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
      (st.st_mode & 077) != 0)
    return {};
  return dir;
}

}  // namespace

std::string makeTemporaryPath() {
  std::string dir = privateTemporaryDirectory();
  if (dir.empty()) return {};
  for (int attempt = 0; attempt < 8; ++attempt) {
    unsigned long long random[2] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return {};
    std::string path = strprintf("%s/%016llx%016llx", dir.c_str(), random[0], random[1]);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isSymbolicLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void removeFileQuietly(const std::string& path) {
  if (!path.empty()) ::unlink(path.c_str());
}

Error fileAttributesError(const std::string& path) {
  return makeRequestError(
      FileManagementError,
      strprintf("Failed to get attributes for file at path '%s'", path.c_str()));
}

Error fileReadError(const std::string& path) {
  return makeRequestError(FileManagementError,
                          strprintf("Failed to read file at path '%s'", path.c_str()));
}

Error fileWriteError(const std::string& path) {
  return makeRequestError(FileManagementError,
                          strprintf("Failed to write to file at path '%s'", path.c_str()));
}

}  // namespace est
