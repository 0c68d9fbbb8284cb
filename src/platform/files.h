#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"

namespace est {

// Domain of errors that carry an errno value as their code.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// An Error for `err` (an errno value) while doing `what` on `path`.
Error posixError(int err, std::string_view what, const std::filesystem::path& path);

// Writes all `n` bytes to `fd`, going on after interrupted and short writes.
bool writeAll(int fd, const char* p, size_t n);

// Reads a whole regular file. Fails (nothing, error set) when it is missing, is not a regular
// file, cannot be read or is larger than `maxSize` bytes.
std::optional<Data> readFile(const std::filesystem::path& path, Error* error = nullptr,
                             size_t maxSize = size_t(256) << 20);

// Replaces `path` with `bytes` so that a crash or a full disk at any moment leaves either the
// old file or the new one, never a mix: the bytes go to a temporary file in the same folder,
// which is flushed to disk and renamed over `path`; then the folder itself is flushed. The new
// file is readable by its owner only. On failure the old file is untouched and the temporary
// file is gone. A folder that cannot be flushed after the rename is a failure too: the new
// bytes are in place but may not survive a power cut.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         Error* error = nullptr);
bool writeFileAtomically(const std::filesystem::path& path, const Data& bytes,
                         Error* error = nullptr);

// Moves a file that cannot be used out of the way without destroying it, as
// "<name>.corrupt-YYYYMMDD-HHMMSS" (local time of Clock::current()) in the same folder, with
// "-2", "-3", ... added when that name is taken. Returns the new path, or nothing when the
// file could not be moved.
std::optional<std::filesystem::path> moveAsideCorrupt(const std::filesystem::path& path,
                                                      Error* error = nullptr);

// Creates `dir` and its missing parents (mode 0700 for the ones created here).
bool createDirectories(const std::filesystem::path& dir, Error* error = nullptr);

// Holds an advisory lock (flock) on "<folder>/.<name>.lock" while alive. Every writer of a
// store takes it around its read-change-replace, so two processes that ever meet take turns
// instead of writing over each other. Blocks until the lock is free; when the lock file cannot
// be made at all, nothing is held (the store's own read or write reports that problem).
// Once held, temporary files that an earlier writer killed half-way left for `file` are
// removed: no writer of it can be at work.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& file);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Files that exist but could not be reached or read in this process. Such a file is not damage:
// nothing moved it or wrote over it, and the store it belongs to works from memory until the
// next start. The application tells the user once.
void noteUnreadableFile(const std::filesystem::path& path, const Error& why);
std::vector<std::filesystem::path> unreadableFiles();
void forgetUnreadableFiles();  // tests

// Test seam for faults the disk rarely shows on demand: called before the system calls made by
// readFile ("open", "read") and writeFileAtomically ("sync folder"); a non-zero result is taken
// as that call failing with that errno. Empty (the default) injects nothing.
using FileFaultHook =
    std::function<int(std::string_view operation, const std::filesystem::path& path)>;
void setFileFaultHook(FileFaultHook hook);

}  // namespace est
