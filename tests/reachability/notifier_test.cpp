#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/manual_run_loop.h"
#include "reachability/listener.h"
#include "reachability/network_builder.h"
#include "reachability/reachability.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using testing::homeWiFi;
using testing::ip;
using testing::Listener;
using testing::mobileOnly;

// For results of worker threads that post nothing to a loop: polls for a bounded real time.
bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A resolver the test answers when it wants to.
class ScriptedResolver {
 public:
  HostResolver function() {
    return [state = state_](const std::string& name) {
      std::unique_lock lock(state->mutex);
      state->names.push_back(name);
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->open; });
      return state->answer;
    };
  }
  void answer(std::optional<std::vector<IpAddress>> addresses, bool open = true) {
    std::lock_guard lock(state_->mutex);
    state_->answer = std::move(addresses);
    state_->open = open;
    state_->changed.notify_all();
  }
  bool waitForCalls(size_t n) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, 10s, [&] { return state_->names.size() >= n; });
  }
  size_t calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->names.size();
  }
  ~ScriptedResolver() { answer(std::nullopt); }  // never leave a worker blocked

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> names;
    std::optional<std::vector<IpAddress>> answer;
    bool open = true;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using Seen = std::vector<std::pair<Reachability*, NetworkStatus>>;

TEST(Notifier, PostsOnTheLoopOnlyWhenTheFlagsChangeAndKeepsThemWhileUnreadable) {
  ManualRunLoop loop;
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  auto monitor = Reachability::reachabilityForInternetConnection(source);
  Listener listener(loop);
  ASSERT_TRUE(monitor->startNotifier(loop));

  NetworkSnapshot sameFlags = homeWiFi();
  sameFlags.addresses.push_back({2, ip("192.168.1.21"), 24});
  source->set(sameFlags);
  source->setReadable(false);
  source->set(NetworkSnapshot{});  // unreadable: the last flags stand
  source->setReadable(true);
  source->set(homeWiFi());
  loop.runPending();
  EXPECT_EQ(listener.count(), 0u);

  source->set(mobileOnly());
  EXPECT_EQ(listener.count(), 0u);  // delivery waits for the loop
  loop.runPending();
  std::thread([&] { source->set(NetworkSnapshot{}); }).join();  // seen on another thread
  loop.runPending();
  source->set(homeWiFi());
  loop.runPending();
  EXPECT_EQ(listener.seen(), (Seen{{monitor.get(), ReachableViaWWAN},
                                   {monitor.get(), NotReachable},
                                   {monitor.get(), ReachableViaWiFi}}));

  monitor->stopNotifier();
  EXPECT_EQ(source->watcherCount(), 0);
  source->set(mobileOnly());
  loop.runPending();
  EXPECT_EQ(listener.count(), 3u);
}

TEST(Notifier, NothingArrivesAfterStopOrDestructionEvenIfAlreadyQueued) {
  ManualRunLoop loop;
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  auto monitor = Reachability::reachabilityForInternetConnection(source);
  Listener listener(loop);
  ASSERT_TRUE(monitor->startNotifier(loop));
  source->set(mobileOnly());  // queued on the loop, not yet run
  monitor->stopNotifier();
  loop.runPending();
  EXPECT_EQ(listener.count(), 0u);

  // A restart compares against the network as it is at the restart.
  ASSERT_TRUE(monitor->startNotifier(loop));
  source->set(mobileOnly());
  loop.runPending();
  EXPECT_EQ(listener.count(), 0u);
  source->set(homeWiFi());
  monitor.reset();
  loop.runPending();
  EXPECT_EQ(listener.count(), 0u);
  EXPECT_EQ(source->watcherCount(), 0);
}

TEST(Notifier, EachMonitorPostsForItsOwnTargetOnly) {
  ManualRunLoop loop;
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  auto internet = Reachability::reachabilityForInternetConnection(source);
  sockaddr_in printer{};
  printer.sin_family = AF_INET;
  printer.sin_addr.s_addr = htonl(0xC0A8011E);  // 192.168.1.30, on the Wi-Fi subnet
  auto local = Reachability::reachabilityWithAddress(printer, source);
  Listener listener(loop);
  ASSERT_TRUE(internet->startNotifier(loop));
  ASSERT_TRUE(local->startNotifier(loop));

  NetworkSnapshot gatewayGone = homeWiFi();
  gatewayGone.routes.pop_back();  // the default route
  source->set(gatewayGone);
  loop.runPending();
  EXPECT_EQ(listener.seen(), (Seen{{internet.get(), NotReachable}}));
}

TEST(Notifier, UsesTheCallingThreadsLoopElseTheMainLoopAndMayBeStoppedByItsOwnObserver) {
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  auto monitor = Reachability::reachabilityForInternetConnection(source);
  RunLoop::setMain(nullptr);
  bool started = true;
  std::thread([&] { started = monitor->startNotifier(); }).join();  // no loop there, no main
  EXPECT_FALSE(started);

  ManualRunLoop loop;  // this thread's loop, not the main one
  {
    ManualRunLoop otherLoop;
    RunLoop::setMain(&otherLoop);
    std::thread([&] { started = monitor->startNotifier(); }).join();
    EXPECT_TRUE(started) << "a thread without a loop of its own uses the main one";
    monitor->stopNotifier();
    RunLoop::setMain(nullptr);
  }
  int calls = 0;
  auto token = NotificationCenter::defaultCenter().addObserver(
      kReachabilityChangedNotification, [&](const Notification& n) {
        ++calls;
        n.objectAs<Reachability>()->stopNotifier();
      });
  EXPECT_TRUE(monitor->startNotifier());
  source->set(mobileOnly());
  loop.runPending();
  source->set(homeWiFi());
  loop.runPending();
  NotificationCenter::defaultCenter().removeObserver(token);
  RunLoop::setMain(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(source->watcherCount(), 0);
}

TEST(HostNames, ResolveOffTheCallersThreadAndAnnounceTheAnswerWhenItComes) {
  ManualRunLoop loop;
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  ScriptedResolver resolver;
  resolver.answer(std::nullopt, false);  // hold the worker until the test answers
  auto monitor = Reachability::reachabilityWithHostName("printer.lan", source, resolver.function());
  monitor->reachabilityRef()->setResolveTimeout(Seconds(0));
  Listener listener(loop);

  ASSERT_TRUE(monitor->startNotifier(loop));
  ASSERT_TRUE(resolver.waitForCalls(1));
  EXPECT_FALSE(monitor->isReachable());  // no answer yet: unreadable, and no second lookup
  EXPECT_EQ(monitor->description(), "printer.lan\n\tReachability Flags: -- -------");

  resolver.answer(std::vector<IpAddress>{ip("192.168.1.30")});
  ASSERT_TRUE(loop.waitUntil([&] { return listener.count() == 1; }, 10s));
  EXPECT_EQ(listener.seen()[0].second, ReachableViaWiFi);
  EXPECT_EQ(monitor->reachabilityFlags(), kReachabilityFlagsReachable | kReachabilityFlagsIsDirect);
  EXPECT_EQ(resolver.calls(), 1u);

  // A network change asks again, since the answer may differ on the new network.
  // Until the new answer comes the old address is judged on the new network.
  resolver.answer(std::nullopt);
  source->set(mobileOnly());
  ASSERT_TRUE(resolver.waitForCalls(2));
  ASSERT_TRUE(loop.waitUntil(
      [&] { return listener.count() >= 2 && listener.seen().back().second == NotReachable; }, 10s));
  EXPECT_EQ(monitor->reachabilityFlags(), 0u);  // the name no longer resolves
}

TEST(HostNames, AnswersAreKeptForAMinuteOfClockTime) {
  ManualClock clock(TimePoint{} + 1000h);
  ScopedClock scoped(clock);
  auto source = std::make_shared<ManualNetworkSource>(homeWiFi());
  ScriptedResolver resolver;
  resolver.answer(std::vector<IpAddress>{ip("203.0.113.7")});
  auto monitor = Reachability::reachabilityWithHostName("pay.example", source, resolver.function());

  EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWiFi);  // waits for the answer
  EXPECT_EQ(monitor->currentReachabilityStatus(), ReachableViaWiFi);
  clock.advance(59s);
  EXPECT_TRUE(monitor->isReachable());
  EXPECT_EQ(resolver.calls(), 1u);

  clock.advance(2s);
  resolver.answer(std::nullopt);
  EXPECT_TRUE(monitor->isReachable());  // the stale answer serves while a new one is sought
  ASSERT_TRUE(resolver.waitForCalls(2));
  ASSERT_TRUE(eventually([&] { return !monitor->isReachable(); }));
  EXPECT_EQ(resolver.calls(), 2u);  // a fresh failure is kept too
}

TEST(NotificationCenter, CallsObserversOfTheNameInOrderSkippingOnesRemovedMeanwhile) {
  NotificationCenter center;
  std::vector<std::string> calls;
  int target = 42;
  NotificationCenter::ObserverToken third = 0;
  auto first = center.addObserver("changed", [&](const Notification& n) {
    calls.push_back("first:" + std::to_string(*n.objectAs<int>()));
    EXPECT_EQ(n.objectAs<std::string>(), nullptr);  // wrong type: no object
    center.removeObserver(third);
    center.addObserver("changed", [&](const Notification&) { calls.push_back("added"); });
  });
  center.addObserver("other", [&](const Notification&) { calls.push_back("other"); });
  center.addObserver("changed", [&](const Notification&) { calls.push_back("second"); });
  third = center.addObserver("changed", [&](const Notification&) { calls.push_back("third"); });
  center.post("changed", &target);
  EXPECT_EQ(calls, (std::vector<std::string>{"first:42", "second"}));

  center.removeObserver(first);
  center.removeObserver(999);
  calls.clear();
  std::thread([&] { center.post("changed", &target); }).join();
  EXPECT_EQ(calls, (std::vector<std::string>{"second", "added"}));
}

}  // namespace
}  // namespace est
