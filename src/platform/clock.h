#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace est {

using TimePoint = std::chrono::system_clock::time_point;

// "Now" in wall time. Everything that needs the date asks Clock::current(), so tests can pin it.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;

  static Clock& current();
  // Installs `clock` for the whole process (not owned); null restores the system clock.
  static void setCurrent(Clock* clock);
};

class SystemClock : public Clock {
 public:
  TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// A clock that moves only when told to.
class ManualClock : public Clock {
 public:
  explicit ManualClock(TimePoint start = TimePoint{}) : now_(start) {}
  TimePoint now() const override;
  void set(TimePoint t);
  void advance(std::chrono::system_clock::duration by);
  template <class Rep, class Period>
  void advance(std::chrono::duration<Rep, Period> by) {
    advance(std::chrono::duration_cast<std::chrono::system_clock::duration>(by));
  }

 private:
  mutable std::mutex mutex_;
  TimePoint now_;
};

// Installs a clock for a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) { Clock::setCurrent(&clock); }
  ~ScopedClock() { Clock::setCurrent(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

// Local calendar fields in the process time zone (TZ), through the C library.
struct LocalTime {
  int year = 1970;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;   // 0..59
  int second = 0;   // 0..60
  int weekday = 1;  // 1 = Sunday .. 7 = Saturday, as the Gregorian calendar numbers them
};

LocalTime toLocal(TimePoint t);
// Normalises out-of-range fields as mktime does (minute 75 is the next hour, and so on).
TimePoint fromLocal(const LocalTime& fields);
// Today (per `reference`) at hour:minute, second 0.
TimePoint todayAt(int hour, int minute, TimePoint reference);

// "HH:mm" of a time point, in the local time zone.
std::string formatHourMinute(TimePoint t);

// Seconds since the Unix epoch, as a double (property-list dates and logs).
double toUnixSeconds(TimePoint t);
TimePoint fromUnixSeconds(double seconds);

}  // namespace est
