#pragma once

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <string>

#include "reachability/network_snapshot.h"
#include "reachability/reachability.h"

namespace est::testing {

inline constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

inline IpAddress ip(const std::string& text) {
  return *IpAddress::parse(text);
}

inline sockaddr_in ipv4(const char* text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

// The flags by the letters their text uses.
namespace flags {
inline constexpr ReachabilityFlags t = kReachabilityFlagsTransientConnection;
inline constexpr ReachabilityFlags R = kReachabilityFlagsReachable;
inline constexpr ReachabilityFlags c = kReachabilityFlagsConnectionRequired;
inline constexpr ReachabilityFlags C = kReachabilityFlagsConnectionOnTraffic;
inline constexpr ReachabilityFlags i = kReachabilityFlagsInterventionRequired;
inline constexpr ReachabilityFlags D = kReachabilityFlagsConnectionOnDemand;
inline constexpr ReachabilityFlags l = kReachabilityFlagsIsLocalAddress;
inline constexpr ReachabilityFlags d = kReachabilityFlagsIsDirect;
inline constexpr ReachabilityFlags W = kReachabilityFlagsIsWWAN;
}  // namespace flags

// Synthetic networks: links, addresses and routes written the way `ip` shows them.
class NetworkBuilder {
 public:
  NetworkBuilder() { link(1, "lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, 772); }

  NetworkBuilder& link(int index, std::string name, unsigned flags = kUp, unsigned type = 1,
                       bool wireless = false, std::string devType = {}) {
    snapshot_.links.push_back({index, std::move(name), type, flags, wireless, std::move(devType)});
    if (index == 1) local("127.0.0.0", 8, 1).local("127.0.0.1", 32, 1);
    return *this;
  }
  NetworkBuilder& wifi(int index, std::string name = "wlan0", unsigned flags = kUp) {
    return link(index, std::move(name), flags, 1, true);
  }

  // An address with its kernel routes: the host route in the local table, the subnet on-link.
  NetworkBuilder& address(int ifindex, const std::string& text, int prefixLength) {
    snapshot_.addresses.push_back({ifindex, ip(text), prefixLength});
    local(text, ip(text).size() * 8, ifindex);
    return *this;
  }
  NetworkBuilder& onLink(const std::string& network, int prefixLength, int oif,
                         std::uint32_t metric = 0) {
    return route(RT_TABLE_MAIN, RTN_UNICAST, network, prefixLength, false, oif, metric);
  }
  NetworkBuilder& defaultVia(int oif, std::uint32_t metric = 0, bool gateway = true,
                             const std::string& family = "0.0.0.0") {
    return route(RT_TABLE_MAIN, RTN_UNICAST, family, 0, gateway, oif, metric);
  }
  NetworkBuilder& local(const std::string& text, int prefixLength, int oif) {
    return route(RT_TABLE_LOCAL, RTN_LOCAL, text, prefixLength, false, oif, 0);
  }
  NetworkBuilder& route(int table, unsigned type, const std::string& network, int prefixLength,
                        bool gateway, int oif, std::uint32_t metric) {
    snapshot_.routes.push_back({table, type, ip(network), prefixLength, gateway, oif, metric});
    return *this;
  }
  NetworkBuilder& answer(const std::string& destination, bool routable, unsigned type, int oif,
                         bool gateway) {
    snapshot_.answers.push_back({ip(destination), routable, type, oif, gateway});
    return *this;
  }

  NetworkSnapshot build() const { return snapshot_; }
  operator NetworkSnapshot() const { return snapshot_; }

 private:
  NetworkSnapshot snapshot_;
};

// A home Wi-Fi: wlan0 (2) with 192.168.1.20/24 and a default route through 192.168.1.1.
inline NetworkSnapshot homeWiFi() {
  return NetworkBuilder()
      .wifi(2)
      .address(2, "192.168.1.20", 24)
      .onLink("192.168.1.0", 24, 2, 600)
      .defaultVia(2, 600);
}

// A phone on the mobile network only: wwan0 (3), a point-to-point default route.
inline NetworkSnapshot mobileOnly() {
  return NetworkBuilder()
      .link(3, "wwan0", kUp, 0xFFFE)
      .address(3, "10.64.1.2", 30)
      .onLink("10.64.1.0", 30, 3, 700)
      .defaultVia(3, 700, false);
}

}  // namespace est::testing
