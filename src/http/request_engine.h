#pragma once

// The transfer machinery behind HTTPRequest, shared by the units that each own one concern of
// an exchange (http_request.cpp runs an attempt and ends it; the others are named after what
// they do). Internal to the client: include it only from those units.

#include <atomic>
#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "http/authentication.h"
#include "http/authentication_state.h"
#include "http/bandwidth_throttle.h"
#include "http/connection_pool.h"
#include "http/data_compressor.h"
#include "http/http_request.h"
#include "http/proxy_settings.h"
#include "http/request_files.h"
#include "http/support/main_mailbox.h"
#include "http/throttled_input_stream.h"
#include "http/transport.h"
#include "platform/run_loop.h"

namespace est {

namespace asio = boost::asio;

// ---- class-wide state ----

struct RequestGlobals {
  std::uint64_t nextRequestID = 1;
  int runningRequestCount = 0;
  bool shouldUpdateNetworkActivityIndicator = true;
  std::function<void(bool)> activityHandler;

  std::atomic<double> defaultTimeOutSeconds{10.0};
  std::atomic<RunLoop*> statusTimerLoop{nullptr};

  std::recursive_mutex sessionCookiesLock;
  std::vector<Cookie> sessionCookies;

  std::mutex seamsLock;
  std::shared_ptr<DownloadCacheInterface> defaultCache;
  std::shared_ptr<HTTPRequestAuthenticator> authenticator = makeStandardAuthenticator();
  std::shared_ptr<BandwidthThrottle> throttle = std::make_shared<BandwidthThrottler>();
};

RequestGlobals& globals();
ConnectionPool& pool();
// Guards the pool, the running-request count and the request counter.
std::recursive_mutex& connectionsLock();
// The pool's clock: the status-timer loop of tests when one is set.
SteadyTime poolNow();
std::shared_ptr<HTTPRequestAuthenticator> currentAuthenticator();
Error connectionFailure(const Error& underlying, bool tls);
// The same failure when the TLS that broke was the proxy's own.
Error proxyTlsFailure(const Error& underlying);

// ---- transfer machinery ----

struct HTTPRequest::Impl : net::ResponseSink {
  HTTPRequest& r;
  explicit Impl(HTTPRequest& owner) : r(owner) {}
  ~Impl() override { removeStatusTimer(); }

  std::shared_ptr<HTTPRequest> self() {
    return std::static_pointer_cast<HTTPRequest>(r.shared_from_this());
  }

  // What the authenticator keeps between attempts (authentication_state.h).
  AuthenticationState authentication{r};

  // ---- running an attempt, ending it (http_request.cpp) ----

  // Where the request's work runs: the network thread, or the caller's loop when synchronous.
  asio::io_context* io = nullptr;
  RunLoop* driverLoop = nullptr;
  RunLoop* timerLoop = nullptr;
  TimerId statusTimer = 0;
  std::uint64_t attempt = 0;
  std::optional<SteadyTime> lastActivityTime;  // what the inactivity time-out counts from

  SteadyTime now() const { return timerLoop ? timerLoop->now() : std::chrono::steady_clock::now(); }
  bool current(std::uint64_t gen) const { return gen == attempt && !r.complete_ && !r.cancelled_; }

  void main();
  void mainLocked();
  void startRequest();
  void onOpened(std::uint64_t gen, net::ErrorCode ec, net::OpenStage stage);
  void startIO(std::uint64_t gen);
  void scheduleStatusTimer();
  void removeStatusTimer();
  void updateStatus();
  bool shouldTimeOut() const;
  void checkRequestStatus();

  template <class F>
  void guarded(F&& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      failWithException(typeid(e).name(), e.what());
    } catch (...) {
      failWithException(nullptr, "unknown exception");
    }
  }
  void failWithException(const char* typeName, const char* reason);
  void markAsFinished();
  void failWithError(const Error& e);
  void cancelOnRequestThread();
  void cancelLoad();
  void handleStreamError(const net::ErrorCode& ec, bool tls, bool forcedLost = false);

  // ---- delivery on the main run loop, progress, activity (request_delivery.cpp) ----

  template <class F>
  void deliver(F&& fn) {
    auto s = self();
    auto task = [s, fn = std::forward<F>(fn)]() mutable { fn(*s); };
    RunLoop* main = RunLoop::main();
    // A script fetch reports to the request that waits for it, on the network thread.
    if (!main || main->isLoopThread() || r.isPACFileRequest_)
      task();
    else
      postToMainInOrder(*main, std::move(task));
  }

  template <class F>
  static auto locked(HTTPRequest& q, F&& f) {
    std::lock_guard lock(q.callbackLock_);
    return f();
  }

  // What this attempt told the queue, so that a restart takes exactly that back.
  long long uploadReported = 0;
  long long downloadReported = 0;
  long long downloadSizeAnnounced = 0;
  std::uint64_t appendedPartial = 0;    // bytes of an earlier download this reply continues
  std::uint64_t attemptBodyLength = 0;  // kept when a redirect drops the body mid-attempt
  bool failureDelivered = false;
  bool downloadSizeKnownFromHEAD = false;  // a HEAD request already counted the size
  bool downloadProgressByUnit = false;     // no length known: one unit, given at the end

  // Byte counts for the request's queue, which sums them over its requests.
  template <class F>
  bool deliverQueueProgress(F&& fn) {
    {
      std::lock_guard lock(r.callbackLock_);
      if (!r.queue_) return false;
    }
    deliver([fn = std::forward<F>(fn)](HTTPRequest& q) {
      if (auto queue = q.queue()) fn(*queue, q);
    });
    return true;
  }
  using QueueReport = void (HTTPRequestQueue::*)(HTTPRequest&, long long);
  void tellQueue(QueueReport report, long long bytes, long long& tally);
  void withdrawFromQueue(QueueReport report, long long& tally);
  void reportSent(long long bytes);
  void reportReceived(long long bytes);
  void announceDownload(long long bytes);
  void deliverOwnProgress(bool upload, std::uint64_t done, std::uint64_t total);
  void reportOwnUpload() { deliverOwnProgress(true, r.totalBytesSent_, attemptBodyLength); }
  void reportOwnDownload(bool complete = false);
  void withdrawReportedProgress();

  bool skipInformationalCallbacks() const { return r.error_ || !r.mainRequest_.expired(); }
  bool anyoneListens(bool headers) const;
  void deliverStarted();
  void deliverHeaders(const HeaderMap& received);
  void deliverSent();
  void deliverRedirected();
  bool canAnswerWillRedirect() const;
  void deliverWillRedirect(Url target);
  bool wantsData() const;
  void deliverData(Data bytes);
  static void releaseBlocks(HTTPRequest& q);
  void deliverFinished();
  void deliverFailed();

  void scheduleStream();
  void unscheduleStream();

  // ---- the pooled connection (request_connection.cpp) ----

  std::shared_ptr<PoolEntry> entry;
  std::shared_ptr<net::Connection> connection;
  bool forceFreshConnection = false;

  void arrangeConnection();
  void closeConnection();
  void dropConnectionEntry();
  void releaseConnection();

  // ---- proxy choice and proxy scripts (request_proxy.cpp) ----

  std::optional<net::ProxyTarget> proxyTarget;
  std::uint64_t pacGeneration = 0;
  bool pacLimitRaised = false;
  bool pacURLFromSettings = false;
  bool proxyFromSettings = false;  // chosen by lookup, so chosen afresh for every attempt

  bool configureProxies();
  void applyProxyEntry(const ProxyEntry& e);
  void raisePACLimit();
  void lowerPACLimit();
  static std::optional<std::string> pacText(HTTPRequest& q);
  void fetchPACFile();
  void finishedDownloadingPACFile(std::uint64_t gen, std::optional<std::string> text);
  static std::optional<ProxyEntry> evaluateLogged(const std::string& script, const Url& target,
                                                  double timeout);
  void runPACJob(std::uint64_t gen, std::function<std::optional<ProxyEntry>()> job);
  void pacDecided(std::uint64_t gen, const std::optional<ProxyEntry>& entry);
  void stopPACFetch();
  // The proxy of this attempt; an error when the request's proxy cannot be used.
  std::optional<Error> chooseProxyTarget(const Url& url);
  bool sendsAbsoluteForm() const;
  void handleProxyRefusal(std::uint64_t gen, const net::ErrorCode& ec);

  // ---- the download cache (request_cache.cpp) ----

  bool cacheFallbackTried = false;

  int effectiveCachePolicy() const;
  bool answeredFromCache();
  bool cachedCopyConfirmed();
  bool fellBackToCache();
  void storeReplyInCache();
  void releaseConnectionForCachedReply();
  void useDataFromCache();

  // ---- the message and its body on the way out (request_sending.cpp) ----

  // message
  std::string messageMethod;
  HeaderMap messageHeaders;
  bool cookieHeaderNeedsRebuild = false;
  std::string head;

  // sending
  FileReader bodyFile;
  std::vector<char> bodyPiece;
  bool requestWritten = false;
  std::uint64_t lastBytesSent = 0;
  std::uint64_t headBytesPending = 0;

  // The body goes out in bounded pieces, so the sent count grows as the peer takes them and
  // memory holds one piece, whatever the body's size.
  static constexpr size_t kUploadPiece = 32768;
  std::uint64_t bodyTaken = 0;       // body bytes this attempt took from memory or file
  std::uint64_t bodyAccepted = 0;    // body bytes the connection took from us
  std::uint64_t bodyHandedOver = 0;  // ... and those of a write still in flight
  // Written a little at a time, as the connection takes it, so the count of accepted bytes
  // is exact and can be set against what the connection still holds.
  std::vector<asio::const_buffer> outgoing;
  const char* pieceData = nullptr;  // the piece nextBodyPiece found

  // uploads written to disk by appendPostData
  FileWriter postBodyWriteStream;
  std::optional<Error> postBodyWriteError;

  void composeHead();
  std::shared_ptr<RequestBody> bodySource() const;
  const Data* memoryBody() const;
  std::string bodyFilePath() const;
  void startWriting(std::uint64_t gen);
  void write(std::uint64_t gen, std::vector<asio::const_buffer> buffers);
  void writeOutgoing(std::uint64_t gen);
  void consumeOutgoing(size_t n);
  long nextBodyPiece();
  void onWritten(std::uint64_t gen, net::ErrorCode ec, size_t n);
  void updateSentCount();
  void closeBodyFiles();
  void failWithBodyReadError();
  void failWithBodyAttributesError();
  bool openThrottledBody();
  void writeThrottledPiece(std::uint64_t gen);
  void dropBody();
  void removeTemporaryUploadFiles();

  // ---- the reply on the way in (request_response.cpp) ----

  std::unique_ptr<net::ResponseParser> parser;
  size_t readBegin = 0, readEnd = 0;  // unparsed bytes in the connection's read buffer
  bool replyBytesSeen = false;
  bool headersRead = false;
  bool contentLengthAnnounced = false;
  int responseVersion = 11;
  std::vector<std::string> rawSetCookies;
  bool gzipBody = false;
  bool bodyInMemory = true;       // false when the body went to a file
  std::uint64_t bodyBytes = 0;    // of this reply's body, inflated when that happens on the fly
  std::uint64_t movedToFile = 0;  // body bytes the kernel took to the file past the parser
  std::unique_ptr<DataDecompressor> decompressor;

  size_t chunkSize() const;
  void readMore(std::uint64_t gen);
  void readOnUnlessHeld(std::uint64_t gen);
  void onRead(std::uint64_t gen, net::ErrorCode ec, size_t n);
  void handleRead(std::uint64_t gen, net::ErrorCode ec, size_t n);
  void finishReply(bool eof);
  std::optional<std::uint64_t> bodyLeftToMove() const;
  void moveToFile(std::uint64_t gen, std::uint64_t left);
  void onMovedToFile(std::uint64_t gen, net::ErrorCode ec, size_t n, bool fileTookAll);
  bool countBody(size_t raw, size_t body);
  void onResponseHead(int status, int version, std::string_view reason, HeaderMap headers,
                      std::vector<std::string> setCookies, net::ErrorCode& ec) override;
  void onResponseBody(std::string_view bytes, net::ErrorCode& ec) override;
  void readResponseHeaders();
  void announceDownloadSize(const HeaderMap& h);
  void handleBytesAvailable(std::string_view bytes);
  InflateLimits inflateLimits() const { return {responseLimit(), true}; }
  void dropInflatedBody(const Error& error);
  std::uint64_t responseLimit() const;
  std::optional<Error> checkHeldInflation();
  void handleStreamComplete();
  void afterNetworkEvent();
  void performRedirect();

  // ---- a body bound for a file (request_download.cpp) ----

  FileWriter downloadFile;
  FileWriter inflatedFile;  // the body inflated on the fly

  bool openDownloadFiles();
  void failWriting(const std::string& path);
  std::optional<Error> completeDownloadFile();
  void dropWorkFiles();

  // ---- bandwidth pauses (request_bandwidth.cpp) ----

  // While the shared account is spent the transfer is taken off the loop: no reads or body
  // pieces are issued, the stream counts as unscheduled (so the inactivity time-out does not
  // run), and a one-shot timer brings it back at the wake-up time.
  TimerId throttleTimer = 0;
  RunLoop* throttleTimerLoop = nullptr;
  bool throttlePaused = false;
  bool startHeld = false;  // the exchange has not begun
  bool readHeld = false;
  bool writeHeld = false;
  bool bodyThroughThrottle = false;
  std::unique_ptr<ThrottledInputStream> throttledBody;
  std::uint64_t throttledBodySent = 0;

  void resetThrottleState();
  void cancelThrottleTimer();
  void performThrottling();
  void resumeAfterThrottle();
};

}  // namespace est
