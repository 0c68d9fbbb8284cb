#include "http/http_request.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/http/error.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <typeinfo>

#include "http/authentication.h"
#include "http/bandwidth_throttle.h"
#include "http/connection_pool.h"
#include "http/download_destination.h"
#include "http/pac.h"
#include "http/proxy_settings.h"
#include "http/support/asio_run_loop.h"
#include "http/throttled_input_stream.h"
#include "http/transport.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/log.h"

namespace est {

namespace asio = boost::asio;
namespace fs = std::filesystem;

void BandwidthThrottle::incrementBandwidthUsedInLastSecond(std::uint64_t bytes) {
  total_ += bytes;
}

namespace {

// ---- class-wide state ----

struct Globals {
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

Globals& globals() {
  static auto* g = new Globals;  // used by the network thread until the process ends
  return *g;
}

ConnectionPool& pool() {
  return ConnectionPool::shared();
}

// Guards the pool, the running-request count and the request counter.
std::recursive_mutex& connectionsLock() {
  return pool().mutex();
}

SteadyTime poolNow() {
  if (RunLoop* loop = globals().statusTimerLoop.load()) return loop->now();
  return std::chrono::steady_clock::now();
}

std::shared_ptr<HTTPRequestAuthenticator> currentAuthenticator() {
  std::lock_guard lock(globals().seamsLock);
  return globals().authenticator;
}

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

// Work files live in a folder only we can enter: no other local user reads a partial body or
// plants a link where one is about to be written. Empty when no such folder can be had.
std::string privateTemporaryDirectory() {
  std::string dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    dir = std::string(runtime) + "/est-http";
  } else {
    const char* t = std::getenv("TMPDIR");
    dir = strprintf("%s/est-http-%u", t && *t ? t : "/tmp", static_cast<unsigned>(::getuid()));
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
      (st.st_mode & 077) != 0)
    return {};
  return dir;
}

// A new, empty file of our own under a name from the kernel's randomness; empty on failure,
// which makes the later open fail.
std::string makeTemporaryPath() {
  std::string dir = privateTemporaryDirectory();
  if (dir.empty()) return {};
  for (int attempt = 0; attempt < 8; ++attempt) {
    unsigned long long random[2] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return {};
    std::string path = strprintf("%s/%016llx%016llx", dir.c_str(), random[0], random[1]);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void removeFileQuietly(const std::string& path) {
  if (!path.empty()) ::unlink(path.c_str());
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

std::string demangle(const char* name) {
  int status = 0;
  char* d = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && d ? d : name;
  std::free(d);
  return out;
}

Error connectionFailure(const Error& underlying, bool tls) {
  std::string text = "A connection failure occurred";
  if (tls)
    text =
        strprintf("%s: SSL problem (possibly a bad/expired/self-signed certificate)", text.c_str());
  return Error(NetworkRequestErrorDomain, ConnectionFailureErrorType, text,
               std::make_shared<Error>(underlying));
}

// POSIX file writer for download files: bodies bound for disk never sit whole in memory.
class FileWriter {
 public:
  ~FileWriter() { close(); }
  bool open(const std::string& path, bool append) {
    close();
    fd_ =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    return fd_ >= 0;
  }
  bool write(const char* p, size_t n) { return writeAll(fd_, p, n); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// POSIX reader for bodies sent from disk.
class FileReader {
 public:
  ~FileReader() { close(); }
  bool open(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
  }
  // Bytes read, 0 at the end, -1 on error.
  long read(char* p, size_t n) {
    for (;;) {
      ssize_t r = ::read(fd_, p, n);
      if (r < 0 && errno == EINTR) continue;
      return static_cast<long>(r);
    }
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

constexpr size_t kFilePiece = 262144;

}  // namespace

// ---- transfer machinery ----

struct HTTPRequest::Impl : net::ResponseSink {
  HTTPRequest& r;
  explicit Impl(HTTPRequest& owner) : r(owner) {}
  ~Impl() override { removeStatusTimer(); }

  std::shared_ptr<HTTPRequest> self() {
    return std::static_pointer_cast<HTTPRequest>(r.shared_from_this());
  }

  // Where the request's work runs: the network thread, or the caller's loop when synchronous.
  asio::io_context* io = nullptr;
  RunLoop* driverLoop = nullptr;
  RunLoop* timerLoop = nullptr;
  TimerId statusTimer = 0;

  std::shared_ptr<PoolEntry> entry;
  std::shared_ptr<net::Connection> connection;
  bool forceFreshConnection = false;
  std::uint64_t attempt = 0;

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

  // receiving
  std::unique_ptr<net::ResponseParser> parser;
  size_t readBegin = 0, readEnd = 0;  // unparsed bytes in the connection's read buffer
  bool replyBytesSeen = false;
  bool headersRead = false;
  bool contentLengthAnnounced = false;
  bool failureDelivered = false;
  bool gzipBody = false;
  std::uint64_t bodyBytes = 0;  // of this reply's body, inflated when that happens on the fly
  std::unique_ptr<DataDecompressor> decompressor;
  FileWriter downloadFile;
  FileWriter inflatedFile;
  bool appendToPartialDownload = false;

  // uploads written to disk by appendPostData
  FileWriter postBodyWriteStream;
  std::optional<Error> postBodyWriteError;

  SteadyTime now() const { return timerLoop ? timerLoop->now() : std::chrono::steady_clock::now(); }

  // ---- delivery on the main run loop ----

  template <class F>
  void deliver(F&& fn) {
    auto s = self();
    auto task = [s, fn = std::forward<F>(fn)]() mutable { fn(*s); };
    RunLoop* main = RunLoop::main();
    // A script fetch reports to the request that waits for it, on the network thread.
    if (!main || main->isLoopThread() || r.isPACFileRequest_)
      task();
    else
      main->post(std::move(task));
  }

  template <class F>
  static auto locked(HTTPRequest& q, F&& f) {
    std::lock_guard lock(q.callbackLock_);
    return f();
  }

  // ---- progress ----

  // What this attempt told the queue, so that a restart takes exactly that back.
  long long uploadReported = 0;
  long long downloadReported = 0;
  long long downloadSizeAnnounced = 0;
  std::uint64_t appendedPartial = 0;    // bytes of an earlier download this reply continues
  std::uint64_t attemptBodyLength = 0;  // kept when a redirect drops the body mid-attempt

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
  // Tells the queue `bytes` through `report` and adds them to `tally`, what this attempt
  // told it; nothing when progress is not shown accurately or there is no queue.
  using QueueReport = void (HTTPRequestQueue::*)(HTTPRequest&, long long);
  void tellQueue(QueueReport report, long long bytes, long long& tally) {
    if (r.showAccurateProgress_ &&
        deliverQueueProgress([report, bytes](HTTPRequestQueue& queue, HTTPRequest& q) {
          (queue.*report)(q, bytes);
        }))
      tally += bytes;
  }
  // Takes back what `tally` says was told, whatever the progress setting is now.
  void withdrawFromQueue(QueueReport report, long long& tally) {
    if (tally == 0) return;
    deliverQueueProgress([report, back = -tally](HTTPRequestQueue& queue, HTTPRequest& q) {
      (queue.*report)(q, back);
    });
    tally = 0;
  }

  void reportSent(long long bytes) {
    tellQueue(&HTTPRequestQueue::requestDidSendBytes, bytes, uploadReported);
  }
  void reportReceived(long long bytes) {
    tellQueue(&HTTPRequestQueue::requestDidReceiveBytes, bytes, downloadReported);
  }
  void announceDownload(long long bytes) {
    tellQueue(&HTTPRequestQueue::requestIncrementDownloadSizeBy, bytes, downloadSizeAnnounced);
  }

  // The request's own delegate and closure, told bytes done of the total expected.
  void deliverOwnProgress(bool upload, std::uint64_t done, std::uint64_t total) {
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
  void reportOwnUpload() { deliverOwnProgress(true, r.totalBytesSent_, attemptBodyLength); }
  void reportOwnDownload(bool complete = false) {
    std::uint64_t done = r.totalBytesRead_ + appendedPartial;
    std::uint64_t total = contentLengthAnnounced ? r.contentLength_ + appendedPartial : 0;
    if (complete) total = std::max(total, done);
    deliverOwnProgress(false, done, total);
  }

  // Before an attempt sends again, what the last one reported is taken back, so that
  // totals never pass what a single complete exchange moves. A body a redirect dropped was
  // sent once and for all: it stays counted.
  void withdrawReportedProgress() {
    bool resend = r.postLength_ > 0;
    if (resend) withdrawFromQueue(&HTTPRequestQueue::requestDidSendBytes, uploadReported);
    withdrawFromQueue(&HTTPRequestQueue::requestDidReceiveBytes, downloadReported);
    withdrawFromQueue(&HTTPRequestQueue::requestIncrementDownloadSizeBy, downloadSizeAnnounced);
    appendedPartial = 0;
    if (resend && r.shouldResetUploadProgress_) deliverOwnProgress(true, 0, r.postLength_);
    if (r.shouldResetDownloadProgress_) deliverOwnProgress(false, 0, 0);
  }

  bool skipInformationalCallbacks() const { return r.error_ || !r.mainRequest_.expired(); }

  void deliverStarted() {
    if (skipInformationalCallbacks()) return;
    deliver([](HTTPRequest& q) {
      auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didStartSelector_); });
      if (d && sel) (d->*sel)(q);
      if (auto queue = q.queue()) queue->requestStarted(q);
      if (auto b = q.getCallback(q.startedBlock_)) b(q);
    });
  }

  void deliverHeaders(HeaderMap headers) {
    if (skipInformationalCallbacks()) return;
    deliver([headers = std::move(headers)](HTTPRequest& q) {
      auto [d, sel] =
          locked(q, [&] { return std::pair(q.delegate_, q.didReceiveResponseHeadersSelector_); });
      if (d && sel) (d->*sel)(q, headers);
      if (auto queue = q.queue()) queue->requestDidReceiveResponseHeaders(q, headers);
      if (auto b = q.getCallback(q.headersReceivedBlock_)) b(q, headers);
    });
  }

  void deliverSent() {
    SentRequest info{r.sentRequestLine_, r.sentRequestHeaders_, r.connectionID_,
                     r.connectionWasReused_};
    deliver([info = std::move(info)](HTTPRequest& q) {
      if (auto b = q.getCallback(q.requestSentBlock_)) b(q, info);
    });
  }

  void deliverRedirected() {
    if (skipInformationalCallbacks()) return;
    deliver([](HTTPRequest& q) {
      if (auto* d = q.delegate()) d->requestRedirected(q);
      if (auto b = q.getCallback(q.requestRedirectedBlock_)) b(q);
    });
  }

  bool canAnswerWillRedirect() const {
    std::lock_guard lock(r.callbackLock_);
    bool delegateCan =
        r.delegate_ && (r.willRedirectSelector_ != &HTTPRequestDelegate::requestWillRedirectToURL ||
                        r.delegate_->wantsWillRedirect());
    return delegateCan || (r.queue_ && r.queue_->wantsWillRedirect());
  }

  void deliverWillRedirect(Url target) {
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

  bool wantsData() const {
    std::lock_guard lock(r.callbackLock_);
    bool delegateWants =
        r.delegate_ && r.didReceiveDataSelector_ &&
        (r.didReceiveDataSelector_ != &HTTPRequestDelegate::requestDidReceiveData ||
         r.delegate_->wantsReceivedData());
    return delegateWants || static_cast<bool>(r.dataReceivedBlock_);
  }

  void deliverData(Data bytes) {
    deliver([bytes = std::move(bytes)](HTTPRequest& q) {
      auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didReceiveDataSelector_); });
      if (d && sel) (d->*sel)(q, bytes);
      if (auto b = q.getCallback(q.dataReceivedBlock_)) b(q, bytes);
    });
  }

  // The closures often hold the request; letting go of them after the last callback breaks
  // such cycles.
  static void releaseBlocks(HTTPRequest& q) {
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

  void deliverFinished() {
    deliver([](HTTPRequest& q) {
      auto [d, sel] = locked(q, [&] { return std::pair(q.delegate_, q.didFinishSelector_); });
      if (d && sel) (d->*sel)(q);
      if (auto queue = q.queue()) queue->requestFinished(q);
      if (auto b = q.getCallback(q.completionBlock_)) b(q);
      releaseBlocks(q);
    });
  }

  void deliverFailed() {
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

  void scheduleStream() {
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
      if (RunLoop* main = RunLoop::main()) main->runOrPost([handler] { handler(true); });
    }
  }

  void unscheduleStream() {
    if (!r.readStreamIsScheduled_) return;
    r.readStreamIsScheduled_ = false;
    auto& g = globals();
    bool idle = false;
    {
      std::lock_guard lock(connectionsLock());
      idle = --g.runningRequestCount == 0 && g.shouldUpdateNetworkActivityIndicator &&
             g.activityHandler;
    }
    if (!idle) return;
    if (RunLoop* main = RunLoop::main()) {
      main->runOrPost([main] {
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

  // ---- bandwidth pauses ----

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

  void resetThrottleState() {
    cancelThrottleTimer();
    throttlePaused = startHeld = readHeld = writeHeld = bodyThroughThrottle = false;
    throttledBody.reset();
    throttledBodySent = 0;
  }

  void cancelThrottleTimer() {
    if (throttleTimer && throttleTimerLoop) throttleTimerLoop->cancel(throttleTimer);
    throttleTimer = 0;
  }

  void performThrottling() {
    double wait = globals().throttle->performThrottling();
    if (!connection || r.complete_ || r.cancelled_) return;
    if (wait <= 0) {
      resumeAfterThrottle();
      return;
    }
    if (!throttlePaused) {
      throttlePaused = true;
      unscheduleStream();
    }
    cancelThrottleTimer();
    throttleTimerLoop = timerLoop ? timerLoop : driverLoop;
    std::weak_ptr<HTTPRequest> weak = self();
    asio::io_context* ctx = io;
    std::uint64_t gen = attempt;
    throttleTimer = throttleTimerLoop->schedule(Seconds(wait), [weak, ctx, gen] {
      auto s = weak.lock();
      if (!s) return;
      asio::post(*ctx, [s, gen] {
        std::lock_guard lock(s->cancelledLock_);
        s->impl_->throttleTimer = 0;
        if (s->impl_->current(gen)) s->impl_->guarded([&] { s->impl_->performThrottling(); });
      });
    });
  }

  void resumeAfterThrottle() {
    if (!throttlePaused) return;
    throttlePaused = false;
    cancelThrottleTimer();
    scheduleStream();
    r.lastActivityTime_ = now();  // the pause is not inactivity
    std::uint64_t gen = attempt;
    if (startHeld) {
      startHeld = false;
      startIO(gen);
      return;
    }
    if (readHeld) {
      readHeld = false;
      readMore(gen);
    }
    if (writeHeld) {
      writeHeld = false;
      writeThrottledPiece(gen);
    }
  }

  // ---- status timer ----

  void scheduleStatusTimer() {
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

  void removeStatusTimer() {
    if (statusTimer && timerLoop) timerLoop->cancel(statusTimer);
    statusTimer = 0;
    cancelThrottleTimer();
  }

  void updateStatus() {
    std::lock_guard lock(r.cancelledLock_);
    guarded([&] { checkRequestStatus(); });
  }

  bool shouldTimeOut() const {
    if (!connection || !r.readStreamIsScheduled_ || !r.lastActivityTime_ || r.timeOutSeconds_ <= 0)
      return false;
    double idle = std::chrono::duration<double>(now() - *r.lastActivityTime_).count();
    if (idle <= r.timeOutSeconds_) return false;
    // A body may still be filling the transport's send buffer: allow it half as long again,
    // unless more than that buffer has already reached the peer.
    return r.postLength_ == 0 ||
           (r.uploadBufferSize_ > 0 && r.totalBytesSent_ > r.uploadBufferSize_) ||
           idle > r.timeOutSeconds_ * 1.5;
  }

  void checkRequestStatus() {
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
      r.lastActivityTime_ = now();
    }
    if (!r.inProgress_) removeStatusTimer();
  }

  // ---- failure, completion ----

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

  void failWithException(const char* typeName, const char* reason) {
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

  void markAsFinished() {
    removeTemporaryUploadFiles();
    bool wasInProgress = r.inProgress_.exchange(false);
    bool wasFinished = r.finished_.exchange(true);
    if (wasInProgress || !wasFinished) r.stateDidChange();
  }

  void failWithError(const Error& e) {
    r.complete_ = true;
    removeStatusTimer();
    if (e.code != AuthenticationErrorType && e.code != TooMuchRedirectionErrorType) {
      dropConnectionEntry();
    }
    unscheduleStream();
    if (r.cancelled_ || r.error_) return;
    if (r.downloadCache_ && !cacheFallbackTried &&
        (effectiveCachePolicy() & FallbackToCacheIfLoadFailsCachePolicy) &&
        r.downloadCache_->canUseCachedDataForRequest(r)) {
      cacheFallbackTried = true;  // a copy that cannot be read fails for good
      useDataFromCache();
      return;
    }
    r.error_ = e;
    dropWorkFiles();
    if (auto main = r.mainRequest_.lock()) main->put(main->error_, e);
    deliverFailed();
    if (r.inProgress_) markAsFinished();
  }

  void cancelOnRequestThread() {
    std::lock_guard lock(r.cancelledLock_);
    if (r.cancelled_ || r.complete_) return;
    failWithError(RequestCancelledError());
    r.complete_ = true;
    cancelLoad();
    r.cancelled_ = true;
    r.stateDidChange();
  }

  void closeConnection() {
    ++attempt;  // late completions of the old transfer are ignored
    if (connection) connection->close();
  }

  void dropConnectionEntry() {
    std::lock_guard lock(connectionsLock());
    closeConnection();
    if (entry) {
      pool().drop(entry);
      entry.reset();
    }
    connection.reset();
  }

  void releaseConnection() {
    std::lock_guard lock(connectionsLock());
    bool reusable = r.connectionCanBeReused_ && connection && connection->isOpen() &&
                    requestWritten && parser && parser->framingAllowsReuse() &&
                    readEnd == readBegin;
    if (!reusable && connection) connection->close();
    if (entry)
      pool().release(*entry,
                     poolNow() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     Seconds(r.persistentConnectionTimeoutSeconds_)));
  }

  // A body that will never be whole leaves nothing behind, unless it is kept to resume.
  void dropWorkFiles() {
    downloadFile.close();
    inflatedFile.close();
    if (!r.allowResumeForFileDownloads_) {
      removeFileQuietly(r.temporaryFileDownloadPath_);
      if (!r.temporaryFileDownloadPath_.empty()) r.temporaryFileDownloadPath_.clear();
    }
    removeFileQuietly(r.temporaryUncompressedDataDownloadPath_);
    r.temporaryUncompressedDataDownloadPath_.clear();
  }

  void cancelLoad() {
    stopPACFetch();
    removeStatusTimer();
    if (connection) {
      bool idle = entry && !entry->request;
      if (!(idle && connection->isOpen())) closeConnection();
    }
    unscheduleStream();
    bodyFile.close();
    dropWorkFiles();
    if (!r.authenticationNeeded_) removeTemporaryUploadFiles();
    r.rawResponseData_.clear();
    r.responseHeaders_.clear();
  }

  void removeTemporaryUploadFiles() {
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

  // ---- one attempt ----

  int effectiveCachePolicy() const {
    if (r.cachePolicy_ == 0 && r.downloadCache_) return r.downloadCache_->defaultCachePolicy();
    return r.cachePolicy_;
  }

  void main() {
    std::lock_guard lock(r.cancelledLock_);
    if (!io) {
      io = &NetworkThread::shared().context();
      driverLoop = &NetworkThread::shared().loop();
    }
    guarded([&] { mainLocked(); });
  }

  void mainLocked() {
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
    if (r.downloadCache_) {
      // A reply of an earlier attempt (a redirect) says nothing about this URL.
      r.responseHeaders_.clear();
      r.responseStatusCode_ = 0;
      if (r.cachePolicy_ == 0) r.cachePolicy_ = r.downloadCache_->defaultCachePolicy();
      if (r.downloadCache_->canUseCachedDataForRequest(r)) {
        useDataFromCache();
        return;
      }
      if (r.cachePolicy_ &
          (AskServerIfModifiedWhenStaleCachePolicy | AskServerIfModifiedCachePolicy)) {
        if (auto cached = r.downloadCache_->cachedResponseHeadersForURL(*r.url_)) {
          if (auto* etag = cached->find("Etag")) messageHeaders.set("If-None-Match", *etag);
          if (auto* lm = cached->find("Last-Modified"))
            messageHeaders.set("If-Modified-Since", *lm);
        }
      }
    }
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

  // ---- proxies ----

  std::optional<net::ProxyTarget> proxyTarget;
  std::uint64_t pacGeneration = 0;
  bool pacLimitRaised = false;
  bool pacURLFromSettings = false;

  bool configureProxies() {
    if (r.proxyFromSettings_) {
      // A lookup's answer holds for one URL only: look again for this attempt.
      r.proxyHost_.clear();
      r.proxyPort_ = 0;
      r.proxyType_.clear();
      r.proxyFromSettings_ = false;
    }
    if (pacURLFromSettings) {
      r.PACurl_.reset();
      pacURLFromSettings = false;
    }
    if (r.isPACFileRequest_ || !r.proxyHost_.empty() || r.proxyPort_ != 0) return true;
    if (r.PACurl_) {
      fetchPACFile();
      return false;
    }
    std::optional<std::vector<ProxyEntry>> list;
    if (auto settings = proxySettingsSource()->proxySettings())
      list = proxiesForURL(*settings, *r.url_);
    if (!list) {
      closeConnection();
      failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                     "Unable to obtain information on proxy servers needed for "
                                     "request"));
      return false;
    }
    if (list->empty()) return true;
    const ProxyEntry& first = list->front();
    if (first.kind == ProxyKind::AutoConfig) {
      r.PACurl_ = Url::parse(first.autoConfigURL);
      if (!r.PACurl_) return true;
      pacURLFromSettings = true;
      fetchPACFile();
      return false;
    }
    applyProxyEntry(first);
    return true;
  }

  void applyProxyEntry(const ProxyEntry& e) {
    if (e.kind == ProxyKind::Direct || e.kind == ProxyKind::AutoConfig) return;
    r.proxyHost_ = e.host;
    r.proxyPort_ = e.port;
    r.proxyType_ = proxyTypeName(e.kind);
    r.proxyFromSettings_ = true;
    if (r.proxyUsername_.empty() && !e.username.empty()) {
      r.proxyUsername_ = e.username;
      r.proxyPassword_ = e.password;
    }
  }

  void raisePACLimit() {
    std::lock_guard lock(connectionsLock());
    auto& queue = HTTPRequest::sharedQueue();
    queue.setMaxConcurrentOperationCount(queue.maxConcurrentOperationCount() + 1);
    pacLimitRaised = true;
  }

  void lowerPACLimit() {
    if (!pacLimitRaised) return;
    std::lock_guard lock(connectionsLock());
    auto& queue = HTTPRequest::sharedQueue();
    queue.setMaxConcurrentOperationCount(queue.maxConcurrentOperationCount() - 1);
    pacLimitRaised = false;
  }

  // Script text of a finished fetch: only a successful reply counts.
  static std::optional<std::string> pacText(HTTPRequest& q) {
    if (q.error() || q.responseStatusCode() < 200 || q.responseStatusCode() > 299)
      return std::nullopt;
    auto data = q.responseData();
    if (!data || data->empty()) return std::nullopt;
    return decodePACScript(*data);
  }

  void fetchPACFile() {
    Url pac = *r.PACurl_;
    Url target = *r.url_;
    double timeout = r.timeOutSeconds_;
    std::uint64_t gen = ++pacGeneration;
    const std::string& scheme = pac.scheme();
    if (scheme == "file") {
      std::string path = pac.path();
      runPACJob(gen, [path, target, timeout]() -> std::optional<ProxyEntry> {
        Error error;
        auto bytes = readPACFile(path, timeout, &error);
        if (!bytes) {
          logf("Proxy script not used: %s", error.description.c_str());
          return std::nullopt;
        }
        return evaluateLogged(decodePACScript(*bytes), target, timeout);
      });
      return;
    }
    if (scheme != "http" && scheme != "https") {
      startRequest();
      return;
    }
    auto fetch = HTTPRequest::requestWithURL(pac);
    fetch->setIsPACFileRequest(true);
    fetch->setTimeOutSeconds(timeout);
    if (r.isSynchronous_) {
      // The caller's loop is busy with this request: fetch on a thread of its own and wait.
      std::thread([fetch] { fetch->startSynchronous(); }).join();
      auto text = pacText(*fetch);
      runPACJob(gen, [text, target, timeout]() -> std::optional<ProxyEntry> {
        if (!text) return std::nullopt;
        return evaluateLogged(*text, target, timeout);
      });
      return;
    }
    r.PACFileRequest_ = fetch;
    fetch->setQueuePriority(Operation::High);
    std::weak_ptr<HTTPRequest> weak = self();
    asio::io_context* ctx = io;
    auto finished = [weak, ctx, gen](HTTPRequest& q) {
      auto text = pacText(q);
      asio::post(*ctx, [weak, gen, text] {
        if (auto s = weak.lock()) s->impl_->finishedDownloadingPACFile(gen, text);
      });
    };
    fetch->setCompletionBlock(finished);
    fetch->setFailedBlock(finished);
    raisePACLimit();
    fetch->startAsynchronous();
  }

  void finishedDownloadingPACFile(std::uint64_t gen, std::optional<std::string> text) {
    std::lock_guard lock(r.cancelledLock_);
    if (gen != pacGeneration) return;
    lowerPACLimit();
    r.PACFileRequest_.reset();
    if (r.cancelled_ || r.complete_ || r.error_) return;
    Url target = *r.url_;
    double timeout = r.timeOutSeconds_;
    runPACJob(gen, [text, target, timeout]() -> std::optional<ProxyEntry> {
      if (!text) return std::nullopt;
      return evaluateLogged(*text, target, timeout);
    });
  }

  static std::optional<ProxyEntry> evaluateLogged(const std::string& script, const Url& target,
                                                  double timeout) {
    Error error;
    auto entry = evaluatePACScriptForURL(script, target, timeout, &error);
    if (!entry && !error.description.empty())
      logf("Proxy script not used: %s", error.description.c_str());
    return entry;
  }

  // Runs `job` (reading and evaluating a script) away from the network thread, then starts
  // the transfer with its answer. A synchronous request waits for it in line.
  void runPACJob(std::uint64_t gen, std::function<std::optional<ProxyEntry>()> job) {
    if (r.isSynchronous_) {
      pacDecided(gen, job());
      return;
    }
    std::weak_ptr<HTTPRequest> weak = self();
    asio::io_context* ctx = io;
    std::thread([weak, ctx, gen, job = std::move(job)] {
      auto entry = job();
      asio::post(*ctx, [weak, gen, entry] {
        if (auto s = weak.lock()) {
          std::lock_guard lock(s->cancelledLock_);
          s->impl_->guarded([&] { s->impl_->pacDecided(gen, entry); });
        }
      });
    }).detach();
  }

  void pacDecided(std::uint64_t gen, const std::optional<ProxyEntry>& entry) {
    if (gen != pacGeneration || r.cancelled_ || r.complete_ || r.error_) return;
    if (entry) applyProxyEntry(*entry);
    startRequest();
  }

  void stopPACFetch() {
    ++pacGeneration;
    if (auto fetch = std::move(r.PACFileRequest_)) {
      r.PACFileRequest_.reset();
      fetch->clearDelegatesAndCancel();
    }
    lowerPACLimit();
  }

  // The proxy of this attempt; false when the request's proxy cannot be used.
  bool chooseProxyTarget(const Url& url) {
    proxyTarget.reset();
    if (r.proxyHost_.empty() || r.proxyPort_ <= 0) return true;
    auto kind = proxyKindFromName(r.proxyType_);
    if (!kind || *kind == ProxyKind::Direct || *kind == ProxyKind::AutoConfig ||
        r.proxyPort_ > 65535)
      return false;
    // Every type but SOCKS goes through the HTTP proxy setting.
    if (*kind == ProxyKind::HTTPS) kind = ProxyKind::HTTP;
    net::ProxyTarget t;
    t.kind = *kind;
    t.host = r.proxyHost_;
    if (t.host.size() > 2 && t.host.front() == '[' && t.host.back() == ']')
      t.host = t.host.substr(1, t.host.size() - 2);
    t.port = r.proxyPort_;
    t.username = r.proxyUsername_;
    t.password = r.proxyPassword_;
    t.tunnel = *kind == ProxyKind::HTTP && url.scheme() == "https";
    if (t.tunnel) {
      t.authorization = messageHeaders.value("Proxy-Authorization");
      t.userAgent = messageHeaders.value("User-Agent");
    }
    proxyTarget = t;
    return true;
  }

  bool sendsAbsoluteForm() const {
    return proxyTarget && proxyTarget->kind == ProxyKind::HTTP && !proxyTarget->tunnel;
  }

  // A proxy that refused the tunnel: a 407 is the request's reply (so proxy credentials can
  // answer it); anything else is a connection failure that says what the proxy answered.
  void handleProxyRefusal(std::uint64_t gen, const net::ErrorCode& ec) {
    auto refusal = connection->proxyRefusal();
    if (refusal && refusal->status == 407 && !refusal->raw.empty()) {
      parser = std::make_unique<net::ResponseParser>(*this, true, kMaxResponseHeaderBytes);
      connection->readBuffer.assign(refusal->raw.begin(), refusal->raw.end());
      readBegin = readEnd = 0;
      handleRead(gen, asio::error::eof, refusal->raw.size());
      return;
    }
    Error underlying = net::transportError(ec);
    if (refusal) underlying.description += ": " + refusal->statusLine;
    closeConnection();
    unscheduleStream();
    failWithError(connectionFailure(underlying, false));
  }

  void startRequest() {
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
    r.bodyInMemory_ = r.downloadDestinationPath_.empty();
    headersRead = false;
    contentLengthAnnounced = false;
    gzipBody = false;
    bodyBytes = 0;
    decompressor.reset();
    replyBytesSeen = false;
    requestWritten = false;
    readBegin = readEnd = 0;
    parser.reset();

    if (!chooseProxyTarget(*r.url_)) {
      failWithError(makeRequestError(InternalErrorWhileBuildingRequestType,
                                     "Unable to start HTTP connection"));
      return;
    }
    arrangeConnection();
    ++attempt;
    resetThrottleState();
    scheduleStream();
    scheduleStatusTimer();
    r.lastActivityTime_ = now();
    performThrottling();  // a new transfer waits out a pause in force

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
    if (r.useHTTPVersionOne_ && r.shouldAttemptPersistentConnection_ &&
        !sent.contains("Connection"))
      sent.set("Connection", "keep-alive");
    r.sentRequestHeaders_ = sent;
    head = r.sentRequestLine_ + "\r\n";
    for (auto& [n, v] : sent) head += n + ": " + v + "\r\n";
    head += "\r\n";

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

  void arrangeConnection() {
    pool().expire(poolNow());
    const Url& url = *r.url_;
    bool https = url.scheme() == "https";
    net::TlsSettings tls{r.validatesSecureCertificate_, r.certificateAuthorityFile_};
    {
      std::lock_guard lock(connectionsLock());
      if (r.requestID_ == 0) r.requestID_ = globals().nextRequestID++;
    }
    if (url.host().empty() || url.scheme().empty()) r.shouldAttemptPersistentConnection_ = false;
    auto open = [&] {
      auto c = std::make_shared<net::Connection>(*io, https, tls);
      c->setProxy(proxyTarget);
      return c;
    };
    if (!r.shouldAttemptPersistentConnection_) {
      if (entry) {
        pool().forget(*entry, r.requestID_);
        entry.reset();
      }
      if (connection) connection->close();
      connection = open();
      r.connectionID_ = 0;
      return;
    }
    PoolEntry::Key key{url.host(),
                       url.effectivePort(),
                       url.scheme(),
                       io,
                       https ? tls.key() : std::string(),
                       proxyTarget ? proxyTarget->key() : std::string()};
    entry = pool().acquire(std::move(entry), key, r.requestID_, forceFreshConnection, open);
    forceFreshConnection = false;
    connection = entry->stream;
    r.connectionID_ = entry->id;
  }

  bool current(std::uint64_t gen) const { return gen == attempt && !r.complete_ && !r.cancelled_; }

  void onOpened(std::uint64_t gen, net::ErrorCode ec, net::OpenStage stage) {
    std::lock_guard lock(r.cancelledLock_);
    if (!current(gen)) return;
    guarded([&] {
      if (ec && stage == net::OpenStage::Proxy) {
        handleProxyRefusal(gen, ec);
        return;
      }
      if (ec) {
        handleStreamError(ec, stage == net::OpenStage::Handshake || net::isTlsError(ec));
        return;
      }
      startIO(gen);
    });
  }

  void startIO(std::uint64_t gen) {
    if (throttlePaused) {
      startHeld = true;
      return;
    }
    parser = std::make_unique<net::ResponseParser>(*this, messageMethod != "HEAD",
                                                   kMaxResponseHeaderBytes);
    readMore(gen);
    startWriting(gen);
  }

  // ---- sending ----

  const Data* memoryBody() const {
    if (r.shouldCompressRequestBody_ && r.compressedPostBody_) return &*r.compressedPostBody_;
    if (r.postBody_ && !r.shouldStreamPostDataFromDisk_) return &*r.postBody_;
    return nullptr;
  }

  std::string bodyFilePath() const {
    if (!r.shouldStreamPostDataFromDisk_) return {};
    if (r.shouldCompressRequestBody_ && !r.compressedPostBodyFilePath_.empty())
      return r.compressedPostBodyFilePath_;
    return r.postBodyFilePath_;
  }

  // The body goes out in bounded pieces, so the sent count grows as the peer takes them and
  // memory holds one piece, whatever the body's size.
  static constexpr size_t kUploadPiece = 32768;
  std::uint64_t memoryBodyOffset = 0;
  std::uint64_t bodyAccepted = 0;    // body bytes the connection took from us
  std::uint64_t bodyHandedOver = 0;  // ... and those of a write still in flight

  void startWriting(std::uint64_t gen) {
    headBytesPending = head.size();
    memoryBodyOffset = 0;
    bodyAccepted = bodyHandedOver = 0;
    attemptBodyLength = r.postLength_;
    if (r.postLength_ > 0) {
      r.uploadBufferSize_ = connection->sendBufferSize();
      if (globals().throttle->isBandwidthThrottled()) {
        if (!openThrottledBody()) return;
      } else if (!memoryBody()) {
        std::string path = bodyFilePath();
        if (path.empty() || !bodyFile.open(path)) {
          failWithError(makeRequestError(
              FileManagementError,
              strprintf("Failed to get attributes for file at path '%s'", path.c_str())));
          cancelLoad();
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

  // Written a little at a time, as the connection takes it, so the count of accepted bytes
  // is exact and can be set against what the connection still holds.
  std::vector<asio::const_buffer> outgoing;

  void write(std::uint64_t gen, std::vector<asio::const_buffer> buffers) {
    for (auto& b : buffers) bodyHandedOver += b.size();
    bodyHandedOver -= std::min<std::uint64_t>(bodyHandedOver, headBytesPending);
    outgoing = std::move(buffers);
    writeOutgoing(gen);
  }

  void writeOutgoing(std::uint64_t gen) {
    auto s = self();
    connection->asyncWriteSome(
        outgoing, [s, gen](net::ErrorCode ec, size_t n) { s->impl_->onWritten(gen, ec, n); });
  }

  void consumeOutgoing(size_t n) {
    auto it = outgoing.begin();
    while (it != outgoing.end() && n >= it->size()) n -= (it++)->size();
    outgoing.erase(outgoing.begin(), it);
    if (!outgoing.empty() && n > 0) outgoing.front() += n;
    std::erase_if(outgoing, [](const asio::const_buffer& b) { return b.size() == 0; });
  }

  // The next piece of an unthrottled body into pieceData: its length, 0 at the end, -1
  // when the body file cannot be read (the request has failed).
  const char* pieceData = nullptr;
  long nextBodyPiece() {
    if (r.postLength_ == 0) return 0;
    if (const Data* body = memoryBody()) {
      std::uint64_t left = body->size() - std::min<std::uint64_t>(body->size(), memoryBodyOffset);
      size_t n = static_cast<size_t>(std::min<std::uint64_t>(left, kUploadPiece));
      pieceData = reinterpret_cast<const char*>(body->data()) + memoryBodyOffset;
      memoryBodyOffset += n;
      return static_cast<long>(n);
    }
    bodyPiece.resize(kUploadPiece);
    long got = bodyFile.read(bodyPiece.data(), bodyPiece.size());
    if (got < 0) {
      failWithError(
          makeRequestError(FileManagementError,
                           strprintf("Failed to read file at path '%s'", bodyFilePath().c_str())));
      cancelLoad();
      return -1;
    }
    if (got == 0) bodyFile.close();
    pieceData = bodyPiece.data();
    return got;
  }

  void onWritten(std::uint64_t gen, net::ErrorCode ec, size_t n) {
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
  void updateSentCount() {
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

  bool openThrottledBody() {
    Error err;
    if (const Data* body = memoryBody()) {
      throttledBody = ThrottledInputStream::inputStreamWithBytes(*body, &r);
    } else if (auto path = bodyFilePath(); !path.empty()) {
      throttledBody = ThrottledInputStream::inputStreamWithFileAtPath(path, &r, &err);
      if (!throttledBody) {
        failWithError(makeRequestError(
            FileManagementError,
            strprintf("Failed to get attributes for file at path '%s'", path.c_str())));
        cancelLoad();
        return false;
      }
    }
    bodyThroughThrottle = throttledBody != nullptr;
    throttledBodySent = 0;
    return true;
  }

  // Sends the next piece of a throttled body, as large as the account allows.
  void writeThrottledPiece(std::uint64_t gen) {
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
      failWithError(
          makeRequestError(FileManagementError,
                           strprintf("Failed to read file at path '%s'", bodyFilePath().c_str())));
      cancelLoad();
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

  // ---- receiving ----

  size_t chunkSize() const {
    size_t size = 16384;
    if (r.contentLength_ > 262144)
      size = 262144;
    else if (r.contentLength_ > 65536)
      size = 65536;
    return std::max<size_t>(1, globals().throttle->maxReadLength(size));
  }

  void readMore(std::uint64_t gen) {
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

  void onRead(std::uint64_t gen, net::ErrorCode ec, size_t n) {
    std::lock_guard lock(r.cancelledLock_);
    if (!current(gen)) return;
    guarded([&] { handleRead(gen, ec, n); });
  }

  void handleRead(std::uint64_t gen, net::ErrorCode ec, size_t n) {
    auto& readBuffer = connection->readBuffer;
    readEnd += n;
    if (n > 0) {
      replyBytesSeen = true;
      r.lastActivityTime_ = now();
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
      connection->requestsServed++;
      if (eof) connection->close();
      handleStreamComplete();
      afterNetworkEvent();
      return;
    }
    if (eof) {
      handleStreamError(boost::beast::http::error::partial_message, false);
      return;
    }
    performThrottling();
    if (!current(gen)) return;
    if (throttlePaused) {
      readHeld = true;
      return;
    }
    readMore(gen);
  }

  void onResponseHead(int status, int version, std::string_view reason, HeaderMap headers,
                      std::vector<std::string> setCookies, net::ErrorCode& ec) override {
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

  void onResponseBody(std::string_view bytes, net::ErrorCode& ec) override {
    std::uint64_t gen = attempt;
    guarded([&] { handleBytesAvailable(bytes); });
    if (!current(gen)) ec = asio::error::operation_aborted;
  }

  int responseVersion = 11;
  std::vector<std::string> rawSetCookies;

  void readResponseHeaders() {
    r.authenticationNeeded_ = 0;
    headersRead = true;
    const HeaderMap& h = r.responseHeaders_;
    if (r.downloadCache_ && r.downloadCache_->canUseCachedDataForRequest(r)) {
      // The server said the cached copy is still good (304).
      useDataFromCache();
      r.downloadCache_->storeResponseForRequest(r, r.secondsToCache_);
      return;
    }
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

  void dropBody() {
    removeTemporaryUploadFiles();
    postBodyWriteStream.close();
    r.postBody_.reset();
    r.compressedPostBody_.reset();
    r.postBodyFilePath_.clear();
    r.shouldStreamPostDataFromDisk_ = false;
    r.postLength_ = 0;
  }

  void handleBytesAvailable(std::string_view bytes) {
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
    bodyBytes += onTheFly ? inflated.size() : bytes.size();
    if (std::uint64_t limit = responseLimit(); limit && bodyBytes > limit) {
      dropInflatedBody(Error(NetworkRequestErrorDomain, CompressionError,
                             strprintf("The response is larger than the limit of %llu bytes",
                                       static_cast<unsigned long long>(limit))));
      return;
    }
    r.totalBytesRead_ += bytes.size();
    reportReceived(static_cast<long long>(bytes.size()));
    r.lastActivityTime_ = now();
    globals().throttle->incrementBandwidthUsedInLastSecond(bytes.size());

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

  InflateLimits inflateLimits() const { return {responseLimit(), true}; }

  // What was inflated of a body that cannot be whole is no answer: none of it stays.
  void dropInflatedBody(const Error& error) {
    r.rawResponseData_ = Data();
    failWithError(error);
    cancelLoad();
  }

  // 0: no limit.
  std::uint64_t responseLimit() const {
    if (r.maxResponseSize_) return *r.maxResponseSize_;
    bool held = r.downloadDestinationPath_.empty() && !wantsData();
    return held ? HTTPRequest::kDefaultMaxResponseSizeInMemory : 0;
  }

  // A compressed body kept whole is inflated only when asked for: check now that it would
  // fit, so a bomb fails the request instead of the caller that reads it.
  std::optional<Error> checkHeldInflation() {
    if (!gzipBody || !r.shouldWaitToInflateCompressedResponses_ || !r.bodyInMemory_ ||
        wantsData() || r.needsRedirect_ || r.authenticationNeeded_)
      return std::nullopt;
    Error err;
    if (DataDecompressor::inflatesWithinLimits(r.rawResponseData_, inflateLimits(), &err))
      return std::nullopt;
    return err;
  }

  void failWriting(const std::string& path) {
    failWithError(makeRequestError(
        FileManagementError, strprintf("Failed to write to file at path '%s'", path.c_str())));
    cancelLoad();
  }

  bool openDownloadFiles() {
    if (downloadFile.isOpen()) return true;
    if (r.temporaryFileDownloadPath_.empty()) r.temporaryFileDownloadPath_ = makeTemporaryPath();
    bool append = false;
    if (r.allowResumeForFileDownloads_ && r.partialDownloadSize_ > 0) {
      if (r.responseHeaders_.contains("Content-Range")) {
        append = true;
        // What is already on disk counts as received, as it was counted as expected.
        appendedPartial = r.partialDownloadSize_;
        reportReceived(static_cast<long long>(appendedPartial));
      } else {
        // The server sent the whole body again: the part on disk is not expected after all.
        announceDownload(-static_cast<long long>(r.partialDownloadSize_));
        r.partialDownloadSize_ = 0;
      }
    }
    if (!downloadFile.open(r.temporaryFileDownloadPath_, append)) {
      failWriting(r.temporaryFileDownloadPath_);
      return false;
    }
    if (gzipBody && !r.shouldWaitToInflateCompressedResponses_) {
      if (r.temporaryUncompressedDataDownloadPath_.empty())
        r.temporaryUncompressedDataDownloadPath_ = makeTemporaryPath();
      if (!inflatedFile.open(r.temporaryUncompressedDataDownloadPath_, false)) {
        failWriting(r.temporaryUncompressedDataDownloadPath_);
        return false;
      }
    }
    return true;
  }

  std::optional<Error> completeDownloadFile() {
    downloadFile.close();
    inflatedFile.close();
    if (r.downloadDestinationPath_.empty() || wantsData()) return std::nullopt;
    if (r.needsRedirect_ && r.allowResumeForFileDownloads_) return std::nullopt;
    // An empty body still leaves a (empty) file behind.
    if (!downloadFile.isOpen() && !fileExists(r.temporaryFileDownloadPath_)) {
      if (!openDownloadFiles()) return r.error_;
      downloadFile.close();
      inflatedFile.close();
    }
    const std::string& dest = r.downloadDestinationPath_;
    std::optional<Error> result;
    if (gzipBody && !r.shouldWaitToInflateCompressedResponses_) {
      result = placeDownloadedFile(r.temporaryUncompressedDataDownloadPath_, dest);
      r.temporaryUncompressedDataDownloadPath_.clear();
      removeFileQuietly(r.temporaryFileDownloadPath_);
    } else if (gzipBody) {
      Error err;
      std::string inflated = makeTemporaryPath();
      if (DataDecompressor::uncompressDataFromFile(r.temporaryFileDownloadPath_, inflated, &err,
                                                   inflateLimits()))
        result = placeDownloadedFile(inflated, dest);
      else
        result = err;
      removeFileQuietly(inflated);
      removeFileQuietly(r.temporaryFileDownloadPath_);
    } else {
      result = placeDownloadedFile(r.temporaryFileDownloadPath_, dest);
    }
    r.temporaryFileDownloadPath_.clear();
    return result;
  }

  void handleStreamComplete() {
    removeStatusTimer();
    r.downloadComplete_ = true;
    r.complete_ = true;
    if (!contentLengthAnnounced) r.contentLength_ = r.totalBytesRead_;
    if (r.downloadProgressByUnit_ && !r.needsRedirect_) {
      r.downloadProgressByUnit_ = false;
      if (deliverQueueProgress(
              [](HTTPRequestQueue& queue, HTTPRequest& q) { queue.requestDidReceiveBytes(q, 1); }))
        ++downloadReported;
    }
    // The reply is in: the piece still in flight went out with the rest.
    bodyAccepted = std::max(bodyAccepted, bodyHandedOver);
    if (bodyAccepted > r.totalBytesSent_) updateSentCount();
    if (!r.needsRedirect_ && !r.authenticationNeeded_) reportOwnDownload(true);
    bodyFile.close();
    std::optional<Error> fileError = completeDownloadFile();
    if (!fileError) fileError = checkHeldInflation();
    // A body handed to the delegate piece by piece was kept nowhere: nothing to store.
    if (r.downloadCache_ && !r.didUseCachedResponse_ && !r.needsRedirect_ &&
        !r.authenticationNeeded_ && !fileError && !wantsData() &&
        !(effectiveCachePolicy() & DoNotWriteToCacheCachePolicy))
      r.downloadCache_->storeResponseForRequest(r, r.secondsToCache_);
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
  void announceDownloadSize(const HeaderMap& h) {
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
      if (r.downloadSizeKnownFromHEAD_) return;
      if (!known) {
        // Progress then jumps from nothing to all at the end.
        if (r.showAccurateProgress_) r.downloadProgressByUnit_ = true;
        announceDownload(1);
        r.showAccurateProgress_ = false;
        return;
      }
      announceDownload(static_cast<long long>(length + r.partialDownloadSize_));
      return;
    }
    std::lock_guard mainLock(main->cancelledLock_);
    if (main->downloadSizeKnownFromHEAD_ || !main->showAccurateProgress_) return;
    auto queue = main->queue();
    if (!queue) return;
    main->downloadSizeKnownFromHEAD_ = true;
    long long more = 1;
    if (known) {
      main->contentLength_ = length;
      more = static_cast<long long>(length + main->partialDownloadSize_);
    } else {
      main->showAccurateProgress_ = false;
      main->downloadProgressByUnit_ = true;
    }
    deliver(
        [queue, main, more](HTTPRequest&) { queue->requestIncrementDownloadSizeBy(*main, more); });
  }

  void afterNetworkEvent() {
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

  void performRedirect() {
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

  void handleStreamError(const net::ErrorCode& ec, bool tls, bool forcedLost = false) {
    Error underlying = net::transportError(ec);
    bool lost = forcedLost || (net::isConnectionLostError(ec) && !replyBytesSeen);
    closeConnection();
    bodyFile.close();
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

  // The reply in flight (a 304) is abandoned, so its connection cannot carry another one; a
  // connection already handed back (before a redirect) may be someone else's by now.
  void releaseConnectionForCachedReply() {
    bool ours = entry && pool().isUsedBy(*entry, r.requestID_);
    if (ours || (connection && !entry)) {
      dropConnectionEntry();
    } else {
      ++attempt;
      entry.reset();
      connection.reset();
    }
  }

  bool cacheFallbackTried = false;

  void useDataFromCache() {
    auto cache = r.downloadCache_;
    auto headers = cache->cachedResponseHeadersForURL(*r.url_);
    if (!headers) {
      failWithError(UnableToCreateRequestError());
      return;
    }
    releaseConnectionForCachedReply();
    r.responseHeaders_ = *headers;
    r.responseStatusCode_ = 200;
    r.responseStatusMessage_ = "HTTP/1.1 200 OK";
    r.parseStringEncodingFromHeaders();
    r.bodyInMemory_ = r.downloadDestinationPath_.empty();
    if (r.downloadDestinationPath_.empty()) {
      r.rawResponseData_ = cache->cachedResponseDataForURL(*r.url_).value_or(Data());
      r.totalBytesRead_ = r.rawResponseData_.size();
    } else {
      auto path = cache->pathToCachedResponseDataForURL(*r.url_);
      if (auto err = copyToDestination(path.value_or(""), r.downloadDestinationPath_)) {
        cacheFallbackTried = true;  // the copy that cannot be placed is the one to fall back on
        failWithError(*err);
        return;
      }
    }
    r.contentLength_ = r.totalBytesRead_;
    r.didUseCachedResponse_ = true;
    r.complete_ = true;
    r.downloadComplete_ = true;
    removeStatusTimer();
    unscheduleStream();
    deliverFinished();
    markAsFinished();
  }
};

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
  rejectedCredentials_.clear();
}

OperationQueue& HTTPRequest::sharedQueue() {
  static OperationQueue* queue = [] {
    auto* q = new OperationQueue;  // lives as long as the network thread
    q->setMaxConcurrentOperationCount(4);
    q->setDispatcher([](std::function<void()> fn) {
      asio::post(NetworkThread::shared().context(), std::move(fn));
    });
    return q;
  }();
  return *queue;
}

void HTTPRequest::postToNetworkThread(std::function<void()> fn) {
  asio::post(NetworkThread::shared().context(), std::move(fn));
}

void HTTPRequest::performThrottling() {
  std::lock_guard lock(cancelledLock_);
  impl_->performThrottling();
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
    main->post([holder, sentBlock = std::move(sentBlock), authBlocks = std::move(authBlocks),
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

// ---- outcome ----

bool HTTPRequest::isResponseCompressed() const {
  std::lock_guard lock(cancelledLock_);
  return toLower(responseHeaders_.value("Content-Encoding")).find("gzip") != std::string::npos;
}

std::optional<Data> HTTPRequest::responseData() const {
  std::lock_guard lock(cancelledLock_);
  if (!bodyInMemory_) return std::nullopt;  // the body went to a file
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
      impl_->postBodyWriteError = makeRequestError(
          FileManagementError,
          strprintf("Failed to write to file at path '%s'", postBodyFilePath_.c_str()));
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
  auto attributesError = [](const std::string& path) {
    return makeRequestError(
        FileManagementError,
        strprintf("Failed to get attributes for file at path '%s'", path.c_str()));
  };
  if (impl_->postBodyWriteError) {
    impl_->failWithError(*impl_->postBodyWriteError);
    return;
  }
  if (shouldStreamPostDataFromDisk_ && !postBodyFilePath_.empty()) {
    impl_->postBodyWriteStream.close();
    std::string sent = postBodyFilePath_;
    if (shouldCompressRequestBody_) {
      if (compressedPostBodyFilePath_.empty()) {
        std::string tmp = makeTemporaryPath();
        Error err;
        if (!DataCompressor::compressDataFromFile(postBodyFilePath_, tmp, &err)) {
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
      impl_->failWithError(attributesError(sent));
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
      !temporaryFileDownloadPath_.empty() && fileExists(temporaryFileDownloadPath_)) {
    auto size = fileSize(temporaryFileDownloadPath_);
    if (!size) {
      impl_->failWithError(makeRequestError(
          FileManagementError, strprintf("Failed to get attributes for file at path '%s'",
                                         temporaryFileDownloadPath_.c_str())));
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

// ---- class-wide ----

double HTTPRequest::defaultTimeOutSeconds() {
  return globals().defaultTimeOutSeconds.load();
}

void HTTPRequest::setDefaultTimeOutSeconds(double seconds) {
  globals().defaultTimeOutSeconds.store(seconds);
}

void HTTPRequest::setDefaultCache(std::shared_ptr<DownloadCacheInterface> cache) {
  std::lock_guard lock(globals().seamsLock);
  globals().defaultCache = std::move(cache);
}

std::shared_ptr<DownloadCacheInterface> HTTPRequest::defaultCache() {
  std::lock_guard lock(globals().seamsLock);
  return globals().defaultCache;
}

void HTTPRequest::setAuthenticator(std::shared_ptr<HTTPRequestAuthenticator> authenticator) {
  std::lock_guard lock(globals().seamsLock);
  globals().authenticator = authenticator ? std::move(authenticator) : makeStandardAuthenticator();
}

void HTTPRequest::setBandwidthThrottle(std::shared_ptr<BandwidthThrottle> throttle) {
  std::lock_guard lock(globals().seamsLock);
  // Replaced only while nothing runs; readers on the network thread hold their own copy.
  if (throttle) globals().throttle = std::move(throttle);
}

std::shared_ptr<BandwidthThrottle> HTTPRequest::bandwidthThrottle() {
  std::lock_guard lock(globals().seamsLock);
  return globals().throttle;
}

std::vector<Cookie> HTTPRequest::sessionCookies() {
  std::lock_guard lock(globals().sessionCookiesLock);
  return globals().sessionCookies;
}

void HTTPRequest::setSessionCookies(std::vector<Cookie> cookies) {
  std::lock_guard lock(globals().sessionCookiesLock);
  globals().sessionCookies = std::move(cookies);
}

void HTTPRequest::addSessionCookie(const Cookie& cookie) {
  std::lock_guard lock(globals().sessionCookiesLock);
  auto& list = globals().sessionCookies;
  std::erase_if(list, [&](const Cookie& c) { return c.sameIdentity(cookie); });
  list.push_back(cookie);
}

void HTTPRequest::clearSession() {
  setSessionCookies({});
  clearSessionCredentials();
}

std::vector<HTTPRequest::PooledConnection> HTTPRequest::persistentConnectionsPool() {
  std::lock_guard lock(connectionsLock());
  std::vector<PooledConnection> out;
  for (auto& e : pool().entries())
    out.push_back({e->id, e->key.host, e->key.port, e->key.scheme, e->request.has_value(),
                   e->stream && e->stream->isOpen()});
  return out;
}

void HTTPRequest::expirePersistentConnections() {
  pool().expire(poolNow());
}

void HTTPRequest::closeIdlePersistentConnections() {
  pool().expire(std::nullopt);
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

void HTTPRequest::setStatusTimerLoop(RunLoop* loop) {
  globals().statusTimerLoop.store(loop);
}

// ---- hooks for the authenticator (called with cancelledLock_ held, on the request's thread) --

void HTTPRequest::authSetMessageHeader(std::string_view name, std::string_view value) {
  impl_->messageHeaders.set(name, value);
}

bool HTTPRequest::authMessageHasHeader(std::string_view name) const {
  return impl_->messageHeaders.contains(name);
}

void HTTPRequest::authTearDown() {
  impl_->cancelLoad();
}

void HTTPRequest::authRestartTransfer() {
  impl_->guarded([&] { impl_->startRequest(); });
}

void HTTPRequest::authStartNewAttempt() {
  impl_->guarded([&] { impl_->mainLocked(); });
}

void HTTPRequest::authFail(const Error& error) {
  impl_->failWithError(error);
}

void HTTPRequest::authWaitForCredentials() {
  // Still in progress, and cancellable, while someone is asked; no status timer runs, and
  // without an activity time nothing could time the wait out anyway.
  lastActivityTime_.reset();
  impl_->removeStatusTimer();
  complete_ = false;
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
