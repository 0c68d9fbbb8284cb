#include "reachability/reachability.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/log.h"
#include "reachability/network_builder.h"

namespace est {
namespace {

using namespace testing::flags;
using testing::homeWiFi;
using testing::ipv4;
using testing::mobileOnly;

std::shared_ptr<ManualNetworkSource> network(NetworkSnapshot s = {}) {
  return std::make_shared<ManualNetworkSource>(std::move(s));
}

TEST(ReachabilityFlagsText, OneLetterPerFlagInItsPlace) {
  EXPECT_EQ(reachabilityFlags(0), "Reachability Flags: -- -------");
  EXPECT_EQ(reachabilityFlags(W | R | d), "Reachability Flags: WR ------d");
  EXPECT_EQ(reachabilityFlags(0xFFFFFFFF), "Reachability Flags: WR ctiCDld");
  const std::vector<std::pair<ReachabilityFlags, std::string>> single = {
      {W, "W- -------"}, {R, "-R -------"}, {c, "-- c------"}, {t, "-- -t-----"}, {i, "-- --i----"},
      {C, "-- ---C---"}, {D, "-- ----D--"}, {l, "-- -----l-"}, {d, "-- ------d"}};
  for (const auto& [flag, letters] : single)
    EXPECT_EQ(reachabilityFlags(flag), "Reachability Flags: " + letters) << flag;
  EXPECT_EQ(reachabilityFlags(0x40), "Reachability Flags: -- -------");  // unknown bits
}

TEST(NetworkStatusForFlags, FollowsTheRulesInTheirOrder) {
  auto source = network();
  auto host = Reachability::reachabilityWithHostName("example.org", source);
  ASSERT_TRUE(host);
  LogCapture log;
  EXPECT_EQ(host->networkStatusForFlags(0), NotReachable);
  EXPECT_EQ(host->networkStatusForFlags(W | c | t), NotReachable);  // not reachable first
  EXPECT_EQ(host->networkStatusForFlags(R | W), ReachableViaWWAN);
  EXPECT_EQ(host->networkStatusForFlags(R | W | c | t), ReachableViaWWAN);  // WWAN before M == 5
  EXPECT_EQ(host->networkStatusForFlags(R), ReachableViaWiFi);
  EXPECT_EQ(host->networkStatusForFlags(R | c | t), NotReachable);
  EXPECT_EQ(host->networkStatusForFlags(R | c | t | l | d), NotReachable);
  EXPECT_EQ(host->networkStatusForFlags(R | c), ReachableViaWiFi);
  EXPECT_EQ(host->networkStatusForFlags(R | c | i | D), ReachableViaWiFi);
  EXPECT_TRUE(log.lines().empty());

  EXPECT_EQ(host->networkStatusForFlags(R | C), NotReachable);
  EXPECT_EQ(host->networkStatusForFlags(R | D | d), NotReachable);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Uncaught reachability test. Flags: Reachability Flags: -- ---C---",
                             "Uncaught reachability test. Flags: Reachability Flags: -- ----D--"}));

  // The local Wi-Fi monitor asks only for is direct, and before WWAN.
  auto wifi = Reachability::reachabilityForLocalWiFi(source);
  EXPECT_EQ(wifi->networkStatusForFlags(R | d), ReachableViaWiFi);
  EXPECT_EQ(wifi->networkStatusForFlags(R | W | d), ReachableViaWiFi);
  EXPECT_EQ(wifi->networkStatusForFlags(R), NotReachable);
  EXPECT_EQ(wifi->networkStatusForFlags(d), NotReachable);
}

TEST(Reachability, KeysNameTheTargetAndDecideEquality) {
  auto source = network();
  auto address = Reachability::reachabilityWithAddress(ipv4("192.168.1.10"), source);
  ASSERT_TRUE(address);
  EXPECT_EQ(address->key(), "192.168.1.10");

  auto a = Reachability::reachabilityWithHostName("parking.example", source);
  auto b = Reachability::reachabilityWithHostName("parking.example", source);
  auto other = Reachability::reachabilityWithHostName("registry.example", source);
  EXPECT_TRUE(*a == *b);
  EXPECT_FALSE(*a == *other);
  // An address monitor and a name monitor with the same text are the same key.
  EXPECT_TRUE(*address == *Reachability::reachabilityWithHostName("192.168.1.10", source));

  sockaddr_in wrongFamily = ipv4("10.0.0.1");
  wrongFamily.sin_family = AF_INET6;
  EXPECT_FALSE(Reachability::reachabilityWithAddress(wrongFamily, source));
  EXPECT_FALSE(Reachability::reachabilityWithHostName("", source));
  EXPECT_FALSE(Reachability::reachabilityWithHostName(std::string(255, 'a'), source));
  EXPECT_FALSE(Reachability::reachabilityWithHostName(std::string("a\0b", 3), source));
}

TEST(Reachability, QueriesReadTheNetworkAtEachCallAndLogTheFlagsWhereTheyShould) {
  auto source = network(homeWiFi());
  auto monitor = Reachability::reachabilityForInternetConnection(source);
  LogCapture log;
  EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWiFi);
  EXPECT_TRUE(monitor->isReachable());
  EXPECT_TRUE(log.lines().empty());  // these two never log

  EXPECT_TRUE(monitor->isReachableViaWiFi());
  EXPECT_FALSE(monitor->isReachableViaWWAN());
  EXPECT_FALSE(monitor->isConnectionRequired());
  EXPECT_FALSE(monitor->connectionRequired());
  EXPECT_FALSE(monitor->isConnectionOnDemand());
  EXPECT_FALSE(monitor->isInterventionRequired());
  EXPECT_EQ(monitor->reachabilityFlags(), R);
  const std::vector<std::string> operations = {"isReachableViaWiFi",   "isReachableViaWWAN",
                                               "isConnectionRequired", "isConnectionRequired",
                                               "isConnectionOnDemand", "isInterventionRequired",
                                               "reachabilityFlags"};
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), operations.size());
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string head = "est::Reachability::" + operations[n] + "() (";
    EXPECT_NE(lines[n].find(head), std::string::npos) << lines[n];
    EXPECT_TRUE(lines[n].ends_with(") \n\tReachability Flags: -R -------")) << lines[n];
  }
  EXPECT_EQ(monitor->description(), "InternetConnection\n\tReachability Flags: -R -------");

  // The same monitor follows the network as it is at each call.
  source->set(mobileOnly());
  EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWWAN);

  // Unreadable flags: every query gives its negative answer, and nothing is logged.
  source->setReadable(false);
  log.clear();
  EXPECT_EQ(monitor->currentReachabilityStatus(), NotReachable);
  EXPECT_FALSE(monitor->isReachableViaWWAN());
  EXPECT_EQ(monitor->reachabilityFlags(), 0u);
  EXPECT_EQ(monitor->description(), "InternetConnection\n\tReachability Flags: -- -------");
  EXPECT_TRUE(log.lines().empty());
}

TEST(Reachability, AMonitorWithoutPlatformObjectReportsEachQueryAndAnswersNo) {
  Reachability monitor(nullptr, "orphan");
  LogCapture log;
  EXPECT_EQ(monitor.currentReachabilityStatus(), NotReachable);
  EXPECT_FALSE(monitor.isReachable());
  EXPECT_FALSE(monitor.isConnectionRequired());
  EXPECT_FALSE(monitor.isConnectionOnDemand());
  EXPECT_FALSE(monitor.isInterventionRequired());
  EXPECT_FALSE(monitor.isReachableViaWWAN());
  EXPECT_FALSE(monitor.isReachableViaWiFi());
  EXPECT_EQ(monitor.reachabilityFlags(), 0u);
  EXPECT_EQ(monitor.description(), "orphan");
  EXPECT_FALSE(monitor.startNotifier());
  monitor.stopNotifier();
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"currentReachabilityStatus called with NULL reachabilityRef",
                                      "isReachable called with NULL reachabilityRef",
                                      "isConnectionRequired called with NULL reachabilityRef",
                                      "isConnectionIsOnDemand called with NULL reachabilityRef",
                                      "isInterventionRequired called with NULL reachabilityRef",
                                      "isReachableViaWWAN called with NULL reachabilityRef",
                                      "isReachableViaWiFi called with NULL reachabilityRef",
                                      "reachabilityFlags called with NULL reachabilityRef",
                                      "-description called with NULL reachabilityRef"}));
}

}  // namespace
}  // namespace est
