#include "platform/qt/qt_run_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>
#include <vector>

namespace est {
namespace {

// The one place real time is used: the Qt loop itself. Short delays, bounded waits.
bool spin(const std::function<bool()>& done,
          std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(QtRunLoopTest, TasksRunOnTheLoopThreadInPostOrder) {
  QtRunLoop loop;
  std::vector<int> order;
  std::atomic<bool> offThread{false};
  loop.post([&] { order.push_back(1); });
  std::thread([&] {
    offThread = !loop.isLoopThread();
    for (int i = 2; i <= 100; ++i) loop.post([&, i] { order.push_back(i); });
  }).join();
  EXPECT_TRUE(loop.isLoopThread());
  EXPECT_TRUE(offThread);
  ASSERT_TRUE(spin([&] { return order.size() == 100; }));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i + 1);
}

TEST(QtRunLoopTest, TimersFireByDueTimeAndCancelledOnesNever) {
  QtRunLoop loop;
  std::vector<char> fired;
  auto start = loop.now();
  loop.schedule(Seconds(0.030), [&] { fired.push_back('a'); });
  loop.schedule(Seconds(0.010), [&] { fired.push_back('b'); });
  auto c = loop.schedule(Seconds(0.020), [&] { fired.push_back('c'); });
  loop.cancel(c);
  int ticks = 0;
  TimerId repeating = 0;
  repeating = loop.schedule(
      Seconds(0.005),
      [&] {
        if (++ticks == 3) loop.cancel(repeating);
      },
      true);
  ASSERT_TRUE(spin([&] { return fired.size() == 2 && ticks >= 3; }));
  EXPECT_EQ(fired, std::vector<char>({'b', 'a'}));
  EXPECT_GE(loop.now() - start, std::chrono::milliseconds(30));
  spin([] { return false; }, std::chrono::milliseconds(30));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(fired.size(), 2u);
  EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(QtRunLoopTest, TimersScheduledFromAnotherThreadRunOnTheLoop) {
  QtRunLoop loop;
  std::atomic<bool> onLoop{false};
  std::atomic<bool> fired{false};
  std::thread([&] {
    loop.schedule(Seconds(0.005), [&] {
      onLoop = loop.isLoopThread();
      fired = true;
    });
  }).join();
  ASSERT_TRUE(spin([&] { return fired.load(); }));
  EXPECT_TRUE(onLoop);
}

TEST(QtRunLoopTest, DestroyingTheLoopDropsWhatHasNotRun) {
  bool ran = false;
  {
    QtRunLoop loop;
    loop.post([&] { ran = true; });
    loop.schedule(Seconds(0), [&] { ran = true; });
  }
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace est
