#include "http/network_queue.h"

#include <algorithm>

namespace est {

NetworkQueue::NetworkQueue() {
  operations_.setMaxConcurrentOperationCount(4);
  operations_.setSuspended(true);
  // Started on the network thread, like the shared queue, so that a start never runs inside
  // the locks of a request that has just finished.
  operations_.setDispatcher(
      [](std::function<void()> fn) { HTTPRequest::postToNetworkThread(std::move(fn)); });
}

NetworkQueue::~NetworkQueue() = default;

NetworkQueuePtr NetworkQueue::queue() {
  return NetworkQueuePtr(new NetworkQueue());
}

bool NetworkQueue::addOperation(const std::shared_ptr<Operation>& operation, Error* error) {
  auto request = std::dynamic_pointer_cast<HTTPRequest>(operation);
  if (!request) {
    if (error)
      *error = Error("AttemptToAddInvalidRequest", 0,
                     "Attempted to add an object that was not an HTTPRequest to a NetworkQueue");
    return false;
  }
  bool accurate = false;
  {
    std::lock_guard lock(lock_);
    ++requestsCount_;
    accurate = showAccurateProgress_;
    if (!accurate) {
      ++totalBytesToDownload_;
      ++totalBytesToUpload_;
    }
  }
  // The queue hears the request from here on: building the body below may already fail it.
  request->setShowAccurateProgress(accurate);
  request->setQueue(shared_from_this());
  if (accurate) {
    // The body's size is known only once it is built; the download size grows as each
    // reply announces its length, or, for a GET joining before go(), as soon as a HEAD
    // request run ahead of it learns the length.
    request->buildPostBody();
    {
      std::lock_guard lock(lock_);
      totalBytesToUpload_ += request->postLength();
    }
    if (request->requestMethod() == "GET" && !request->error() && isSuspended()) {
      auto head = request->HEADRequest();
      addHEADOperation(head);
      request->addDependency(head);
    }
  }
  reportProgress();
  operations_.addOperation(request);
  return true;
}

void NetworkQueue::addHEADOperation(const HTTPRequestPtr& request) {
  request->setRequestMethod("HEAD");
  request->setQueuePriority(10);
  request->setShowAccurateProgress(true);
  request->setQueue(shared_from_this());
  operations_.addOperation(request);
}

void NetworkQueue::go() {
  operations_.setSuspended(false);
}

bool NetworkQueue::isSuspended() const {
  return operations_.isSuspended();
}

void NetworkQueue::setSuspended(bool suspended) {
  operations_.setSuspended(suspended);
}

int NetworkQueue::maxConcurrentOperationCount() const {
  return operations_.maxConcurrentOperationCount();
}

void NetworkQueue::setMaxConcurrentOperationCount(int count) {
  operations_.setMaxConcurrentOperationCount(count);
}

void NetworkQueue::cancelAllOperations() {
  {
    std::lock_guard lock(lock_);
    bytesUploadedSoFar_ = totalBytesToUpload_ = 0;
    bytesDownloadedSoFar_ = totalBytesToDownload_ = 0;
  }
  operations_.cancelAllOperations();
}

void NetworkQueue::reset() {
  cancelAllOperations();
  {
    std::lock_guard lock(lock_);
    delegate_ = nullptr;
    uploadProgressDelegate_ = downloadProgressDelegate_ = nullptr;
    requestDidStartSelector_ = nullptr;
    requestDidReceiveResponseHeadersSelector_ = nullptr;
    requestWillRedirectSelector_ = nullptr;
    requestDidFinishSelector_ = nullptr;
    requestDidFailSelector_ = nullptr;
    queueDidFinishSelector_ = nullptr;
  }
  operations_.setSuspended(true);
}

size_t NetworkQueue::operationCount() const {
  return operations_.operationCount();
}

#define EST_ACCESSOR(Type, getter, setter, field) \
  Type NetworkQueue::getter() const {             \
    std::lock_guard lock(lock_);                  \
    return field;                                 \
  }                                               \
  void NetworkQueue::setter(Type value) {         \
    std::lock_guard lock(lock_);                  \
    field = std::move(value);                     \
  }

using UserInfo = std::map<std::string, std::string>;
EST_ACCESSOR(bool, shouldCancelAllRequestsOnFailure, setShouldCancelAllRequestsOnFailure,
             shouldCancelAllRequestsOnFailure_)
EST_ACCESSOR(bool, showAccurateProgress, setShowAccurateProgress, showAccurateProgress_)
EST_ACCESSOR(NetworkQueueDelegate*, delegate, setDelegate, delegate_)
EST_ACCESSOR(ProgressDelegate*, uploadProgressDelegate, setUploadProgressDelegate,
             uploadProgressDelegate_)
EST_ACCESSOR(ProgressDelegate*, downloadProgressDelegate, setDownloadProgressDelegate,
             downloadProgressDelegate_)
EST_ACCESSOR(UserInfo, userInfo, setUserInfo, userInfo_)
#undef EST_ACCESSOR

void NetworkQueue::setRequestDidStartSelector(Selector s) {
  std::lock_guard lock(lock_);
  requestDidStartSelector_ = s;
}
void NetworkQueue::setRequestDidReceiveResponseHeadersSelector(HeadersSelector s) {
  std::lock_guard lock(lock_);
  requestDidReceiveResponseHeadersSelector_ = s;
}
void NetworkQueue::setRequestWillRedirectSelector(RedirectSelector s) {
  std::lock_guard lock(lock_);
  requestWillRedirectSelector_ = s;
}
void NetworkQueue::setRequestDidFinishSelector(Selector s) {
  std::lock_guard lock(lock_);
  requestDidFinishSelector_ = s;
}
void NetworkQueue::setRequestDidFailSelector(Selector s) {
  std::lock_guard lock(lock_);
  requestDidFailSelector_ = s;
}
void NetworkQueue::setQueueDidFinishSelector(QueueSelector s) {
  std::lock_guard lock(lock_);
  queueDidFinishSelector_ = s;
}

int NetworkQueue::requestsCount() const {
  std::lock_guard lock(lock_);
  return requestsCount_;
}
std::uint64_t NetworkQueue::bytesUploadedSoFar() const {
  std::lock_guard lock(lock_);
  return bytesUploadedSoFar_;
}
std::uint64_t NetworkQueue::totalBytesToUpload() const {
  std::lock_guard lock(lock_);
  return totalBytesToUpload_;
}
std::uint64_t NetworkQueue::bytesDownloadedSoFar() const {
  std::lock_guard lock(lock_);
  return bytesDownloadedSoFar_;
}
std::uint64_t NetworkQueue::totalBytesToDownload() const {
  std::lock_guard lock(lock_);
  return totalBytesToDownload_;
}

// ---- forwarding ----

void NetworkQueue::requestStarted(HTTPRequest& request) {
  std::unique_lock lock(lock_);
  auto [d, sel] = std::pair(delegate_, requestDidStartSelector_);
  lock.unlock();
  if (d && sel) (d->*sel)(request);
}

void NetworkQueue::requestDidReceiveResponseHeaders(HTTPRequest& request,
                                                    const HeaderMap& headers) {
  std::unique_lock lock(lock_);
  auto [d, sel] = std::pair(delegate_, requestDidReceiveResponseHeadersSelector_);
  lock.unlock();
  if (d && sel) (d->*sel)(request, headers);
}

bool NetworkQueue::wantsWillRedirect() const {
  std::lock_guard lock(lock_);
  return delegate_ && requestWillRedirectSelector_ && delegate_->wantsWillRedirect();
}

void NetworkQueue::requestWillRedirectToURL(HTTPRequest& request, const Url& url) {
  std::unique_lock lock(lock_);
  auto [d, sel] = std::pair(delegate_, requestWillRedirectSelector_);
  lock.unlock();
  if (d && sel && d->wantsWillRedirect()) (d->*sel)(request, url);
}

bool NetworkQueue::wantsAuthenticationNeeded() const {
  std::lock_guard lock(lock_);
  return delegate_ && delegate_->wantsAuthenticationNeeded();
}

bool NetworkQueue::wantsProxyAuthenticationNeeded() const {
  std::lock_guard lock(lock_);
  return delegate_ && delegate_->wantsProxyAuthenticationNeeded();
}

void NetworkQueue::authenticationNeededForRequest(HTTPRequest& request) {
  std::unique_lock lock(lock_);
  auto* d = delegate_;
  lock.unlock();
  if (d && d->wantsAuthenticationNeeded()) d->authenticationNeededForRequest(request);
}

void NetworkQueue::proxyAuthenticationNeededForRequest(HTTPRequest& request) {
  std::unique_lock lock(lock_);
  auto* d = delegate_;
  lock.unlock();
  if (d && d->wantsProxyAuthenticationNeeded()) d->proxyAuthenticationNeededForRequest(request);
}

// A HEAD request that only sizes another was never counted, and its outcome reaches the
// delegate through the request it serves.
void NetworkQueue::requestFinished(HTTPRequest& request) {
  if (!request.mainRequest()) requestDone(request, false);
}

void NetworkQueue::requestFailed(HTTPRequest& request) {
  if (!request.mainRequest()) requestDone(request, true);
}

void NetworkQueue::requestDone(HTTPRequest& request, bool failed) {
  std::unique_lock lock(lock_);
  if (requestsCount_ > 0) --requestsCount_;
  if (!showAccurateProgress_) {
    ++bytesDownloadedSoFar_;
    ++bytesUploadedSoFar_;
  }
  int remaining = requestsCount_;
  auto* d = delegate_;
  Selector sel = failed ? requestDidFailSelector_ : requestDidFinishSelector_;
  QueueSelector finished = queueDidFinishSelector_;
  bool cancelRest = failed && remaining > 0 && shouldCancelAllRequestsOnFailure_;
  lock.unlock();
  reportProgress();
  if (d && sel) (d->*sel)(request);
  if (remaining == 0) {
    if (d && finished) (d->*finished)(*this);
  } else if (cancelRest) {
    cancelAllOperations();
  }
}

// ---- progress ----

void NetworkQueue::addBytes(std::uint64_t& counter, long long bytes) {
  {
    std::lock_guard lock(lock_);
    // A request that starts over withdraws what it had reported (a negative count).
    if (bytes < 0)
      counter -= std::min(counter, static_cast<std::uint64_t>(-bytes));
    else
      counter += static_cast<std::uint64_t>(bytes);
  }
  reportProgress();
}

void NetworkQueue::requestDidReceiveBytes(HTTPRequest&, long long bytes) {
  addBytes(bytesDownloadedSoFar_, bytes);
}

void NetworkQueue::requestDidSendBytes(HTTPRequest&, long long bytes) {
  addBytes(bytesUploadedSoFar_, bytes);
}

void NetworkQueue::requestIncrementDownloadSizeBy(HTTPRequest&, long long bytes) {
  addBytes(totalBytesToDownload_, bytes);
}

void NetworkQueue::requestIncrementUploadSizeBy(HTTPRequest&, long long bytes) {
  addBytes(totalBytesToUpload_, bytes);
}

void NetworkQueue::reportProgress() {
  // A total that is not known yet reads as nothing done, and a reply longer than it
  // announced never shows more than everything.
  auto fraction = [](std::uint64_t done, std::uint64_t total) {
    if (total == 0) return 0.0;
    return std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  };
  auto task = [weak = weak_from_this(), fraction] {
    auto self = weak.lock();
    if (!self) return;
    std::unique_lock lock(self->lock_);
    auto* up = self->uploadProgressDelegate_;
    auto* down = self->downloadProgressDelegate_;
    double upFraction = fraction(self->bytesUploadedSoFar_, self->totalBytesToUpload_);
    double downFraction = fraction(self->bytesDownloadedSoFar_, self->totalBytesToDownload_);
    lock.unlock();
    if (up) up->setProgress(upFraction);
    if (down) down->setProgress(downFraction);
  };
  if (RunLoop* main = RunLoop::main())
    main->runOrPost(std::move(task));
  else
    task();
}

}  // namespace est
