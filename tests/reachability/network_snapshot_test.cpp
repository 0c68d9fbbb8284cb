#include <gtest/gtest.h>

#include <filesystem>

#include "platform/test_support.h"
#include "reachability/network_builder.h"
#include "reachability/network_source.h"

namespace est {
namespace {

using namespace testing::flags;
using testing::homeWiFi;
using testing::ip;
using testing::kUp;
using testing::mobileOnly;
using testing::NetworkBuilder;

ReachabilityFlags internet(const NetworkSnapshot& s) {
  return flagsForTarget(s, TargetKind::InternetConnection, {});
}
ReachabilityFlags localWiFi(const NetworkSnapshot& s) {
  return flagsForTarget(s, TargetKind::LocalWiFi, {});
}
ReachabilityFlags address(const NetworkSnapshot& s, const std::string& text) {
  return flagsForTarget(s, TargetKind::Address, {ip(text)});
}

TEST(IpAddress, ParsesNumericTextOnlyAndMatchesPrefixesBitByBit) {
  EXPECT_FALSE(IpAddress::parse(std::string("127.0.0.1\0evil", 14)));
  EXPECT_FALSE(ip("192.168.1.127").inPrefix(ip("192.168.1.128"), 25));
  EXPECT_FALSE(ip("10.0.0.1").inPrefix(ip("::"), 0));        // families never mix
  EXPECT_TRUE(ip("10.0.0.1").inPrefix(ip("10.0.0.1"), 99));  // clamped to the full length
}

TEST(FlagsForTarget, WiFiAndMobileNetworksAsTheirTargetsSeeThem) {
  NetworkSnapshot wifi = homeWiFi();
  EXPECT_EQ(internet(wifi), R);
  EXPECT_EQ(address(wifi, "203.0.113.7"), R);           // through the gateway
  EXPECT_EQ(address(wifi, "192.168.1.30"), R | d);      // on the link
  EXPECT_EQ(address(wifi, "192.168.1.20"), R | l | d);  // our own address
  EXPECT_EQ(address(wifi, "127.9.9.9"), R | l | d);     // all of 127/8 is ours
  EXPECT_EQ(address(wifi, "2001:db8::1"), 0u);          // no IPv6 route at all
  // A name is judged by the first of its addresses that can be reached.
  EXPECT_EQ(flagsForTarget(wifi, TargetKind::HostName, {ip("2001:db8::1"), ip("192.168.1.30")}),
            R | d);
  EXPECT_EQ(flagsForTarget(wifi, TargetKind::HostName, {}), 0u);

  NetworkSnapshot mobile = mobileOnly();
  EXPECT_EQ(internet(mobile), W | R);
  EXPECT_EQ(address(mobile, "203.0.113.7"), W | R | d);  // point-to-point: no gateway
  EXPECT_EQ(address(mobile, "10.64.1.2"), R | l | d);    // our own never leaves the host
}

TEST(FlagsForTarget, TheDefaultRouteWithTheLowestMetricOnAWorkingLinkDecides) {
  auto both = [](std::uint32_t wifiMetric, std::uint32_t wwanMetric, unsigned wifiFlags = kUp) {
    return NetworkBuilder()
        .wifi(2, "wlan0", wifiFlags)
        .link(3, "wwan0")
        .defaultVia(2, wifiMetric)
        .defaultVia(3, wwanMetric, false)
        .build();
  };
  EXPECT_EQ(internet(both(600, 700)), R);
  EXPECT_EQ(internet(both(800, 700)), W | R);
  EXPECT_EQ(internet(both(600, 700, IFF_UP)), W | R);  // Wi-Fi without carrier
  // IPv4 before IPv6, the main table before others; unreachable defaults never count.
  NetworkSnapshot mixed = NetworkBuilder()
                              .wifi(2)
                              .link(3, "wwan0")
                              .defaultVia(3, 1, true, "::")
                              .route(100, RTN_UNICAST, "0.0.0.0", 0, true, 3, 1)
                              .route(RT_TABLE_MAIN, RTN_UNREACHABLE, "0.0.0.0", 0, false, 1, 0)
                              .defaultVia(2, 900);
  EXPECT_EQ(internet(mixed), R);
}

TEST(FlagsForTarget, NothingIsReachableWithoutARouteOrOverALinkWithoutCarrier) {
  NetworkSnapshot noDefault =
      NetworkBuilder().wifi(2).address(2, "192.168.1.20", 24).onLink("192.168.1.0", 24, 2);
  EXPECT_EQ(internet(noDefault), 0u);
  EXPECT_EQ(address(noDefault, "203.0.113.7"), 0u);
  EXPECT_EQ(address(noDefault, "192.168.1.30"), R | d);

  NetworkSnapshot down = NetworkBuilder()
                             .wifi(2, "wlan0", IFF_UP)
                             .address(2, "192.168.1.20", 24)
                             .onLink("192.168.1.0", 24, 2)
                             .defaultVia(2);
  EXPECT_EQ(internet(down), 0u);
  EXPECT_EQ(address(down, "192.168.1.30"), 0u);
  EXPECT_EQ(address(down, "192.168.1.20"), R | l | d);  // still our own
}

TEST(FlagsForTarget, LocalWiFiNeedsALinkLocalAddressOrRouteOnAWorkingWirelessLink) {
  auto with = [](NetworkBuilder net, const std::string& addr, int prefix) {
    net.address(2, addr, prefix);
    return localWiFi(net);
  };
  EXPECT_EQ(localWiFi(homeWiFi()), 0u);  // a private subnet is not link-local
  EXPECT_EQ(with(NetworkBuilder().wifi(2), "fe80::1c2:3ff:fe44:5566", 64), R | d);
  EXPECT_EQ(with(NetworkBuilder().wifi(2), "169.254.10.20", 16), R | d);
  EXPECT_EQ(localWiFi(NetworkBuilder().wifi(2).onLink("169.254.0.0", 16, 2, 1000)), R | d);
  // A default route covers 169.254.0.0 too, but is no link-local route.
  EXPECT_EQ(localWiFi(NetworkBuilder().wifi(2).defaultVia(2)), 0u);
  EXPECT_EQ(with(NetworkBuilder().link(2, "eth0"), "169.254.10.20", 16), 0u);
  EXPECT_EQ(with(NetworkBuilder().wifi(2, "wlan0", IFF_UP), "fe80::1", 64), 0u);
}

TEST(RouteFor, WalksLocalThenMainThenDefaultByLongestPrefixThenMetric) {
  NetworkSnapshot net = NetworkBuilder()
                            .link(2, "eth0")
                            .link(3, "eth1")
                            .onLink("10.0.0.0", 8, 2, 100)
                            .route(RT_TABLE_MAIN, RTN_UNICAST, "10.1.0.0", 16, true, 3, 500)
                            .route(RT_TABLE_MAIN, RTN_UNICAST, "10.1.0.0", 16, false, 2, 50)
                            .route(RT_TABLE_MAIN, RTN_UNREACHABLE, "10.9.0.0", 16, false, 0, 0)
                            .route(RT_TABLE_MAIN, RTN_THROW, "172.16.0.0", 12, false, 0, 0)
                            .route(RT_TABLE_DEFAULT, RTN_UNICAST, "172.16.0.0", 12, true, 3, 0)
                            .defaultVia(3);
  auto r = net.routeFor(ip("10.1.2.3"));
  EXPECT_TRUE(r.routable);
  EXPECT_EQ(r.oif, 2);  // same prefix, lower metric
  EXPECT_FALSE(r.hasGateway);
  EXPECT_EQ(address(net, "10.9.1.1"), 0u);  // an unreachable route beats the wider one
  r = net.routeFor(ip("172.16.5.5"));       // a throw route hands on to the next table
  EXPECT_TRUE(r.routable);
  EXPECT_EQ(r.oif, 3);

  // The kernel's own answer (policy rules included) wins over the walk.
  NetworkSnapshot asked = NetworkBuilder()
                              .wifi(2)
                              .link(3, "wwan0")
                              .defaultVia(2)
                              .answer("203.0.113.7", true, RTN_UNICAST, 3, true)
                              .answer("198.51.100.1", false, RTN_UNICAST, 0, false)
                              .answer("198.51.100.2", true, RTN_PROHIBIT, 0, false);
  EXPECT_EQ(address(asked, "203.0.113.7"), W | R);
  EXPECT_EQ(address(asked, "203.0.113.8"), R);
  EXPECT_EQ(address(asked, "198.51.100.1"), 0u);
  EXPECT_EQ(address(asked, "198.51.100.2"), 0u);
}

TEST(LinkKinds, MobileLinksAreKnownByNameDevTypeOrRawIp) {
  auto wwan = [](std::string name, unsigned type = 1, std::string devType = {}) {
    return linkIsWWAN(Link{5, std::move(name), type, kUp, false, std::move(devType)});
  };
  EXPECT_TRUE(wwan("wwan0"));
  EXPECT_TRUE(wwan("wwp0s20f0u6"));  // udev's predictable name for a modem
  EXPECT_TRUE(wwan("usb0", 1, "wwan"));
  EXPECT_TRUE(wwan("rmnet_data0", 519));
  EXPECT_FALSE(wwan("wlan0"));
  EXPECT_FALSE(wwan("eth0", 1, "wlan"));
}

TEST(SysfsTraits, WirelessAndDevTypeComeFromTheLinksOwnFolderOnly) {
  testing::TempDir sys;
  namespace fs = std::filesystem;
  auto entry = [&](const std::string& name, const std::string& index, const std::string& uevent) {
    fs::create_directories(sys / name);
    testing::writeText(sys / name / "ifindex", index + "\n");
    testing::writeText(sys / name / "uevent", uevent);
  };
  entry("wlan0", "3", "INTERFACE=wlan0\nIFINDEX=3\n");
  fs::create_directories(sys / "wlan0" / "wireless");
  entry("wlp2s0", "4", "DEVTYPE=wlan\nINTERFACE=wlp2s0\n");
  entry("usb0", "5", "INTERFACE=usb0\nDEVTYPE=wwan\n");
  entry("moved0", "9", "DEVTYPE=wwan\n");  // same name, another namespace's link
  fs::create_directories(sys / "moved0" / "phy80211");

  auto traits = [&](std::string name, int index) {
    Link link{index, std::move(name), 1, kUp, false, {}};
    NetlinkNetworkSource::readSysfsTraits(link, sys.path());
    return link;
  };
  EXPECT_TRUE(traits("wlan0", 3).wireless);
  EXPECT_TRUE(traits("wlp2s0", 4).wireless);
  Link usb = traits("usb0", 5);
  EXPECT_FALSE(usb.wireless);
  EXPECT_TRUE(linkIsWWAN(usb));
  Link moved = traits("moved0", 6);
  EXPECT_FALSE(moved.wireless);
  EXPECT_EQ(moved.devType, "");
  EXPECT_FALSE(traits("../wlan0", 3).wireless);
}

}  // namespace
}  // namespace est
