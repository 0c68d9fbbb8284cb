#pragma once

// The real pages against the real service behind a fault-injecting proxy, on virtual time: the
// proxy holds each reply until the test's clock reaches it, and the HTTP client's time-outs run
// on the same clock, so a 12-second service or a 30-second time-out take no real time.

#include <atomic>
#include <map>
#include <memory>

#include "app/service_request.h"
#include "support/fault_proxy.h"
#include "tickets/pages_test_support.h"

namespace est::testing {

class FaultsTest : public LaunchedAppTest {
 protected:
  using Fault = FaultProxy::Fault;

  void SetUp() override {
    LaunchedAppTest::SetUp();
    HTTPRequest::setStatusTimerLoop(&loop);
  }

  void TearDown() override {
    PurchaseTracker::shared().reset();
    for (auto& op : HTTPRequest::sharedQueue().operations()) op->cancel();
    loop.waitUntil([] { return HTTPRequest::sharedQueue().operationCount() == 0; }, Seconds(5));
    loop.runPending();
    if (proxy) proxy->stop();
    HTTPRequest::closeIdlePersistentConnections();
    HTTPRequest::setStatusTimerLoop(nullptr);
    LaunchedAppTest::TearDown();
  }

  // The service, with this device's phone registered, and the application pointed at the
  // proxy in front of it.
  void startBehindProxy(ParkingServiceOptions options = {}) {
    startService(std::move(options));
    proxy = std::make_unique<FaultProxy>(service->baseAddress(), [this] { return loop.now(); });
    ASSERT_TRUE(proxy->start());
    AppConfig::setParkingServiceURL(proxy->baseAddress());
    AppConfig::setRegistryServiceURL(proxy->baseAddress());
  }

  // Runs callbacks from the network for up to `seconds` of real time, until `done` holds.
  bool pump(const std::function<bool()>& done, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline)
      if (loop.waitUntil(done, Seconds(0.002))) return true;
    return done();
  }

  // Real input and output catch up with virtual time: the proxy has nothing due to hand out,
  // every request it is not holding has reported back, and the reports have been handled.
  // The client's time-out checks run on its network thread when virtual time moves, so that
  // thread is drained too.
  void settle() {
    auto quiet = [&] {
      return proxy->quiet(loop.now()) &&
             HTTPRequest::sharedQueue().operationCount() == static_cast<size_t>(proxy->held());
    };
    for (int round = 0; round < 100; ++round) {
      ASSERT_TRUE(pump(quiet)) << "the network did not settle";
      auto drained = std::make_shared<std::atomic<bool>>(false);
      HTTPRequest::postToNetworkThread([drained] { *drained = true; });
      ASSERT_TRUE(pump([&] { return drained->load(); })) << "the network thread is stuck";
      loop.runPending();
      if (quiet()) return;
    }
    FAIL() << "the network keeps changing";
  }

  // Moves virtual time in quarter seconds, settling after each step.
  void run(double seconds) {
    settle();
    for (double t = 0; t < seconds - 1e-9; t += 0.25) {
      advance(0.25);
      settle();
    }
  }

  // Runs until `done` holds, for at most `seconds` of virtual time.
  bool runUntil(const std::function<bool()>& done, double seconds) {
    settle();
    for (double t = 0; t < seconds - 1e-9 && !done(); t += 0.25) {
      advance(0.25);
      settle();
    }
    return done();
  }

  // Taps the quick purchase on the home page for `plate` and the default minutes, from now.
  void quickPurchase(const std::string& plate) {
    Preferences::standard().setObject("defaultLicense", PrefValue(plate));
    home()->updateView();
    home()->btnFastBuyTouched();
    ASSERT_TRUE(confirmShown());
  }

  std::vector<std::string> alertTitles() const {
    std::vector<std::string> out;
    for (const auto& record : alerts.record()) out.push_back(record.title.toStdString());
    return out;
  }

  // No two status queries for the same purchase were ever out at once.
  void expectOneQueryAtATimePerPurchase() {
    std::map<std::string, FaultProxy::TimePoint> lastEnd;
    for (const FaultProxy::Record& r : proxy->records()) {
      if (r.request.call() != "consultarEstacionamiento") continue;
      std::string id = r.request.param("appTransactionId");
      auto it = lastEnd.find(id);
      if (it != lastEnd.end()) {
        EXPECT_GE(r.arrived, it->second) << "purchase " << id;
      }
      lastEnd[id] = r.ended;
    }
  }

  std::unique_ptr<FaultProxy> proxy;
};

}  // namespace est::testing
