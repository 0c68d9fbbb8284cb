#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/data.h"
#include "platform/error.h"

namespace est {

class HTTPRequest;
class RequestBody;

// A request body (bytes in memory, a file, or a RequestBody) read in pieces no larger than the
// shared bandwidth account allows; after every read the request holds its transfer back while the
// account is spent. Reads of all such streams are serialised by one class-wide lock.
class ThrottledInputStream {
 public:
  // Nothing when the file cannot be opened (`error` says why).
  static std::unique_ptr<ThrottledInputStream> inputStreamWithFileAtPath(const std::string& path,
                                                                         HTTPRequest* request,
                                                                         Error* error = nullptr);
  static std::unique_ptr<ThrottledInputStream> inputStreamWithData(Data data, HTTPRequest* request);
  // The bytes are not copied: they must outlive the stream.
  static std::unique_ptr<ThrottledInputStream> inputStreamWithBytes(
      std::span<const std::uint8_t> bytes, HTTPRequest* request);
  // Reads `body` from where it stands.
  static std::unique_ptr<ThrottledInputStream> inputStreamWithBody(
      std::shared_ptr<RequestBody> body, HTTPRequest* request);
  ~ThrottledInputStream();
  ThrottledInputStream(const ThrottledInputStream&) = delete;
  ThrottledInputStream& operator=(const ThrottledInputStream&) = delete;

  // Reads at least 1 byte when any remain and never more than `maxLength` nor than the
  // account allows now. Returns the count, 0 at the end, -1 on a read error.
  long read(std::uint8_t* buffer, size_t maxLength);
  bool hasBytesAvailable() const;
  void close();

 private:
  ThrottledInputStream() = default;
  long readWrapped(std::uint8_t* buffer, size_t length);

  HTTPRequest* request_ = nullptr;
  Data owned_;
  std::span<const std::uint8_t> bytes_;
  size_t offset_ = 0;
  std::shared_ptr<RequestBody> body_;
  int fd_ = -1;
  bool atEnd_ = false;
  static std::mutex readLock;
};

}  // namespace est
