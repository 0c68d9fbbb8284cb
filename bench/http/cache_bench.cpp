// Throttling accuracy (a 10 MB transfer held to 1 MB/s) and the cost of a cache hit against a
// plain GET of the same body, all over loopback in one run. Each benchmark reports its own
// figures and their ratio: achieved rate / limit (1.0 is exact), cache hits / plain GETs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "http/bandwidth_throttle.h"
#include "http/download_cache.h"
#include "http/http_request.h"
#include "http/support/nginx_server.h"
#include "http/support/test_server.h"
#include "platform/event_loop.h"

namespace {

using est::HTTPRequest;
using est::HTTPRequestPtr;
using SteadyClock = std::chrono::steady_clock;

constexpr size_t kTransferSize = 10'000'000;
constexpr std::uint64_t kLimit = 1'000'000;
constexpr size_t kSmallBody = 16384;

est::testing::NginxServer* nginx = nullptr;

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Runs `count` requests one after the other, each started from the previous one's callback
// on the main loop; false when one failed or `check` refused it.
bool chain(int count, const std::function<HTTPRequestPtr()>& make,
           const std::function<bool(HTTPRequest&)>& check) {
  est::EventLoop loop;
  est::RunLoop::setMain(&loop);
  bool ok = true;
  int left = count;
  std::function<void()> next = [&] {
    auto r = make();
    r->setCompletionBlock([&](HTTPRequest& q) {
      if (!check(q)) ok = false;
      if (--left > 0 && ok)
        next();
      else
        loop.stop();
    });
    r->setFailedBlock([&](HTTPRequest&) {
      ok = false;
      loop.stop();
    });
    r->startAsynchronous();
  };
  next();
  loop.run();
  est::RunLoop::setMain(nullptr);
  return ok;
}

// One transfer of kTransferSize under a fresh limit of kLimit, reported as the rate achieved
// against the limit.
template <class Make, class Check>
void timeThrottled(benchmark::State& state, Make make, Check check) {
  double seconds = 0;
  bool ok = true;
  for (auto _ : state) {
    HTTPRequest::setBandwidthThrottle(std::make_shared<est::BandwidthThrottler>());
    HTTPRequest::setMaxBandwidthPerSecond(kLimit);
    auto start = SteadyClock::now();
    ok = chain(1, make, check);
    seconds = secondsSince(start);
    HTTPRequest::setMaxBandwidthPerSecond(0);
  }
  double rate = ok ? kTransferSize / seconds : 0;
  state.counters["limit_Bps"] = static_cast<double>(kLimit);
  state.counters["achieved_Bps"] = rate;
  state.counters["ratio"] = rate / static_cast<double>(kLimit);
}

void ThrottledDownload(benchmark::State& state) {
  std::string url = nginx->url("/10m.bin");
  timeThrottled(
      state, [&] { return HTTPRequest::requestWithURL(url); },
      [](HTTPRequest& q) { return q.rawResponseData().size() == kTransferSize; });
}

void ThrottledUpload(benchmark::State& state) {
  est::testing::TestServer server([](est::testing::ServerConnection& c) {
    while (auto req = c.readRequest(60)) c.sendResponse(200, std::to_string(req->body.size()));
  });
  std::string url = server.url("/upload");
  est::Data body(kTransferSize, 'u');
  timeThrottled(
      state,
      [&] {
        auto r = HTTPRequest::requestWithURL(url);
        r->setPostBody(body);
        return r;
      },
      [](HTTPRequest& q) { return q.responseString() == std::to_string(kTransferSize); });
}

// The same 16 KB body: from a fresh cached copy (no connection) and from nginx.
void CacheHitVersusLoopbackGet(benchmark::State& state) {
  est::testing::TempDir dir;
  auto cache = std::make_shared<est::DownloadCache>();
  cache->setStoragePath((dir.path() / "cache").string());
  std::string url = nginx->url("/16k.bin");
  const int count = 2000;
  double hits = 0, gets = 0;
  bool ok = chain(
      1, [&] { return HTTPRequest::requestWithURL(est::Url::parse(url), cache); },
      [](HTTPRequest& q) { return !q.didUseCachedResponse(); });
  for (auto _ : state) {
    HTTPRequest::closeIdlePersistentConnections();
    auto start = SteadyClock::now();
    ok = ok && chain(
                   count, [&] { return HTTPRequest::requestWithURL(est::Url::parse(url), cache); },
                   [](HTTPRequest& q) {
                     return q.didUseCachedResponse() && q.rawResponseData().size() == kSmallBody;
                   });
    hits = count / secondsSince(start);
    start = SteadyClock::now();
    ok = ok && chain(
                   count, [&] { return HTTPRequest::requestWithURL(url); },
                   [](HTTPRequest& q) { return q.rawResponseData().size() == kSmallBody; });
    gets = count / secondsSince(start);
  }
  state.counters["cache_hits_per_s"] = ok ? hits : 0;
  state.counters["loopback_gets_per_s"] = ok ? gets : 0;
  state.counters["ratio"] = ok && gets > 0 ? hits / gets : 0;
}

BENCHMARK(ThrottledDownload)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ThrottledUpload)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CacheHitVersusLoopbackGet)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!est::testing::NginxServer::available()) {
    std::fprintf(stderr, "nginx is not installed\n");
    return 1;
  }
  nginx = new est::testing::NginxServer(R"(
    server {
      listen 127.0.0.1:{PORT0};
      root {ROOT};
      expires 1h;
    }
  )");
  if (!nginx->running()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", nginx->errorLog().c_str());
    return 1;
  }
  est::testing::writePatternFile(nginx->root() / "10m.bin", kTransferSize);
  est::testing::writePatternFile(nginx->root() / "16k.bin", kSmallBody);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete nginx;
  return 0;
}
