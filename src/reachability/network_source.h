#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "reachability/network_snapshot.h"

namespace est {

inline constexpr const char* kReachabilityErrorDomain = "ReachabilityErrorDomain";

// Stops watching when destroyed; once the destructor has returned the callback is never
// called again. Never destroy a watch from inside its own callback.
class NetworkWatch {
 public:
  virtual ~NetworkWatch() = default;
};

// Where the network configuration comes from: the kernel, or a test.
class NetworkSource {
 public:
  using Changed = std::function<void()>;

  virtual ~NetworkSource() = default;

  // Links, addresses and routes now, plus the kernel's route for each of `destinations`.
  virtual std::optional<NetworkSnapshot> snapshot(const std::vector<IpAddress>& destinations,
                                                  Error* error = nullptr) = 0;

  // Calls `changed` (on a thread of the source's choosing) after the links, addresses or
  // routes changed. Null when watching cannot start.
  virtual std::unique_ptr<NetworkWatch> watch(Changed changed, Error* error = nullptr) = 0;

  // The machine's own network, through rtnetlink.
  static std::shared_ptr<NetworkSource> system();
};

// rtnetlink: dumps for the snapshot, RTM_GETROUTE for destinations, and a socket subscribed to
// link, address and route changes (IPv4 and IPv6) read by one small thread per watch.
class NetlinkNetworkSource : public NetworkSource {
 public:
  explicit NetlinkNetworkSource(std::filesystem::path sysfsNet = "/sys/class/net");

  std::optional<NetworkSnapshot> snapshot(const std::vector<IpAddress>& destinations,
                                          Error* error = nullptr) override;
  std::unique_ptr<NetworkWatch> watch(Changed changed, Error* error = nullptr) override;

  // What rtnetlink does not say about a link: whether it is wireless and its DEVTYPE, from
  // <sysfsNet>/<name>. Entries whose ifindex differs belong to another network namespace
  // and are ignored.
  static void readSysfsTraits(Link& link, const std::filesystem::path& sysfsNet);

 private:
  std::filesystem::path sysfsNet_;
};

// A network that changes only when told to (tests). set() tells every watcher on the calling
// thread before it returns.
class ManualNetworkSource : public NetworkSource {
 public:
  explicit ManualNetworkSource(NetworkSnapshot initial = {});

  void set(NetworkSnapshot snapshot);
  // While false, snapshot() fails as an unreadable platform would.
  void setReadable(bool readable);
  int watcherCount() const;

  std::optional<NetworkSnapshot> snapshot(const std::vector<IpAddress>& destinations,
                                          Error* error = nullptr) override;
  std::unique_ptr<NetworkWatch> watch(Changed changed, Error* error = nullptr) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace est
