#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/manual_run_loop.h"

namespace est {
namespace {

using namespace std::chrono_literals;

double virtualSeconds(const ManualRunLoop& loop, std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(loop.now() - start).count();
}

TEST(ManualRunLoop, FiresTimersInDueOrderAtTheirOwnTimes) {
  ManualClock clock(TimePoint{} + 1000s);
  ManualRunLoop loop(&clock);
  auto start = loop.now();
  std::vector<std::string> fired;
  auto record = [&](std::string name) {
    return [&, name] {
      fired.push_back(name + "@" + std::to_string(virtualSeconds(loop, start)).substr(0, 3) + "/" +
                      std::to_string(toUnixSeconds(clock.now())).substr(0, 4));
    };
  };
  loop.schedule(Seconds(3), record("a"));
  loop.schedule(Seconds(1), record("b"));
  loop.schedule(Seconds(2), record("c"));
  loop.schedule(Seconds(1), record("d"));  // same due time as b: creation order breaks the tie

  loop.advance(Seconds(2.5));
  EXPECT_EQ(fired, (std::vector<std::string>{"b@1.0/1001", "d@1.0/1001", "c@2.0/1002"}));
  EXPECT_EQ(loop.pendingTimers(), 1u);
  // The wall clock moves with the loop, also past the last timer.
  EXPECT_DOUBLE_EQ(toUnixSeconds(clock.now()), 1002.5);

  loop.advance(Seconds(0.5));
  EXPECT_EQ(fired.back(), "a@3.0/1003");
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(ManualRunLoop, RepeatingTimerFiresAtEveryMultipleWithinOneAdvance) {
  ManualRunLoop loop;
  auto start = loop.now();
  std::vector<double> at;
  TimerId id = loop.schedule(
      Seconds(4), [&] { at.push_back(virtualSeconds(loop, start)); }, true);
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
  loop.cancel(later);  // cancelling a finished timer is harmless
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
  loop.advance(Seconds(2));
  EXPECT_EQ(order, (std::vector<std::string>{"timer1", "posted", "zero-delay", "timer2"}));
}

TEST(ManualRunLoop, NothingRunsUntilDrivenAndRunPendingCountsTasks) {
  ManualRunLoop loop;
  int n = 0;
  loop.post([&] {
    ++n;
    loop.post([&] { ++n; });
  });
  loop.schedule(Seconds(0), [&] { n += 100; });
  EXPECT_EQ(n, 0);
  EXPECT_EQ(loop.runPending(), 2);
  EXPECT_EQ(n, 2);  // timers wait for advance(), even when due
  loop.advance(Seconds(0));
  EXPECT_EQ(n, 102);
}

TEST(ManualRunLoop, RunOrPostRunsInLineOnlyOnTheLoopThread) {
  ManualRunLoop loop;
  bool inLine = false;
  loop.runOrPost([&] { inLine = true; });
  EXPECT_TRUE(inLine);

  std::atomic<bool> ranOnLoopThread{false};
  std::atomic<bool> otherThreadIsLoop{true};
  std::thread other([&] {
    otherThreadIsLoop = loop.isLoopThread();
    loop.runOrPost([&] { ranOnLoopThread = loop.isLoopThread(); });
  });
  other.join();
  EXPECT_FALSE(otherThreadIsLoop);
  EXPECT_FALSE(ranOnLoopThread);
  EXPECT_EQ(loop.runPending(), 1);
  EXPECT_TRUE(ranOnLoopThread);
}

TEST(ManualRunLoop, WaitUntilRunsTasksPostedFromOtherThreadsWithoutMovingTime) {
  ManualClock clock(TimePoint{} + 50s);
  ManualRunLoop loop(&clock);
  auto start = loop.now();
  int count = 0;  // touched only on the loop thread
  bool allOnLoop = true;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        loop.post([&] {
          allOnLoop = allOnLoop && loop.isLoopThread();
          ++count;
        });
        std::this_thread::yield();
      }
    });
  bool timerFired = false;
  loop.schedule(Seconds(0.001), [&] { timerFired = true; });
  EXPECT_TRUE(loop.waitUntil([&] { return count == 200; }, Seconds(10)));
  for (auto& t : posters) t.join();
  EXPECT_EQ(count, 200);
  EXPECT_TRUE(allOnLoop);
  EXPECT_FALSE(timerFired);
  EXPECT_EQ(loop.now(), start);
  EXPECT_DOUBLE_EQ(toUnixSeconds(clock.now()), 50);
}

TEST(ManualRunLoop, WaitUntilGivesUpAfterItsRealTimeBound) {
  ManualRunLoop loop;
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

TEST(ScopedTimer, CancelsOnResetReplacementAndDestruction) {
  ManualRunLoop loop;
  int a = 0, b = 0, c = 0;
  {
    ScopedTimer timer;
    timer.start(
        loop, Seconds(1), [&] { ++a; }, true);
    loop.advance(Seconds(2));
    EXPECT_EQ(a, 2);
    timer.start(
        loop, Seconds(1), [&] { ++b; }, true);  // replaces, never runs both
    loop.advance(Seconds(2));
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 2);
    EXPECT_TRUE(timer.active());
    timer.reset();
    EXPECT_FALSE(timer.active());
    loop.advance(Seconds(2));
    EXPECT_EQ(b, 2);
    timer.start(
        loop, Seconds(1), [&] { ++c; }, true);
  }
  loop.advance(Seconds(5));
  EXPECT_EQ(c, 0);
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

// ---- EventLoop: real time, kept to a few milliseconds ----

TEST(EventLoop, RunsTasksPostedFromAnotherThreadOnItsOwnThreadUntilStopped) {
  EventLoop loop;
  std::vector<int> seen;
  bool onLoopThread = true;
  std::thread other([&] {
    for (int i = 0; i < 100; ++i)
      loop.post([&, i] {
        seen.push_back(i);
        onLoopThread = onLoopThread && loop.isLoopThread();
      });
    loop.post([&] { loop.stop(); });
  });
  loop.run();
  other.join();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_TRUE(onLoopThread);
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

TEST(EventLoop, IsLoopThreadFollowsTheThreadThatRuns) {
  EventLoop loop;
  std::atomic<bool> insideIsLoop{false};
  std::thread runner([&] {
    loop.post([&] {
      insideIsLoop = loop.isLoopThread();
      loop.stop();
    });
    loop.run();
  });
  runner.join();
  EXPECT_TRUE(insideIsLoop);
  EXPECT_FALSE(loop.isLoopThread());
}

TEST(RunLoop, MainLoopIsWhatWasInstalled) {
  ManualRunLoop loop;
  RunLoop* previous = RunLoop::main();
  RunLoop::setMain(&loop);
  EXPECT_EQ(RunLoop::main(), &loop);
  RunLoop::setMain(previous);
}

}  // namespace
}  // namespace est
