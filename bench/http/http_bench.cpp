// The HTTP client against libcurl, both fetching from one local nginx in the same run.
// Each benchmark reports both rates and their ratio (ours / curl); higher is better for us.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "http/http_request.h"
#include "http/support/nginx_server.h"
#include "platform/event_loop.h"

namespace {

using est::HTTPRequest;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::uint64_t kLargeSize = 1ull << 30;

est::testing::NginxServer* nginx = nullptr;
est::testing::TempDir* work = nullptr;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

size_t discard(char*, size_t size, size_t n, void*) {
  return size * n;
}

size_t toFile(char* p, size_t size, size_t n, void* file) {
  return std::fwrite(p, size, n, static_cast<FILE*>(file)) * size;
}

// Peak resident memory since the last reset, in bytes.
long peakResidentBytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) * 1024;
  return -1;
}
void resetPeakResident() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Runs `chains` chains of `perChain` GETs of `url`, each next request started from the
// previous one's completion callback on the main loop. Returns requests per second.
double oursChained(const std::string& url, int chains, int perChain) {
  est::EventLoop loop;
  est::RunLoop::setMain(&loop);
  int remainingChains = chains;
  bool failed = false;
  std::function<void(int)> next;
  std::vector<int> left(chains, perChain);
  next = [&](int chain) {
    auto r = HTTPRequest::requestWithURL(url);
    r->setCompletionBlock([&, chain](HTTPRequest& q) {
      if (q.rawResponseData().size() != 1024) failed = true;
      if (--left[chain] > 0)
        next(chain);
      else if (--remainingChains == 0)
        loop.stop();
    });
    r->setFailedBlock([&](HTTPRequest&) {
      failed = true;
      loop.stop();
    });
    r->startAsynchronous();
  };
  auto start = Clock::now();
  for (int c = 0; c < chains; ++c) next(c);
  loop.run();
  double rate = chains * perChain / seconds(start);
  est::RunLoop::setMain(nullptr);
  return failed ? 0 : rate;
}

// The same GETs made with startSynchronous: the transfer runs on the calling thread, so this
// is the engine's own cost without the two thread hops of an asynchronous request.
double oursSynchronous(const std::string& url, int count) {
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    auto r = HTTPRequest::requestWithURL(url);
    r->startSynchronous();
    if (r->error() || r->rawResponseData().size() != 1024) return 0;
  }
  return count / seconds(start);
}

double curlSequential(const std::string& url, int count) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  auto start = Clock::now();
  for (int i = 0; i < count; ++i)
    if (curl_easy_perform(easy) != CURLE_OK) return 0;
  double rate = count / seconds(start);
  curl_easy_cleanup(easy);
  return rate;
}

double curlMulti(const std::string& url, int streams, int perStream) {
  CURLM* multi = curl_multi_init();
  std::vector<CURL*> handles(streams);
  std::vector<int> left(streams, perStream);
  for (int i = 0; i < streams; ++i) {
    handles[i] = curl_easy_init();
    curl_easy_setopt(handles[i], CURLOPT_URL, url.c_str());
    curl_easy_setopt(handles[i], CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(handles[i], CURLOPT_PRIVATE,
                     reinterpret_cast<char*>(static_cast<intptr_t>(i)));
    curl_multi_add_handle(multi, handles[i]);
  }
  auto start = Clock::now();
  int running = streams;
  while (running > 0) {
    int stillRunning = 0;
    curl_multi_perform(multi, &stillRunning);
    int queued;
    while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
      if (m->msg != CURLMSG_DONE) continue;
      char* priv;
      curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &priv);
      int i = static_cast<int>(reinterpret_cast<intptr_t>(priv));
      curl_multi_remove_handle(multi, m->easy_handle);
      if (--left[i] > 0)
        curl_multi_add_handle(multi, m->easy_handle);
      else
        --running;
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  double rate = streams * perStream / seconds(start);
  for (auto* h : handles) curl_easy_cleanup(h);
  curl_multi_cleanup(multi);
  return rate;
}

void report(benchmark::State& state, double ours, double curl, const char* unit) {
  state.counters["ours_" + std::string(unit)] = ours;
  state.counters["curl_" + std::string(unit)] = curl;
  state.counters["ratio"] = curl > 0 ? ours / curl : 0;
}

void SequentialGets(benchmark::State& state) {
  std::string url = nginx->url("/1k.bin");
  double ours = 0, curl = 0;
  for (auto _ : state) {
    HTTPRequest::closeIdlePersistentConnections();
    ours = std::max(ours, oursChained(url, 1, 2000));
    curl = std::max(curl, curlSequential(url, 2000));
  }
  report(state, ours, curl, "req_per_s");
}

void SequentialSynchronousGets(benchmark::State& state) {
  std::string url = nginx->url("/1k.bin");
  double ours = 0, curl = 0;
  for (auto _ : state) {
    HTTPRequest::closeIdlePersistentConnections();
    ours = std::max(ours, oursSynchronous(url, 2000));
    curl = std::max(curl, curlSequential(url, 2000));
  }
  report(state, ours, curl, "req_per_s");
}

void ConcurrentStreams(benchmark::State& state) {
  std::string url = nginx->url("/1k.bin");
  double ours = 0, curl = 0;
  for (auto _ : state) {
    HTTPRequest::closeIdlePersistentConnections();
    ours = std::max(ours, oursChained(url, 4, 500));
    curl = std::max(curl, curlMulti(url, 4, 500));
  }
  report(state, ours, curl, "req_per_s");
}

void LargeDownload(benchmark::State& state) {
  std::string url = nginx->url("/1g.bin");
  fs::path ourFile = work->path() / "ours.bin", curlFile = work->path() / "curl.bin";
  double ours = 0, curl = 0;
  long peak = 0;
  bool intact = true;
  for (auto _ : state) {
    est::EventLoop loop;
    est::RunLoop::setMain(&loop);
    resetPeakResident();
    auto r = HTTPRequest::requestWithURL(url);
    r->setDownloadDestinationPath(ourFile.string());
    r->setCompletionBlock([&](HTTPRequest&) { loop.stop(); });
    r->setFailedBlock([&](HTTPRequest&) { loop.stop(); });
    auto start = Clock::now();
    r->startAsynchronous();
    loop.run();
    double s = seconds(start);
    peak = std::max(peak, peakResidentBytes());
    est::RunLoop::setMain(nullptr);
    intact = intact && !r->error() && fs::file_size(ourFile) == kLargeSize;
    ours = std::max(ours, kLargeSize / s / 1048576.0);
    fs::remove(ourFile);

    FILE* f = std::fopen(curlFile.c_str(), "wb");
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, toFile);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, f);
    start = Clock::now();
    CURLcode rc = curl_easy_perform(easy);
    std::fclose(f);
    s = seconds(start);
    curl_easy_cleanup(easy);
    if (rc == CURLE_OK) curl = std::max(curl, kLargeSize / s / 1048576.0);
    fs::remove(curlFile);
  }
  report(state, ours, curl, "MiB_per_s");
  state.counters["ours_peak_rss_MiB"] = peak / 1048576.0;
  if (!intact) state.SkipWithError("our download was incomplete");
}

BENCHMARK(SequentialGets)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SequentialSynchronousGets)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ConcurrentStreams)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LargeDownload)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!est::testing::NginxServer::available()) {
    std::fprintf(stderr, "nginx is not installed\n");
    return 1;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  work = new est::testing::TempDir;
  nginx = new est::testing::NginxServer(R"(
    server {
      listen 127.0.0.1:{PORT0};
      root {ROOT};
      sendfile on;
      tcp_nopush on;
    }
  )");
  if (!nginx->running()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", nginx->errorLog().c_str());
    return 1;
  }
  est::testing::writePatternFile(nginx->root() / "1k.bin", 1024);
  {
    // Sparse: a gigabyte of zeros that costs no disk to serve.
    int fd = ::open((nginx->root() / "1g.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kLargeSize)) != 0) return 1;
    ::close(fd);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete nginx;
  delete work;
  curl_global_cleanup();
  return 0;
}
