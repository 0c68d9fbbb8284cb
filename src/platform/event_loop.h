#pragma once

#include <atomic>
#include <condition_variable>
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
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  TimerQueue timers_;
  bool stopped_ = false;
  // Read on every callback hand-over from other threads: no lock for it.
  std::atomic<std::thread::id> owner_;
};

}  // namespace est
