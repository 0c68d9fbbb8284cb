#include "http/request_body.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "http/data_compressor.h"
#include "http/http_errors.h"
#include "http/request_files.h"
#include "platform/files.h"
#include "platform/format.h"

namespace est {

namespace {

constexpr size_t kCompressPiece = 262144;

std::optional<std::uint64_t> regularFileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

RequestBody::~RequestBody() {
  close();
}

void RequestBody::appendBytes(std::string_view bytes) {
  appendBytes(toData(bytes));
}

void RequestBody::appendBytes(const Data& bytes) {
  if (bytes.empty()) return;
  if (parts_.empty() || !parts_.back().path.empty()) parts_.push_back({});
  Part& part = parts_.back();
  part.bytes.insert(part.bytes.end(), bytes.begin(), bytes.end());
  part.size = part.bytes.size();
  length_ += bytes.size();
}

bool RequestBody::appendFile(const std::string& path, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  auto size = fd >= 0 ? regularFileSize(fd) : std::nullopt;
  if (fd >= 0) ::close(fd);
  if (!size) {
    Error::assign(error, fileAttributesError(path));
    return false;
  }
  parts_.push_back({{}, path, *size});
  length_ += *size;
  return true;
}

std::optional<Data> RequestBody::bytesInMemory() const {
  Data all;
  for (const Part& part : parts_) {
    if (!part.path.empty()) return std::nullopt;
    all.insert(all.end(), part.bytes.begin(), part.bytes.end());
  }
  return all;
}

void RequestBody::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RequestBody::rewind() {
  close();
  index_ = 0;
  offset_ = 0;
  failure_.reset();
}

long RequestBody::fail(Error error) {
  close();
  failure_ = std::move(error);
  return -1;
}

bool RequestBody::openFile(const Part& part) {
  fd_ = ::open(part.path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd_ >= 0 && fileStillMatches(part);
}

bool RequestBody::fileStillMatches(const Part& part) const {
  return regularFileSize(fd_) == part.size;
}

long RequestBody::read(char* buffer, size_t maxLength) {
  if (failure_) return -1;
  while (index_ < parts_.size()) {
    const Part& part = parts_[index_];
    bool isFile = !part.path.empty();
    if (isFile && fd_ < 0 && !openFile(part)) return fail(fileAttributesError(part.path));
    std::uint64_t left = part.size - offset_;
    if (left == 0) {
      // A file that grew since it was measured would otherwise lose its tail unnoticed.
      if (isFile && !fileStillMatches(part)) return fail(fileAttributesError(part.path));
      close();
      ++index_;
      offset_ = 0;
      continue;
    }
    size_t n = static_cast<size_t>(std::min<std::uint64_t>(left, maxLength));
    if (n == 0) return 0;
    if (!isFile) {
      std::copy_n(part.bytes.begin() + static_cast<std::ptrdiff_t>(offset_), n, buffer);
      offset_ += n;
      return static_cast<long>(n);
    }
    ssize_t got;
    do {
      got = ::read(fd_, buffer, n);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return fail(fileReadError(part.path));
    // The end came early: the file shrank while it was sent.
    if (got == 0) return fail(fileAttributesError(part.path));
    offset_ += static_cast<std::uint64_t>(got);
    return static_cast<long>(got);
  }
  return 0;
}

bool RequestBody::compressInto(const std::string& path, Error* error) {
  auto compressor = DataCompressor::compressor(error);
  if (!compressor) return false;
  int out = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  auto writeError = fileWriteError(path);
  if (out < 0) {
    Error::assign(error, writeError);
    return false;
  }
  rewind();
  std::vector<char> piece(kCompressPiece);
  bool ok = true;
  for (bool last = false; ok && !last;) {
    long got = read(piece.data(), piece.size());
    if (got < 0) {
      Error::assign(error, *failure_);
      ok = false;
      break;
    }
    last = got == 0;
    auto deflated = compressor->compressBytes(reinterpret_cast<const std::uint8_t*>(piece.data()),
                                              static_cast<size_t>(got), last, error);
    ok = deflated.has_value();
    if (ok && !writeAll(out, reinterpret_cast<const char*>(deflated->data()), deflated->size())) {
      Error::assign(error, writeError);
      ok = false;
    }
  }
  ::close(out);
  rewind();
  return ok && compressor->closeStream(error);
}

}  // namespace est
