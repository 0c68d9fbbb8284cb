// fetch: a small curl-like client over the project's HTTP client.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/download_cache.h"
#include "http/form_data_request.h"
#include "http/http_request.h"
#include "http/network_queue.h"
#include "http/proxy_settings.h"
#include "platform/event_loop.h"
#include "platform/format.h"
#include "reachability/reachability_report.h"

namespace {

using est::HTTPRequest;
using est::HTTPRequestPtr;

const char* kUsage =
    "usage: fetch [-o FILE]... [-i] [-I] [-X METHOD] [-H 'Name: value']...\n"
    "             [-d DATA | --data-binary @FILE] [--compressed-body] [--timeout S]\n"
    "             [--retries N] [--no-redirect] [-k] [--cacert FILE] [--http1.0]\n"
    "             [-F key=value | -F key=@FILE]... [--form-string key=value]...\n"
    "             [--proxy URL] [--proxy-user USER:PASS] [--proxy-insecure]\n"
    "             [--proxy-cacert FILE] [--pac URL|FILE]\n"
    "             [--cache DIR [--cache-policy N]] [--limit-rate BYTES_PER_SECOND]\n"
    "             [--max-filesize BYTES]\n"
    "             [-u USER:PASS [--digest]] [--parallel | --queue] [-v] [-s] [--stats] URL...\n"
    "       fetch --reachability [HOST]\n"
    "       fetch -h | --help\n";

// --help adds one line per option to the usage.
const char* kOptions =
    "  -o FILE                   body of the Nth URL to the Nth FILE (repeatable)\n"
    "  -i                        show the response headers before the body\n"
    "  -I                        HEAD request, headers only\n"
    "  -X METHOD                 request method\n"
    "  -H 'Name: value'          extra request header (repeatable)\n"
    "  -d, --data DATA           form-encoded POST body\n"
    "  --data-binary DATA|@FILE  POST body as given, or read from FILE\n"
    "  --compressed-body         gzip the request body\n"
    "  --timeout S               seconds of silence before giving up (default 10)\n"
    "  --retries N               retries after a time-out\n"
    "  --no-redirect             do not follow redirections\n"
    "  -k, --insecure            accept any TLS certificate\n"
    "  --cacert FILE             trust the certificates in FILE\n"
    "  --http1.0                 speak HTTP/1.0\n"
    "  -F, --form key=value|key=@FILE  multipart form part (repeatable)\n"
    "  --form-string key=value   form part taken literally (repeatable)\n"
    "  --proxy URL               proxy (http, https, socks5, socks4a)\n"
    "  --proxy-user USER:PASS    proxy credentials\n"
    "  --proxy-insecure          accept any TLS certificate from an https:// proxy\n"
    "  --proxy-cacert FILE       trust the certificates in FILE for an https:// proxy\n"
    "  --pac URL|FILE            proxy auto-configuration script\n"
    "  --cache DIR               download cache kept in DIR\n"
    "  --cache-policy N          cache policy bits (needs --cache)\n"
    "  --limit-rate BYTES        upload bandwidth limit per second\n"
    "  --max-filesize BYTES      fail once a body (inflated) grows beyond BYTES\n"
    "  -u, --user USER:PASS      credentials, sent as Basic unless --digest\n"
    "  --digest                  wait for the server's challenge\n"
    "  --parallel                run every URL at once\n"
    "  --queue                   run every URL on one network queue with a progress line\n"
    "  -v, --verbose             show the request and response headers on standard error\n"
    "  -s, --silent              no error messages or progress\n"
    "  --stats                   one line of figures per request on standard error\n"
    "  --reachability [HOST]     how this machine reaches HOST (or the internet)\n"
    "  -h, --help                this text\n";

struct Options {
  std::vector<std::string> outputs;
  std::vector<std::string> urls;
  std::vector<std::pair<std::string, std::string>> headers;
  bool includeHeaders = false;
  bool headOnly = false;
  std::string method;
  std::optional<std::string> data;
  std::optional<std::string> dataFile;
  bool compressedBody = false;
  std::optional<double> timeout;
  std::optional<int> retries;
  std::optional<std::uint64_t> maxFilesize;
  bool noRedirect = false;
  bool insecure = false;
  std::string cacert;
  bool http10 = false;
  bool parallel = false;
  bool verbose = false;
  bool silent = false;
  bool stats = false;
  // Form parts in the order given; a file part makes the form multipart.
  struct FormPart {
    std::string key;
    std::string value;
    bool isFile = false;
  };
  std::vector<FormPart> form;
  bool multipart = false;
  bool queue = false;
  std::optional<est::ProxyEntry> proxy;
  std::optional<std::pair<std::string, std::string>> proxyUser;
  bool proxyInsecure = false;
  std::string proxyCacert;
  std::optional<est::Url> pac;
  std::string cacheDir;
  int cachePolicy = 0;
  std::optional<std::uint64_t> limitRate;
  // -u: sent as Basic before any challenge unless --digest asks to wait for one.
  std::optional<std::pair<std::string, std::string>> user;
  bool digest = false;
};

// A script given as a path becomes a file URL.
std::optional<est::Url> pacURL(const std::string& text) {
  if (text.find("://") != std::string::npos) return est::Url::parse(text);
  std::string path = text;
  if (path.empty()) return std::nullopt;
  if (path[0] != '/') {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return std::nullopt;
    path = std::string(cwd) + "/" + path;
  }
  std::string encoded;
  for (unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/-._~", c))
      encoded += static_cast<char>(c);
    else
      encoded += est::strprintf("%%%02X", c);
  }
  return est::Url::parse("file://" + encoded);
}

// A decimal or 0x-prefixed hexadecimal number, all of the text.
std::optional<unsigned long long> parseNumber(const char* text) {
  if (!text || !*text || *text == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || !end || *end) return std::nullopt;
  return v;
}

// "USER:PASS", split at the first colon (a password may hold more).
std::optional<std::pair<std::string, std::string>> userAndPassword(const char* flag,
                                                                   const char* text) {
  std::string t = text;
  auto colon = t.find(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "fetch: %s needs USER:PASS\n", flag);
    return std::nullopt;
  }
  return std::pair(t.substr(0, colon), t.substr(colon + 1));
}

bool parseFormPart(const char* text, bool fileAllowed, Options& o) {
  std::string t = text;
  auto eq = t.find('=');
  if (eq == std::string::npos || eq == 0) {
    std::fprintf(stderr, "fetch: bad form part '%s' (key=value)\n", text);
    return false;
  }
  Options::FormPart part{t.substr(0, eq), t.substr(eq + 1)};
  if (fileAllowed && !part.value.empty() && part.value[0] == '@') {
    part.value.erase(0, 1);
    part.isFile = true;
  }
  o.form.push_back(std::move(part));
  return true;
}

bool parseArguments(int argc, char** argv, Options& o) {
  auto value = [&](int& i, const char* name) -> const char* {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "fetch: %s needs a value\n", name);
      return nullptr;
    }
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = nullptr;
    if (a == "-o") {
      if (!(v = value(i, "-o"))) return false;
      o.outputs.push_back(v);
    } else if (a == "-i") {
      o.includeHeaders = true;
    } else if (a == "-I") {
      o.headOnly = true;
    } else if (a == "-X") {
      if (!(v = value(i, "-X"))) return false;
      o.method = v;
    } else if (a == "-H") {
      if (!(v = value(i, "-H"))) return false;
      std::string h = v;
      auto colon = h.find(':');
      if (colon == std::string::npos || colon == 0) {
        std::fprintf(stderr, "fetch: bad header '%s'\n", v);
        return false;
      }
      std::string name = h.substr(0, colon), val = h.substr(colon + 1);
      val.erase(0, val.find_first_not_of(" \t"));
      o.headers.emplace_back(name, val);
    } else if (a == "-d" || a == "--data") {
      if (!(v = value(i, "-d"))) return false;
      o.data = v;
    } else if (a == "--data-binary") {
      if (!(v = value(i, "--data-binary"))) return false;
      if (v[0] == '@')
        o.dataFile = std::string(v + 1);
      else
        o.data = v;
    } else if (a == "--compressed-body") {
      o.compressedBody = true;
    } else if (a == "--timeout") {
      if (!(v = value(i, "--timeout"))) return false;
      char* end = nullptr;
      o.timeout = std::strtod(v, &end);
      if (!end || *end) return false;
    } else if (a == "--retries") {
      if (!(v = value(i, "--retries"))) return false;
      o.retries = std::atoi(v);
    } else if (a == "--no-redirect") {
      o.noRedirect = true;
    } else if (a == "-k" || a == "--insecure") {
      o.insecure = true;
    } else if (a == "--cacert") {
      if (!(v = value(i, "--cacert"))) return false;
      o.cacert = v;
    } else if (a == "--http1.0") {
      o.http10 = true;
    } else if (a == "-F" || a == "--form") {
      if (!(v = value(i, "-F")) || !parseFormPart(v, true, o)) return false;
      o.multipart = true;
    } else if (a == "--form-string") {
      if (!(v = value(i, "--form-string")) || !parseFormPart(v, false, o)) return false;
    } else if (a == "--proxy") {
      if (!(v = value(i, "--proxy"))) return false;
      o.proxy = est::parseProxyURL(v);
      if (!o.proxy) {
        std::fprintf(stderr, "fetch: bad proxy '%s'\n", v);
        return false;
      }
    } else if (a == "--proxy-insecure") {
      o.proxyInsecure = true;
    } else if (a == "--proxy-cacert") {
      if (!(v = value(i, "--proxy-cacert"))) return false;
      o.proxyCacert = v;
    } else if (a == "--proxy-user") {
      if (!(v = value(i, "--proxy-user"))) return false;
      if (!(o.proxyUser = userAndPassword("--proxy-user", v))) return false;
    } else if (a == "--pac") {
      if (!(v = value(i, "--pac"))) return false;
      o.pac = pacURL(v);
      if (!o.pac) {
        std::fprintf(stderr, "fetch: bad script location '%s'\n", v);
        return false;
      }
    } else if (a == "--cache") {
      if (!(v = value(i, "--cache"))) return false;
      o.cacheDir = v;
    } else if (a == "--cache-policy") {
      if (!(v = value(i, "--cache-policy"))) return false;
      auto n = parseNumber(v);
      if (!n || *n > 0x7FFFFFFF) {
        std::fprintf(stderr, "fetch: bad cache policy '%s'\n", v);
        return false;
      }
      o.cachePolicy = static_cast<int>(*n);
    } else if (a == "--limit-rate") {
      if (!(v = value(i, "--limit-rate"))) return false;
      auto n = parseNumber(v);
      if (!n) {
        std::fprintf(stderr, "fetch: bad rate '%s'\n", v);
        return false;
      }
      o.limitRate = *n;
    } else if (a == "--max-filesize") {
      if (!(v = value(i, "--max-filesize"))) return false;
      auto n = parseNumber(v);
      if (!n || *n == 0) {
        std::fprintf(stderr, "fetch: bad size '%s'\n", v);
        return false;
      }
      o.maxFilesize = *n;
    } else if (a == "-u" || a == "--user") {
      if (!(v = value(i, "-u"))) return false;
      if (!(o.user = userAndPassword("-u", v))) return false;
    } else if (a == "--digest") {
      o.digest = true;
    } else if (a == "--queue") {
      o.queue = true;
    } else if (a == "--parallel") {
      o.parallel = true;
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "-s" || a == "--silent") {
      o.silent = true;
    } else if (a == "--stats") {
      o.stats = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "fetch: unknown option %s\n", a.c_str());
      return false;
    } else {
      o.urls.push_back(a);
    }
  }
  if (o.data && o.dataFile) {
    std::fprintf(stderr, "fetch: -d and --data-binary exclude each other\n");
    return false;
  }
  if ((o.data || o.dataFile) && !o.form.empty()) {
    std::fprintf(stderr, "fetch: form parts and -d/--data-binary exclude each other\n");
    return false;
  }
  if (o.queue && o.parallel) {
    std::fprintf(stderr, "fetch: --queue and --parallel exclude each other\n");
    return false;
  }
  if (o.cachePolicy && o.cacheDir.empty()) {
    std::fprintf(stderr, "fetch: --cache-policy needs --cache\n");
    return false;
  }
  return !o.urls.empty();
}

void printHeaders(FILE* out, const std::string& statusLine, const est::HeaderMap& headers,
                  const char* prefix) {
  std::fprintf(out, "%s%s\r\n", prefix, statusLine.c_str());
  for (auto& [n, v] : headers) std::fprintf(out, "%s%s: %s\r\n", prefix, n.c_str(), v.c_str());
  std::fprintf(out, "%s\r\n", prefix);
}

// One URL's run: the request and what the tool keeps about it.
struct Job {
  size_t index = 0;
  HTTPRequestPtr request;
  std::chrono::steady_clock::time_point started;
  double seconds = 0;
  bool done = false;
  bool skippingBody = false;  // the body of a redirect reply is not shown
  bool barShown = false;
};

// One line on a terminal's standard error for a transfer that takes longer than a second:
// what is sent, then what is received. Never written anywhere else, so logs and pipes stay
// clean.
void showProgressBar(Job& job, const char* what, std::uint64_t done, std::uint64_t total) {
  static const bool terminal = ::isatty(STDERR_FILENO) == 1;
  if (!terminal) return;
  if (!job.barShown && std::chrono::steady_clock::now() - job.started < std::chrono::seconds(1))
    return;
  job.barShown = true;
  constexpr int kWidth = 30;
  if (total == 0) {
    std::fprintf(stderr, "\r%s %llu bytes%*s", what, static_cast<unsigned long long>(done), kWidth,
                 "");
  } else {
    double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    int filled = static_cast<int>(fraction * kWidth);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3.0f%% %llu/%llu", what, filled,
                 "##############################", kWidth - filled, "", fraction * 100.0,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
  }
  std::fflush(stderr);
}

HTTPRequestPtr makeRequest(const Options& o, Job& job,
                           const std::shared_ptr<est::DownloadCache>& cache) {
  HTTPRequestPtr r;
  if (!o.form.empty()) {
    auto form = est::FormDataRequest::requestWithURL(o.urls[job.index]);
    if (o.multipart) form->setPostFormat(est::MultipartFormDataPostFormat);
    for (auto& part : o.form) {
      if (part.isFile)
        form->addFile(part.value, part.key);
      else
        form->addPostValue(part.value, part.key);
    }
    r = form;
  } else {
    r = HTTPRequest::requestWithURL(o.urls[job.index]);
  }
  if (!o.method.empty()) r->setRequestMethod(o.method);
  if (o.headOnly) r->setRequestMethod("HEAD");
  bool hasContentType = false;
  for (auto& [n, v] : o.headers) {
    r->addRequestHeader(n, v);
    if (est::equalsIgnoringCase(n, "Content-Type")) hasContentType = true;
  }
  if (o.data || o.dataFile) {
    if (!hasContentType) r->addRequestHeader("Content-Type", "application/x-www-form-urlencoded");
    if (o.data)
      r->appendPostData(std::string_view(*o.data));
    else
      r->setPostBodyFilePath(*o.dataFile);
  }
  r->setShouldCompressRequestBody(o.compressedBody);
  if (o.timeout) r->setTimeOutSeconds(*o.timeout);
  if (o.retries) r->setNumberOfTimesToRetryOnTimeout(*o.retries);
  if (o.maxFilesize) r->setMaxResponseSize(o.maxFilesize);
  r->setShouldRedirect(!o.noRedirect);
  r->setValidatesSecureCertificate(!o.insecure);
  if (!o.cacert.empty()) r->setCertificateAuthorityFile(o.cacert);
  r->setUseHTTPVersionOne(o.http10);
  if (o.proxy) {
    r->setProxyHost(o.proxy->host);
    r->setProxyPort(o.proxy->port);
    r->setProxyType(est::proxyTypeName(o.proxy->kind));
    r->setProxyUsesTLS(o.proxy->kind == est::ProxyKind::HTTPS);
    if (!o.proxy->username.empty()) {
      r->setProxyUsername(o.proxy->username);
      r->setProxyPassword(o.proxy->password);
    }
  }
  if (o.proxyUser) {
    r->setProxyUsername(o.proxyUser->first);
    r->setProxyPassword(o.proxyUser->second);
  }
  // Also for a proxy that comes from the settings or a script.
  r->setValidatesProxyCertificate(!o.proxyInsecure);
  if (!o.proxyCacert.empty()) r->setProxyCertificateAuthorityFile(o.proxyCacert);
  if (o.pac) r->setPACurl(*o.pac);
  if (cache) {
    r->setDownloadCache(cache);
    r->setCachePolicy(o.cachePolicy);
    // Every run sets the cache's path, which empties the session store.
    r->setCacheStoragePolicy(est::CachePermanentlyCacheStoragePolicy);
  }
  if (o.user) {
    r->setUsername(o.user->first);
    r->setPassword(o.user->second);
    r->setAuthenticationScheme(o.digest ? "Digest" : "Basic");
  }

  Job* j = &job;
  bool toFile = job.index < o.outputs.size();
  if (toFile) {
    r->setDownloadDestinationPath(o.outputs[job.index]);
  } else if (cache) {
    // A body handed out piece by piece is kept nowhere, so it could not be cached: it is
    // shown once the request is over instead.
  } else if (!o.headOnly) {
    // Streamed to standard output as it arrives, inflated when the server compressed it.
    r->setShouldWaitToInflateCompressedResponses(false);
    r->setDataReceivedBlock([j](HTTPRequest&, const est::Data& bytes) {
      if (!j->skippingBody) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    });
  }
  if (!o.silent && !o.queue) {
    r->setUploadProgressBlock([j](HTTPRequest&, std::uint64_t done, std::uint64_t total) {
      if (total > 0) showProgressBar(*j, "sent    ", done, total);
    });
    r->setDownloadProgressBlock([j](HTTPRequest&, std::uint64_t done, std::uint64_t total) {
      showProgressBar(*j, "received", done, total);
    });
  }
  r->setStartedBlock([j](HTTPRequest&) { j->skippingBody = false; });
  r->setRequestRedirectedBlock([j](HTTPRequest&) { j->skippingBody = true; });
  if (o.verbose) {
    r->setRequestSentBlock([](HTTPRequest&, const HTTPRequest::SentRequest& s) {
      std::fprintf(stderr, "* %s connection #%d\n", s.connectionWasReused ? "Re-using" : "Opening",
                   s.connectionID);
      printHeaders(stderr, s.requestLine, s.headers, "> ");
    });
  }
  bool showHeaders = o.includeHeaders || o.headOnly;
  bool verbose = o.verbose;
  r->setHeadersReceivedBlock([showHeaders, verbose](HTTPRequest& q, const est::HeaderMap& h) {
    std::string status = q.responseStatusMessage();
    // Only a proxy answers 407: its headers are not the site's.
    if (q.responseStatusCode() == 407) status = "(proxy) " + status;
    if (verbose) printHeaders(stderr, status, h, "< ");
    if (showHeaders) printHeaders(stdout, status, h, "");
  });
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  // Reports how the machine reaches HOST (or the internet) and exits.
  if (argc >= 2 && std::string_view(argv[1]) == "--reachability" && argc <= 3) {
    std::fputs(est::reachabilityReport(argc == 3 ? argv[2] : "").c_str(), stdout);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kOptions, stdout);
      return 0;
    }
  }
  Options o;
  if (!parseArguments(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  est::EventLoop loop;
  est::RunLoop::setMain(&loop);
  est::UserAgent::setApplicationInfo({"fetch", "fetch", "1.0", "1.0"});
  if (o.limitRate) HTTPRequest::setMaxBandwidthPerSecond(*o.limitRate);
  std::shared_ptr<est::DownloadCache> cache;
  if (!o.cacheDir.empty()) {
    cache = std::make_shared<est::DownloadCache>();
    est::Error error;
    if (!cache->setStoragePath(o.cacheDir, &error)) {
      std::fprintf(stderr, "fetch: %s\n", error.description.c_str());
      return 2;
    }
  }

  std::vector<std::unique_ptr<Job>> jobs;
  for (size_t i = 0; i < o.urls.size(); ++i) {
    jobs.push_back(std::make_unique<Job>());
    jobs.back()->index = i;
  }
  // With --queue every URL joins one network queue; its progress goes to standard error.
  struct QueueProgress : est::ProgressDelegate, est::NetworkQueueDelegate {
    void setProgress(double fraction) override {
      last = fraction;
      print();
    }
    void queueRequestFinished(HTTPRequest&) override {
      ++done;
      print();
    }
    void queueRequestFailed(HTTPRequest&) override {
      ++done;
      print();
    }
    void queueFinished(est::NetworkQueue&) override {
      if (!silent) std::fputc('\n', stderr);
      loop->stop();
    }
    void print() const {
      if (!silent)
        std::fprintf(stderr, "\rqueue: %zu/%zu requests done, %3.0f%% downloaded", done, total,
                     last * 100.0);
    }
    est::EventLoop* loop = nullptr;
    size_t done = 0, total = 0;
    double last = 0;
    bool silent = false;
  } progress;
  progress.loop = &loop;
  progress.total = o.urls.size();
  progress.silent = o.silent;
  est::NetworkQueuePtr queue;
  if (o.queue) {
    queue = est::NetworkQueue::queue();
    queue->setShowAccurateProgress(true);
    queue->setDelegate(&progress);
    queue->setDownloadProgressDelegate(&progress);
    queue->setRequestDidFinishSelector(&est::NetworkQueueDelegate::queueRequestFinished);
    queue->setRequestDidFailSelector(&est::NetworkQueueDelegate::queueRequestFailed);
    queue->setQueueDidFinishSelector(&est::NetworkQueueDelegate::queueFinished);
  }

  size_t finishedJobs = 0;
  std::function<void(size_t)> startJob;
  auto onDone = [&](Job& job) {
    job.done = true;
    job.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - job.started).count();
    std::fflush(stdout);
    if (job.barShown) std::fputc('\n', stderr);
    HTTPRequest& r = *job.request;
    if (cache && !o.headOnly && job.index >= o.outputs.size()) {
      if (auto body = r.responseData()) std::fwrite(body->data(), 1, body->size(), stdout);
    }
    if (o.stats)
      std::fprintf(stderr, "status=%d bytes=%llu seconds=%.6f connection=%d reused=%s\n",
                   r.responseStatusCode(), static_cast<unsigned long long>(r.totalBytesRead()),
                   job.seconds, r.connectionID(), r.connectionWasReused() ? "yes" : "no");
    if (o.stats && cache)
      std::fprintf(stderr, "cache=%s\n", r.didUseCachedResponse() ? "hit" : "miss");
    if (auto e = r.error(); e && !o.silent)
      std::fprintf(stderr, "fetch: %s (code %d)\n", e->description.c_str(), e->code);
    ++finishedJobs;
    if (o.queue) return;  // the queue says when it is over
    if (!o.parallel && job.index + 1 < jobs.size())
      startJob(job.index + 1);
    else if (finishedJobs == jobs.size())
      loop.stop();
  };
  startJob = [&](size_t i) {
    Job& job = *jobs[i];
    job.request = makeRequest(o, job, cache);
    job.request->setCompletionBlock([&job, &onDone](HTTPRequest&) { onDone(job); });
    job.request->setFailedBlock([&job, &onDone](HTTPRequest&) { onDone(job); });
    job.started = std::chrono::steady_clock::now();
    if (queue)
      queue->addOperation(job.request);
    else
      job.request->startAsynchronous();
  };
  if (o.queue) {
    for (size_t i = 0; i < jobs.size(); ++i) startJob(i);
    queue->go();
  } else if (o.parallel) {
    for (size_t i = 0; i < jobs.size(); ++i) startJob(i);
  } else {
    startJob(0);
  }
  loop.run();
  std::fflush(stdout);
  est::RunLoop::setMain(nullptr);
  for (auto& job : jobs)
    if (auto e = job->request->error()) return e->code;
  return 0;
}
