#include "reachability/reachability_ref.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/timer_queue.h"

namespace est {
namespace {

constexpr auto kResolutionLifetime = std::chrono::seconds(60);
constexpr size_t kMaxHostNameLength = 254;  // 253 plus a trailing dot

}  // namespace

struct ReachabilityRef::Core : std::enable_shared_from_this<Core> {
  struct Resolution {
    bool ok = false;
    std::vector<IpAddress> addresses;
    TimePoint at;
  };

  TargetKind kind = TargetKind::Address;
  std::string name;
  std::vector<IpAddress> addresses;  // the target's own, when it needs no resolving
  bool resolves = false;
  std::shared_ptr<NetworkSource> source;
  HostResolver resolver;

  std::mutex mutex;
  std::condition_variable resolvedSignal;
  std::optional<Resolution> resolution;
  bool resolving = false;
  bool resolveAgain = false;
  Seconds resolveTimeout{2};

  RunLoop* loop = nullptr;
  Callback callback;
  std::uint64_t generation = 0;
  std::optional<ReachabilityFlags> lastDelivered;  // loop thread's view
  std::optional<ReachabilityFlags> lastPosted;     // evaluators' view
  std::unique_ptr<NetworkWatch> watch;

  std::mutex evaluating;            // one evaluation at a time, so results are posted in order
  std::recursive_mutex delivering;  // held around callbacks; recursive so they may unschedule

  // `mutex` held. With `restart`, a resolution under way is followed by a fresh one.
  void startResolution(bool restart) {
    if (resolving) {
      if (restart) resolveAgain = true;
      return;
    }
    resolving = true;
    try {
      std::thread([self = shared_from_this()] {
        std::optional<std::vector<IpAddress>> result;
        try {
          result = self->resolver(self->name);
        } catch (...) {
          result.reset();
        }
        self->finishResolution(std::move(result));
      }).detach();
    } catch (const std::system_error&) {
      resolving = false;
      resolution = Resolution{false, {}, Clock::current().now()};
      resolvedSignal.notify_all();
    }
  }

  void finishResolution(std::optional<std::vector<IpAddress>> result) {
    bool scheduled;
    {
      std::lock_guard lock(mutex);
      Resolution r;
      r.ok = result && !result->empty();
      if (r.ok) r.addresses = std::move(*result);
      r.at = Clock::current().now();
      resolution = std::move(r);
      resolving = false;
      if (resolveAgain) {
        resolveAgain = false;
        startResolution(false);
      }
      scheduled = loop != nullptr;
    }
    resolvedSignal.notify_all();
    if (scheduled) evaluate();
  }

  // The addresses to judge the target by; nullopt while a name has no answer yet.
  std::optional<std::vector<IpAddress>> targetAddresses(bool wait, Error* error) {
    if (!resolves) return addresses;
    std::unique_lock lock(mutex);
    if (!resolution || Clock::current().now() - resolution->at >= kResolutionLifetime)
      startResolution(false);
    if (!resolution && wait)
      resolvedSignal.wait_for(lock, TimerQueue::toDuration(resolveTimeout),
                              [&] { return resolution.has_value(); });
    if (!resolution) {
      Error::assign(error, Error(kReachabilityErrorDomain, EAI_AGAIN,
                                 strprintf("%s is still being resolved", name.c_str())));
      return std::nullopt;
    }
    return resolution->addresses;
  }

  std::optional<ReachabilityFlags> read(bool wait, Error* error) {
    auto targets = targetAddresses(wait, error);
    if (!targets) return std::nullopt;
    if (resolves && targets->empty()) return 0;  // the name does not exist
    bool routesNeeded = kind == TargetKind::HostName || kind == TargetKind::Address;
    auto snapshot = source->snapshot(routesNeeded ? *targets : std::vector<IpAddress>{}, error);
    if (!snapshot) return std::nullopt;
    return flagsForTarget(*snapshot, kind, *targets);
  }

  void networkChanged() {
    if (resolves) {
      std::lock_guard lock(mutex);
      if (loop) startResolution(true);  // the answer may differ on the new network
    }
    evaluate();
  }

  void evaluate() {
    std::lock_guard serial(evaluating);
    {
      std::lock_guard lock(mutex);
      if (!loop) return;
    }
    auto flags = read(false, nullptr);
    if (!flags) return;  // keep the last known flags until they can be read again
    std::lock_guard lock(mutex);
    if (!loop || lastPosted == flags) return;
    lastPosted = flags;
    loop->post([weak = weak_from_this(), gen = generation, f = *flags] {
      if (auto self = weak.lock()) self->deliver(gen, f);
    });
  }

  void deliver(std::uint64_t gen, ReachabilityFlags flags) {
    std::lock_guard serial(delivering);
    Callback call;
    {
      std::lock_guard lock(mutex);
      if (gen != generation || !loop || lastDelivered == flags) return;
      lastDelivered = flags;
      call = callback;
    }
    if (call) call(flags);
  }

  bool schedule(RunLoop& runLoop, Error* error) {
    unschedule();
    std::lock_guard serial(evaluating);
    {
      std::lock_guard lock(mutex);
      loop = &runLoop;
      ++generation;
    }
    auto newWatch = source->watch(
        [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->networkChanged();
        },
        error);
    auto initial = newWatch ? read(false, nullptr) : std::nullopt;
    std::lock_guard lock(mutex);
    if (!newWatch) {
      loop = nullptr;
      ++generation;
      return false;
    }
    watch = std::move(newWatch);
    lastDelivered = lastPosted = initial;
    return true;
  }

  void unschedule() {
    std::lock_guard serial(delivering);
    std::unique_ptr<NetworkWatch> stopping;
    {
      std::lock_guard lock(mutex);
      loop = nullptr;
      ++generation;
      stopping = std::move(watch);
      lastDelivered.reset();
      lastPosted.reset();
    }
    stopping.reset();  // joins the watching thread
  }
};

std::optional<std::vector<IpAddress>> resolveHostName(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return std::nullopt;
  std::vector<IpAddress> addresses;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    IpAddress ip;
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      ip.family = AF_INET;
      std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
    } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
      ip.family = AF_INET6;
      std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr,
                  16);
    } else {
      continue;
    }
    if (std::find(addresses.begin(), addresses.end(), ip) == addresses.end())
      addresses.push_back(ip);
  }
  ::freeaddrinfo(list);
  if (addresses.empty()) return std::nullopt;
  return addresses;
}

std::unique_ptr<ReachabilityRef> ReachabilityRef::createWithName(
    const std::string& name, std::shared_ptr<NetworkSource> source, HostResolver resolver) {
  if (name.empty() || name.size() > kMaxHostNameLength || name.find('\0') != std::string::npos)
    return nullptr;
  auto core = std::make_shared<Core>();
  core->kind = TargetKind::HostName;
  core->name = name;
  if (auto literal = IpAddress::parse(name))
    core->addresses.push_back(*literal);
  else
    core->resolves = true;
  core->source = source ? std::move(source) : NetworkSource::system();
  core->resolver = resolver ? std::move(resolver) : HostResolver(resolveHostName);
  return std::unique_ptr<ReachabilityRef>(new ReachabilityRef(std::move(core)));
}

std::unique_ptr<ReachabilityRef> ReachabilityRef::createWithAddress(
    const IpAddress& address, std::shared_ptr<NetworkSource> source) {
  if (address.family != AF_INET && address.family != AF_INET6) return nullptr;
  auto core = std::make_shared<Core>();
  if (address == IpAddress::v4(0, 0, 0, 0))
    core->kind = TargetKind::InternetConnection;
  else if (address == IpAddress::v4(169, 254, 0, 0))
    core->kind = TargetKind::LocalWiFi;
  else
    core->kind = TargetKind::Address;
  core->name = address.toString();
  core->addresses.push_back(address);
  core->source = source ? std::move(source) : NetworkSource::system();
  return std::unique_ptr<ReachabilityRef>(new ReachabilityRef(std::move(core)));
}

ReachabilityRef::ReachabilityRef(std::shared_ptr<Core> core) : core_(std::move(core)) {}

ReachabilityRef::~ReachabilityRef() {
  core_->unschedule();
}

TargetKind ReachabilityRef::kind() const {
  return core_->kind;
}

std::optional<ReachabilityFlags> ReachabilityRef::flags(Error* error) {
  return core_->read(true, error);
}

void ReachabilityRef::setCallback(Callback callback) {
  std::lock_guard lock(core_->mutex);
  core_->callback = std::move(callback);
}

bool ReachabilityRef::scheduleWithRunLoop(RunLoop& loop, Error* error) {
  return core_->schedule(loop, error);
}

void ReachabilityRef::unscheduleFromRunLoop() {
  core_->unschedule();
}

bool ReachabilityRef::scheduled() const {
  std::lock_guard lock(core_->mutex);
  return core_->loop != nullptr;
}

void ReachabilityRef::setResolveTimeout(Seconds timeout) {
  std::lock_guard lock(core_->mutex);
  core_->resolveTimeout = timeout;
}

}  // namespace est
