#include "reachability/network_snapshot.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace est {
namespace {

constexpr unsigned kArphrdRawIp = 519;  // not in every libc's if_arp.h yet

bool isRoutableType(unsigned type) {
  switch (type) {
    case RTN_UNICAST:
    case RTN_LOCAL:
    case RTN_BROADCAST:
    case RTN_ANYCAST:
    case RTN_MULTICAST:
      return true;
    default:
      return false;
  }
}

ReachabilityFlags flagsForAddress(const NetworkSnapshot& snapshot, const IpAddress& address) {
  RouteAnswer route = snapshot.routeFor(address);
  if (!route.routable || !isRoutableType(route.type)) return 0;
  // Traffic to one of our own addresses never leaves the machine, whatever link owns it.
  if (route.type == RTN_LOCAL)
    return kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress |
           kReachabilityFlagsIsDirect;
  const Link* link = snapshot.link(route.oif);
  if (link && !linkIsUsable(*link)) return 0;
  ReachabilityFlags flags = kReachabilityFlagsReachable;
  if (!route.hasGateway) flags |= kReachabilityFlagsIsDirect;
  if (link && linkIsWWAN(*link)) flags |= kReachabilityFlagsIsWWAN;
  return flags;
}

ReachabilityFlags flagsForInternet(const NetworkSnapshot& snapshot) {
  const Route* best = nullptr;
  auto rank = [](const Route& r) {
    return std::make_tuple(r.destination.family == AF_INET ? 0 : 1,
                           r.table == RT_TABLE_MAIN ? 0 : 1, r.priority);
  };
  for (const Route& r : snapshot.routes) {
    if (r.prefixLength != 0 || r.type != RTN_UNICAST || r.table == RT_TABLE_LOCAL) continue;
    const Link* link = snapshot.link(r.oif);
    if (link && !linkIsUsable(*link)) continue;
    if (!best || rank(r) < rank(*best)) best = &r;
  }
  if (!best) return 0;
  ReachabilityFlags flags = kReachabilityFlagsReachable;
  const Link* link = snapshot.link(best->oif);
  if (link && linkIsWWAN(*link)) flags |= kReachabilityFlagsIsWWAN;
  return flags;
}

// A wireless link that is up and holds a link-local address (169.254/16 or fe80::/10) or a
// route into 169.254/16: the local Wi-Fi network is there.
ReachabilityFlags flagsForLocalWiFi(const NetworkSnapshot& snapshot) {
  static const IpAddress linkLocal4 = IpAddress::v4(169, 254, 0, 0);
  static const IpAddress linkLocal6 = *IpAddress::parse("fe80::");
  for (const Link& link : snapshot.links) {
    if (!link.wireless || !linkIsUsable(link)) continue;
    bool found = false;
    for (const Address& a : snapshot.addresses)
      if (a.ifindex == link.index &&
          (a.address.inPrefix(linkLocal4, 16) || a.address.inPrefix(linkLocal6, 10)))
        found = true;
    for (const Route& r : snapshot.routes)
      if (r.oif == link.index && r.type == RTN_UNICAST && r.prefixLength >= 16 &&
          r.destination.inPrefix(linkLocal4, 16))
        found = true;
    if (found) return kReachabilityFlagsReachable | kReachabilityFlagsIsDirect;
  }
  return 0;
}

}  // namespace

IpAddress IpAddress::v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  IpAddress ip;
  ip.family = AF_INET;
  ip.bytes[0] = a;
  ip.bytes[1] = b;
  ip.bytes[2] = c;
  ip.bytes[3] = d;
  return ip;
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != text.npos)
    return std::nullopt;
  std::string s(text);
  IpAddress ip;
  if (::inet_pton(AF_INET, s.c_str(), ip.bytes.data()) == 1) {
    ip.family = AF_INET;
    return ip;
  }
  if (::inet_pton(AF_INET6, s.c_str(), ip.bytes.data()) == 1) {
    ip.family = AF_INET6;
    return ip;
  }
  return std::nullopt;
}

size_t IpAddress::size() const {
  return family == AF_INET ? 4 : 16;
}

std::string IpAddress::toString() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family != AF_INET && family != AF_INET6) return {};
  ::inet_ntop(family, bytes.data(), text, sizeof text);
  return text;
}

bool IpAddress::inPrefix(const IpAddress& network, int prefixLength) const {
  if (family != network.family) return false;
  int bits = std::clamp(prefixLength, 0, static_cast<int>(size()) * 8);
  int whole = bits / 8;
  if (std::memcmp(bytes.data(), network.bytes.data(), whole) != 0) return false;
  if (bits % 8 == 0) return true;
  auto mask = static_cast<std::uint8_t>(0xff << (8 - bits % 8));
  return (bytes[whole] & mask) == (network.bytes[whole] & mask);
}

const Link* NetworkSnapshot::link(int index) const {
  for (const Link& l : links)
    if (l.index == index) return &l;
  return nullptr;
}

RouteAnswer NetworkSnapshot::routeFor(const IpAddress& destination) const {
  for (const RouteAnswer& a : answers)
    if (a.destination == destination) return a;

  RouteAnswer answer;
  answer.destination = destination;
  for (int table : {RT_TABLE_LOCAL, RT_TABLE_MAIN, RT_TABLE_DEFAULT}) {
    const Route* best = nullptr;
    for (const Route& r : routes) {
      if (r.table != table || !destination.inPrefix(r.destination, r.prefixLength)) continue;
      if (!best || r.prefixLength > best->prefixLength ||
          (r.prefixLength == best->prefixLength && r.priority < best->priority))
        best = &r;
    }
    if (!best || best->type == RTN_THROW) continue;
    answer.routable = isRoutableType(best->type);
    answer.type = best->type;
    answer.oif = best->oif;
    answer.hasGateway = best->hasGateway;
    return answer;
  }
  return answer;
}

bool linkIsWWAN(const Link& link) {
  return link.name.rfind("ww", 0) == 0 || link.devType == "wwan" || link.type == kArphrdRawIp;
}

bool linkIsUsable(const Link& link) {
  if (!(link.flags & IFF_UP)) return false;
  return (link.flags & IFF_RUNNING) || (link.flags & IFF_LOOPBACK);
}

ReachabilityFlags flagsForTarget(const NetworkSnapshot& snapshot, TargetKind kind,
                                 const std::vector<IpAddress>& addresses) {
  switch (kind) {
    case TargetKind::InternetConnection:
      return flagsForInternet(snapshot);
    case TargetKind::LocalWiFi:
      return flagsForLocalWiFi(snapshot);
    case TargetKind::HostName:
    case TargetKind::Address:
      break;
  }
  for (const IpAddress& address : addresses)
    if (ReachabilityFlags flags = flagsForAddress(snapshot, address);
        flags & kReachabilityFlagsReachable)
      return flags;
  return 0;
}

}  // namespace est
