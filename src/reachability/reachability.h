#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>

#include "platform/run_loop.h"
#include "reachability/notification_center.h"
#include "reachability/reachability_flags.h"
#include "reachability/reachability_ref.h"

namespace est {

inline constexpr const char* kInternetConnection = "InternetConnection";
inline constexpr const char* kLocalWiFiConnection = "LocalWiFiConnection";
inline constexpr const char* kReachabilityChangedNotification =
    "NetworkReachabilityChangedNotification";

// Whether one target (a host name, an address, any internet connection, the local Wi-Fi
// network) can be reached now and over what kind of link. Once its notifier is started it
// posts kReachabilityChangedNotification, with the monitor as the object, on the notifier's
// run loop whenever the flags change; listeners ask the monitor for its status.
//
// The optional `source` and `resolver` of the factories replace the machine's network and
// name resolution (tests).
class Reachability {
 public:
  static std::unique_ptr<Reachability> reachabilityWithHostName(
      const std::string& hostName, std::shared_ptr<NetworkSource> source = nullptr,
      HostResolver resolver = {});
  // IPv4 only (sin_family AF_INET); null otherwise.
  static std::unique_ptr<Reachability> reachabilityWithAddress(
      const sockaddr_in& hostAddress, std::shared_ptr<NetworkSource> source = nullptr);
  static std::unique_ptr<Reachability> reachabilityForInternetConnection(
      std::shared_ptr<NetworkSource> source = nullptr);
  static std::unique_ptr<Reachability> reachabilityForLocalWiFi(
      std::shared_ptr<NetworkSource> source = nullptr);

  // Takes ownership of the platform object.
  explicit Reachability(std::unique_ptr<ReachabilityRef> reachabilityRef, std::string key = {});
  ~Reachability();  // stops the notifier first
  Reachability(const Reachability&) = delete;
  Reachability& operator=(const Reachability&) = delete;

  // Notifications are posted on `loop`'s thread. Without a loop, RunLoop::main() is used;
  // false when there is none or the network cannot be watched.
  bool startNotifier(RunLoop& loop);
  bool startNotifier();
  void stopNotifier();

  NetworkStatus currentReachabilityStatus();
  bool isReachable();
  bool isReachableViaWWAN();
  bool isReachableViaWiFi();
  bool isConnectionRequired();
  bool connectionRequired() { return isConnectionRequired(); }
  bool isConnectionOnDemand();
  bool isInterventionRequired();
  // The raw flags; 0 when they cannot be read.
  ReachabilityFlags reachabilityFlags();
  // The key, a line feed and a tab, then the flag text.
  std::string description();

  NetworkStatus networkStatusForFlags(ReachabilityFlags flags) const;

  const std::string& key() const { return key_; }
  ReachabilityRef* reachabilityRef() const { return reachabilityRef_.get(); }

  bool operator==(const Reachability& other) const { return key_ == other.key_; }

 private:
  std::optional<ReachabilityFlags> currentFlags();
  void reachabilityChanged();

  std::unique_ptr<ReachabilityRef> reachabilityRef_;
  std::string key_;
};

}  // namespace est
