#pragma once

#include <cstdint>
#include <string>

namespace est {

// The platform's reachability bits, with the values the rest of the system expects.
using ReachabilityFlags = std::uint32_t;

inline constexpr ReachabilityFlags kReachabilityFlagsTransientConnection = 0x1;
inline constexpr ReachabilityFlags kReachabilityFlagsReachable = 0x2;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionRequired = 0x4;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnTraffic = 0x8;
inline constexpr ReachabilityFlags kReachabilityFlagsInterventionRequired = 0x10;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnDemand = 0x20;
inline constexpr ReachabilityFlags kReachabilityFlagsIsLocalAddress = 0x10000;
inline constexpr ReachabilityFlags kReachabilityFlagsIsDirect = 0x20000;
inline constexpr ReachabilityFlags kReachabilityFlagsIsWWAN = 0x40000;

enum NetworkStatus { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

// "Reachability Flags: WR ctiCDld" with "-" for every clear bit.
std::string reachabilityFlags(ReachabilityFlags flags);

// The enumerator's own name ("NotReachable", ...), for tools and logs.
const char* networkStatusName(NetworkStatus status);

}  // namespace est
