// The shared byte account in virtual time, the throttled body stream, and requests that the
// account holds back.
#include "http/bandwidth_throttle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "http/form_data_request.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"
#include "http/throttled_input_stream.h"
#include "platform/clock.h"
#include "platform/manual_run_loop.h"
#include "reachability/network_builder.h"

namespace est::testing {
namespace {

using namespace std::chrono_literals;

const TimePoint kStart = std::chrono::system_clock::from_time_t(1772625600);

class ThrottleTest : public ::testing::Test {
 protected:
  ManualClock clock{kStart};
  ScopedClock scoped{clock};
  BandwidthThrottler throttle;
};

TEST_F(ThrottleTest, WithoutALimitNothingPausesButTheAverageRuns) {
  for (int second = 0; second < 4; ++second) {
    throttle.incrementBandwidthUsedInLastSecond(100000);
    EXPECT_EQ(throttle.performThrottling(), 0);
    EXPECT_EQ(throttle.maxReadLength(16384), 16384u);
    EXPECT_EQ(throttle.maxUploadReadLength(), static_cast<size_t>(-1));
    clock.advance(1s);
  }
  throttle.incrementBandwidthUsedInLastSecond(100000);
  throttle.measureBandwidthUsage();
  EXPECT_EQ(throttle.averageBandwidthUsedPerSecond(), 100000u);
  EXPECT_FALSE(throttle.isBandwidthThrottled());
  EXPECT_FALSE(throttle.throttleWakeUpTime());
  EXPECT_EQ(throttle.totalBytes(), 500000u);
}

TEST_F(ThrottleTest, TwiceTheLimitInOneWindowPausesUntilASecondAfterItsEnd) {
  throttle.setMaxBandwidthPerSecond(1000);
  EXPECT_TRUE(throttle.isBandwidthThrottled());
  EXPECT_EQ(throttle.performThrottling(), 0);  // opens the window
  const TimePoint windowEnd = kStart + 1s;
  EXPECT_EQ(throttle.bandwidthMeasurementDate(), windowEnd);

  clock.advance(200ms);
  throttle.incrementBandwidthUsedInLastSecond(2000);
  EXPECT_DOUBLE_EQ(throttle.performThrottling(), 1.8);
  EXPECT_EQ(throttle.throttleWakeUpTime(), windowEnd + 1s);
  EXPECT_EQ(throttle.maxReadLength(16384), 1u);

  clock.advance(1s);  // the window closed, the pause still runs
  EXPECT_DOUBLE_EQ(throttle.performThrottling(), 0.8);
  clock.advance(800ms);
  EXPECT_EQ(throttle.performThrottling(), 0);
}

TEST_F(ThrottleTest, ReadsTakeAQuarterOfWhatTheWindowStillAllows) {
  throttle.setMaxBandwidthPerSecond(4000);
  throttle.performThrottling();
  EXPECT_EQ(throttle.maxReadLength(16384), 1000u);
  EXPECT_EQ(throttle.maxReadLength(300), 300u);  // never more than wanted
  throttle.incrementBandwidthUsedInLastSecond(3000);
  EXPECT_EQ(throttle.maxReadLength(16384), 250u);
  throttle.incrementBandwidthUsedInLastSecond(998);
  EXPECT_EQ(throttle.maxReadLength(16384), 1u);  // never below one

  // Bodies: a quarter of the limit, cut to what remains, and 0 once it is spent, which
  // sets the wake-up time to the window's end.
  BandwidthThrottler upload;
  upload.setMaxBandwidthPerSecond(4000);
  upload.performThrottling();
  EXPECT_EQ(upload.maxUploadReadLength(), 1000u);
  EXPECT_FALSE(upload.throttleWakeUpTime());
  upload.incrementBandwidthUsedInLastSecond(3500);
  EXPECT_EQ(upload.maxUploadReadLength(), 500u);
  upload.incrementBandwidthUsedInLastSecond(500);
  EXPECT_EQ(upload.maxUploadReadLength(), 0u);
  EXPECT_EQ(upload.throttleWakeUpTime(), kStart + 1s);
}

TEST_F(ThrottleTest, ClosingAWindowLateDropsOldSamplesAndAnIdleWindowClearsThem) {
  throttle.performThrottling();
  for (int i = 0; i < 4; ++i) {
    throttle.incrementBandwidthUsedInLastSecond(100 * (i + 1));
    clock.advance(1s);  // closed exactly at its end: nothing dropped
    throttle.measureBandwidthUsage();
  }
  EXPECT_EQ(throttle.bandwidthUsageTracker(), (std::deque<std::uint64_t>{0, 100, 200, 300, 400}));
  EXPECT_EQ(throttle.averageBandwidthUsedPerSecond(), 200u);

  throttle.incrementBandwidthUsedInLastSecond(900);
  clock.advance(3500ms);  // 2.5 s after the window's end
  throttle.measureBandwidthUsage();
  EXPECT_EQ(throttle.bandwidthUsageTracker(), (std::deque<std::uint64_t>{300, 400, 900}));
  EXPECT_EQ(throttle.averageBandwidthUsedPerSecond(), 533u);
  EXPECT_EQ(throttle.bandwidthMeasurementDate(), clock.now() + 1s);

  clock.advance(1s);
  throttle.measureBandwidthUsage();  // nothing moved in that window
  EXPECT_EQ(throttle.bandwidthUsageTracker(), (std::deque<std::uint64_t>{0}));
  EXPECT_EQ(throttle.averageBandwidthUsedPerSecond(), 0u);
}

TEST_F(ThrottleTest, WWANOnlyLimitingFollowsTheNetwork) {
  ManualRunLoop loop;
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  throttle.throttleBandwidthForWWANUsingLimit(5000, source, &loop);
  EXPECT_EQ(throttle.maxBandwidthPerSecond(), 5000u);
  EXPECT_FALSE(throttle.isBandwidthThrottled());

  source->set(mobileOnly());
  loop.runPending();
  EXPECT_TRUE(throttle.isBandwidthThrottled());
  source->set(homeWiFi());
  loop.runPending();
  EXPECT_FALSE(throttle.isBandwidthThrottled());

  // Starting on a mobile link limits at once, with the default limit.
  auto mobile = std::make_shared<ManualNetworkSource>(mobileOnly());
  throttle.setShouldThrottleBandwidthForWWAN(true, mobile, &loop);
  EXPECT_TRUE(throttle.isBandwidthThrottled());
  EXPECT_EQ(throttle.maxBandwidthPerSecond(), 14800u);
  EXPECT_EQ(source->watcherCount(), 0);  // the earlier monitor is gone

  throttle.setShouldThrottleBandwidthForWWAN(false);
  EXPECT_FALSE(throttle.isBandwidthThrottled());
  EXPECT_EQ(throttle.maxBandwidthPerSecond(), 0u);
  EXPECT_EQ(mobile->watcherCount(), 0);
  mobile->set(mobileOnly());
  loop.runPending();
  EXPECT_FALSE(throttle.isBandwidthThrottled());
}

// ---- requests ----

class ThrottledRequestTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    throttle = std::make_shared<BandwidthThrottler>();
    HTTPRequest::setBandwidthThrottle(throttle);
    HTTPRequest::setStatusTimerLoop(&timers);
  }
  void TearDown() override {
    HttpRequestTest::TearDown();
    HTTPRequest::setBandwidthThrottle(std::make_shared<BandwidthThrottler>());
  }
  // Moves both clocks on, timer by timer: a jump of the wall clock alone would let the
  // network thread resume a paused request at a loop time the next tick calls long past.
  void advance(Seconds by) { timers.advance(by); }

  // Advances a window at a time, each time waiting until the request moved more bytes and
  // was held back again (or ended), so no step is spent before the request used it.
  void stepUntilDone(HTTPRequest& r, const RecordingDelegate& d) {
    for (int step = 0; step < 10 && d.outcomes() == 0; ++step) {
      auto moved = r.totalBytesSent() + r.totalBytesRead();
      advance(Seconds(1.01));
      eventually(
          [&] {
            return d.outcomes() > 0 ||
                   (r.totalBytesSent() + r.totalBytesRead() > moved && !r.readStreamIsScheduled());
          },
          3);
    }
  }

  ManualClock clock{kStart};
  ScopedClock scoped{clock};
  ManualRunLoop timers{&clock};
  std::shared_ptr<BandwidthThrottler> throttle;
};

TEST_F(ThrottledRequestTest, UploadsAndDownloadsMoveInPiecesAndWaitWithoutTimingOut) {
  std::string body;
  for (int i = 0; i < 3000; ++i) body += static_cast<char>('a' + i % 26);
  TempDir dir;
  std::string attached = (dir.path() / "attached.txt").string();
  writeFile(attached, body);
  std::uint64_t total = 0;
  for (std::string kind : {"upload", "form", "download"}) {
    SCOPED_TRACE(kind);
    bool upload = kind != "download";
    // Each kind starts on an unspent window: what the one before moved last must not hold
    // this one back before its first bytes.
    advance(Seconds(1.01));
    throttle->performThrottling();
    TestServer server(TestServer::replyForever(httpResponse(200, upload ? "ok" : body)));
    HTTPRequest::setMaxBandwidthPerSecond(1000);  // the class operations reach the same account
    EXPECT_EQ(throttle->maxBandwidthPerSecond(), 1000u);
    HTTPRequestPtr r = HTTPRequest::requestWithURL(server.url());
    if (kind == "upload") r->appendPostData(body);
    if (kind == "form") {
      auto form = FormDataRequest::requestWithURL(server.url());
      form->addFile(attached, "f");  // read through the account as it goes out
      r = form;
    }
    r->setTimeOutSeconds(0.5);
    RecordingDelegate d;
    r->setDelegate(&d);
    r->startAsynchronous();
    auto moved = [&] { return upload ? r->totalBytesSent() : r->totalBytesRead(); };
    // The first window's worth moves, then the request waits for virtual time.
    ASSERT_TRUE(eventually([&] { return !r->readStreamIsScheduled() && moved() > 0; }));
    EXPECT_LE(moved(), 1001u);
    EXPECT_EQ(d.outcomes(), 0);
    stepUntilDone(*r, d);
    ASSERT_TRUE(waitForOutcome(d, 5));
    EXPECT_EQ(d.finished, 1) << (d.lastError ? d.lastError->description : "");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    if (kind == "form") {
      EXPECT_EQ(requests[0].body.size(), r->postLength());
      EXPECT_NE(requests[0].body.find(body), std::string::npos);
    } else {
      EXPECT_EQ(upload ? requests[0].body : r->responseString(), body);
    }
    total += upload ? r->postLength() : body.size();
  }
  // Counted once each, though the status timer also saw the upload's bytes go out.
  EXPECT_GE(throttle->totalBytes(), total);
  EXPECT_LT(throttle->totalBytes(), total + 3 * 1000u);
}

TEST(ThrottledInputStream, ReadsWhatTheAccountAllowsAtLeastOneByteAndNeverMoreThanAsked) {
  ManualClock clock(kStart);
  ScopedClock scoped(clock);
  auto throttle = std::make_shared<BandwidthThrottler>();
  HTTPRequest::setBandwidthThrottle(throttle);
  throttle->setMaxBandwidthPerSecond(400);
  throttle->performThrottling();

  Data data;
  for (int i = 0; i < 700; ++i) data.push_back(static_cast<std::uint8_t>(i));
  auto stream = ThrottledInputStream::inputStreamWithData(data, nullptr);
  std::vector<std::uint8_t> buffer(1000);
  Data out;
  std::vector<long> sizes;
  while (stream->hasBytesAvailable()) {
    long n = stream->read(buffer.data(), 150);
    ASSERT_GT(n, 0);
    sizes.push_back(n);
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    if (sizes.size() == 5) {
      clock.advance(1s);  // a new window
      throttle->performThrottling();
    }
  }
  EXPECT_EQ(out, data);
  // 100 (a quarter), four times; then the window is spent: 1 byte; then a new window.
  EXPECT_EQ(sizes, (std::vector<long>{100, 100, 100, 100, 1, 100, 100, 99}));
  EXPECT_EQ(throttle->totalBytes(), 701u);
  EXPECT_EQ(stream->read(buffer.data(), 10), 0);

  const auto path =
      std::filesystem::temp_directory_path() / ("est-throttled-" + std::to_string(::getpid()));
  std::ofstream(path, std::ios::binary).write("abcdef", 6);
  throttle->setMaxBandwidthPerSecond(0);
  auto file = ThrottledInputStream::inputStreamWithFileAtPath(path.string(), nullptr);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->read(buffer.data(), 4), 4);
  EXPECT_EQ(file->read(buffer.data() + 4, 4), 2);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 6), "abcdef");
  std::filesystem::remove(path);
  Error e;
  EXPECT_FALSE(ThrottledInputStream::inputStreamWithFileAtPath("/no/such/file", nullptr, &e));
  EXPECT_EQ(e.code, ENOENT);
  HTTPRequest::setBandwidthThrottle(std::make_shared<BandwidthThrottler>());
}

}  // namespace
}  // namespace est::testing
