#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/run_loop.h"
#include "platform/timer_queue.h"

namespace est {

// A blocking run loop on real time, for the tools and the service. The thread that calls
// run() becomes the loop's thread until stop() is called (from any thread).
class EventLoop : public RunLoop {
 public:
  EventLoop();
  ~EventLoop() override;

  void post(Task task) override;
  TimerId schedule(Seconds delay, Task task, bool repeats = false) override;
  void cancel(TimerId id) override;
  bool isLoopThread() const override;
  std::chrono::steady_clock::time_point now() const override;

  // Runs tasks and timers until stop(). Returns at once if stop() came first.
  void run();
  void stop();
  // Lets run() be called again after a stop().
  void reset();

 private:
  // Makes `change` under the lock, then wakes the loop if it slept through it.
  template <class Change>
  void changeAndWake(Change change);
  void sleep(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::deque<Task> tasks_;
  TimerQueue timers_;
  bool stopped_ = false;
  // The loop sleeps on this word rather than on a condition variable: a condition variable
  // leaves its mutex marked contended after every wake-up, which costs each hand-over from
  // the network thread one more system call.
  bool sleeping_ = false;
  std::atomic<std::uint32_t> wakeWord_{0};
  // Read on every callback hand-over from other threads: no lock for it.
  std::atomic<std::thread::id> owner_;
};

}  // namespace est
