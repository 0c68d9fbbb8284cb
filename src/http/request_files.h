#pragma once

// The files a request works with: download and upload work files in a private folder, and
// the POSIX reader and writer that move bodies to and from disk. Internal to the client.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/files.h"

namespace est {

// A new, empty file of our own under a name from the kernel's randomness; empty on failure,
// which makes the later open fail.
std::string makeTemporaryPath();

std::optional<std::uint64_t> fileSize(const std::string& path);
bool fileExists(const std::string& path);
bool isSymbolicLink(const std::string& path);
void removeFileQuietly(const std::string& path);

// The request's file errors (code 8): a body or work file that cannot be measured (or no
// longer measures what it did), read or written.
Error fileAttributesError(const std::string& path);
Error fileReadError(const std::string& path);
Error fileWriteError(const std::string& path);

// POSIX file writer for download files: bodies bound for disk never sit whole in memory.
// A resumed download's path is the caller's choice: a link planted there must not send the
// bytes elsewhere, and what it creates is for its owner alone.
class FileWriter {
 public:
  ~FileWriter() { close(); }
  bool open(const std::string& path, bool append) {
    close();
    fd_ = ::open(path.c_str(),
                 O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : O_TRUNC), 0600);
    return fd_ >= 0;
  }
  int fd() const { return fd_; }
  bool write(const char* p, size_t n) { return writeAll(fd_, p, n); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// POSIX reader for bodies sent from disk.
class FileReader {
 public:
  ~FileReader() { close(); }
  bool open(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
  }
  // Bytes read, 0 at the end, -1 on error.
  long read(char* p, size_t n) {
    for (;;) {
      ssize_t r = ::read(fd_, p, n);
      if (r < 0 && errno == EINTR) continue;
      return static_cast<long>(r);
    }
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace est
