#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <vector>

#include "reachability/reachability.h"

namespace est::testing {

// Records every reachability notification: which monitor, its status then, and whether it
// arrived on the loop's thread.
class Listener {
 public:
  explicit Listener(RunLoop& loop) : loop_(loop) {
    token_ = NotificationCenter::defaultCenter().addObserver(
        kReachabilityChangedNotification, [this](const Notification& n) {
          auto* monitor = n.objectAs<Reachability>();
          ASSERT_NE(monitor, nullptr);
          EXPECT_TRUE(loop_.isLoopThread());
          std::lock_guard lock(mutex_);
          seen_.push_back({monitor, monitor->currentReachabilityStatus()});
        });
  }
  ~Listener() { NotificationCenter::defaultCenter().removeObserver(token_); }

  std::vector<std::pair<Reachability*, NetworkStatus>> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  size_t count() const { return seen().size(); }
  // The status `monitor` had at its latest notification, if it posted any.
  std::optional<NetworkStatus> last(const Reachability* monitor) const {
    std::lock_guard lock(mutex_);
    for (auto it = seen_.rbegin(); it != seen_.rend(); ++it)
      if (it->first == monitor) return it->second;
    return std::nullopt;
  }

 private:
  RunLoop& loop_;
  NotificationCenter::ObserverToken token_;
  mutable std::mutex mutex_;
  std::vector<std::pair<Reachability*, NetworkStatus>> seen_;
};

}  // namespace est::testing
