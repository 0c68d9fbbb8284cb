#include "platform/timer_queue.h"

#include <memory>

namespace est {

TimerQueue::Duration TimerQueue::toDuration(Seconds delay) {
  constexpr double kCentury = 100.0 * 365.25 * 24 * 3600;
  double s = delay.count();
  if (!(s > 0)) return Duration::zero();
  if (s > kCentury) s = kCentury;
  return std::chrono::duration_cast<Duration>(Seconds(s));
}

TimerId TimerQueue::add(TimePoint due, Seconds interval, RunLoop::Task task, bool repeats) {
  TimerId id = nextId_++;
  Key key{due, sequence_++};
  auto step = toDuration(interval);
  // A repeating timer with no interval would spin; give it the smallest step instead.
  if (repeats && step <= step.zero()) step = std::chrono::milliseconds(1);
  byDue_.emplace(key, Timer{id, step, repeats, std::make_shared<RunLoop::Task>(std::move(task))});
  keys_.emplace(id, key);
  return id;
}

void TimerQueue::cancel(TimerId id) {
  auto it = keys_.find(id);
  if (it == keys_.end()) return;
  byDue_.erase(it->second);
  keys_.erase(it);
}

std::optional<TimerQueue::TimePoint> TimerQueue::nextDue() const {
  if (byDue_.empty()) return std::nullopt;
  return byDue_.begin()->first.first;
}

std::optional<RunLoop::Task> TimerQueue::popDue(TimePoint now) {
  if (byDue_.empty() || byDue_.begin()->first.first > now) return std::nullopt;
  auto node = byDue_.extract(byDue_.begin());
  Timer& t = node.mapped();
  TimePoint due = node.key().first;
  auto task = t.task;
  if (t.repeats) {
    // Missed firings are skipped: the next one is the first multiple of the interval
    // after `now`, as a phone's repeating timer does.
    TimePoint next = due + t.interval;
    if (next <= now) {
      auto behind = (now - due) / t.interval;
      next = due + (behind + 1) * t.interval;
    }
    Key key{next, sequence_++};
    keys_[t.id] = key;
    node.key() = key;
    byDue_.insert(std::move(node));
  } else {
    keys_.erase(t.id);
  }
  // The task is copied so a timer cancelled by its own task stays safe to run.
  return RunLoop::Task([task] { (*task)(); });
}

}  // namespace est
