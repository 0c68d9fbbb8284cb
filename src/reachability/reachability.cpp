#include "reachability/reachability.h"

#include <arpa/inet.h>

#include "platform/format.h"
#include "platform/log.h"

namespace est {
namespace {

void logQuery(const char* operation, int line, ReachabilityFlags flags) {
  logf("%s (%d) \n\t%s", operation, line, est::reachabilityFlags(flags).c_str());
}

std::unique_ptr<Reachability> monitorFor(const IpAddress& address,
                                         std::shared_ptr<NetworkSource> source, std::string key) {
  auto ref = ReachabilityRef::createWithAddress(address, std::move(source));
  if (!ref) return nullptr;
  return std::make_unique<Reachability>(std::move(ref), std::move(key));
}

}  // namespace

std::unique_ptr<Reachability> Reachability::reachabilityWithHostName(
    const std::string& hostName, std::shared_ptr<NetworkSource> source, HostResolver resolver) {
  auto ref = ReachabilityRef::createWithName(hostName, std::move(source), std::move(resolver));
  if (!ref) return nullptr;
  return std::make_unique<Reachability>(std::move(ref), hostName);
}

std::unique_ptr<Reachability> Reachability::reachabilityWithAddress(
    const sockaddr_in& hostAddress, std::shared_ptr<NetworkSource> source) {
  if (hostAddress.sin_family != AF_INET) return nullptr;
  const auto* b = reinterpret_cast<const std::uint8_t*>(&hostAddress.sin_addr.s_addr);
  IpAddress address = IpAddress::v4(b[0], b[1], b[2], b[3]);
  return monitorFor(address, std::move(source), strprintf("%d.%d.%d.%d", b[0], b[1], b[2], b[3]));
}

std::unique_ptr<Reachability> Reachability::reachabilityForInternetConnection(
    std::shared_ptr<NetworkSource> source) {
  return monitorFor(IpAddress::v4(0, 0, 0, 0), std::move(source), kInternetConnection);
}

std::unique_ptr<Reachability> Reachability::reachabilityForLocalWiFi(
    std::shared_ptr<NetworkSource> source) {
  return monitorFor(IpAddress::v4(169, 254, 0, 0), std::move(source), kLocalWiFiConnection);
}

Reachability::Reachability(std::unique_ptr<ReachabilityRef> reachabilityRef, std::string key)
    : reachabilityRef_(std::move(reachabilityRef)), key_(std::move(key)) {}

Reachability::~Reachability() {
  stopNotifier();
}

bool Reachability::startNotifier(RunLoop& loop) {
  if (!reachabilityRef_) return false;
  reachabilityRef_->setCallback([this](ReachabilityFlags) { reachabilityChanged(); });
  if (reachabilityRef_->scheduleWithRunLoop(loop)) return true;
  reachabilityRef_->setCallback(nullptr);
  return false;
}

// Changes are announced on the thread that asked for them, as long as it has a loop.
bool Reachability::startNotifier() {
  RunLoop* loop = RunLoop::current();
  if (!loop) loop = RunLoop::main();
  return loop && startNotifier(*loop);
}

void Reachability::stopNotifier() {
  if (reachabilityRef_) reachabilityRef_->unscheduleFromRunLoop();
}

void Reachability::reachabilityChanged() {
  NotificationCenter::defaultCenter().post(kReachabilityChangedNotification, this);
}

std::optional<ReachabilityFlags> Reachability::currentFlags() {
  return reachabilityRef_->flags();
}

NetworkStatus Reachability::networkStatusForFlags(ReachabilityFlags flags) const {
  if (!(flags & kReachabilityFlagsReachable)) return NotReachable;
  if (key_ == kLocalWiFiConnection)
    return (flags & kReachabilityFlagsIsDirect) ? ReachableViaWiFi : NotReachable;
  if (flags & kReachabilityFlagsIsWWAN) return ReachableViaWWAN;
  ReachabilityFlags m = flags & ~(kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress |
                                  kReachabilityFlagsIsDirect);
  if (m == (kReachabilityFlagsTransientConnection | kReachabilityFlagsConnectionRequired))
    return NotReachable;
  if ((m & kReachabilityFlagsTransientConnection) || m == 0 ||
      (m & kReachabilityFlagsConnectionRequired))
    return ReachableViaWiFi;
  logf("Uncaught reachability test. Flags: %s", est::reachabilityFlags(m).c_str());
  return NotReachable;
}

NetworkStatus Reachability::currentReachabilityStatus() {
  if (!reachabilityRef_) {
    logLine("currentReachabilityStatus called with NULL reachabilityRef");
    return NotReachable;
  }
  auto flags = currentFlags();
  return flags ? networkStatusForFlags(*flags) : NotReachable;
}

bool Reachability::isReachable() {
  if (!reachabilityRef_) {
    logLine("isReachable called with NULL reachabilityRef");
    return false;
  }
  auto flags = currentFlags();
  return flags && networkStatusForFlags(*flags) != NotReachable;
}

bool Reachability::isReachableViaWWAN() {
  if (!reachabilityRef_) {
    logLine("isReachableViaWWAN called with NULL reachabilityRef");
    return false;
  }
  auto flags = currentFlags();
  if (!flags) return false;
  logQuery(__PRETTY_FUNCTION__, __LINE__, *flags);
  return networkStatusForFlags(*flags) == ReachableViaWWAN;
}

bool Reachability::isReachableViaWiFi() {
  if (!reachabilityRef_) {
    logLine("isReachableViaWiFi called with NULL reachabilityRef");
    return false;
  }
  auto flags = currentFlags();
  if (!flags) return false;
  logQuery(__PRETTY_FUNCTION__, __LINE__, *flags);
  return networkStatusForFlags(*flags) == ReachableViaWiFi;
}

bool Reachability::isConnectionRequired() {
  if (!reachabilityRef_) {
    logLine("isConnectionRequired called with NULL reachabilityRef");
    return false;
  }
  auto flags = currentFlags();
  if (!flags) return false;
  logQuery(__PRETTY_FUNCTION__, __LINE__, *flags);
  return *flags & kReachabilityFlagsConnectionRequired;
}

bool Reachability::isConnectionOnDemand() {
  if (!reachabilityRef_) {
    logLine("isConnectionIsOnDemand called with NULL reachabilityRef");
    return false;
  }
  auto flags = currentFlags();
  if (!flags) return false;
  logQuery(__PRETTY_FUNCTION__, __LINE__, *flags);
  return (*flags & kReachabilityFlagsConnectionRequired) &&
         (*flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand));
}

bool Reachability::isInterventionRequired() {
  if (!reachabilityRef_) {
    logLine("isInterventionRequired called with NULL reachabilityRef");
    return false;
  }
  auto flags = currentFlags();
  if (!flags) return false;
  logQuery(__PRETTY_FUNCTION__, __LINE__, *flags);
  return (*flags & kReachabilityFlagsConnectionRequired) &&
         (*flags & kReachabilityFlagsInterventionRequired);
}

ReachabilityFlags Reachability::reachabilityFlags() {
  if (!reachabilityRef_) {
    logLine("reachabilityFlags called with NULL reachabilityRef");
    return 0;
  }
  auto flags = currentFlags();
  if (!flags) return 0;
  logQuery(__PRETTY_FUNCTION__, __LINE__, *flags);
  return *flags;
}

std::string Reachability::description() {
  if (!reachabilityRef_) {
    logLine("-description called with NULL reachabilityRef");
    return key_;
  }
  return key_ + "\n\t" + est::reachabilityFlags(currentFlags().value_or(0));
}

}  // namespace est
