#include "http/download_destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <vector>

#include "http/http_errors.h"
#include "platform/files.h"
#include "platform/format.h"

namespace est {

namespace fs = std::filesystem;

namespace {

Error moveError(const std::string& from, const std::string& to) {
  return makeRequestError(FileManagementError, strprintf("Failed to move file from '%s' to '%s'",
                                                         from.c_str(), to.c_str()));
}

// The path a chain of symbolic links leads to (the link's own path when it cannot be read).
std::string followLinks(const std::string& path) {
  fs::path p = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec)) || ec) break;
    fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return p.string();
}

bool copyBytes(int in, int out) {
  std::vector<char> piece(65536);
  for (;;) {
    ssize_t got = ::read(in, piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!writeAll(out, piece.data(), static_cast<size_t>(got))) return false;
  }
}

// Writes into what already stands at `to` (a device, a FIFO). A FIFO nobody reads fails at
// once instead of holding the network thread.
bool writeInPlace(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(to.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  bool ok = out >= 0;
  if (ok) {
    int flags = ::fcntl(out, F_GETFL);
    ok = flags >= 0 && ::fcntl(out, F_SETFL, flags & ~O_NONBLOCK) == 0 && copyBytes(in, out);
    ok = ::close(out) == 0 && ok;
  }
  ::close(in);
  return ok;
}

std::string siblingTemporaryPath(const std::string& to) {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  fs::path p = to;
  return (p.parent_path() / strprintf(".%s.%016llx.part", p.filename().c_str(),
                                      static_cast<unsigned long long>(rng())))
      .string();
}

// Replaces a regular file (or nothing) at `to` in one rename. A work file on another file
// system is copied next to the destination first, so the rename stays atomic.
bool replaceRegular(const std::string& from, const std::string& to, bool keepSource) {
  // Work files are private (0600); the file they become is as readable as a copy would be.
  if (!keepSource && ::chmod(from.c_str(), 0644) == 0 && ::rename(from.c_str(), to.c_str()) == 0)
    return true;
  if (!keepSource && errno != EXDEV) return false;
  std::string sibling = siblingTemporaryPath(to);
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = ::open(sibling.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool ok = out >= 0 && copyBytes(in, out);
  if (out >= 0) ok = ::close(out) == 0 && ok;
  ::close(in);
  if (ok) ok = ::rename(sibling.c_str(), to.c_str()) == 0;
  if (!ok) {
    ::unlink(sibling.c_str());
    return false;
  }
  if (!keepSource) ::unlink(from.c_str());
  return true;
}

std::optional<Error> place(const std::string& from, const std::string& destination,
                           bool keepSource) {
  std::string to = followLinks(destination);
  struct stat st {};
  bool exists = ::stat(to.c_str(), &st) == 0;
  bool ok;
  if (exists && S_ISDIR(st.st_mode)) {
    ok = false;
  } else if (exists && !S_ISREG(st.st_mode)) {
    ok = writeInPlace(from, to);
    if (!keepSource) ::unlink(from.c_str());
  } else {
    ok = replaceRegular(from, to, keepSource);
  }
  if (ok) return std::nullopt;
  return moveError(from, destination);
}

}  // namespace

std::optional<Error> placeDownloadedFile(const std::string& from, const std::string& destination) {
  return place(from, destination, false);
}

std::optional<Error> copyToDestination(const std::string& from, const std::string& destination) {
  return place(from, destination, true);
}

}  // namespace est
