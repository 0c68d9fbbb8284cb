#include <boost/asio/post.hpp>

#include "http/request_engine.h"
#include "http/support/asio_run_loop.h"
#include "platform/format.h"

namespace est {

RequestGlobals& globals() {
  static auto* g = new RequestGlobals;  // used by the network thread until the process ends
  return *g;
}

ConnectionPool& pool() {
  return ConnectionPool::shared();
}

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

Error connectionFailure(const Error& underlying, bool tls) {
  std::string text = "A connection failure occurred";
  if (tls)
    text =
        strprintf("%s: SSL problem (possibly a bad/expired/self-signed certificate)", text.c_str());
  return Error(NetworkRequestErrorDomain, ConnectionFailureErrorType, text,
               std::make_shared<Error>(underlying));
}

Error proxyTlsFailure(const Error& underlying) {
  return Error(NetworkRequestErrorDomain, ConnectionFailureErrorType,
               "A connection failure occurred: SSL problem with the proxy (possibly a "
               "bad/expired/self-signed certificate of the proxy)",
               std::make_shared<Error>(underlying));
}

// ---- class-wide ----

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

void HTTPRequest::setStatusTimerLoop(RunLoop* loop) {
  globals().statusTimerLoop.store(loop);
}

}  // namespace est
