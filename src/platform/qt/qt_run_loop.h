#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include "platform/run_loop.h"
#include "platform/timer_queue.h"

class QObject;
class QTimer;

namespace est {

// The application's main loop on Qt's event loop. Tasks are queued events, so they run in
// post order even when posted from other threads; timers share one precise Qt timer armed
// for the earliest due time. Create and destroy it on the thread that runs the Qt event loop
// (the GUI thread); it then works as long as that loop is running (exec() or nested loops).
class QtRunLoop : public RunLoop {
 public:
  QtRunLoop();
  ~QtRunLoop() override;
  QtRunLoop(const QtRunLoop&) = delete;
  QtRunLoop& operator=(const QtRunLoop&) = delete;

  void post(Task task) override;
  TimerId schedule(Seconds delay, Task task, bool repeats = false) override;
  void cancel(TimerId id) override;
  bool isLoopThread() const override;
  std::chrono::steady_clock::time_point now() const override;

  // Number of timers still scheduled.
  size_t pendingTimers() const;

 private:
  void rearm();
  void fireDue();

  mutable std::mutex mutex_;
  TimerQueue timers_;
  std::thread::id owner_;
  std::unique_ptr<QObject> context_;
  QTimer* timer_ = nullptr;  // child of context_
};

}  // namespace est
