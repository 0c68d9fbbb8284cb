#include <map>
#include <utility>

#include "reachability/network_source.h"

namespace est {

struct ManualNetworkSource::State {
  std::mutex mutex;
  NetworkSnapshot snapshot;
  bool readable = true;
  std::map<std::uint64_t, Changed> watchers;
  std::uint64_t nextId = 1;
  // Held while callbacks run, so that a watch destroyed on another thread waits for them.
  std::recursive_mutex notifying;
};

namespace {

class ManualWatch : public NetworkWatch {
 public:
  ManualWatch(std::shared_ptr<ManualNetworkSource::State> state, std::uint64_t id)
      : state_(std::move(state)), id_(id) {}
  ~ManualWatch() override;

 private:
  std::shared_ptr<ManualNetworkSource::State> state_;
  std::uint64_t id_;
};

}  // namespace

ManualWatch::~ManualWatch() {
  std::lock_guard notifying(state_->notifying);
  std::lock_guard lock(state_->mutex);
  state_->watchers.erase(id_);
}

ManualNetworkSource::ManualNetworkSource(NetworkSnapshot initial)
    : state_(std::make_shared<State>()) {
  state_->snapshot = std::move(initial);
}

void ManualNetworkSource::set(NetworkSnapshot snapshot) {
  std::lock_guard notifying(state_->notifying);
  std::vector<std::uint64_t> ids;
  {
    std::lock_guard lock(state_->mutex);
    state_->snapshot = std::move(snapshot);
    for (const auto& [id, changed] : state_->watchers) ids.push_back(id);
  }
  for (std::uint64_t id : ids) {
    Changed changed;
    {
      std::lock_guard lock(state_->mutex);
      auto it = state_->watchers.find(id);
      if (it == state_->watchers.end()) continue;
      changed = it->second;
    }
    changed();
  }
}

void ManualNetworkSource::setReadable(bool readable) {
  std::lock_guard lock(state_->mutex);
  state_->readable = readable;
}

int ManualNetworkSource::watcherCount() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->watchers.size());
}

std::optional<NetworkSnapshot> ManualNetworkSource::snapshot(const std::vector<IpAddress>&,
                                                             Error* error) {
  std::lock_guard lock(state_->mutex);
  if (!state_->readable) {
    Error::assign(error, Error(kReachabilityErrorDomain, 1, "network state unreadable"));
    return std::nullopt;
  }
  return state_->snapshot;
}

std::unique_ptr<NetworkWatch> ManualNetworkSource::watch(Changed changed, Error*) {
  std::lock_guard lock(state_->mutex);
  std::uint64_t id = state_->nextId++;
  state_->watchers.emplace(id, std::move(changed));
  return std::make_unique<ManualWatch>(state_, id);
}

}  // namespace est
