// Against this machine's kernel. Changes are made only inside a private network namespace
// of the test thread, so nothing outside the test sees them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "platform/manual_run_loop.h"
#include "reachability/listener.h"
#include "reachability/network_builder.h"
#include "reachability/reachability.h"
#include "reachability/reachability_report.h"

namespace est {
namespace {

using namespace testing::flags;
using testing::ipv4;
using namespace std::chrono_literals;
using testing::ip;
using testing::Listener;

// Moves the calling thread into a fresh network namespace (only loopback, down) and back.
// Threads it starts meanwhile, and programs it runs, stay in the private one.
class PrivateNetwork {
 public:
  PrivateNetwork() : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    entered_ = original_ >= 0 && ::unshare(CLONE_NEWNET) == 0;
  }
  ~PrivateNetwork() {
    if (entered_ && ::setns(original_, CLONE_NEWNET) != 0) std::abort();
    if (original_ >= 0) ::close(original_);
  }
  bool entered() const { return entered_; }

 private:
  int original_;
  bool entered_ = false;
};

bool ipCommand(const std::string& args) {
  return std::system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0;
}

// An up link with a carrier: ifb where the kernel has it, else one end of a veth pair.
bool addLink(const std::string& name) {
  if (ipCommand("link add " + name + " type ifb")) return ipCommand("link set " + name + " up");
  return ipCommand("link add " + name + " type veth peer name " + name + "p") &&
         ipCommand("link set " + name + "p up") && ipCommand("link set " + name + " up");
}

TEST(LiveNetwork, LoopbackIsReachableLocalAndDirectAndReportedSo) {
  sockaddr_in loopback = ipv4("127.0.0.1");
  auto monitor = Reachability::reachabilityWithAddress(loopback);
  ASSERT_TRUE(monitor);
  EXPECT_EQ(monitor->reachabilityRef()->flags(), R | l | d);
  EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWiFi);
  EXPECT_EQ(monitor->description(), "127.0.0.1\n\tReachability Flags: -R -----ld");

  EXPECT_EQ(Reachability::reachabilityWithHostName("localhost")->reachabilityRef()->flags(),
            R | l | d);

  EXPECT_EQ(reachabilityReport("127.0.0.1"),
            "ReachableViaWiFi\n127.0.0.1\n\tReachability Flags: -R -----ld\n");
  EXPECT_TRUE(
      std::regex_match(reachabilityReport(),
                       std::regex("(NotReachable|ReachableViaWWAN|ReachableViaWiFi)\n"
                                  "InternetConnection\n\tReachability Flags: [W-][R-] -{7}\n")));
  std::string longName(300, 'x');
  EXPECT_EQ(reachabilityReport(longName),
            "NotReachable\n" + longName + "\n\tReachability Flags: -- -------\n");
}

TEST(LiveNetwork, TheNotifierStartsAndStopsCleanlyAgainAndAgain) {
  ManualRunLoop loop;
  auto monitor = Reachability::reachabilityForInternetConnection();
  for (int n = 0; n < 20; ++n) {
    ASSERT_TRUE(monitor->startNotifier(loop));
    EXPECT_TRUE(monitor->reachabilityRef()->scheduled());
    monitor->stopNotifier();
    EXPECT_FALSE(monitor->reachabilityRef()->scheduled());
  }
  ASSERT_TRUE(monitor->startNotifier(loop));
  monitor.reset();  // destroyed while started
  loop.runPending();
}

TEST(LiveNetwork, LinkAddressAndRouteChangesArriveAsNotifications) {
  PrivateNetwork netns;
  if (!netns.entered()) GTEST_SKIP() << "no permission for a private network namespace";
  if (!ipCommand("link set lo up")) GTEST_SKIP() << "ip(8) is not available";

  ManualRunLoop loop;
  Listener listener(loop);
  auto internet = Reachability::reachabilityForInternetConnection();
  auto neighbour = Reachability::reachabilityWithAddress(ipv4("198.51.100.9"));
  EXPECT_EQ(internet->currentReachabilityStatus(), NotReachable);
  EXPECT_FALSE(neighbour->isReachable());
  ASSERT_TRUE(internet->startNotifier(loop));
  ASSERT_TRUE(neighbour->startNotifier(loop));
  auto settles = [&](const Reachability& monitor, NetworkStatus status) {
    return loop.waitUntil([&] { return listener.last(&monitor) == status; }, 10s);
  };

  if (!addLink("estlan0")) GTEST_SKIP() << "no link type to test with";
  ASSERT_TRUE(ipCommand("addr add 198.51.100.2/24 dev estlan0"));
  ASSERT_TRUE(settles(*neighbour, ReachableViaWiFi));
  EXPECT_EQ(neighbour->reachabilityRef()->flags(), R | d);
  EXPECT_EQ(internet->currentReachabilityStatus(), NotReachable);

  ASSERT_TRUE(ipCommand("route add default via 198.51.100.1 dev estlan0"));
  ASSERT_TRUE(settles(*internet, ReachableViaWiFi));
  EXPECT_EQ(internet->reachabilityRef()->flags(), R);

  ASSERT_TRUE(addLink("wwan0"));
  ASSERT_TRUE(ipCommand("addr add 100.64.0.2/24 dev wwan0"));
  ASSERT_TRUE(ipCommand("route replace default via 100.64.0.1 dev wwan0"));
  ASSERT_TRUE(settles(*internet, ReachableViaWWAN));
  EXPECT_EQ(internet->reachabilityRef()->flags(), W | R);
  EXPECT_EQ(reachabilityReport("203.0.113.5"),
            "ReachableViaWWAN\n203.0.113.5\n\tReachability Flags: WR -------\n");

  // Without its own link the neighbour is still there, through the mobile default route.
  ASSERT_TRUE(ipCommand("link del estlan0"));
  ASSERT_TRUE(settles(*neighbour, ReachableViaWWAN));
  EXPECT_EQ(neighbour->reachabilityRef()->flags(), W | R);
  ASSERT_TRUE(ipCommand("link del wwan0"));
  ASSERT_TRUE(settles(*internet, NotReachable));
  ASSERT_TRUE(settles(*neighbour, NotReachable));
  internet->stopNotifier();
  neighbour->stopNotifier();
}

TEST(LiveNetwork, TheTableWalkAgreesWithTheKernelsOwnRouteLookups) {
  PrivateNetwork netns;
  if (!netns.entered()) GTEST_SKIP() << "no permission for a private network namespace";
  if (!ipCommand("link set lo up")) GTEST_SKIP() << "ip(8) is not available";
  if (!addLink("estlan0") || !addLink("estlan1")) GTEST_SKIP() << "no link type to test with";
  ASSERT_TRUE(ipCommand("addr add 198.51.100.2/24 dev estlan0"));
  for (const char* command :
       {"addr add 10.1.0.2/16 dev estlan1", "route add 10.0.0.0/8 via 198.51.100.1 dev estlan0",
        "route add 10.1.5.0/24 via 10.1.0.1 dev estlan1 metric 20",
        "route add 10.1.5.0/24 via 198.51.100.1 dev estlan0 metric 10",
        "route add unreachable 192.0.2.0/24", "route add default via 10.1.0.1 dev estlan1"})
    ASSERT_TRUE(ipCommand(command)) << command;

  auto source = NetworkSource::system();
  auto walk = source->snapshot({});
  const std::vector<IpAddress> destinations = {
      ip("127.0.0.1"),      ip("127.1.2.3"),   ip("198.51.100.2"), ip("198.51.100.9"),
      ip("198.51.100.255"), ip("10.9.9.9"),    ip("10.1.7.7"),     ip("10.1.5.5"),
      ip("192.0.2.7"),      ip("203.0.113.5"), ip("::1"),          ip("2001:db8::1")};
  auto kernel = source->snapshot(destinations);
  ASSERT_TRUE(walk && kernel);
  ASSERT_EQ(kernel->answers.size(), destinations.size());
  for (const IpAddress& destination : destinations) {
    SCOPED_TRACE(destination.toString());
    RouteAnswer asked = kernel->routeFor(destination);
    RouteAnswer walked = walk->routeFor(destination);
    bool routable = asked.routable && asked.type != RTN_UNREACHABLE;
    EXPECT_EQ(routable, walked.routable);
    if (!routable) continue;
    EXPECT_EQ(asked.type, walked.type);
    EXPECT_EQ(asked.hasGateway, walked.hasGateway);
    EXPECT_EQ(flagsForTarget(*kernel, TargetKind::Address, {destination}),
              flagsForTarget(*walk, TargetKind::Address, {destination}));
  }
  EXPECT_EQ(flagsForTarget(*kernel, TargetKind::Address, {ip("10.1.5.5")}), R);
  EXPECT_EQ(flagsForTarget(*kernel, TargetKind::Address, {ip("192.0.2.7")}), 0u);
}

}  // namespace
}  // namespace est
