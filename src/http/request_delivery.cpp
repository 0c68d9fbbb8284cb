#include "http/request_engine.h"

namespace est {

// ---- delivery on the main run loop ----

// Tells the queue `bytes` through `report` and adds them to `tally`, what this attempt
// told it; nothing when progress is not shown accurately or there is no queue.
void HTTPRequest::Impl::tellQueue(QueueReport report, long long bytes, long long& tally) {
  if (r.showAccurateProgress_ &&
      deliverQueueProgress(
          [report, bytes](HTTPRequestQueue& queue, HTTPRequest& q) { (queue.*report)(q, bytes); }))
    tally += bytes;
}

// Takes back what `tally` says was told, whatever the progress setting is now.
void HTTPRequest::Impl::withdrawFromQueue(QueueReport report, long long& tally) {
  if (tally == 0) return;
  deliverQueueProgress([report, back = -tally](HTTPRequestQueue& queue, HTTPRequest& q) {
    (queue.*report)(q, back);
  });
  tally = 0;
}

void HTTPRequest::Impl::reportSent(long long bytes) {
  tellQueue(&HTTPRequestQueue::requestDidSendBytes, bytes, uploadReported);
}

void HTTPRequest::Impl::reportReceived(long long bytes) {
  tellQueue(&HTTPRequestQueue::requestDidReceiveBytes, bytes, downloadReported);
}

void HTTPRequest::Impl::announceDownload(long long bytes) {
  tellQueue(&HTTPRequestQueue::requestIncrementDownloadSizeBy, bytes, downloadSizeAnnounced);
}

// The request's own delegate and closure, told bytes done of the total expected.
void HTTPRequest::Impl::deliverOwnProgress(bool upload, std::uint64_t done, std::uint64_t total) {
  if (!r.mainRequest_.expired()) return;
  {
    std::lock_guard lock(r.callbackLock_);
    bool any = upload ? (r.uploadProgressDelegate_ || r.uploadProgressBlock_)
                      : (r.downloadProgressDelegate_ || r.downloadProgressBlock_);
    if (!any) return;
  }
  deliver([upload, done, total](HTTPRequest& q) {
    auto [d, b] = locked(q, [&] {
      return upload ? std::pair(q.uploadProgressDelegate_, q.uploadProgressBlock_)
                    : std::pair(q.downloadProgressDelegate_, q.downloadProgressBlock_);
    });
    double fraction =
        total == 0 ? 0.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    if (d) d->setProgress(fraction);
    if (b) b(q, done, total);
  });
}

void HTTPRequest::Impl::reportOwnDownload(bool complete) {
  std::uint64_t done = r.totalBytesRead_ + appendedPartial;
  std::uint64_t total = contentLengthAnnounced ? r.contentLength_ + appendedPartial : 0;
  if (complete) total = std::max(total, done);
  deliverOwnProgress(false, done, total);
}

// Before an attempt sends again, what the last one reported is taken back, so that
// totals never pass what a single complete exchange moves. A body a redirect dropped was
// sent once and for all: it stays counted.
void HTTPRequest::Impl::withdrawReportedProgress() {
  bool resend = r.postLength_ > 0;
  if (resend) withdrawFromQueue(&HTTPRequestQueue::requestDidSendBytes, uploadReported);
  withdrawFromQueue(&HTTPRequestQueue::requestDidReceiveBytes, downloadReported);
  withdrawFromQueue(&HTTPRequestQueue::requestIncrementDownloadSizeBy, downloadSizeAnnounced);
  appendedPartial = 0;
  if (resend && r.shouldResetUploadProgress_) deliverOwnProgress(true, 0, r.postLength_);
  if (r.shouldResetDownloadProgress_) deliverOwnProgress(false, 0, 0);
}

// Whether anyone would hear of the start or the headers: a post to the main loop that
// finds nobody there costs the caller's thread a wake-up per request. Checked again there.
bool HTTPRequest::Impl::anyoneListens(bool headers) const {
  std::lock_guard lock(r.callbackLock_);
  bool delegateListens = r.delegate_ && (headers ? r.didReceiveResponseHeadersSelector_ != nullptr
                                                 : r.didStartSelector_ != nullptr);
  return delegateListens || r.queue_ ||
         (headers ? static_cast<bool>(r.headersReceivedBlock_)
                  : static_cast<bool>(r.startedBlock_));
}

void HTTPRequest::Impl::deliverStarted() {
  if (skipInformationalCallbacks() || !anyoneListens(false)) return;
  deliver([](HTTPRequest& q) {
    auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didStartSelector_); });
    if (d && sel) (d->*sel)(q);
    if (auto queue = q.queue()) queue->requestStarted(q);
    if (auto b = q.getCallback(q.startedBlock_)) b(q);
  });
}

void HTTPRequest::Impl::deliverHeaders(const HeaderMap& received) {
  if (skipInformationalCallbacks() || !anyoneListens(true)) return;
  deliver([headers = received](HTTPRequest& q) {
    auto [d, sel] =
        locked(q, [&] { return std::pair(q.delegate_, q.didReceiveResponseHeadersSelector_); });
    if (d && sel) (d->*sel)(q, headers);
    if (auto queue = q.queue()) queue->requestDidReceiveResponseHeaders(q, headers);
    if (auto b = q.getCallback(q.headersReceivedBlock_)) b(q, headers);
  });
}

void HTTPRequest::Impl::deliverSent() {
  SentRequest info{r.sentRequestLine_, r.sentRequestHeaders_, r.connectionID_,
                   r.connectionWasReused_};
  deliver([info = std::move(info)](HTTPRequest& q) {
    if (auto b = q.getCallback(q.requestSentBlock_)) b(q, info);
  });
}

void HTTPRequest::Impl::deliverRedirected() {
  if (skipInformationalCallbacks()) return;
  deliver([](HTTPRequest& q) {
    if (auto* d = q.delegate()) d->requestRedirected(q);
    if (auto b = q.getCallback(q.requestRedirectedBlock_)) b(q);
  });
}

bool HTTPRequest::Impl::canAnswerWillRedirect() const {
  std::lock_guard lock(r.callbackLock_);
  bool delegateCan =
      r.delegate_ && (r.willRedirectSelector_ != &HTTPRequestDelegate::requestWillRedirectToURL ||
                      r.delegate_->wantsWillRedirect());
  return delegateCan || (r.queue_ && r.queue_->wantsWillRedirect());
}

void HTTPRequest::Impl::deliverWillRedirect(Url target) {
  deliver([target = std::move(target)](HTTPRequest& q) {
    auto [d, sel] = locked(q, [&] {
      bool delegateCan =
          q.delegate_ && q.willRedirectSelector_ &&
          (q.willRedirectSelector_ != &HTTPRequestDelegate::requestWillRedirectToURL ||
           q.delegate_->wantsWillRedirect());
      return std::pair(delegateCan ? q.delegate_ : nullptr, q.willRedirectSelector_);
    });
    if (d) {
      (d->*sel)(q, target);
    } else if (auto queue = q.queue()) {
      queue->requestWillRedirectToURL(q, target);
    }
  });
}

bool HTTPRequest::Impl::wantsData() const {
  std::lock_guard lock(r.callbackLock_);
  bool delegateWants = r.delegate_ && r.didReceiveDataSelector_ &&
                       (r.didReceiveDataSelector_ != &HTTPRequestDelegate::requestDidReceiveData ||
                        r.delegate_->wantsReceivedData());
  return delegateWants || static_cast<bool>(r.dataReceivedBlock_);
}

void HTTPRequest::Impl::deliverData(Data bytes) {
  deliver([bytes = std::move(bytes)](HTTPRequest& q) {
    auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didReceiveDataSelector_); });
    if (d && sel) (d->*sel)(q, bytes);
    if (auto b = q.getCallback(q.dataReceivedBlock_)) b(q, bytes);
  });
}

// The closures often hold the request; letting go of them after the last callback breaks
// such cycles.
void HTTPRequest::Impl::releaseBlocks(HTTPRequest& q) {
  Block a, c, f, rr, auth, proxyAuth;
  SentBlock sent;
  HeadersBlock h;
  DataBlock d;
  ProgressBlock up, down;
  {
    std::lock_guard lock(q.callbackLock_);
    up = std::move(q.uploadProgressBlock_);
    down = std::move(q.downloadProgressBlock_);
    q.uploadProgressBlock_ = nullptr;
    q.downloadProgressBlock_ = nullptr;
    a = std::move(q.startedBlock_);
    c = std::move(q.completionBlock_);
    f = std::move(q.failureBlock_);
    rr = std::move(q.requestRedirectedBlock_);
    sent = std::move(q.requestSentBlock_);
    q.requestSentBlock_ = nullptr;
    h = std::move(q.headersReceivedBlock_);
    d = std::move(q.dataReceivedBlock_);
    auth = std::move(q.authenticationNeededBlock_);
    proxyAuth = std::move(q.proxyAuthenticationNeededBlock_);
    q.authenticationNeededBlock_ = nullptr;
    q.proxyAuthenticationNeededBlock_ = nullptr;
    q.startedBlock_ = nullptr;
    q.completionBlock_ = nullptr;
    q.failureBlock_ = nullptr;
    q.requestRedirectedBlock_ = nullptr;
    q.headersReceivedBlock_ = nullptr;
    q.dataReceivedBlock_ = nullptr;
  }
}

void HTTPRequest::Impl::deliverFinished() {
  deliver([](HTTPRequest& q) {
    auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didFinishSelector_); });
    if (d && sel) (d->*sel)(q);
    if (auto queue = q.queue()) queue->requestFinished(q);
    if (auto b = q.getCallback(q.completionBlock_)) b(q);
    releaseBlocks(q);
  });
}

void HTTPRequest::Impl::deliverFailed() {
  failureDelivered = true;
  deliver([](HTTPRequest& q) {
    auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didFailSelector_); });
    if (d && sel) (d->*sel)(q);
    if (auto queue = q.queue()) queue->requestFailed(q);
    if (auto b = q.getCallback(q.failureBlock_)) b(q);
    releaseBlocks(q);
  });
}

// ---- network activity ----

void HTTPRequest::Impl::scheduleStream() {
  if (r.readStreamIsScheduled_) return;
  r.readStreamIsScheduled_ = true;
  auto& g = globals();
  std::function<void(bool)> handler;
  {
    std::lock_guard lock(connectionsLock());
    if (++g.runningRequestCount == 1 && g.shouldUpdateNetworkActivityIndicator)
      handler = g.activityHandler;
  }
  if (handler) {
    if (RunLoop* main = RunLoop::main()) runOnMainInOrder(*main, [handler] { handler(true); });
  }
}

void HTTPRequest::Impl::unscheduleStream() {
  if (!r.readStreamIsScheduled_) return;
  r.readStreamIsScheduled_ = false;
  auto& g = globals();
  bool idle = false;
  {
    std::lock_guard lock(connectionsLock());
    idle =
        --g.runningRequestCount == 0 && g.shouldUpdateNetworkActivityIndicator && g.activityHandler;
  }
  if (!idle) return;
  if (RunLoop* main = RunLoop::main()) {
    runOnMainInOrder(*main, [main] {
      main->schedule(Seconds(0.5), [] {
        auto& gl = globals();
        std::function<void(bool)> h;
        {
          std::lock_guard lock(connectionsLock());
          if (gl.runningRequestCount == 0) h = gl.activityHandler;
        }
        if (h) h(false);
      });
    });
  }
}

bool HTTPRequest::isNetworkInUse() {
  std::lock_guard lock(connectionsLock());
  return globals().runningRequestCount > 0;
}

void HTTPRequest::setShouldUpdateNetworkActivityIndicator(bool b) {
  std::lock_guard lock(connectionsLock());
  globals().shouldUpdateNetworkActivityIndicator = b;
}

void HTTPRequest::setNetworkActivityIndicatorHandler(std::function<void(bool)> handler) {
  std::lock_guard lock(connectionsLock());
  globals().activityHandler = std::move(handler);
}

}  // namespace est
