#include "platform/qt/qt_run_loop.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <cmath>

namespace est {

QtRunLoop::QtRunLoop() : owner_(std::this_thread::get_id()), context_(std::make_unique<QObject>()) {
  timer_ = new QTimer(context_.get());
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, context_.get(), [this] { fireDue(); });
}

// Deleting the context drops the queued tasks that have not run yet.
QtRunLoop::~QtRunLoop() = default;

void QtRunLoop::post(Task task) {
  QMetaObject::invokeMethod(
      context_.get(), [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

TimerId QtRunLoop::schedule(Seconds delay, Task task, bool repeats) {
  TimerId id;
  {
    std::lock_guard lock(mutex_);
    auto due = now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay);
    id = timers_.add(due, delay, std::move(task), repeats);
  }
  if (isLoopThread())
    rearm();
  else
    post([this] { rearm(); });
  return id;
}

// The shared Qt timer may still fire for a cancelled timer; fireDue() then finds nothing
// due and simply re-arms.
void QtRunLoop::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  timers_.cancel(id);
}

bool QtRunLoop::isLoopThread() const {
  return owner_ == std::this_thread::get_id();
}

std::chrono::steady_clock::time_point QtRunLoop::now() const {
  return std::chrono::steady_clock::now();
}

size_t QtRunLoop::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

void QtRunLoop::rearm() {
  std::optional<std::chrono::steady_clock::time_point> due;
  {
    std::lock_guard lock(mutex_);
    due = timers_.nextDue();
  }
  if (!due) {
    timer_->stop();
    return;
  }
  auto wait = std::chrono::duration<double, std::milli>(*due - now()).count();
  // Rounding up keeps the timer from waking just before the due time and spinning.
  int ms = wait <= 0 ? 0 : static_cast<int>(std::min(std::ceil(wait), 24.0 * 3600 * 1000));
  timer_->start(ms);
}

void QtRunLoop::fireDue() {
  // Only the timers due when this pass starts run now, so a timer re-armed for the past by
  // its own task cannot starve the event loop.
  auto passStart = now();
  for (;;) {
    std::optional<Task> fire;
    {
      std::lock_guard lock(mutex_);
      fire = timers_.popDue(passStart);
    }
    if (!fire) break;
    (*fire)();
  }
  rearm();
}

}  // namespace est
