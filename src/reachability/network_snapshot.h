#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reachability/reachability_flags.h"

namespace est {

// An IPv4 or IPv6 address in network byte order.
struct IpAddress {
  int family = 0;  // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> bytes{};

  static IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
  // Numeric text only ("127.0.0.1", "::1"); names are not resolved here.
  static std::optional<IpAddress> parse(std::string_view text);

  // Bytes in use: 4 for IPv4, 16 for IPv6.
  size_t size() const;
  std::string toString() const;
  // The first `prefixLength` bits equal those of `network` (same family).
  bool inPrefix(const IpAddress& network, int prefixLength) const;

  bool operator==(const IpAddress&) const = default;
};

// One network interface as rtnetlink and sysfs describe it.
struct Link {
  int index = 0;
  std::string name;
  unsigned type = 0;   // ARPHRD_*
  unsigned flags = 0;  // IFF_*
  bool wireless = false;
  std::string devType;  // DEVTYPE of the device's uevent, empty when none
};

struct Address {
  int ifindex = 0;
  IpAddress address;
  int prefixLength = 0;
};

struct Route {
  int table = 254;        // RT_TABLE_MAIN
  unsigned type = 1;      // RTN_*
  IpAddress destination;  // family set even for default routes
  int prefixLength = 0;
  bool hasGateway = false;  // false: the destination is on the link
  int oif = 0;
  std::uint32_t priority = 0;
};

// How the kernel would send to one destination right now (RTM_GETROUTE); taking policy rules
// into account, which a plain table walk cannot.
struct RouteAnswer {
  IpAddress destination;
  bool routable = false;
  unsigned type = 1;  // RTN_UNICAST, RTN_LOCAL, ...
  int oif = 0;
  bool hasGateway = false;
};

// Everything the flags depend on, read at one moment.
struct NetworkSnapshot {
  std::vector<Link> links;
  std::vector<Address> addresses;
  std::vector<Route> routes;
  std::vector<RouteAnswer> answers;

  const Link* link(int index) const;
  // The kernel's answer when the snapshot holds one, otherwise a walk of the local, main and
  // default tables (longest prefix, then lowest metric), as the default rules would do.
  RouteAnswer routeFor(const IpAddress& destination) const;
};

// A mobile-network link: a "ww" name (wwan0, or the wwp… names udev gives modems), a
// DEVTYPE of wwan, or a raw-IP link, which only modem drivers create.
bool linkIsWWAN(const Link& link);
// Administratively up and with a carrier (loopback always counts as carrying).
bool linkIsUsable(const Link& link);

enum class TargetKind { HostName, Address, InternetConnection, LocalWiFi };

// The flags of a target in a snapshot. `addresses` are the target's addresses (resolved for a
// host name, the address itself otherwise); the first that can be reached decides.
ReachabilityFlags flagsForTarget(const NetworkSnapshot& snapshot, TargetKind kind,
                                 const std::vector<IpAddress>& addresses);

}  // namespace est
