#include "reachability/reachability_flags.h"

#include "platform/format.h"

namespace est {

std::string reachabilityFlags(ReachabilityFlags flags) {
  auto bit = [flags](ReachabilityFlags mask, char letter) { return (flags & mask) ? letter : '-'; };
  return strprintf(
      "Reachability Flags: %c%c %c%c%c%c%c%c%c", bit(kReachabilityFlagsIsWWAN, 'W'),
      bit(kReachabilityFlagsReachable, 'R'), bit(kReachabilityFlagsConnectionRequired, 'c'),
      bit(kReachabilityFlagsTransientConnection, 't'),
      bit(kReachabilityFlagsInterventionRequired, 'i'),
      bit(kReachabilityFlagsConnectionOnTraffic, 'C'),
      bit(kReachabilityFlagsConnectionOnDemand, 'D'), bit(kReachabilityFlagsIsLocalAddress, 'l'),
      bit(kReachabilityFlagsIsDirect, 'd'));
}

const char* networkStatusName(NetworkStatus status) {
  switch (status) {
    case ReachableViaWWAN:
      return "ReachableViaWWAN";
    case ReachableViaWiFi:
      return "ReachableViaWiFi";
    case NotReachable:
      break;
  }
  return "NotReachable";
}

}  // namespace est
