#include "tickets/ticket.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tickets/store_test_support.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using testing::wednesdayAt;

class TicketTest : public ::testing::Test {
 protected:
  testing::ScopedEnv zone_{"TZ", testing::kFixedZone};
  ManualClock clock_{wednesdayAt(14, 0)};
  ScopedClock scoped_{clock_};
  void TearDown() override { setTicketPriceSource({}); }
};

TEST_F(TicketTest, TimesAreLocalTwoDigitHoursAndRunningEndsStrictly) {
  Ticket t;
  EXPECT_EQ(t.startTimeString(), "");
  EXPECT_FALSE(t.isActive());
  t.timeStart = fromUnixSeconds(1772625900);  // 2026-03-04 12:05 UTC
  t.timeEnd = wednesdayAt(17, 30);
  EXPECT_EQ(t.startTimeString(), "09:05");
  EXPECT_EQ(t.endTimeString(), "17:30");

  t.timeEnd = wednesdayAt(14, 0);
  EXPECT_FALSE(t.isActive()) << "an end equal to now has ended";
  t.timeEnd = wednesdayAt(14, 0) + 1ms;
  EXPECT_TRUE(t.isActive());
  clock_.advance(1ms);
  EXPECT_FALSE(t.isActive());
}

TEST_F(TicketTest, PriceCountsWholeHalfHoursOnly) {
  Ticket t;
  for (auto [minutes, price] : {std::pair{30, 25.0}, {60, 50.0}, {45, 25.0}, {29, 0.0}}) {
    t.minutes = minutes;
    EXPECT_DOUBLE_EQ(t.getPrice(25.0), price) << minutes << " minutes";
  }
  t.minutes = 90;
  EXPECT_DOUBLE_EQ(t.getPrice(std::nullopt), 0.0);
  setTicketPriceSource([] { return std::optional<double>(12.5); });
  EXPECT_DOUBLE_EQ(t.getPrice(), 37.5);
  setTicketPriceSource([] { return std::optional<double>(); });
  EXPECT_DOUBLE_EQ(t.getPrice(), 0.0);
}

TEST_F(TicketTest, EqualityIsByIdentifierOnly) {
  Ticket a{"ABC 1234", 1772643600000, wednesdayAt(14, 0), wednesdayAt(15, 30), 90};
  Ticket b{"ZX987", 1772643600000, wednesdayAt(16, 0), wednesdayAt(17, 0), 30};
  EXPECT_TRUE(a.isEqual(b));
  EXPECT_EQ(a.compare(b), -1);
  b.transactionId = 8;
  EXPECT_FALSE(a.isEqual(b));
  EXPECT_FALSE(Ticket{}.isEqual(Ticket{})) << "tickets without identifiers are not equal";
  EXPECT_EQ(a.description(),
            "ID:1772643600000 - START:2026-03-04 14:00:00 -0300 - END:2026-03-04 15:30:00 -0300 "
            "- LICENSE:ABC 1234 MINUTES:90 ");
}

}  // namespace
}  // namespace est
