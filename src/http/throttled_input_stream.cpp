#include "http/throttled_input_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "http/http_request.h"
#include "http/request_body.h"
#include "platform/files.h"

namespace est {

std::mutex ThrottledInputStream::readLock;

std::unique_ptr<ThrottledInputStream> ThrottledInputStream::inputStreamWithFileAtPath(
    const std::string& path, HTTPRequest* request, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Error::assign(error, posixError(errno, "open", path));
    return nullptr;
  }
  std::unique_ptr<ThrottledInputStream> stream(new ThrottledInputStream);
  stream->fd_ = fd;
  stream->request_ = request;
  return stream;
}

std::unique_ptr<ThrottledInputStream> ThrottledInputStream::inputStreamWithData(
    Data data, HTTPRequest* request) {
  std::unique_ptr<ThrottledInputStream> stream(new ThrottledInputStream);
  stream->owned_ = std::move(data);
  stream->bytes_ = stream->owned_;
  stream->request_ = request;
  return stream;
}

std::unique_ptr<ThrottledInputStream> ThrottledInputStream::inputStreamWithBytes(
    std::span<const std::uint8_t> bytes, HTTPRequest* request) {
  std::unique_ptr<ThrottledInputStream> stream(new ThrottledInputStream);
  stream->bytes_ = bytes;
  stream->request_ = request;
  return stream;
}

std::unique_ptr<ThrottledInputStream> ThrottledInputStream::inputStreamWithBody(
    std::shared_ptr<RequestBody> body, HTTPRequest* request) {
  std::unique_ptr<ThrottledInputStream> stream(new ThrottledInputStream);
  stream->body_ = std::move(body);
  stream->request_ = request;
  return stream;
}

ThrottledInputStream::~ThrottledInputStream() {
  close();
}

void ThrottledInputStream::close() {
  if (body_) body_->close();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ThrottledInputStream::hasBytesAvailable() const {
  if (body_) return !body_->atEnd();
  if (fd_ >= 0) return !atEnd_;
  return offset_ < bytes_.size();
}

long ThrottledInputStream::readWrapped(std::uint8_t* buffer, size_t length) {
  if (body_) return body_->read(reinterpret_cast<char*>(buffer), length);
  if (fd_ < 0) {
    size_t n = std::min(length, bytes_.size() - offset_);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_), n, buffer);
    offset_ += n;
    return static_cast<long>(n);
  }
  for (;;) {
    ssize_t r = ::read(fd_, buffer, length);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) atEnd_ = true;
    return static_cast<long>(r);
  }
}

long ThrottledInputStream::read(std::uint8_t* buffer, size_t maxLength) {
  if (maxLength == 0) return 0;
  long got;
  {
    std::lock_guard lock(readLock);
    auto throttle = HTTPRequest::bandwidthThrottle();
    size_t toRead = std::clamp<size_t>(throttle->maxUploadReadLength(), 1, maxLength);
    // What was asked for counts, whether or not the stream had that much left.
    throttle->incrementBandwidthUsedInLastSecond(toRead);
    got = readWrapped(buffer, toRead);
  }
  if (request_) request_->performThrottling();
  return got;
}

}  // namespace est
