#include "platform/clock.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace est {
namespace {

std::atomic<Clock*> installed{nullptr};

SystemClock& systemClock() {
  static SystemClock c;
  return c;
}

}  // namespace

Clock& Clock::current() {
  Clock* c = installed.load();
  return c ? *c : systemClock();
}

void Clock::setCurrent(Clock* clock) {
  installed.store(clock);
}

TimePoint ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void ManualClock::set(TimePoint t) {
  std::lock_guard lock(mutex_);
  now_ = t;
}

void ManualClock::advance(std::chrono::system_clock::duration by) {
  std::lock_guard lock(mutex_);
  now_ += by;
}

LocalTime toLocal(TimePoint t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  // to_time_t truncates toward zero on some libraries; floor keeps pre-epoch times right.
  if (std::chrono::system_clock::from_time_t(tt) > t) --tt;
  std::tm tm{};
  localtime_r(&tt, &tm);
  LocalTime out;
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
  out.weekday = tm.tm_wday + 1;
  return out;
}

TimePoint fromLocal(const LocalTime& f) {
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

TimePoint todayAt(int hour, int minute, TimePoint reference) {
  LocalTime f = toLocal(reference);
  f.hour = hour;
  f.minute = minute;
  f.second = 0;
  return fromLocal(f);
}

std::string formatHourMinute(TimePoint t) {
  LocalTime f = toLocal(t);
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d:%02d", f.hour, f.minute);
  return buf;
}

double toUnixSeconds(TimePoint t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

TimePoint fromUnixSeconds(double seconds) {
  if (std::isnan(seconds)) return TimePoint{};
  // Converting a double beyond the tick range is undefined; saturate instead.
  using Ticks = std::chrono::system_clock::duration;
  constexpr double kLimit =
      static_cast<double>(Ticks::max().count()) * Ticks::period::num / Ticks::period::den * 0.999;
  if (seconds >= kLimit) return TimePoint::max();
  if (seconds <= -kLimit) return TimePoint::min();
  return TimePoint(std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(seconds)));
}

}  // namespace est
