#include "platform/clock.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "platform/run_loop.h"
#include "test_support.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using est::testing::ScopedEnv;

// 2026-12-09 17:00:00 UTC, a Wednesday.
const TimePoint kWednesday = TimePoint{} + 1796835600s;

TEST(Clock, CurrentIsTheInstalledClockForTheScope) {
  ManualClock pinned(kWednesday);
  {
    ScopedClock scope(pinned);
    pinned.advance(Seconds(90.25));
    EXPECT_EQ(Clock::current().now(), kWednesday + 90250ms);
  }
  EXPECT_GT(Clock::current().now(), kWednesday - 24h * 365 * 10);  // the real clock again
}

// Year, month, day, hour, minute, second and weekday (Sunday is 1).
std::array<int, 7> fields(const LocalTime& f) {
  return {f.year, f.month, f.day, f.hour, f.minute, f.second, f.weekday};
}

TEST(LocalTime, FieldsFollowTheTimeZoneAndRoundDownBeforeTheEpoch) {
  ScopedEnv tz("TZ", "UYT3");
  EXPECT_EQ(fields(toLocal(kWednesday + 5min + 7s)), (std::array{2026, 12, 9, 14, 5, 7, 4}));
  EXPECT_EQ(formatHourMinute(kWednesday + 5min + 7s), "14:05");

  ScopedEnv utc("TZ", "UTC0");
  EXPECT_EQ(formatHourMinute(kWednesday), "17:00");
  EXPECT_EQ(toLocal(kWednesday).weekday, 4);
  EXPECT_EQ(fields(toLocal(TimePoint{} - 500ms)), (std::array{1969, 12, 31, 23, 59, 59, 4}));
}

TEST(LocalTime, FromLocalInvertsAndNormalisesOverflowingFields) {
  ScopedEnv tz("TZ", "UYT3");
  LocalTime f{2026, 12, 9, 14, 0, 0};
  EXPECT_EQ(fromLocal(f), kWednesday);
  f.minute = 75;
  EXPECT_EQ(fromLocal(f), kWednesday + 75min);
  LocalTime endOfYear{2026, 12, 31, 23, 59, 60};
  EXPECT_EQ(fields(toLocal(fromLocal(endOfYear))), (std::array{2027, 1, 1, 0, 0, 0, 6}));
}

TEST(LocalTime, TodayAtKeepsTheDateAndZeroesSeconds) {
  ScopedEnv tz("TZ", "UYT3");
  TimePoint reference = kWednesday + 3h + 42min + 17s + 300ms;  // 17:42:17.3 local
  EXPECT_EQ(todayAt(10, 0, reference), kWednesday - 4h);
  EXPECT_EQ(todayAt(18, 29, reference), kWednesday + 4h + 29min);
  // Late evening local time is already the next day in UTC; the local date must win.
  TimePoint lateEvening = kWednesday + 9h + 30min;  // 23:30 local, 02:30 UTC Thursday
  EXPECT_EQ(todayAt(0, 0, lateEvening), kWednesday - 14h);
}

TEST(LocalTime, DaylightSavingDayUsesTheOffsetInForceAtThatHour) {
  ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
  // 2026-03-08: clocks go forward at 02:00 local.
  TimePoint morning = TimePoint{} + 1772956800s;  // 2026-03-08 08:00 UTC = 03:00 local (EST)
  TimePoint noon = todayAt(12, 0, morning);
  EXPECT_EQ(noon, TimePoint{} + 1772985600s);  // 16:00 UTC: EDT is in force at noon
  EXPECT_EQ(formatHourMinute(noon), "12:00");
  EXPECT_EQ(todayAt(1, 0, morning), TimePoint{} + 1772949600s);  // 06:00 UTC, still EST
}

TEST(UnixSeconds, RoundTripsAndSaturatesInsteadOfOverflowing) {
  EXPECT_DOUBLE_EQ(toUnixSeconds(kWednesday + 250ms), 1796835600.25);
  // A double holds about a quarter of a microsecond at today's instants.
  EXPECT_LT(std::chrono::abs(fromUnixSeconds(1796835600.25) - (kWednesday + 250ms)), 1us);
  EXPECT_EQ(fromUnixSeconds(-1.5), TimePoint{} - 1500ms);
  EXPECT_EQ(fromUnixSeconds(std::numeric_limits<double>::quiet_NaN()), TimePoint{});
  // Far beyond the nanosecond range (a damaged file can hold anything): order is kept.
  EXPECT_GT(fromUnixSeconds(1e20), kWednesday);
  EXPECT_GT(fromUnixSeconds(std::numeric_limits<double>::infinity()), kWednesday);
  EXPECT_LT(fromUnixSeconds(-1e20), TimePoint{});
}

}  // namespace
}  // namespace est
