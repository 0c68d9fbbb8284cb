#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "platform/run_loop.h"

namespace est {

// Timers ordered by due time, ties broken by creation order. Not thread-safe: the
// run loops guard it with their own mutex.
class TimerQueue {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  using Duration = std::chrono::steady_clock::duration;

  // A delay as a clock duration: negative or NaN is zero, and anything past a century is a
  // century, so that converting and adding can never overflow.
  static Duration toDuration(Seconds delay);

  TimerId add(TimePoint due, Seconds interval, RunLoop::Task task, bool repeats);
  void cancel(TimerId id);

  std::optional<TimePoint> nextDue() const;

  // Removes the earliest timer due at or before `now`, re-arming it after `now` when it
  // repeats. Returns its task, or nothing when none is due.
  std::optional<RunLoop::Task> popDue(TimePoint now);

  bool empty() const { return byDue_.empty(); }
  size_t size() const { return byDue_.size(); }

 private:
  struct Timer {
    TimerId id;
    std::chrono::steady_clock::duration interval;
    bool repeats;
    std::shared_ptr<RunLoop::Task> task;
  };
  using Key = std::pair<TimePoint, std::uint64_t>;  // due, sequence
  std::map<Key, Timer> byDue_;
  std::map<TimerId, Key> keys_;
  std::uint64_t sequence_ = 0;
  TimerId nextId_ = 1;
};

}  // namespace est
