#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/log.h"

namespace est {
namespace fs = std::filesystem;

namespace {

std::mutex hookMutex;
FileFaultHook faultHook;

// Non-zero (with errno set) when the seam asks `operation` to fail.
int injectedFault(std::string_view operation, const fs::path& path) {
  FileFaultHook hook;
  {
    std::lock_guard lock(hookMutex);
    hook = faultHook;
  }
  int err = hook ? hook(operation, path) : 0;
  if (err != 0) errno = err;
  return err;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result: on some file systems close() is where a write fails.
  int close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

fs::path folderOf(const fs::path& path) {
  fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

bool fsyncFolder(const fs::path& folder, Error* error) {
  FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    Error::assign(error, posixError(errno, "open folder", folder));
    return false;
  }
  // Some file systems cannot sync a folder; the rename is as durable as they allow.
  if ((injectedFault("sync folder", folder) != 0 || ::fsync(dir.get()) != 0) && errno != EINVAL &&
      errno != EROFS) {
    Error::assign(error, posixError(errno, "sync folder", folder));
    return false;
  }
  return true;
}

// Renames without replacing: a moved-aside file must never land on an earlier one.
int renameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

}  // namespace

bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

Error posixError(int err, std::string_view what, const fs::path& path) {
  return Error(kPOSIXErrorDomain, err,
               strprintf("%.*s %s: %s", static_cast<int>(what.size()), what.data(), path.c_str(),
                         std::strerror(err)));
}

std::optional<Data> readFile(const fs::path& path, Error* error, size_t maxSize) {
  FileDescriptor fd(injectedFault("open", path) ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    Error::assign(error, posixError(errno, "open", path));
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    Error::assign(error, posixError(errno, "stat", path));
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    Error::assign(error, posixError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "read", path));
    return std::nullopt;
  }
  Data out;
  out.reserve(static_cast<size_t>(std::min<off_t>(st.st_size, static_cast<off_t>(maxSize))));
  char buf[16384];
  for (;;) {
    ssize_t r = injectedFault("read", path) ? -1 : ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      Error::assign(error, posixError(errno, "read", path));
      return std::nullopt;
    }
    if (r == 0) break;
    if (out.size() + static_cast<size_t>(r) > maxSize) {
      Error::assign(error, posixError(EFBIG, "read", path));
      return std::nullopt;
    }
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

bool writeFileAtomically(const fs::path& path, std::string_view bytes, Error* error) {
  fs::path folder = folderOf(path);
  std::string pattern = (folder / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    Error::assign(error, posixError(errno, "create temporary file for", path));
    return false;
  }
  const fs::path temp = pattern;
  auto fail = [&](const char* what, const fs::path& about) {
    int err = errno;
    ::unlink(temp.c_str());
    Error::assign(error, posixError(err, what, about));
    return false;
  };
  if (!writeAll(fd.get(), bytes.data(), bytes.size())) return fail("write", temp);
  if (::fsync(fd.get()) != 0) return fail("sync", temp);
  if (fd.close() != 0) return fail("close", temp);
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail("rename over", path);
  return fsyncFolder(folder, error);
}

bool writeFileAtomically(const fs::path& path, const Data& bytes, Error* error) {
  return writeFileAtomically(
      path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

std::optional<fs::path> moveAsideCorrupt(const fs::path& path, Error* error) {
  LocalTime t = toLocal(Clock::current().now());
  std::string base = strprintf("%s.corrupt-%04d%02d%02d-%02d%02d%02d", path.filename().c_str(),
                               t.year, t.month, t.day, t.hour, t.minute, t.second);
  fs::path folder = folderOf(path);
  for (int n = 1; n < 1000; ++n) {
    fs::path target = folder / (n == 1 ? base : strprintf("%s-%d", base.c_str(), n));
    if (renameNoReplace(path, target) == 0) return target;
    if (errno != EEXIST && errno != ENOTEMPTY) {
      Error::assign(error, posixError(errno, "move aside", path));
      return std::nullopt;
    }
  }
  Error::assign(error, posixError(EEXIST, "move aside", path));
  return std::nullopt;
}

FileLock::FileLock(const fs::path& file) {
  const fs::path lockFile = folderOf(file) / ("." + file.filename().string() + ".lock");
  fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0 && errno == ENOENT && createDirectories(folderOf(file)))
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    ::close(fd_);
    fd_ = -1;
    return;
  }
  const std::string prefix = "." + file.filename().string() + ".tmp-";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folderOf(file), ec)) {
    if (entry.path().filename().string().starts_with(prefix)) fs::remove(entry.path(), ec);
  }
}

FileLock::~FileLock() {
  // Closing the descriptor releases the lock.
  if (fd_ >= 0) ::close(fd_);
}

namespace {
std::mutex unreadableMutex;
std::vector<fs::path> unreadable;
}  // namespace

void noteUnreadableFile(const fs::path& path, const Error& why) {
  logf("%s cannot be read (%s); left as it is and not written this session", path.c_str(),
       why.description.c_str());
  std::lock_guard lock(unreadableMutex);
  if (std::find(unreadable.begin(), unreadable.end(), path) == unreadable.end())
    unreadable.push_back(path);
}

std::vector<fs::path> unreadableFiles() {
  std::lock_guard lock(unreadableMutex);
  return unreadable;
}

void forgetUnreadableFiles() {
  std::lock_guard lock(unreadableMutex);
  unreadable.clear();
}

void setFileFaultHook(FileFaultHook hook) {
  std::lock_guard lock(hookMutex);
  faultHook = std::move(hook);
}

bool createDirectories(const fs::path& dir, Error* error) {
  if (dir.empty()) return true;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    Error::assign(error, posixError(ENOTDIR, "create folder", dir));
    return false;
  }
  fs::path parent = dir.parent_path();
  if (!parent.empty() && parent != dir && !createDirectories(parent, error)) return false;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    Error::assign(error, posixError(errno, "create folder", dir));
    return false;
  }
  return true;
}

}  // namespace est
