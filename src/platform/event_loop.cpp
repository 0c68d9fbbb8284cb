#include "platform/event_loop.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <utility>

namespace est {

namespace {

// Sleeps while *word == expected, until woken or until `due` on the monotonic clock (which
// is what steady_clock reads on Linux).
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::steady_clock::time_point* due) {
  timespec until{};
  if (due) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due->time_since_epoch());
    if (ns.count() < 0) ns = {};
    until.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    until.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  }
  // Spurious returns (a signal, a value already changed) are harmless: the caller rechecks.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
            due ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWakeOne(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

}  // namespace

EventLoop::EventLoop() : owner_(std::this_thread::get_id()) {}
EventLoop::~EventLoop() = default;

template <class Change>
void EventLoop::changeAndWake(Change change) {
  bool asleep;
  {
    std::lock_guard lock(mutex_);
    change();
    asleep = std::exchange(sleeping_, false);
  }
  if (asleep) {
    wakeWord_.fetch_add(1, std::memory_order_release);
    futexWakeOne(wakeWord_);
  }
}

void EventLoop::post(Task task) {
  changeAndWake([&] { tasks_.push_back(std::move(task)); });
}

TimerId EventLoop::schedule(Seconds delay, Task task, bool repeats) {
  TimerId id;
  changeAndWake([&] {
    id = timers_.add(now() + TimerQueue::toDuration(delay), delay, std::move(task), repeats);
  });
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

// Entered and left with the lock held. Whoever changes what the loop waits for while it
// sleeps clears sleeping_ under the lock and then bumps the word, so no wake-up is lost
// between unlocking here and the futex wait.
void EventLoop::sleep(std::unique_lock<std::mutex>& lock) {
  auto due = timers_.nextDue();
  sleeping_ = true;
  std::uint32_t seen = wakeWord_.load(std::memory_order_acquire);
  lock.unlock();
  futexWait(wakeWord_, seen, due ? &*due : nullptr);
  lock.lock();
  sleeping_ = false;
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
    sleep(lock);
  }
}

void EventLoop::stop() {
  changeAndWake([&] { stopped_ = true; });
}

void EventLoop::reset() {
  std::lock_guard lock(mutex_);
  stopped_ = false;
}

}  // namespace est
