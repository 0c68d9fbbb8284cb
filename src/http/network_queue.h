#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "http/http_request.h"

namespace est {

class NetworkQueue;
using NetworkQueuePtr = std::shared_ptr<NetworkQueue>;

// Hears a NetworkQueue's requests under names of the queue's choosing: set the selectors
// (none is set by default) to the operations that should be called.
class NetworkQueueDelegate {
 public:
  virtual ~NetworkQueueDelegate() = default;
  virtual void queueRequestStarted(HTTPRequest&) {}
  virtual void queueRequestReceivedResponseHeaders(HTTPRequest&, const HeaderMap&) {}
  virtual void queueRequestWillRedirect(HTTPRequest&, const Url&) {}
  virtual void queueRequestFinished(HTTPRequest&) {}
  virtual void queueRequestFailed(HTTPRequest&) {}
  virtual void queueFinished(NetworkQueue&) {}
  // Whether the will-redirect selector is answered (the request then waits for
  // redirectToURL).
  virtual bool wantsWillRedirect() const { return false; }
  // Credentials for a request of the queue; the queue passes these questions on only when
  // the matching wants... hook says so.
  virtual void authenticationNeededForRequest(HTTPRequest&) {}
  virtual void proxyAuthenticationNeededForRequest(HTTPRequest&) {}
  virtual bool wantsAuthenticationNeeded() const { return false; }
  virtual bool wantsProxyAuthenticationNeeded() const { return false; }
};

// A group of HTTP requests run together: suspended until go(), at most four at a time, with
// the progress of all of them summed for one upload and one download progress delegate,
// their callbacks forwarded to the queue's delegate, one call when the last is done and, by
// default, the rest cancelled when one fails. Callbacks and progress come on the main loop.
class NetworkQueue : public HTTPRequestQueue, public std::enable_shared_from_this<NetworkQueue> {
 public:
  using Selector = void (NetworkQueueDelegate::*)(HTTPRequest&);
  using HeadersSelector = void (NetworkQueueDelegate::*)(HTTPRequest&, const HeaderMap&);
  using RedirectSelector = void (NetworkQueueDelegate::*)(HTTPRequest&, const Url&);
  using QueueSelector = void (NetworkQueueDelegate::*)(NetworkQueue&);

  static NetworkQueuePtr queue();
  ~NetworkQueue() override;

  // Refuses (false, "AttemptToAddInvalidRequest") anything that is not an HTTPRequest.
  bool addOperation(const std::shared_ptr<Operation>& operation, Error* error = nullptr);
  // Runs a HEAD request ahead of the others, uncounted (see HTTPRequest::HEADRequest).
  void addHEADOperation(const HTTPRequestPtr& request);
  void go();
  bool isSuspended() const;
  void setSuspended(bool suspended);
  int maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int count);
  // Clears the byte counters, then cancels every request.
  void cancelAllOperations();
  // Cancels everything, forgets the delegates and selectors, and suspends again.
  void reset();
  size_t operationCount() const;

  bool shouldCancelAllRequestsOnFailure() const;
  void setShouldCancelAllRequestsOnFailure(bool b);
  bool showAccurateProgress() const;
  void setShowAccurateProgress(bool b);
  NetworkQueueDelegate* delegate() const;
  void setDelegate(NetworkQueueDelegate* d);
  ProgressDelegate* uploadProgressDelegate() const;
  void setUploadProgressDelegate(ProgressDelegate* d);
  ProgressDelegate* downloadProgressDelegate() const;
  void setDownloadProgressDelegate(ProgressDelegate* d);
  std::map<std::string, std::string> userInfo() const;
  void setUserInfo(std::map<std::string, std::string> info);

  void setRequestDidStartSelector(Selector s);
  void setRequestDidReceiveResponseHeadersSelector(HeadersSelector s);
  void setRequestWillRedirectSelector(RedirectSelector s);
  void setRequestDidFinishSelector(Selector s);
  void setRequestDidFailSelector(Selector s);
  void setQueueDidFinishSelector(QueueSelector s);

  int requestsCount() const;
  std::uint64_t bytesUploadedSoFar() const;
  std::uint64_t totalBytesToUpload() const;
  std::uint64_t bytesDownloadedSoFar() const;
  std::uint64_t totalBytesToDownload() const;

  // What the requests call because the queue is their `queue`.
  void requestStarted(HTTPRequest& request) override;
  void requestDidReceiveResponseHeaders(HTTPRequest& request, const HeaderMap& headers) override;
  void requestWillRedirectToURL(HTTPRequest& request, const Url& url) override;
  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;
  void requestDidReceiveBytes(HTTPRequest& request, long long bytes) override;
  void requestDidSendBytes(HTTPRequest& request, long long bytes) override;
  void requestIncrementDownloadSizeBy(HTTPRequest& request, long long bytes) override;
  void requestIncrementUploadSizeBy(HTTPRequest& request, long long bytes) override;
  bool wantsWillRedirect() const override;
  void authenticationNeededForRequest(HTTPRequest& request) override;
  void proxyAuthenticationNeededForRequest(HTTPRequest& request) override;
  bool wantsAuthenticationNeeded() const override;
  bool wantsProxyAuthenticationNeeded() const override;

 protected:
  NetworkQueue();

 private:
  void requestDone(HTTPRequest& request, bool failed);
  void addBytes(std::uint64_t& counter, long long bytes);
  void reportProgress();

  OperationQueue operations_;
  mutable std::mutex lock_;
  bool shouldCancelAllRequestsOnFailure_ = true;
  bool showAccurateProgress_ = false;
  NetworkQueueDelegate* delegate_ = nullptr;
  ProgressDelegate* uploadProgressDelegate_ = nullptr;
  ProgressDelegate* downloadProgressDelegate_ = nullptr;
  std::map<std::string, std::string> userInfo_;
  Selector requestDidStartSelector_ = nullptr;
  HeadersSelector requestDidReceiveResponseHeadersSelector_ = nullptr;
  RedirectSelector requestWillRedirectSelector_ = nullptr;
  Selector requestDidFinishSelector_ = nullptr;
  Selector requestDidFailSelector_ = nullptr;
  QueueSelector queueDidFinishSelector_ = nullptr;
  int requestsCount_ = 0;
  std::uint64_t bytesUploadedSoFar_ = 0;
  std::uint64_t totalBytesToUpload_ = 0;
  std::uint64_t bytesDownloadedSoFar_ = 0;
  std::uint64_t totalBytesToDownload_ = 0;
};

}  // namespace est
