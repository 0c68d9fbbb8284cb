#include <boost/asio/post.hpp>
#include <thread>

#include "http/pac.h"
#include "http/request_engine.h"
#include "platform/log.h"

namespace est {

bool HTTPRequest::Impl::configureProxies() {
  if (proxyFromSettings) {
    // A lookup's answer holds for one URL only: look again for this attempt.
    r.proxyHost_.clear();
    r.proxyPort_ = 0;
    r.proxyType_.clear();
    r.proxyUsesTLS_ = false;
    proxyFromSettings = false;
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

void HTTPRequest::Impl::applyProxyEntry(const ProxyEntry& e) {
  if (e.kind == ProxyKind::Direct || e.kind == ProxyKind::AutoConfig) return;
  r.proxyHost_ = e.host;
  r.proxyPort_ = e.port;
  r.proxyType_ = proxyTypeName(e.kind);
  r.proxyUsesTLS_ = e.kind == ProxyKind::HTTPS;  // an https:// proxy
  proxyFromSettings = true;
  if (r.proxyUsername_.empty() && !e.username.empty()) {
    r.proxyUsername_ = e.username;
    r.proxyPassword_ = e.password;
  }
}

void HTTPRequest::Impl::raisePACLimit() {
  std::lock_guard lock(connectionsLock());
  auto& queue = HTTPRequest::sharedQueue();
  queue.setMaxConcurrentOperationCount(queue.maxConcurrentOperationCount() + 1);
  pacLimitRaised = true;
}

void HTTPRequest::Impl::lowerPACLimit() {
  if (!pacLimitRaised) return;
  std::lock_guard lock(connectionsLock());
  auto& queue = HTTPRequest::sharedQueue();
  queue.setMaxConcurrentOperationCount(queue.maxConcurrentOperationCount() - 1);
  pacLimitRaised = false;
}

// Script text of a finished fetch: only a successful reply counts.
std::optional<std::string> HTTPRequest::Impl::pacText(HTTPRequest& q) {
  if (q.error() || q.responseStatusCode() < 200 || q.responseStatusCode() > 299)
    return std::nullopt;
  auto data = q.responseData();
  if (!data || data->empty()) return std::nullopt;
  return decodePACScript(*data);
}

void HTTPRequest::Impl::fetchPACFile() {
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

void HTTPRequest::Impl::finishedDownloadingPACFile(std::uint64_t gen,
                                                   std::optional<std::string> text) {
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

std::optional<ProxyEntry> HTTPRequest::Impl::evaluateLogged(const std::string& script,
                                                            const Url& target, double timeout) {
  Error error;
  auto entry = evaluatePACScriptForURL(script, target, timeout, &error);
  if (!entry && !error.description.empty())
    logf("Proxy script not used: %s", error.description.c_str());
  return entry;
}

// Runs `job` (reading and evaluating a script) away from the network thread, then starts
// the transfer with its answer. A synchronous request waits for it in line.
void HTTPRequest::Impl::runPACJob(std::uint64_t gen,
                                  std::function<std::optional<ProxyEntry>()> job) {
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

void HTTPRequest::Impl::pacDecided(std::uint64_t gen, const std::optional<ProxyEntry>& entry) {
  if (gen != pacGeneration || r.cancelled_ || r.complete_ || r.error_) return;
  if (entry) applyProxyEntry(*entry);
  startRequest();
}

void HTTPRequest::Impl::stopPACFetch() {
  ++pacGeneration;
  if (auto fetch = std::move(r.PACFileRequest_)) {
    r.PACFileRequest_.reset();
    fetch->clearDelegatesAndCancel();
  }
  lowerPACLimit();
}

// The proxy of this attempt; false when the request's proxy cannot be used.
std::optional<Error> HTTPRequest::Impl::chooseProxyTarget(const Url& url) {
  proxyTarget.reset();
  if (r.proxyHost_.empty() || r.proxyPort_ <= 0) return std::nullopt;
  // The host goes into lookups and request lines: one that is no host name could forge them.
  auto host = canonicalHost(r.proxyHost_);
  if (!host)
    return makeRequestError(UnableToCreateRequestErrorType,
                            "Unable to create request (bad proxy host?)");
  auto kind = proxyKindFromName(r.proxyType_);
  if (!kind || *kind == ProxyKind::Direct || *kind == ProxyKind::AutoConfig || r.proxyPort_ > 65535)
    return makeRequestError(InternalErrorWhileBuildingRequestType,
                            "Unable to start HTTP connection");
  // Every type but SOCKS goes through the HTTP proxy setting.
  if (*kind == ProxyKind::HTTPS) kind = ProxyKind::HTTP;
  net::ProxyTarget t;
  t.kind = *kind;
  t.host = *host;
  t.port = r.proxyPort_;
  t.username = r.proxyUsername_;
  t.password = r.proxyPassword_;
  t.tunnel = *kind == ProxyKind::HTTP && url.scheme() == "https";
  if (r.proxyUsesTLS_)
    t.tls = net::TlsSettings{r.validatesProxyCertificate_, r.proxyCertificateAuthorityFile_};
  if (t.tunnel) {
    t.authorization = messageHeaders.value("Proxy-Authorization");
    t.userAgent = messageHeaders.value("User-Agent");
  }
  proxyTarget = t;
  return std::nullopt;
}

bool HTTPRequest::Impl::sendsAbsoluteForm() const {
  return proxyTarget && proxyTarget->kind == ProxyKind::HTTP && !proxyTarget->tunnel;
}

// A proxy that refused the tunnel: a 407 is the request's reply (so proxy credentials can
// answer it); anything else is a connection failure that says what the proxy answered.
void HTTPRequest::Impl::handleProxyRefusal(std::uint64_t gen, const net::ErrorCode& ec) {
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

}  // namespace est
