#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/run_loop.h"
#include "reachability/network_snapshot.h"
#include "reachability/network_source.h"
#include "reachability/reachability_flags.h"

namespace est {

// Turns a host name into addresses; nullopt when the name cannot be resolved. Runs on a
// worker thread of its own.
using HostResolver = std::function<std::optional<std::vector<IpAddress>>(const std::string&)>;

// getaddrinfo, both families, in the system's preference order.
std::optional<std::vector<IpAddress>> resolveHostName(const std::string& name);

// The platform's reachability object for one target: reads the target's flags from the
// network now, and once scheduled on a run loop, calls back there whenever they change.
//
// Host names are resolved on a worker thread and the answer kept for a minute (by the
// Clock); a read with no answer yet waits for one at most resolveTimeout() and otherwise
// fails. The name is resolved again after every network change.
class ReachabilityRef {
 public:
  using Callback = std::function<void(ReachabilityFlags)>;

  // Null for an empty name, one longer than a DNS name can be, or one holding NUL.
  static std::unique_ptr<ReachabilityRef> createWithName(
      const std::string& name, std::shared_ptr<NetworkSource> source = nullptr,
      HostResolver resolver = {});
  // 0.0.0.0 stands for any route to the internet and 169.254.0.0 for the link-local
  // network of a Wi-Fi link, as on the platform the system came from.
  static std::unique_ptr<ReachabilityRef> createWithAddress(
      const IpAddress& address, std::shared_ptr<NetworkSource> source = nullptr);

  ~ReachabilityRef();
  ReachabilityRef(const ReachabilityRef&) = delete;
  ReachabilityRef& operator=(const ReachabilityRef&) = delete;

  TargetKind kind() const;

  // The flags now; nullopt when they cannot be read (network unreadable, name unresolved).
  std::optional<ReachabilityFlags> flags(Error* error = nullptr);

  void setCallback(Callback callback);
  // Starts watching; callbacks run on `loop`, only when the flags differ from the last ones
  // seen. Returns false when the network cannot be watched.
  bool scheduleWithRunLoop(RunLoop& loop, Error* error = nullptr);
  // After this returns, no callback runs (one already running on another thread is waited for).
  void unscheduleFromRunLoop();
  bool scheduled() const;

  void setResolveTimeout(Seconds timeout);

  struct Core;

 private:
  explicit ReachabilityRef(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace est
