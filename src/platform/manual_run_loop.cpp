#include "platform/manual_run_loop.h"

#include "platform/clock.h"

namespace est {

ManualRunLoop::ManualRunLoop(ManualClock* clock)
    : now_(std::chrono::steady_clock::time_point{} + std::chrono::hours(1)),
      clock_(clock),
      owner_(std::this_thread::get_id()) {}

ManualRunLoop::~ManualRunLoop() = default;

void ManualRunLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

TimerId ManualRunLoop::schedule(Seconds delay, Task task, bool repeats) {
  std::lock_guard lock(mutex_);
  auto due = now_ + TimerQueue::toDuration(delay);
  return timers_.add(due, delay, std::move(task), repeats);
}

void ManualRunLoop::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.cancel(id);
}

bool ManualRunLoop::isLoopThread() const {
  return owner_ == std::this_thread::get_id();
}

std::chrono::steady_clock::time_point ManualRunLoop::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

bool ManualRunLoop::runOneTask() {
  Task task;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  task();
  return true;
}

int ManualRunLoop::runPending() {
  int n = 0;
  while (runOneTask()) ++n;
  return n;
}

void ManualRunLoop::advance(Seconds by) {
  runPending();
  std::chrono::steady_clock::time_point target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + TimerQueue::toDuration(by);
  }
  for (;;) {
    std::optional<Task> fire;
    {
      std::unique_lock lock(mutex_);
      auto due = timers_.nextDue();
      if (!due || *due > target) break;
      if (*due > now_) {
        if (clock_) clock_->advance(*due - now_);
        now_ = *due;
      }
      fire = timers_.popDue(now_);
    }
    if (fire) (*fire)();
    runPending();
  }
  {
    std::lock_guard lock(mutex_);
    if (clock_) clock_->advance(target - now_);
    now_ = target;
  }
  runPending();
}

bool ManualRunLoop::waitUntil(const std::function<bool()>& done, Seconds realTimeout) {
  auto deadline = std::chrono::steady_clock::now() + TimerQueue::toDuration(realTimeout);
  for (;;) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (tasks_.empty() && !wake_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) {
      lock.unlock();
      runPending();
      return done();
    }
  }
}

size_t ManualRunLoop::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

}  // namespace est
