#include <boost/beast/http/error.hpp>
#include <cstring>

#include "http/request_engine.h"
#include "platform/format.h"

namespace est {

namespace {

bool containsToken(const std::string& headerValue, std::string_view token) {
  std::string_view rest(headerValue);
  while (!rest.empty()) {
    auto comma = rest.find(',');
    if (equalsIgnoringCase(trimWhitespace(rest.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

constexpr long long kMaxKeepAliveSeconds = 300;

// Scans `text` for `key` followed by a decimal integer, from `from`; returns the value and
// moves `from` past it.
std::optional<long long> scanInteger(const std::string& text, const char* key, size_t& from) {
  auto pos = text.find(key, from);
  if (pos == std::string::npos) return std::nullopt;
  pos += std::strlen(key);
  size_t end = pos;
  if (end < text.size() && (text[end] == '-' || text[end] == '+')) ++end;
  size_t digits = end;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) &&
         end - digits < 12)
    ++end;
  if (end == digits) return std::nullopt;
  from = end;
  return std::stoll(text.substr(pos, end - pos));
}

std::optional<std::uint64_t> parseUnsigned(std::string_view s) {
  s = trimWhitespace(s);
  if (s.empty() || s.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

}  // namespace

// ---- receiving ----

size_t HTTPRequest::Impl::chunkSize() const {
  size_t size = 16384;
  if (r.contentLength_ > 262144)
    size = 262144;
  else if (r.contentLength_ > 65536)
    size = 65536;
  return std::max<size_t>(1, globals().throttle->maxReadLength(size));
}

void HTTPRequest::Impl::readMore(std::uint64_t gen) {
  if (auto left = bodyLeftToMove()) {
    moveToFile(gen, *left);
    return;
  }
  size_t pending = readEnd - readBegin;
  if (pending > kMaxResponseHeaderBytes + 262144) {
    // Only a header or a chunk-size line can hold bytes back this long.
    handleStreamError(boost::beast::http::error::header_limit, false);
    return;
  }
  auto& readBuffer = connection->readBuffer;
  if (readBegin > 0) {
    std::memmove(readBuffer.data(), readBuffer.data() + readBegin, pending);
    readBegin = 0;
    readEnd = pending;
  }
  size_t want = chunkSize();
  if (readBuffer.size() < readEnd + want) readBuffer.resize(readEnd + want);
  auto s = self();
  connection->asyncReadSome(
      asio::buffer(readBuffer.data() + readEnd, want),
      [s, gen](net::ErrorCode ec, size_t n) { s->impl_->onRead(gen, ec, n); });
}

void HTTPRequest::Impl::onRead(std::uint64_t gen, net::ErrorCode ec, size_t n) {
  std::lock_guard lock(r.cancelledLock_);
  if (!current(gen)) return;
  guarded([&] { handleRead(gen, ec, n); });
}

void HTTPRequest::Impl::handleRead(std::uint64_t gen, net::ErrorCode ec, size_t n) {
  auto& readBuffer = connection->readBuffer;
  readEnd += n;
  if (n > 0) {
    replyBytesSeen = true;
    lastActivityTime = now();
  }
  bool eof = false;
  if (ec) {
    if (!net::isEndOfStream(ec)) {
      handleStreamError(ec, net::isTlsError(ec));
      return;
    }
    eof = true;
  }
  while (readEnd > readBegin && !parser->isDone()) {
    net::ErrorCode pec;
    size_t used = parser->put(readBuffer.data() + readBegin, readEnd - readBegin, pec);
    readBegin += used;
    if (!current(gen)) return;  // a callback ended the attempt
    if (pec) {
      handleStreamError(pec, false);
      return;
    }
    if (used == 0) break;
  }
  if (eof && !parser->isDone()) {
    if (!replyBytesSeen && r.connectionWasReused_) {
      handleStreamError(asio::error::connection_reset, false, true);
      return;
    }
    net::ErrorCode pec;
    parser->putEof(pec);
    if (!current(gen)) return;
    if (pec) {
      handleStreamError(pec, false);
      return;
    }
  }
  if (parser->isDone()) {
    finishReply(eof);
    return;
  }
  if (eof) {
    handleStreamError(boost::beast::http::error::partial_message, false);
    return;
  }
  readOnUnlessHeld(gen);
}

void HTTPRequest::Impl::readOnUnlessHeld(std::uint64_t gen) {
  performThrottling();
  if (!current(gen)) return;
  if (throttlePaused) {
    readHeld = true;
    return;
  }
  readMore(gen);
}

void HTTPRequest::Impl::finishReply(bool eof) {
  connection->requestsServed++;
  if (eof) connection->close();
  handleStreamComplete();
  afterNetworkEvent();
}

// ---- a body moved to its file inside the kernel ----

// The rest of a body bound for a file as it is, framed by its length on a plain connection,
// need not pass through our memory. Once some has gone that way the rest follows it, as the
// parser never saw those bytes.
std::optional<std::uint64_t> HTTPRequest::Impl::bodyLeftToMove() const {
  if (!connection || !connection->canMoveToFile() || !parser || readEnd != readBegin)
    return std::nullopt;
  auto left = parser->bodyLeft();
  if (!left || *left <= movedToFile) return std::nullopt;
  bool started = movedToFile > 0;
  // The lock-taking question last: most replies are out at the first.
  if (!started && (r.downloadDestinationPath_.empty() || gzipBody || r.needsRedirect_ ||
                   r.authenticationNeeded_ || r.complete_ || wantsData()))
    return std::nullopt;
  return *left - movedToFile;
}

void HTTPRequest::Impl::moveToFile(std::uint64_t gen, std::uint64_t left) {
  if (!openDownloadFiles()) return;
  std::uint64_t most = std::min<std::uint64_t>(left, 1 << 20);
  // A body over its limit is caught one byte past it, not a whole piece later.
  if (std::uint64_t limit = responseLimit())
    most = std::min(most, limit - std::min(limit, bodyBytes) + 1);
  size_t want = globals().throttle->maxReadLength(static_cast<size_t>(most));
  auto s = self();
  connection->asyncMoveSomeToFile(downloadFile.fd(), std::max<size_t>(1, want),
                                  [s, gen](net::ErrorCode ec, size_t n, bool fileTookAll) {
                                    s->impl_->onMovedToFile(gen, ec, n, fileTookAll);
                                  });
}

void HTTPRequest::Impl::onMovedToFile(std::uint64_t gen, net::ErrorCode ec, size_t n,
                                      bool fileTookAll) {
  std::lock_guard lock(r.cancelledLock_);
  if (!current(gen)) return;
  guarded([&] {
    if (n > 0) {
      replyBytesSeen = true;
      movedToFile += n;
      if (!countBody(n, n)) return;
      reportOwnDownload();
    }
    if (!fileTookAll) {
      failWriting(r.temporaryFileDownloadPath_);
      return;
    }
    if (ec) {
      // Never TLS here; an early end is a body cut short, as on the reading path.
      handleStreamError(
          net::isEndOfStream(ec) ? net::ErrorCode(boost::beast::http::error::partial_message) : ec,
          false);
      return;
    }
    if (auto left = parser->bodyLeft(); !left || *left <= movedToFile) {
      finishReply(false);
      return;
    }
    readOnUnlessHeld(gen);
  });
}

void HTTPRequest::Impl::onResponseHead(int status, int version, std::string_view reason,
                                       HeaderMap headers, std::vector<std::string> setCookies,
                                       net::ErrorCode& ec) {
  std::uint64_t gen = attempt;
  r.responseHeaders_ = std::move(headers);
  r.responseStatusCode_ = status;
  std::string line = strprintf("HTTP/%d.%d %d", version / 10, version % 10, status);
  if (!reason.empty()) line += " " + std::string(reason);
  r.responseStatusMessage_ = line;
  responseVersion = version;
  rawSetCookies = std::move(setCookies);
  guarded([&] { readResponseHeaders(); });
  if (!current(gen)) ec = asio::error::operation_aborted;
}

void HTTPRequest::Impl::onResponseBody(std::string_view bytes, net::ErrorCode& ec) {
  std::uint64_t gen = attempt;
  guarded([&] { handleBytesAvailable(bytes); });
  if (!current(gen)) ec = asio::error::operation_aborted;
}

void HTTPRequest::Impl::readResponseHeaders() {
  r.authenticationNeeded_ = 0;
  headersRead = true;
  const HeaderMap& h = r.responseHeaders_;
  if (cachedCopyConfirmed()) return;
  if (r.responseStatusCode_ == 401)
    r.authenticationNeeded_ = 1;
  else if (r.responseStatusCode_ == 407)
    r.authenticationNeeded_ = 2;
  if (!r.authenticationNeeded_) {
    if (auto auth = currentAuthenticator()) auth->responseHeadersReceived(r);
  }
  r.parseStringEncodingFromHeaders();

  r.responseCookies_ = CookieJar::cookiesWithResponseHeaderFields(rawSetCookies, *r.url_);
  if (r.useCookiePersistence_) {
    CookieJar::shared().setCookies(r.responseCookies_);
    for (auto& c : r.responseCookies_) addSessionCookie(c);
  }

  int status = r.responseStatusCode_;
  const std::string* location = h.find("Location");
  if (r.shouldRedirect_ && location &&
      (status == 301 || status == 302 || status == 303 || status == 307 || status == 308)) {
    deliverRedirected();
    // 307 and 308 repeat the request as it was (RFC 9110).
    bool keep =
        status == 307 || status == 308 || (r.shouldUseRFC2616RedirectBehaviour_ && status != 303);
    if (keep) {
      cookieHeaderNeedsRebuild = true;
    } else {
      r.requestMethod_ = "GET";
      dropBody();
      HeaderMap kept;
      for (const char* name : {"User-Agent", "Accept"})
        if (auto* v = r.requestHeaders_.find(name)) kept.set(name, *v);
      r.requestHeaders_ = kept;
      r.haveBuiltRequestHeaders_ = false;
    }
    r.redirectURL_ = Url::resolve(*r.url_, *location);
    // Credentials the caller set for this server stay with it, even on a 307.
    if (r.redirectURL_ && !sameOrigin(*r.redirectURL_, *r.url_))
      r.requestHeaders_.remove("Authorization");
    r.needsRedirect_ = true;
    r.requestCookies_.clear();
  }

  if (!r.needsRedirect_) announceDownloadSize(h);

  if (r.shouldAttemptPersistentConnection_) {
    std::string connectionHeader = toLower(h.value("Connection"));
    bool keepAlive = containsToken(connectionHeader, "keep-alive");
    bool close = containsToken(connectionHeader, "close");
    if ((responseVersion != 10 || keepAlive) && !close) {
      if (auto* ka = h.find("Keep-Alive")) {
        size_t pos = 0;
        auto timeout = scanInteger(*ka, "timeout=", pos);
        auto max = scanInteger(*ka, "max=", pos);
        if (max && *max > 5) {
          r.connectionCanBeReused_ = true;
          // A hostile server must not pin idle sockets open for ever; a negative time
          // keeps ours.
          if (timeout && *timeout >= 0)
            r.persistentConnectionTimeoutSeconds_ =
                static_cast<double>(std::min<long long>(*timeout, kMaxKeepAliveSeconds));
        } else {
          r.connectionCanBeReused_ = false;
        }
      } else {
        r.connectionCanBeReused_ = true;
      }
    } else {
      r.connectionCanBeReused_ = false;
    }
  }

  std::string encoding = toLower(h.value("Content-Encoding"));
  gzipBody = encoding.find("gzip") != std::string::npos;
  deliverHeaders(h);
}

void HTTPRequest::Impl::handleBytesAvailable(std::string_view bytes) {
  if (r.complete_ || bytes.empty()) return;
  Data inflated;
  bool onTheFly = gzipBody && !r.shouldWaitToInflateCompressedResponses_;
  if (onTheFly) {
    Error err;
    if (!decompressor) {
      decompressor = DataDecompressor::decompressor(&err);
      if (!decompressor) {
        failWithError(err);
        return;
      }
    }
    decompressor->setLimits(inflateLimits());
    auto out = decompressor->uncompressBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             bytes.size(), &err);
    if (!out) {
      dropInflatedBody(err);
      return;
    }
    inflated = std::move(*out);
  }
  if (!countBody(bytes.size(), onTheFly ? inflated.size() : bytes.size())) return;
  if (r.needsRedirect_ && r.allowResumeForFileDownloads_) return;
  if (!r.needsRedirect_ && !r.authenticationNeeded_) reportOwnDownload();
  if (wantsData()) {
    // A challenge's page is not the answer: the request tries again or fails.
    if (r.authenticationNeeded_) return;
    if (onTheFly) {
      if (!inflated.empty()) deliverData(std::move(inflated));
    } else {
      deliverData(Data(bytes.begin(), bytes.end()));
    }
    return;
  }
  if (r.downloadDestinationPath_.empty()) {
    if (onTheFly)
      r.rawResponseData_.insert(r.rawResponseData_.end(), inflated.begin(), inflated.end());
    else
      r.rawResponseData_.insert(r.rawResponseData_.end(), bytes.begin(), bytes.end());
    return;
  }
  if (!openDownloadFiles()) return;
  if (!downloadFile.write(bytes.data(), bytes.size())) {
    failWriting(r.temporaryFileDownloadPath_);
    return;
  }
  if (onTheFly && !inflated.empty() &&
      !inflatedFile.write(reinterpret_cast<const char*>(inflated.data()), inflated.size())) {
    failWriting(r.temporaryUncompressedDataDownloadPath_);
  }
}

// Counts body bytes as they arrive: `raw` off the wire, `body` once inflated. False when the
// reply went past its limit, which has failed the request.
bool HTTPRequest::Impl::countBody(size_t raw, size_t body) {
  bodyBytes += body;
  if (std::uint64_t limit = responseLimit(); limit && bodyBytes > limit) {
    dropInflatedBody(Error(NetworkRequestErrorDomain, CompressionError,
                           strprintf("The response is larger than the limit of %llu bytes",
                                     static_cast<unsigned long long>(limit))));
    return false;
  }
  r.totalBytesRead_ += raw;
  reportReceived(static_cast<long long>(raw));
  lastActivityTime = now();
  globals().throttle->incrementBandwidthUsedInLastSecond(raw);
  return true;
}

// What was inflated of a body that cannot be whole is no answer: none of it stays.
void HTTPRequest::Impl::dropInflatedBody(const Error& error) {
  r.rawResponseData_ = Data();
  failWithError(error);
  cancelLoad();
}

// 0: no limit.
std::uint64_t HTTPRequest::Impl::responseLimit() const {
  if (r.maxResponseSize_) return *r.maxResponseSize_;
  bool held = r.downloadDestinationPath_.empty() && !wantsData();
  return held ? HTTPRequest::kDefaultMaxResponseSizeInMemory : 0;
}

// A compressed body kept whole is inflated only when asked for: check now that it would
// fit, so a bomb fails the request instead of the caller that reads it.
std::optional<Error> HTTPRequest::Impl::checkHeldInflation() {
  if (!gzipBody || !r.shouldWaitToInflateCompressedResponses_ || !bodyInMemory || wantsData() ||
      r.needsRedirect_ || r.authenticationNeeded_)
    return std::nullopt;
  Error err;
  if (DataDecompressor::inflatesWithinLimits(r.rawResponseData_, inflateLimits(), &err))
    return std::nullopt;
  return err;
}

void HTTPRequest::Impl::handleStreamComplete() {
  removeStatusTimer();
  r.downloadComplete_ = true;
  r.complete_ = true;
  if (!contentLengthAnnounced) r.contentLength_ = r.totalBytesRead_;
  if (downloadProgressByUnit && !r.needsRedirect_) {
    downloadProgressByUnit = false;
    if (deliverQueueProgress(
            [](HTTPRequestQueue& queue, HTTPRequest& q) { queue.requestDidReceiveBytes(q, 1); }))
      ++downloadReported;
  }
  // The reply is in: the piece still in flight went out with the rest.
  bodyAccepted = std::max(bodyAccepted, bodyHandedOver);
  if (bodyAccepted > r.totalBytesSent_) updateSentCount();
  if (!r.needsRedirect_ && !r.authenticationNeeded_) reportOwnDownload(true);
  closeBodyFiles();
  std::optional<Error> fileError = completeDownloadFile();
  if (!fileError) fileError = checkHeldInflation();
  if (!fileError) storeReplyInCache();
  releaseConnection();
  unscheduleStream();
  if (!r.needsRedirect_ && !r.authenticationNeeded_ && !r.didUseCachedResponse_) {
    if (fileError) {
      failWithError(*fileError);
    } else {
      deliverFinished();
    }
    markAsFinished();
  }
}

// Grows the queue's expected download size by the announced length. A HEAD request that
// sizes a download speaks for its main request, which then does not count it again; a
// compressed 20-byte HEAD length is taken as unknown, since it describes a gzip of nothing.
void HTTPRequest::Impl::announceDownloadSize(const HeaderMap& h) {
  auto main = r.mainRequest_.lock();
  std::uint64_t length = 0;
  bool known = false;
  if (auto* cl = h.find("Content-Length")) {
    if (auto v = parseUnsigned(*cl)) length = *v, known = true;
  }
  if (main && r.allowCompressedResponse_ && length == 20) known = false;
  if (known) {
    r.contentLength_ = length;
    contentLengthAnnounced = true;
  }
  if (!main) {
    if (downloadSizeKnownFromHEAD) return;
    if (!known) {
      // Progress then jumps from nothing to all at the end.
      if (r.showAccurateProgress_) downloadProgressByUnit = true;
      announceDownload(1);
      r.showAccurateProgress_ = false;
      return;
    }
    announceDownload(static_cast<long long>(length + r.partialDownloadSize_));
    return;
  }
  std::lock_guard mainLock(main->cancelledLock_);
  if (main->impl_->downloadSizeKnownFromHEAD || !main->showAccurateProgress_) return;
  auto queue = main->queue();
  if (!queue) return;
  main->impl_->downloadSizeKnownFromHEAD = true;
  long long more = 1;
  if (known) {
    main->contentLength_ = length;
    more = static_cast<long long>(length + main->partialDownloadSize_);
  } else {
    main->showAccurateProgress_ = false;
    main->impl_->downloadProgressByUnit = true;
  }
  deliver(
      [queue, main, more](HTTPRequest&) { queue->requestIncrementDownloadSizeBy(*main, more); });
}

void HTTPRequest::Impl::afterNetworkEvent() {
  if (r.downloadComplete_ && r.needsRedirect_ && !r.error_) {
    if (r.redirectURL_ && canAnswerWillRedirect()) {
      Url target = *r.redirectURL_;
      r.redirectURL_.reset();
      deliverWillRedirect(std::move(target));
      return;
    }
    performRedirect();
    return;
  }
  if (r.downloadComplete_ && r.authenticationNeeded_ && !r.error_ && !r.cancelled_) {
    auto auth = currentAuthenticator();
    if (!auth || !auth->attemptToApplyCredentialsAndResume(r, r.authenticationNeeded_ == 2))
      failWithError(AuthenticationError());
  }
}

void HTTPRequest::Impl::performRedirect() {
  std::optional<Url> target = r.redirectURL_;
  r.setUrlLocked(std::move(target));
  r.complete_ = true;
  r.needsRedirect_ = false;
  ++r.redirectCount_;
  if (r.redirectCount_ > 5) {
    failWithError(TooMuchRedirectionError());
    r.complete_ = true;
    return;
  }
  mainLocked();
}

// ---- outcome ----

bool HTTPRequest::isResponseCompressed() const {
  std::lock_guard lock(cancelledLock_);
  return toLower(responseHeaders_.value("Content-Encoding")).find("gzip") != std::string::npos;
}

std::optional<Data> HTTPRequest::responseData() const {
  std::lock_guard lock(cancelledLock_);
  if (!impl_->bodyInMemory) return std::nullopt;  // the body went to a file
  if (isResponseCompressed() && shouldWaitToInflateCompressedResponses_)
    return DataDecompressor::uncompressData(
        rawResponseData_, nullptr,
        {maxResponseSize_.value_or(kDefaultMaxResponseSizeInMemory), true});
  return rawResponseData_;
}

const Data& HTTPRequest::rawResponseData() const {
  return rawResponseData_;
}

std::optional<std::string> HTTPRequest::responseString() const {
  auto data = responseData();
  if (!data) return std::nullopt;
  return decodeString(*data, responseEncoding());
}

// ---- response handling ----

void HTTPRequest::parseMimeType(std::string* mimeType, StringEncoding* encoding,
                                const std::string& contentType, StringEncoding defaultEncoding) {
  auto semi = contentType.find(';');
  if (mimeType)
    *mimeType = std::string(trimWhitespace(std::string_view(contentType).substr(0, semi)));
  StringEncoding e = defaultEncoding;
  if (semi != std::string::npos) {
    auto at = contentType.find("charset=", semi);
    if (at != std::string::npos) {
      at += std::strlen("charset=");
      auto end = contentType.find(';', at);
      std::string name = contentType.substr(at, end == std::string::npos ? end : end - at);
      if (auto known = encodingForIANACharsetName(name)) e = *known;
    }
  }
  if (encoding) *encoding = e;
}

void HTTPRequest::parseStringEncodingFromHeaders() {
  std::lock_guard lock(cancelledLock_);
  StringEncoding e = defaultResponseEncoding_;
  if (auto* ct = responseHeaders_.find("Content-Type"))
    parseMimeType(nullptr, &e, *ct, defaultResponseEncoding_);
  responseEncoding_ = e;
}

}  // namespace est
