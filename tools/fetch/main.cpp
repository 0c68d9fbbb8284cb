// fetch: a small curl-like client over the project's HTTP client.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "http/http_request.h"
#include "platform/event_loop.h"

namespace {

using est::HTTPRequest;
using est::HTTPRequestPtr;

const char* kUsage =
    "usage: fetch [-o FILE]... [-i] [-I] [-X METHOD] [-H 'Name: value']...\n"
    "             [-d DATA | --data-binary @FILE] [--compressed-body] [--timeout S]\n"
    "             [--retries N] [--no-redirect] [-k] [--cacert FILE] [--http1.0]\n"
    "             [--parallel] [-v] [-s] [--stats] URL...\n";

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
  bool noRedirect = false;
  bool insecure = false;
  std::string cacert;
  bool http10 = false;
  bool parallel = false;
  bool verbose = false;
  bool silent = false;
  bool stats = false;
};

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
};

HTTPRequestPtr makeRequest(const Options& o, Job& job) {
  auto r = HTTPRequest::requestWithURL(o.urls[job.index]);
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
  r->setShouldRedirect(!o.noRedirect);
  r->setValidatesSecureCertificate(!o.insecure);
  if (!o.cacert.empty()) r->setCertificateAuthorityFile(o.cacert);
  r->setUseHTTPVersionOne(o.http10);

  Job* j = &job;
  bool toFile = job.index < o.outputs.size();
  if (toFile) {
    r->setDownloadDestinationPath(o.outputs[job.index]);
  } else if (!o.headOnly) {
    // Streamed to standard output as it arrives, inflated when the server compressed it.
    r->setShouldWaitToInflateCompressedResponses(false);
    r->setDataReceivedBlock([j](HTTPRequest&, const est::Data& bytes) {
      if (!j->skippingBody) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
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
    if (verbose) printHeaders(stderr, status, h, "< ");
    if (showHeaders) printHeaders(stdout, status, h, "");
  });
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parseArguments(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  est::EventLoop loop;
  est::RunLoop::setMain(&loop);
  est::UserAgent::setApplicationInfo({"fetch", "fetch", "1.0", "1.0"});

  std::vector<std::unique_ptr<Job>> jobs;
  for (size_t i = 0; i < o.urls.size(); ++i) {
    jobs.push_back(std::make_unique<Job>());
    jobs.back()->index = i;
  }
  size_t finishedJobs = 0;
  std::function<void(size_t)> startJob;
  auto onDone = [&](Job& job) {
    job.done = true;
    job.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - job.started).count();
    std::fflush(stdout);
    HTTPRequest& r = *job.request;
    if (o.stats)
      std::fprintf(stderr, "status=%d bytes=%llu seconds=%.6f connection=%d reused=%s\n",
                   r.responseStatusCode(), static_cast<unsigned long long>(r.totalBytesRead()),
                   job.seconds, r.connectionID(), r.connectionWasReused() ? "yes" : "no");
    if (auto e = r.error(); e && !o.silent)
      std::fprintf(stderr, "fetch: %s (code %d)\n", e->description.c_str(), e->code);
    ++finishedJobs;
    if (!o.parallel && job.index + 1 < jobs.size())
      startJob(job.index + 1);
    else if (finishedJobs == jobs.size())
      loop.stop();
  };
  startJob = [&](size_t i) {
    Job& job = *jobs[i];
    job.request = makeRequest(o, job);
    job.request->setCompletionBlock([&job, &onDone](HTTPRequest&) { onDone(job); });
    job.request->setFailedBlock([&job, &onDone](HTTPRequest&) { onDone(job); });
    job.started = std::chrono::steady_clock::now();
    job.request->startAsynchronous();
  };
  if (o.parallel) {
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
