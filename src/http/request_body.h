#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"

namespace est {

// A request body put together from pieces: bytes held here, and files read only while the
// body goes out, so an attachment is never copied whole to memory or disk. The length is
// known before the first byte is sent. A file that no longer has the size it had when it was
// added fails the read: the body never goes out shorter or longer than announced.
class RequestBody {
 public:
  RequestBody() = default;
  ~RequestBody();
  RequestBody(const RequestBody&) = delete;
  RequestBody& operator=(const RequestBody&) = delete;

  void appendBytes(std::string_view bytes);
  void appendBytes(const Data& bytes);
  // False (and `error`) when `path` names no regular file whose size can be read.
  bool appendFile(const std::string& path, Error* error = nullptr);

  std::uint64_t length() const { return length_; }
  // The whole body, when no part of it is a file.
  std::optional<Data> bytesInMemory() const;

  // Reading starts over at every attempt.
  void rewind();
  // Copies up to `maxLength` bytes: the count, 0 at the end, -1 when a file cannot be read
  // as it was (`failure` says why, with a file-management error of the HTTP client).
  long read(char* buffer, size_t maxLength);
  bool atEnd() const { return index_ >= parts_.size(); }
  const std::optional<Error>& failure() const { return failure_; }
  // Lets go of an open file; the next read starts over.
  void close();

  // Writes the body gzip-compressed to `path` (an existing work file, overwritten).
  bool compressInto(const std::string& path, Error* error);

 private:
  struct Part {
    Data bytes;
    std::string path;  // empty for bytes
    std::uint64_t size = 0;
  };
  long fail(Error error);
  bool openFile(const Part& part);
  bool fileStillMatches(const Part& part) const;

  std::vector<Part> parts_;
  std::uint64_t length_ = 0;
  size_t index_ = 0;
  std::uint64_t offset_ = 0;
  int fd_ = -1;
  std::optional<Error> failure_;
};

}  // namespace est
