#pragma once

// After a network change, a keep-alive connection pooled on the old network is usually dead,
// and the next request would wait out the whole time-out on it before reporting a connection
// problem. This watches the reachability monitor and, at every change it reports, closes the
// HTTP client's idle pooled connections, so the next request opens a fresh one.

#include <memory>

#include "reachability/notification_center.h"

namespace est {

class NetworkSource;
class Reachability;

class NetworkChangeWatcher {
 public:
  // Watches the internet connection through `source` (the machine's network when null), with
  // notifications on the main run loop. Listens to every monitor's change notification, so a
  // change seen by another monitor of the process counts too.
  explicit NetworkChangeWatcher(std::shared_ptr<NetworkSource> source = nullptr);
  ~NetworkChangeWatcher();
  NetworkChangeWatcher(const NetworkChangeWatcher&) = delete;
  NetworkChangeWatcher& operator=(const NetworkChangeWatcher&) = delete;

  // Whether its own monitor runs (false where the network cannot be watched).
  bool isWatching() const { return watching_; }
  // Changes acted on so far.
  int changesSeen() const { return changes_; }

 private:
  std::unique_ptr<Reachability> monitor_;
  NotificationCenter::ObserverToken token_ = 0;
  bool watching_ = false;
  int changes_ = 0;
};

}  // namespace est
