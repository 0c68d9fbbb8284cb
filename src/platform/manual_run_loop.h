#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/run_loop.h"
#include "platform/timer_queue.h"

namespace est {

class ManualClock;

// A run loop on virtual time for tests. Nothing runs until the test drives it: advance()
// moves virtual time and fires due timers in order; waitUntil() runs tasks posted from other
// threads (network callbacks) until a condition holds. When given a ManualClock, advancing
// the loop moves the wall clock by the same amount.
class ManualRunLoop : public RunLoop {
 public:
  explicit ManualRunLoop(ManualClock* clock = nullptr);
  ~ManualRunLoop() override;

  void post(Task task) override;
  TimerId schedule(Seconds delay, Task task, bool repeats = false) override;
  void cancel(TimerId id) override;
  bool isLoopThread() const override;
  std::chrono::steady_clock::time_point now() const override;

  // Runs every queued task (and tasks they queue). Returns how many ran.
  int runPending();

  // Moves virtual time forward by `by`, firing each timer at its own due time, in order,
  // and running queued tasks before each firing and at the end.
  void advance(Seconds by);

  // Runs queued tasks as they arrive until `done()` holds or `realTimeout` of real time has
  // passed. Virtual time does not move. Returns whether `done()` held.
  bool waitUntil(const std::function<bool()>& done, Seconds realTimeout = Seconds(10));

  // Number of timers still scheduled.
  size_t pendingTimers() const;

 private:
  bool runOneTask();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  TimerQueue timers_;
  std::chrono::steady_clock::time_point now_;
  ManualClock* clock_;
  std::thread::id owner_;
};

}  // namespace est
