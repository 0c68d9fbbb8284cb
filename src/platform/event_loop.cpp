#include "platform/event_loop.h"

namespace est {

EventLoop::EventLoop() : owner_(std::this_thread::get_id()) {}
EventLoop::~EventLoop() = default;

void EventLoop::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

TimerId EventLoop::schedule(Seconds delay, Task task, bool repeats) {
  TimerId id;
  {
    std::lock_guard lock(mutex_);
    auto due = now() + TimerQueue::toDuration(delay);
    id = timers_.add(due, delay, std::move(task), repeats);
  }
  wake_.notify_one();
  return id;
}

void EventLoop::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.cancel(id);
}

bool EventLoop::isLoopThread() const {
  return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

std::chrono::steady_clock::time_point EventLoop::now() const {
  return std::chrono::steady_clock::now();
}

void EventLoop::run() {
  std::unique_lock lock(mutex_);
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  while (!stopped_) {
    if (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    if (auto fire = timers_.popDue(now())) {
      lock.unlock();
      (*fire)();
      lock.lock();
      continue;
    }
    if (auto due = timers_.nextDue())
      wake_.wait_until(lock, *due);
    else
      wake_.wait(lock);
  }
}

void EventLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_all();
}

void EventLoop::reset() {
  std::lock_guard lock(mutex_);
  stopped_ = false;
}

}  // namespace est
