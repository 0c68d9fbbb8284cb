#include "http/http_request.h"

#include <cxxabi.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "http/request_engine.h"
#include "http/support/asio_run_loop.h"
#include "platform/format.h"

namespace est {

namespace {

// Synchronous requests run on a loop of the calling thread; its connections stay pooled
// for later synchronous requests of that thread and are closed when the thread ends.
struct SyncContext {
  asio::io_context io;
  AsioRunLoop loop{io};
  ~SyncContext() { pool().closeAllOf(&io); }
};
SyncContext& syncContext() {
  thread_local SyncContext context;
  return context;
}

bool isToken(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (c <= 0x20 || c >= 0x7F) return false;
    if (std::strchr("\"(),/:;<=>?@[\\]{}", c)) return false;
  }
  return true;
}

bool isSafeHeaderValue(std::string_view s) {
  for (unsigned char c : s)
    if (c == '\r' || c == '\n' || c == 0) return false;
  return true;
}

std::string demangle(const char* name) {
  int status = 0;
  char* d = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && d ? d : name;
  std::free(d);
  return out;
}

}  // namespace

// ---- one attempt ----

void HTTPRequest::Impl::main() {
  std::lock_guard lock(r.cancelledLock_);
  if (!io) {
    io = &NetworkThread::shared().context();
    driverLoop = &NetworkThread::shared().loop();
  }
  guarded([&] { mainLocked(); });
}

void HTTPRequest::Impl::mainLocked() {
  if (r.error_) {
    // An error handed over by the HEAD request that sized this one: the delegate and the
    // queue must still hear that this request failed, or a queue would wait forever.
    if (!failureDelivered) deliverFailed();
    r.complete_ = true;
    markAsFinished();
    return;
  }
  r.complete_ = false;
  r.didUseCachedResponse_ = false;
  if (!r.url_) {
    failWithError(UnableToCreateRequestError());
    return;
  }
  if (r.mainRequest_.expired()) {
    r.buildPostBody();
    if (r.error_ || r.complete_) return;
  }
  if (r.requestMethod_ != "GET") r.downloadCache_.reset();

  std::string scheme = r.url_->scheme();
  if ((scheme != "http" && scheme != "https") || r.url_->host().empty() ||
      !isToken(r.requestMethod_)) {
    failWithError(UnableToCreateRequestError());
    return;
  }
  r.buildRequestHeaders();
  if (r.error_ || r.complete_) return;
  if (cookieHeaderNeedsRebuild) {
    cookieHeaderNeedsRebuild = false;
    r.requestHeaders_.remove("Cookie");
    r.applyCookieHeader();
  }

  messageMethod = r.requestMethod_;
  messageHeaders.clear();
  if (answeredFromCache()) return;
  if (auto auth = currentAuthenticator()) auth->applyAuthorizationHeader(r);
  for (auto& [name, value] : r.requestHeaders_) {
    if (!isToken(name) || !isSafeHeaderValue(value)) {
      failWithError(UnableToCreateRequestError());
      return;
    }
    messageHeaders.set(name, value);
  }
  if (configureProxies()) startRequest();
}

void HTTPRequest::Impl::startRequest() {
  if (r.cancelled_) return;
  deliverStarted();
  r.downloadComplete_ = false;
  r.complete_ = false;
  r.totalBytesRead_ = 0;
  if (r.redirectCount_ == 0) r.originalURL_ = r.url_;
  withdrawReportedProgress();
  r.totalBytesSent_ = 0;
  lastBytesSent = 0;
  r.contentLength_ = 0;
  r.responseHeaders_.clear();
  r.responseStatusCode_ = 0;
  r.responseStatusMessage_.clear();
  r.responseCookies_.clear();
  r.connectionCanBeReused_ = false;
  r.needsRedirect_ = false;
  r.authenticationNeeded_ = 0;
  r.rawResponseData_ = Data();
  bodyInMemory = r.downloadDestinationPath_.empty();
  headersRead = false;
  contentLengthAnnounced = false;
  gzipBody = false;
  bodyBytes = 0;
  movedToFile = 0;
  decompressor.reset();
  replyBytesSeen = false;
  requestWritten = false;
  readBegin = readEnd = 0;
  parser.reset();

  if (auto error = chooseProxyTarget(*r.url_)) {
    failWithError(*error);
    return;
  }
  arrangeConnection();
  ++attempt;
  resetThrottleState();
  scheduleStream();
  scheduleStatusTimer();
  lastActivityTime = now();
  performThrottling();  // a new transfer waits out a pause in force

  composeHead();

  const Url& url = *r.url_;
  auto gen = attempt;
  r.connectionWasReused_ = connection->isOpen() && connection->requestsServed > 0;
  if (r.getCallback(r.requestSentBlock_)) deliverSent();
  if (connection->isOpen()) {
    startIO(gen);
    return;
  }
  auto s = self();
  connection->asyncOpen(
      url.host(), url.effectivePort(), url.hostIsIPAddress(),
      [s, gen](net::ErrorCode ec, net::OpenStage stage) { s->impl_->onOpened(gen, ec, stage); });
}

void HTTPRequest::Impl::onOpened(std::uint64_t gen, net::ErrorCode ec, net::OpenStage stage) {
  std::lock_guard lock(r.cancelledLock_);
  if (!current(gen)) return;
  guarded([&] {
    if (ec && stage == net::OpenStage::Proxy) {
      handleProxyRefusal(gen, ec);
      return;
    }
    if (ec && stage == net::OpenStage::ProxyHandshake) {
      closeConnection();
      unscheduleStream();
      failWithError(proxyTlsFailure(net::transportError(ec)));
      return;
    }
    if (ec) {
      handleStreamError(ec, stage == net::OpenStage::Handshake || net::isTlsError(ec));
      return;
    }
    startIO(gen);
  });
}

void HTTPRequest::Impl::startIO(std::uint64_t gen) {
  if (throttlePaused) {
    startHeld = true;
    return;
  }
  parser = std::make_unique<net::ResponseParser>(*this, messageMethod != "HEAD",
                                                 kMaxResponseHeaderBytes);
  readMore(gen);
  startWriting(gen);
}

// ---- status timer ----

void HTTPRequest::Impl::scheduleStatusTimer() {
  removeStatusTimer();
  RunLoop* override = globals().statusTimerLoop.load();
  timerLoop = (!r.isSynchronous_ && override) ? override : driverLoop;
  std::weak_ptr<HTTPRequest> weak = self();
  asio::io_context* ctx = io;
  statusTimer = timerLoop->schedule(
      Seconds(0.25),
      [weak, ctx] {
        auto s = weak.lock();
        if (!s) return;
        if (ctx->get_executor().running_in_this_thread())
          s->impl_->updateStatus();
        else
          asio::post(*ctx, [s] { s->impl_->updateStatus(); });
      },
      true);
}

void HTTPRequest::Impl::removeStatusTimer() {
  if (statusTimer && timerLoop) timerLoop->cancel(statusTimer);
  statusTimer = 0;
  cancelThrottleTimer();
}

void HTTPRequest::Impl::updateStatus() {
  std::lock_guard lock(r.cancelledLock_);
  guarded([&] { checkRequestStatus(); });
}

bool HTTPRequest::Impl::shouldTimeOut() const {
  if (!connection || !r.readStreamIsScheduled_ || !lastActivityTime || r.timeOutSeconds_ <= 0)
    return false;
  double idle = std::chrono::duration<double>(now() - *lastActivityTime).count();
  if (idle <= r.timeOutSeconds_) return false;
  // A body may still be filling the transport's send buffer: allow it half as long again,
  // unless more than that buffer has already reached the peer.
  return r.postLength_ == 0 ||
         (r.uploadBufferSize_ > 0 && r.totalBytesSent_ > r.uploadBufferSize_) ||
         idle > r.timeOutSeconds_ * 1.5;
}

void HTTPRequest::Impl::checkRequestStatus() {
  if (r.cancelled_ || r.complete_) {
    removeStatusTimer();
    return;
  }
  performThrottling();
  if (r.postLength_ > 0) updateSentCount();
  if (shouldTimeOut()) {
    if (r.numberOfTimesToRetryOnTimeout_ <= r.retryCount_) {
      failWithError(RequestTimedOutError());
      cancelLoad();
      r.complete_ = true;
    } else {
      if (r.allowResumeForFileDownloads_ && !r.temporaryFileDownloadPath_.empty()) {
        downloadFile.close();
        if (auto size = fileSize(r.temporaryFileDownloadPath_); size && *size > 0) {
          r.partialDownloadSize_ = *size;
          messageHeaders.set("Range",
                             strprintf("bytes=%llu-", static_cast<unsigned long long>(*size)));
        }
      }
      ++r.retryCount_;
      // The silent connection still owes a reply: never hand it to anyone again.
      closeConnection();
      unscheduleStream();
      startRequest();
    }
    return;
  }
  if (r.postLength_ > 0 && r.totalBytesSent_ > lastBytesSent) {
    // A body read through the throttled stream was counted as it was read.
    if (!bodyThroughThrottle)
      globals().throttle->incrementBandwidthUsedInLastSecond(r.totalBytesSent_ - lastBytesSent);
    lastBytesSent = r.totalBytesSent_;
    lastActivityTime = now();
  }
  if (!r.inProgress_) removeStatusTimer();
}

// ---- failure, completion ----

void HTTPRequest::Impl::failWithException(const char* typeName, const char* reason) {
  std::string name = typeName ? demangle(typeName) : "UnknownException";
  Error underlying(NetworkRequestErrorDomain, UnhandledExceptionError, name);
  underlying.failureReason = reason;
  Error e(NetworkRequestErrorDomain, UnhandledExceptionError, name,
          std::make_shared<Error>(underlying));
  e.failureReason = reason;
  try {
    closeConnection();
    failWithError(e);
  } catch (...) {
  }
}

void HTTPRequest::Impl::markAsFinished() {
  removeTemporaryUploadFiles();
  bool wasInProgress = r.inProgress_.exchange(false);
  bool wasFinished = r.finished_.exchange(true);
  if (wasInProgress || !wasFinished) r.stateDidChange();
}

void HTTPRequest::Impl::failWithError(const Error& e) {
  r.complete_ = true;
  removeStatusTimer();
  if (e.code != AuthenticationErrorType && e.code != TooMuchRedirectionErrorType) {
    dropConnectionEntry();
  }
  unscheduleStream();
  if (r.cancelled_ || r.error_) return;
  if (fellBackToCache()) return;
  r.error_ = e;
  dropWorkFiles();
  if (auto main = r.mainRequest_.lock()) main->put(main->error_, e);
  deliverFailed();
  if (r.inProgress_) markAsFinished();
}

void HTTPRequest::Impl::cancelOnRequestThread() {
  std::lock_guard lock(r.cancelledLock_);
  if (r.cancelled_ || r.complete_) return;
  failWithError(RequestCancelledError());
  r.complete_ = true;
  cancelLoad();
  r.cancelled_ = true;
  r.stateDidChange();
}

void HTTPRequest::Impl::cancelLoad() {
  stopPACFetch();
  removeStatusTimer();
  if (connection) {
    bool idle = entry && !entry->request;
    if (!(idle && connection->isOpen())) closeConnection();
  }
  unscheduleStream();
  closeBodyFiles();
  dropWorkFiles();
  if (!r.authenticationNeeded_) removeTemporaryUploadFiles();
  r.rawResponseData_.clear();
  r.responseHeaders_.clear();
}

void HTTPRequest::Impl::handleStreamError(const net::ErrorCode& ec, bool tls, bool forcedLost) {
  Error underlying = net::transportError(ec);
  bool lost = forcedLost || (net::isConnectionLostError(ec) && !replyBytesSeen);
  closeConnection();
  closeBodyFiles();
  unscheduleStream();
  if (!r.error_) {
    if (lost && r.retryCount_ == 0) {
      {
        std::lock_guard lock(connectionsLock());
        if (entry) {
          pool().drop(entry);
          entry.reset();
        }
        connection.reset();
      }
      forceFreshConnection = true;
      r.retryCount_ = 1;
      startRequest();
      return;
    }
    failWithError(connectionFailure(underlying, tls));
  }
  checkRequestStatus();
}

// ---- HTTPRequest ----

HTTPRequest::HTTPRequest(std::optional<Url> url)
    : url_(std::move(url)),
      timeOutSeconds_(globals().defaultTimeOutSeconds.load()),
      impl_(std::make_unique<Impl>(*this)) {
  std::lock_guard lock(globals().seamsLock);
  downloadCache_ = globals().defaultCache;
}

HTTPRequest::~HTTPRequest() {
  if (impl_) {
    impl_->removeStatusTimer();
    impl_->bodyFile.close();
    impl_->postBodyWriteStream.close();
    if (didCreateTemporaryPostDataFile_) removeFileQuietly(postBodyFilePath_);
    removeFileQuietly(compressedPostBodyFilePath_);
    if (!allowResumeForFileDownloads_) removeFileQuietly(temporaryFileDownloadPath_);
    removeFileQuietly(temporaryUncompressedDataDownloadPath_);
    if (impl_->entry) pool().forget(*impl_->entry, requestID_);
  }
}

HTTPRequestPtr HTTPRequest::requestWithURL(std::optional<Url> url) {
  return HTTPRequestPtr(new HTTPRequest(std::move(url)));
}

HTTPRequestPtr HTTPRequest::requestWithURL(std::string_view urlText) {
  return requestWithURL(Url::parse(urlText));
}

HTTPRequestPtr HTTPRequest::requestWithURL(std::optional<Url> url,
                                           std::shared_ptr<DownloadCacheInterface> cache,
                                           int cachePolicy) {
  auto r = requestWithURL(std::move(url));
  r->setDownloadCache(std::move(cache));
  r->setCachePolicy(cachePolicy);
  return r;
}

HTTPRequestPtr HTTPRequest::HEADRequest() {
  std::lock_guard lock(cancelledLock_);
  auto head = requestWithURL(url_);
  head->mainRequest_ = std::static_pointer_cast<HTTPRequest>(shared_from_this());
  head->requestMethod_ = "HEAD";
  head->timeOutSeconds_ = timeOutSeconds_;
  head->numberOfTimesToRetryOnTimeout_ = numberOfTimesToRetryOnTimeout_;
  head->shouldAttemptPersistentConnection_ = shouldAttemptPersistentConnection_;
  head->validatesSecureCertificate_ = validatesSecureCertificate_;
  head->certificateAuthorityFile_ = certificateAuthorityFile_;
  head->allowCompressedResponse_ = allowCompressedResponse_;
  head->useCookiePersistence_ = useCookiePersistence_;
  head->useSessionPersistence_ = useSessionPersistence_;
  head->shouldRedirect_ = shouldRedirect_;
  head->shouldPresentCredentialsBeforeChallenge_ = shouldPresentCredentialsBeforeChallenge_;
  head->useCredentialStorage_ = useCredentialStorage_;
  // The same way out as the request it sizes (proxy credentials come from it when asked).
  head->proxyHost_ = proxyHost_;
  head->proxyPort_ = proxyPort_;
  head->proxyType_ = proxyType_;
  head->proxyUsesTLS_ = proxyUsesTLS_;
  head->validatesProxyCertificate_ = validatesProxyCertificate_;
  head->proxyCertificateAuthorityFile_ = proxyCertificateAuthorityFile_;
  head->PACurl_ = PACurl_;
  return head;
}

void HTTPRequest::setUrl(std::optional<Url> url) {
  std::lock_guard lock(cancelledLock_);
  setUrlLocked(std::move(url));
}

void HTTPRequest::setUrlLocked(std::optional<Url> url) {
  if (url == url_) return;
  url_ = std::move(url);
  impl_->messageHeaders.clear();
  redirectURL_.reset();
  // Whatever answered the old server's challenge must not answer another's.
  requestAuthentication_.reset();
  proxyAuthentication_.reset();
  requestCredentials_.reset();
  impl_->authentication.rejectedCredentials.clear();
}

void HTTPRequest::failWithError(const Error& error) {
  std::lock_guard lock(cancelledLock_);
  impl_->failWithError(error);
}

void HTTPRequest::startAsynchronous() {
  sharedQueue().addOperation(shared_from_this());
}

void HTTPRequest::start() {
  auto s = std::static_pointer_cast<HTTPRequest>(shared_from_this());
  auto& thread = NetworkThread::shared();
  {
    std::lock_guard lock(cancelledLock_);
    impl_->io = &thread.context();
    impl_->driverLoop = &thread.loop();
    isSynchronous_ = false;
  }
  inProgress_ = true;
  // The queue starts requests from the network thread: begin at once, no extra hop.
  if (thread.loop().isLoopThread())
    impl_->main();
  else
    asio::post(thread.context(), [s] { s->impl_->main(); });
}

void HTTPRequest::main() {
  impl_->main();
}

void HTTPRequest::startSynchronous() {
  auto keep = shared_from_this();
  auto& ctx = syncContext();
  {
    std::lock_guard lock(cancelledLock_);
    isSynchronous_ = true;
    runLoopMode_ = HTTPRequestRunLoopMode;
    impl_->io = &ctx.io;
    impl_->driverLoop = &ctx.loop;
  }
  inProgress_ = true;
  if (!cancelled_ && !complete()) {
    auto work = asio::make_work_guard(ctx.io);
    ctx.io.restart();
    impl_->main();
    while (!finished_) ctx.io.run_one();
    ctx.io.poll();
  }
  inProgress_ = false;
  std::lock_guard lock(cancelledLock_);
  impl_->io = nullptr;
  impl_->driverLoop = nullptr;
}

void HTTPRequest::cancel() {
  auto s = std::static_pointer_cast<HTTPRequest>(shared_from_this());
  asio::io_context* io;
  {
    std::lock_guard lock(cancelledLock_);
    io = impl_->io;
  }
  if (!io) io = &NetworkThread::shared().context();
  asio::post(*io, [s] { s->impl_->cancelOnRequestThread(); });
}

void HTTPRequest::clearDelegatesAndCancel() {
  auto holder = std::make_shared<std::tuple<Block, HeadersBlock, Block, Block, DataBlock, Block>>();
  SentBlock sentBlock;
  std::pair<Block, Block> authBlocks;
  std::pair<ProgressBlock, ProgressBlock> progressBlocks;
  {
    std::lock_guard lock(callbackLock_);
    delegate_ = nullptr;
    queue_.reset();
    *holder = std::make_tuple(std::move(startedBlock_), std::move(headersReceivedBlock_),
                              std::move(completionBlock_), std::move(failureBlock_),
                              std::move(dataReceivedBlock_), std::move(requestRedirectedBlock_));
    startedBlock_ = nullptr;
    headersReceivedBlock_ = nullptr;
    completionBlock_ = nullptr;
    failureBlock_ = nullptr;
    dataReceivedBlock_ = nullptr;
    requestRedirectedBlock_ = nullptr;
    sentBlock = std::move(requestSentBlock_);
    requestSentBlock_ = nullptr;
    uploadProgressDelegate_ = downloadProgressDelegate_ = nullptr;
    progressBlocks = {std::move(uploadProgressBlock_), std::move(downloadProgressBlock_)};
    uploadProgressBlock_ = downloadProgressBlock_ = nullptr;
    authBlocks = {std::move(authenticationNeededBlock_),
                  std::move(proxyAuthenticationNeededBlock_)};
    authenticationNeededBlock_ = nullptr;
    proxyAuthenticationNeededBlock_ = nullptr;
  }
  // Closures may own things that belong to the main thread: let them go there.
  if (RunLoop* main = RunLoop::main(); main && !main->isLoopThread())
    postToMainInOrder(*main,
                      [holder, sentBlock = std::move(sentBlock), authBlocks = std::move(authBlocks),
                       progressBlocks = std::move(progressBlocks)]() mutable {
                        holder.reset();
                        sentBlock = nullptr;
                        authBlocks = {};
                        progressBlocks = {};
                      });
  holder.reset();
  cancel();
}

void HTTPRequest::redirectToURL(const Url& target) {
  auto s = std::static_pointer_cast<HTTPRequest>(shared_from_this());
  asio::io_context* io;
  {
    std::lock_guard lock(cancelledLock_);
    redirectURL_ = target;
    io = impl_->io;
  }
  if (!io) io = &NetworkThread::shared().context();
  asio::post(*io, [s] {
    std::lock_guard lock(s->cancelledLock_);
    if (s->cancelled_ || s->error_) return;
    s->impl_->guarded([&] { s->impl_->performRedirect(); });
  });
}

// ---- the authenticator's view (called with cancelledLock_ held, on the request's thread) ----

HTTPRequest::AuthenticationState& HTTPRequest::authenticationState() {
  return impl_->authentication;
}

HTTPRequest::AuthenticationState::Side HTTPRequest::AuthenticationState::side(bool proxy) {
  if (!proxy)
    return {false,
            r.username_,
            r.password_,
            r.domain_,
            r.requestAuthentication_,
            r.requestCredentials_,
            r.authenticationScheme_,
            r.authenticationRealm_,
            r.authenticationRetryCount_,
            sentCredentials,
            rejectedCredentials,
            "Authorization",
            "Failed to apply credentials to request"};
  return {true,
          r.proxyUsername_,
          r.proxyPassword_,
          r.proxyDomain_,
          r.proxyAuthentication_,
          r.proxyCredentials_,
          r.proxyAuthenticationScheme_,
          r.proxyAuthenticationRealm_,
          r.proxyAuthenticationRetryCount_,
          sentProxyCredentials,
          rejectedProxyCredentials,
          "Proxy-Authorization",
          "Failed to apply proxy credentials to request"};
}

void HTTPRequest::AuthenticationState::setMessageHeader(std::string_view name,
                                                        std::string_view value) {
  r.impl_->messageHeaders.set(name, value);
}

bool HTTPRequest::AuthenticationState::messageHasHeader(std::string_view name) const {
  return r.impl_->messageHeaders.contains(name);
}

void HTTPRequest::AuthenticationState::tearDown() {
  r.impl_->cancelLoad();
}

void HTTPRequest::AuthenticationState::restartTransfer() {
  r.impl_->guarded([&] { r.impl_->startRequest(); });
}

void HTTPRequest::AuthenticationState::startNewAttempt() {
  r.impl_->guarded([&] { r.impl_->mainLocked(); });
}

void HTTPRequest::AuthenticationState::fail(const Error& error) {
  r.impl_->failWithError(error);
}

void HTTPRequest::AuthenticationState::waitForCredentials() {
  // Still in progress, and cancellable, while someone is asked; no status timer runs, and
  // without an activity time nothing could time the wait out anyway.
  r.impl_->lastActivityTime.reset();
  r.impl_->removeStatusTimer();
  r.complete_ = false;
}

std::function<void(HTTPRequest&)> HTTPRequest::AuthenticationState::credentialsAnswerer(
    bool proxy) const {
  std::lock_guard lock(r.callbackLock_);
  HTTPRequestDelegate* d = r.delegate_;
  if (d && (proxy ? d->wantsProxyAuthenticationNeeded() : d->wantsAuthenticationNeeded())) {
    if (proxy) return [d](HTTPRequest& x) { d->proxyAuthenticationNeededForRequest(x); };
    return [d](HTTPRequest& x) { d->authenticationNeededForRequest(x); };
  }
  auto queue = r.queue_;
  if (!d && queue &&
      (proxy ? queue->wantsProxyAuthenticationNeeded() : queue->wantsAuthenticationNeeded())) {
    if (proxy) return [queue](HTTPRequest& x) { queue->proxyAuthenticationNeededForRequest(x); };
    return [queue](HTTPRequest& x) { queue->authenticationNeededForRequest(x); };
  }
  return proxy ? r.proxyAuthenticationNeededBlock_ : r.authenticationNeededBlock_;
}

void HTTPRequest::authPerformOnRequestThread(std::function<void()> fn) {
  auto s = std::static_pointer_cast<HTTPRequest>(shared_from_this());
  asio::io_context* io;
  {
    std::lock_guard lock(cancelledLock_);
    io = impl_->io;
  }
  if (!io) io = &NetworkThread::shared().context();
  asio::post(*io, [s, fn = std::move(fn)] {
    std::lock_guard lock(s->cancelledLock_);
    fn();
  });
}

}  // namespace est
