// A network change closes the HTTP client's idle pooled connections, so the next service call
// opens a fresh one instead of waiting out the time-out on a connection stranded on the old
// network.
#include "app/app_test_support.h"
#include "app/network_change_watcher.h"
#include "reachability/network_builder.h"

namespace est::apptest {
namespace {

class NetworkChangeTest : public AppTest {
 protected:
  // A price request run to its end; its connection goes back to the pool.
  HTTPRequestPtr fetchPrice() {
    HTTPRequestPtr request =
        HTTPRequest::requestWithURL(service->baseAddress() + "/qorvix/json/getPriceOf30?phone=1");
    request->startAsynchronous();
    EXPECT_TRUE(pump([&] { return request->complete(); }));
    loop.runPending();
    return request;
  }
  static int idleConnections() {
    int n = 0;
    for (const auto& entry : HTTPRequest::persistentConnectionsPool())
      if (!entry.inUse) ++n;
    return n;
  }
};

TEST_F(NetworkChangeTest, AChangeClosesIdleConnectionsAndTheNextCallOpensAFreshOne) {
  startService();
  auto network = std::make_shared<ManualNetworkSource>(testing::homeWiFi());
  NetworkChangeWatcher watcher(network);
  ASSERT_TRUE(watcher.isWatching());

  HTTPRequestPtr first = fetchPrice();
  HTTPRequestPtr second = fetchPrice();
  EXPECT_TRUE(second->connectionWasReused());  // kept alive between calls
  EXPECT_EQ(idleConnections(), 1);

  network->set(testing::mobileOnly());  // from Wi-Fi to the mobile network
  loop.runPending();
  EXPECT_EQ(watcher.changesSeen(), 1);
  EXPECT_EQ(idleConnections(), 0);
  HTTPRequestPtr third = fetchPrice();
  EXPECT_FALSE(third->connectionWasReused());
  EXPECT_NE(third->connectionID(), second->connectionID());
}

TEST_F(NetworkChangeTest, TheLaunchedApplicationWatchesTheNetwork) {
  launch();
  ASSERT_TRUE(delegate->networkChangeWatcher());
  int before = delegate->networkChangeWatcher()->changesSeen();
  NotificationCenter::defaultCenter().post(kReachabilityChangedNotification);
  EXPECT_EQ(delegate->networkChangeWatcher()->changesSeen(), before + 1);
}

}  // namespace
}  // namespace est::apptest
