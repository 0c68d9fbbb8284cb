#include <fstream>

#include "http/request_body.h"
#include "http/request_engine.h"
#include "http/user_agent.h"
#include "platform/format.h"

namespace est {

namespace {

constexpr size_t kFilePiece = 262144;

}  // namespace

// ---- sending ----

// The request line and headers of this attempt, as they go out.
void HTTPRequest::Impl::composeHead() {
  const Url& url = *r.url_;
  std::string version = r.useHTTPVersionOne_ ? "HTTP/1.0" : "HTTP/1.1";
  std::string target = url.requestTarget();
  if (sendsAbsoluteForm()) target = url.scheme() + "://" + url.hostHeader() + target;
  r.sentRequestLine_ = messageMethod + " " + target + " " + version;
  HeaderMap sent;
  sent.set("Host", url.hostHeader());
  for (auto& [n, v] : messageHeaders) {
    // Proxy credentials are for the proxy that reads this message, or for none.
    if (!sendsAbsoluteForm() && equalsIgnoringCase(n, "Proxy-Authorization")) continue;
    sent.set(n, v);
  }
  if (r.useHTTPVersionOne_ && r.shouldAttemptPersistentConnection_ && !sent.contains("Connection"))
    sent.set("Connection", "keep-alive");
  r.sentRequestHeaders_ = sent;
  head = r.sentRequestLine_ + "\r\n";
  for (auto& [n, v] : sent) head += n + ": " + v + "\r\n";
  head += "\r\n";
}

// A compressed body source went to a work file when the body was built.
std::shared_ptr<RequestBody> HTTPRequest::Impl::bodySource() const {
  return r.shouldCompressRequestBody_ ? nullptr : r.postBodySource_;
}

const Data* HTTPRequest::Impl::memoryBody() const {
  if (r.shouldCompressRequestBody_ && r.compressedPostBody_) return &*r.compressedPostBody_;
  if (r.postBody_ && !r.shouldStreamPostDataFromDisk_ && !r.postBodySource_) return &*r.postBody_;
  return nullptr;
}

std::string HTTPRequest::Impl::bodyFilePath() const {
  if (!r.shouldStreamPostDataFromDisk_ && !r.postBodySource_) return {};
  if (r.shouldCompressRequestBody_ && !r.compressedPostBodyFilePath_.empty())
    return r.compressedPostBodyFilePath_;
  return r.postBodyFilePath_;
}

void HTTPRequest::Impl::startWriting(std::uint64_t gen) {
  headBytesPending = head.size();
  bodyTaken = 0;
  bodyAccepted = bodyHandedOver = 0;
  attemptBodyLength = r.postLength_;
  if (r.postLength_ > 0) {
    r.uploadBufferSize_ = connection->sendBufferSize();
    if (auto source = bodySource()) source->rewind();
    if (globals().throttle->isBandwidthThrottled()) {
      if (!openThrottledBody()) return;
    } else if (!memoryBody() && !bodySource()) {
      std::string path = bodyFilePath();
      if (path.empty() || !bodyFile.open(path)) {
        failWithBodyAttributesError();
        return;
      }
    }
  }
  // The head and the first piece leave together: a small body is one write.
  std::vector<asio::const_buffer> buffers{asio::buffer(head)};
  if (!throttledBody) {
    long got = nextBodyPiece();
    if (got < 0) return;
    if (got > 0) buffers.push_back(asio::buffer(pieceData, static_cast<size_t>(got)));
  }
  write(gen, std::move(buffers));
}

void HTTPRequest::Impl::write(std::uint64_t gen, std::vector<asio::const_buffer> buffers) {
  for (auto& b : buffers) bodyHandedOver += b.size();
  bodyHandedOver -= std::min<std::uint64_t>(bodyHandedOver, headBytesPending);
  outgoing = std::move(buffers);
  writeOutgoing(gen);
}

void HTTPRequest::Impl::writeOutgoing(std::uint64_t gen) {
  auto s = self();
  connection->asyncWriteSome(
      outgoing, [s, gen](net::ErrorCode ec, size_t n) { s->impl_->onWritten(gen, ec, n); });
}

void HTTPRequest::Impl::consumeOutgoing(size_t n) {
  auto it = outgoing.begin();
  while (it != outgoing.end() && n >= it->size()) n -= (it++)->size();
  outgoing.erase(outgoing.begin(), it);
  if (!outgoing.empty() && n > 0) outgoing.front() += n;
  std::erase_if(outgoing, [](const asio::const_buffer& b) { return b.size() == 0; });
}

// The next piece of an unthrottled body into pieceData: its length, 0 at the end, -1
// when the body file cannot be read (the request has failed).
long HTTPRequest::Impl::nextBodyPiece() {
  if (r.postLength_ == 0) return 0;
  if (const Data* body = memoryBody()) {
    std::uint64_t left = body->size() - std::min<std::uint64_t>(body->size(), bodyTaken);
    size_t n = static_cast<size_t>(std::min<std::uint64_t>(left, kUploadPiece));
    pieceData = reinterpret_cast<const char*>(body->data()) + bodyTaken;
    bodyTaken += n;
    return static_cast<long>(n);
  }
  bodyPiece.resize(kUploadPiece);
  pieceData = bodyPiece.data();
  if (auto source = bodySource()) {
    long got = source->read(bodyPiece.data(), bodyPiece.size());
    if (got < 0) failWithBodyReadError();
    return got;
  }
  std::uint64_t left = r.postLength_ - std::min(r.postLength_, bodyTaken);
  if (left == 0) return 0;
  long got = bodyFile.read(bodyPiece.data(),
                           static_cast<size_t>(std::min<std::uint64_t>(left, bodyPiece.size())));
  if (got < 0) {
    failWithBodyReadError();
    return -1;
  }
  bodyTaken += static_cast<std::uint64_t>(got);
  // The length went out in the head: a file that shrank or grew since must not send a
  // different body under it, so the last piece waits until the end is confirmed.
  char beyond;
  if (got == 0 || (bodyTaken == r.postLength_ && bodyFile.read(&beyond, 1) != 0)) {
    failWithBodyAttributesError();
    return -1;
  }
  if (bodyTaken == r.postLength_) bodyFile.close();
  return got;
}

void HTTPRequest::Impl::onWritten(std::uint64_t gen, net::ErrorCode ec, size_t n) {
  std::lock_guard lock(r.cancelledLock_);
  if (!current(gen)) return;
  guarded([&] {
    size_t headPart = static_cast<size_t>(std::min<std::uint64_t>(n, headBytesPending));
    headBytesPending -= headPart;
    bodyAccepted += n - headPart;
    consumeOutgoing(n);
    updateSentCount();
    if (ec) {
      // A reply may already be on its way (a server that answers early and closes); the
      // read side reports what happened once it has seen the reply.
      if (!replyBytesSeen) handleStreamError(ec, net::isTlsError(ec));
      return;
    }
    if (!outgoing.empty()) {
      writeOutgoing(gen);
      return;
    }
    if (throttledBody) {
      if (throttlePaused)
        writeHeld = true;
      else
        writeThrottledPiece(gen);
      return;
    }
    long got = nextBodyPiece();
    if (got < 0) return;
    if (got == 0) {
      requestWritten = true;
      return;
    }
    write(gen, {asio::buffer(pieceData, static_cast<size_t>(got))});
  });
}

// Body bytes the peer has taken: what the connection accepted, less what still waits in
// its send queue, so a slow reader shows as slow progress rather than none.
void HTTPRequest::Impl::updateSentCount() {
  // Nothing new accepted, nothing new sent: spares a GET the send-queue query per write.
  if (bodyAccepted <= r.totalBytesSent_) return;
  std::uint64_t sent = bodyAccepted;
  if (!r.downloadComplete_) {
    // A closed connection says nothing more about what the peer took.
    if (!connection || !connection->isOpen()) return;
    if (auto queued = connection->unsentBytes()) {
      std::uint64_t headSent = head.size() - headBytesPending;
      std::uint64_t written = headSent + bodyAccepted;
      std::uint64_t delivered = written - std::min<std::uint64_t>(written, *queued);
      sent = delivered > headSent ? std::min(bodyAccepted, delivered - headSent) : 0;
    }
  }
  if (sent <= r.totalBytesSent_) return;
  auto grown = static_cast<long long>(sent - r.totalBytesSent_);
  r.totalBytesSent_ = sent;
  reportSent(grown);
  reportOwnUpload();
}

void HTTPRequest::Impl::closeBodyFiles() {
  bodyFile.close();
  if (r.postBodySource_) r.postBodySource_->close();
}

void HTTPRequest::Impl::failWithBodyAttributesError() {
  failWithError(fileAttributesError(bodyFilePath()));
  cancelLoad();
}

void HTTPRequest::Impl::failWithBodyReadError() {
  auto source = bodySource();
  failWithError(source && source->failure() ? *source->failure() : fileReadError(bodyFilePath()));
  cancelLoad();
}

bool HTTPRequest::Impl::openThrottledBody() {
  Error err;
  if (auto source = bodySource()) {
    throttledBody = ThrottledInputStream::inputStreamWithBody(source, &r);
  } else if (const Data* body = memoryBody()) {
    throttledBody = ThrottledInputStream::inputStreamWithBytes(*body, &r);
  } else if (auto path = bodyFilePath(); !path.empty()) {
    throttledBody = ThrottledInputStream::inputStreamWithFileAtPath(path, &r, &err);
    if (!throttledBody) {
      failWithBodyAttributesError();
      return false;
    }
  }
  bodyThroughThrottle = throttledBody != nullptr;
  throttledBodySent = 0;
  return true;
}

// Sends the next piece of a throttled body, as large as the account allows.
void HTTPRequest::Impl::writeThrottledPiece(std::uint64_t gen) {
  if (!throttledBody) return;
  std::uint64_t left = r.postLength_ - std::min(r.postLength_, throttledBodySent);
  long got = 0;
  if (left > 0) {
    bodyPiece.resize(kUploadPiece);
    got = throttledBody->read(reinterpret_cast<std::uint8_t*>(bodyPiece.data()),
                              static_cast<size_t>(std::min<std::uint64_t>(left, kUploadPiece)));
    if (!current(gen)) return;
  }
  if (got < 0) {
    failWithBodyReadError();
    return;
  }
  if (got == 0 && left > 0) {
    failWithBodyAttributesError();
    return;
  }
  if (got == 0) {
    throttledBody.reset();
    requestWritten = true;
    return;
  }
  throttledBodySent += static_cast<std::uint64_t>(got);
  write(gen, {asio::buffer(bodyPiece.data(), static_cast<size_t>(got))});
}

void HTTPRequest::Impl::dropBody() {
  removeTemporaryUploadFiles();
  postBodyWriteStream.close();
  r.postBody_.reset();
  r.compressedPostBody_.reset();
  r.postBodySource_.reset();
  r.postBodyFilePath_.clear();
  r.shouldStreamPostDataFromDisk_ = false;
  r.postLength_ = 0;
}

void HTTPRequest::Impl::removeTemporaryUploadFiles() {
  if (r.didCreateTemporaryPostDataFile_) {
    postBodyWriteStream.close();
    removeFileQuietly(r.postBodyFilePath_);
    r.postBodyFilePath_.clear();
    r.didCreateTemporaryPostDataFile_ = false;
  }
  if (!r.compressedPostBodyFilePath_.empty()) {
    removeFileQuietly(r.compressedPostBodyFilePath_);
    r.compressedPostBodyFilePath_.clear();
  }
}

// ---- request construction ----

void HTTPRequest::addRequestHeader(std::string_view name, std::string_view value) {
  std::lock_guard lock(cancelledLock_);
  requestHeaders_.set(name, value);
}

void HTTPRequest::setPostBody(Data body) {
  std::lock_guard lock(cancelledLock_);
  postBody_ = std::move(body);
  shouldStreamPostDataFromDisk_ = false;
}

void HTTPRequest::setPostBodySource(std::shared_ptr<RequestBody> body) {
  std::lock_guard lock(cancelledLock_);
  postBodySource_ = std::move(body);
}

void HTTPRequest::setPostBodyFilePath(std::string path) {
  std::lock_guard lock(cancelledLock_);
  postBodyFilePath_ = std::move(path);
  shouldStreamPostDataFromDisk_ = true;
  didCreateTemporaryPostDataFile_ = false;
}

void HTTPRequest::appendPostData(std::string_view bytes) {
  appendPostData(toData(bytes));
}

void HTTPRequest::appendPostData(const Data& bytes) {
  std::lock_guard lock(cancelledLock_);
  if (shouldStreamPostDataFromDisk_) {
    if (postBodyFilePath_.empty()) {
      postBodyFilePath_ = makeTemporaryPath();
      didCreateTemporaryPostDataFile_ = true;
    }
    auto& out = impl_->postBodyWriteStream;
    bool ok = out.isOpen() || out.open(postBodyFilePath_, false);
    if (ok && !bytes.empty())
      ok = out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // A body cut short must never go out with a length that matches it: the request fails
    // when it is built.
    if (!ok && !impl_->postBodyWriteError)
      impl_->postBodyWriteError = fileWriteError(postBodyFilePath_);
    return;
  }
  if (!postBody_) postBody_ = Data();
  postBody_->insert(postBody_->end(), bytes.begin(), bytes.end());
}

bool HTTPRequest::appendPostDataFromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> piece(kFilePiece);
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    std::streamsize got = in.gcount();
    if (got <= 0) break;
    appendPostData(std::string_view(piece.data(), static_cast<size_t>(got)));
  }
  return !in.bad();
}

void HTTPRequest::buildPostBody() {
  std::lock_guard lock(cancelledLock_);
  if (haveBuiltPostBody_) return;
  if (impl_->postBodyWriteError) {
    impl_->failWithError(*impl_->postBodyWriteError);
    return;
  }
  if (postBodySource_ && !shouldCompressRequestBody_) {
    postLength_ = postBodySource_->length();
  } else if ((shouldStreamPostDataFromDisk_ && !postBodyFilePath_.empty()) || postBodySource_) {
    impl_->postBodyWriteStream.close();
    std::string sent = postBodyFilePath_;
    if (shouldCompressRequestBody_) {
      if (compressedPostBodyFilePath_.empty()) {
        std::string tmp = makeTemporaryPath();
        Error err;
        if (postBodySource_ ? !postBodySource_->compressInto(tmp, &err)
                            : !DataCompressor::compressDataFromFile(postBodyFilePath_, tmp, &err)) {
          removeFileQuietly(tmp);
          impl_->failWithError(err);
          return;
        }
        compressedPostBodyFilePath_ = tmp;
      }
      sent = compressedPostBodyFilePath_;
    }
    auto size = fileSize(sent);
    if (!size) {
      impl_->failWithError(fileAttributesError(sent));
      return;
    }
    postLength_ = *size;
  } else if (postBody_) {
    if (shouldCompressRequestBody_) {
      Error err;
      auto compressed = DataCompressor::compressData(*postBody_, &err);
      if (!compressed && !postBody_->empty()) {
        impl_->failWithError(err);
        return;
      }
      compressedPostBody_ = compressed.value_or(Data());
      postLength_ = compressedPostBody_->size();
    } else {
      postLength_ = postBody_->size();
    }
  }
  if (postLength_ > 0) {
    if (requestMethod_ == "GET" || requestMethod_ == "DELETE" || requestMethod_ == "HEAD")
      requestMethod_ = "POST";
    requestHeaders_.set("Content-Length",
                        strprintf("%llu", static_cast<unsigned long long>(postLength_)));
  }
  haveBuiltPostBody_ = true;
}

void HTTPRequest::buildRequestHeaders() {
  std::lock_guard lock(cancelledLock_);
  if (haveBuiltRequestHeaders_) return;
  haveBuiltRequestHeaders_ = true;
  if (auto main = mainRequest_.lock()) {
    for (auto& [n, v] : main->requestHeaders()) requestHeaders_.set(n, v);
    return;
  }
  applyCookieHeader();
  if (!requestHeaders_.contains("User-Agent")) {
    if (auto ua = defaultUserAgentString()) requestHeaders_.set("User-Agent", *ua);
  }
  if (allowCompressedResponse_) requestHeaders_.set("Accept-Encoding", "gzip");
  if (shouldCompressRequestBody_) requestHeaders_.set("Content-Encoding", "gzip");
  if (allowResumeForFileDownloads_ && !downloadDestinationPath_.empty() &&
      isSymbolicLink(temporaryFileDownloadPath_)) {
    impl_->failWithError(makeRequestError(
        FileManagementError, strprintf("Refusing to resume a download through the symbolic link "
                                       "at path '%s'",
                                       temporaryFileDownloadPath_.c_str())));
    return;
  }
  if (allowResumeForFileDownloads_ && !downloadDestinationPath_.empty() &&
      !temporaryFileDownloadPath_.empty() && fileExists(temporaryFileDownloadPath_)) {
    auto size = fileSize(temporaryFileDownloadPath_);
    if (!size) {
      impl_->failWithError(fileAttributesError(temporaryFileDownloadPath_));
      return;
    }
    partialDownloadSize_ = *size;
  }
  if (partialDownloadSize_ > 0)
    requestHeaders_.set(
        "Range", strprintf("bytes=%llu-", static_cast<unsigned long long>(partialDownloadSize_)));
}

void HTTPRequest::applyCookieHeader() {
  std::lock_guard lock(cancelledLock_);
  if (useCookiePersistence_ && url_) {
    auto stored = CookieJar::shared().cookiesForURL(*url_);
    requestCookies_.insert(requestCookies_.end(), stored.begin(), stored.end());
  }
  std::vector<Cookie> cookies = requestCookies_;
  if (auto main = mainRequest_.lock()) cookies = main->requestCookies();
  if (cookies.empty()) return;
  std::string header;
  for (auto& c : cookies) {
    if (header.empty())
      header = strprintf("%s=%s", c.name.c_str(), c.value.c_str());
    else
      header = strprintf("%s; %s=%s", header.c_str(), c.name.c_str(), c.value.c_str());
  }
  requestHeaders_.set("Cookie", header);
}

std::optional<std::string> HTTPRequest::defaultUserAgentString() {
  return UserAgent::defaultUserAgentString();
}

}  // namespace est
