#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/manual_run_loop.h"

namespace est {
namespace {

using namespace std::chrono_literals;

TEST(ManualRunLoop, FiresTimersInDueOrderAtTheirOwnTimesMovingTheClock) {
  ManualClock clock(TimePoint{} + 1000s);
  ManualRunLoop loop(&clock);
  auto start = loop.now();
  std::vector<std::pair<std::string, double>> fired;  // name, wall clock when it fired
  auto record = [&](std::string name) {
    return [&, name] {
      EXPECT_EQ(toUnixSeconds(clock.now()) - 1000, Seconds(loop.now() - start).count());
      fired.emplace_back(name, toUnixSeconds(clock.now()));
    };
  };
  loop.schedule(Seconds(3), record("a"));
  loop.schedule(Seconds(1), record("b"));
  loop.schedule(Seconds(2), record("c"));
  loop.schedule(Seconds(1), record("d"));  // same due time as b: creation order breaks the tie

  loop.advance(Seconds(2.5));
  using F = std::vector<std::pair<std::string, double>>;
  EXPECT_EQ(fired, (F{{"b", 1001}, {"d", 1001}, {"c", 1002}}));
  EXPECT_EQ(toUnixSeconds(clock.now()), 1002.5);  // moves past the last timer too
  loop.advance(Seconds(0.5));
  EXPECT_EQ(fired.back(), (std::pair<std::string, double>{"a", 1003}));
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(ManualRunLoop, RepeatingTimerFiresAtEveryMultipleWithinOneAdvance) {
  ManualRunLoop loop;
  auto start = loop.now();
  std::vector<double> at;
  TimerId id = loop.schedule(
      Seconds(4), [&] { at.push_back(Seconds(loop.now() - start).count()); }, true);
  loop.advance(Seconds(13));
  EXPECT_EQ(at, (std::vector<double>{4, 8, 12}));
  loop.advance(Seconds(3));
  EXPECT_EQ(at.size(), 4u);
  loop.cancel(id);
  loop.advance(Seconds(100));
  EXPECT_EQ(at.size(), 4u);
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(ManualRunLoop, TasksCanCancelTimersIncludingTheirOwn) {
  ManualRunLoop loop;
  int repeats = 0;
  TimerId self = 0;
  self = loop.schedule(
      Seconds(1),
      [&] {
        if (++repeats == 2) loop.cancel(self);
      },
      true);
  bool laterFired = false;
  TimerId later = loop.schedule(Seconds(5), [&] { laterFired = true; });
  loop.schedule(Seconds(4), [&] { loop.cancel(later); });

  loop.advance(Seconds(10));
  EXPECT_EQ(repeats, 2);
  EXPECT_FALSE(laterFired);
  EXPECT_EQ(loop.pendingTimers(), 0u);
  loop.cancel(later);  // cancelling a finished or unknown timer is harmless
  loop.cancel(12345);
}

TEST(ManualRunLoop, WorkQueuedByATimerRunsBeforeTheNextTimer) {
  ManualRunLoop loop;
  std::vector<std::string> order;
  loop.schedule(Seconds(1), [&] {
    order.push_back("timer1");
    loop.post([&] { order.push_back("posted"); });
    loop.schedule(Seconds(0), [&] { order.push_back("zero-delay"); });
  });
  loop.schedule(Seconds(2), [&] { order.push_back("timer2"); });
  loop.post([&] { order.push_back("before"); });
  EXPECT_EQ(loop.runPending(), 1);  // tasks only: timers wait for advance()
  loop.advance(Seconds(2));
  EXPECT_EQ(order,
            (std::vector<std::string>{"before", "timer1", "posted", "zero-delay", "timer2"}));
}

TEST(ManualRunLoop, WaitUntilRunsTasksFromOtherThreadsOnTheLoopThreadOnly) {
  ManualClock clock(TimePoint{} + 50s);
  ManualRunLoop loop(&clock);
  auto start = loop.now();
  int count = 0;  // touched only on the loop thread
  bool allOnLoop = true;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&] {
      EXPECT_FALSE(loop.isLoopThread());
      for (int i = 0; i < 50; ++i)
        loop.runOrPost([&] {
          allOnLoop = allOnLoop && loop.isLoopThread();
          ++count;
        });
    });
  bool timerFired = false;
  loop.schedule(Seconds(0.001), [&] { timerFired = true; });
  EXPECT_TRUE(loop.waitUntil([&] { return count == 200; }, Seconds(10)));
  for (auto& t : posters) t.join();
  EXPECT_TRUE(allOnLoop);
  EXPECT_FALSE(timerFired);  // virtual time stands still
  EXPECT_EQ(loop.now(), start);
  EXPECT_EQ(toUnixSeconds(clock.now()), 50);

  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.waitUntil([] { return false; }, Seconds(0.05)));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 50ms);
}

TEST(ManualRunLoop, OddDelaysNeitherFireEarlyNorMoveTimeBackwards) {
  ManualRunLoop loop;
  auto start = loop.now();
  bool farFired = false;
  bool nanFired = false;
  // 10^12 s overflows a nanosecond count: it must mean "very late", not "already due".
  loop.schedule(Seconds(1e12), [&] { farFired = true; });
  loop.schedule(Seconds(std::numeric_limits<double>::quiet_NaN()), [&] { nanFired = true; });
  loop.advance(Seconds(3600));
  EXPECT_FALSE(farFired);
  EXPECT_TRUE(nanFired);  // an unusable delay means "as soon as possible"

  auto before = loop.now();
  loop.advance(Seconds(-5));
  loop.advance(Seconds(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(loop.now(), before);
  EXPECT_GT(loop.now(), start);
}

// ---- EventLoop: real time, kept to a few milliseconds ----

TEST(EventLoop, RunsTasksPostedFromAnotherThreadInOrderOnTheRunningThread) {
  EventLoop loop;
  std::vector<int> seen;
  std::atomic<bool> onLoopThread{true};
  std::thread runner([&] { loop.run(); });
  for (int i = 0; i < 100; ++i)
    loop.post([&, i] {
      seen.push_back(i);
      onLoopThread = onLoopThread && loop.isLoopThread();
    });
  loop.post([&] { loop.stop(); });
  runner.join();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_TRUE(onLoopThread);
  EXPECT_FALSE(loop.isLoopThread());
}

// The loop falls asleep between most of these tasks, so every hand-over races a wake-up
// with the loop going to sleep; a lost wake-up leaves the run hanging.
TEST(EventLoop, TasksFromSeveralThreadsWakeTheLoopEveryTimeItSleeps) {
  EventLoop loop;
  constexpr int kPerThread = 3000;
  int ran = 0;
  std::atomic<int> done{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 3; ++t)
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        if ((i + t) % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
        loop.post([&] {
          if (++ran == 3 * kPerThread) loop.stop();
        });
      }
      ++done;
    });
  loop.run();
  for (auto& p : producers) p.join();
  EXPECT_EQ(ran, 3 * kPerThread);
  EXPECT_EQ(done.load(), 3);
}

TEST(EventLoop, OneShotAndRepeatingTimersOnRealTime) {
  EventLoop loop;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration oneShotAfter{};
  int oneShots = 0;
  int repeats = 0;
  auto stopWhenDone = [&] {
    if (oneShots == 1 && repeats == 5) loop.schedule(Seconds(0.03), [&] { loop.stop(); });
  };
  loop.schedule(Seconds(0.02), [&] {
    ++oneShots;
    oneShotAfter = std::chrono::steady_clock::now() - start;
    stopWhenDone();
  });
  TimerId repeating = 0;
  repeating = loop.schedule(
      Seconds(0.005),
      [&] {
        if (++repeats == 5) {
          loop.cancel(repeating);
          stopWhenDone();
        }
      },
      true);
  TimerId safety = loop.schedule(Seconds(10), [&] { loop.stop(); });
  loop.run();
  loop.cancel(safety);
  // Exactly once and never early; the 30 ms after the last event let extra firings show.
  EXPECT_EQ(oneShots, 1);
  EXPECT_GE(oneShotAfter, 20ms);
  EXPECT_EQ(repeats, 5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(EventLoop, TimerScheduledOrCancelledFromAnotherThreadWakesTheLoop) {
  EventLoop loop;
  bool cancelledFired = false;
  std::atomic<bool> fired{false};
  TimerId doomed = loop.schedule(Seconds(0.03), [&] { cancelledFired = true; });
  std::thread other([&] {
    loop.cancel(doomed);
    // The loop may be blocked with no timer at all; this one must still wake it.
    std::this_thread::sleep_for(10ms);
    loop.schedule(Seconds(0.001), [&] {
      fired = true;
      loop.schedule(Seconds(0.04), [&] { loop.stop(); });
    });
  });
  loop.run();
  other.join();
  EXPECT_TRUE(fired);
  EXPECT_FALSE(cancelledFired);
}

TEST(EventLoop, StopBeforeRunReturnsAtOnceAndResetAllowsAnotherRun) {
  EventLoop loop;
  int ran = 0;
  loop.post([&] { ++ran; });
  loop.stop();
  loop.run();
  EXPECT_EQ(ran, 0);
  loop.reset();
  loop.post([&] { loop.stop(); });
  loop.run();
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace est
