#include "tickets/ticket.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tickets/store_test_support.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using testing::ScopedEnv;
using testing::wednesdayAt;

class TicketTest : public ::testing::Test {
 protected:
  ScopedEnv zone_{"TZ", testing::kFixedZone};
  ManualClock clock_{wednesdayAt(14, 0)};
  ScopedClock scoped_{clock_};
  void TearDown() override { setTicketPriceSource({}); }
};

TEST_F(TicketTest, TimesReadAsTwoDigitHoursInTheLocalZone) {
  Ticket t;
  EXPECT_EQ(t.startTimeString(), "");
  EXPECT_EQ(t.endTimeString(), "");
  t.timeStart = wednesdayAt(9, 5, 59);
  t.timeEnd = wednesdayAt(17, 30);
  EXPECT_EQ(t.startTimeString(), "09:05");
  EXPECT_EQ(t.endTimeString(), "17:30");
  // 2026-03-04 12:05 UTC is 09:05 three hours behind.
  t.timeStart = fromUnixSeconds(1772625900);
  EXPECT_EQ(t.startTimeString(), "09:05");
}

TEST_F(TicketTest, PriceCountsWholeHalfHoursOnly) {
  Ticket t;
  const std::pair<int, double> cases[] = {{30, 25.0}, {60, 50.0}, {45, 25.0},
                                          {29, 0.0},  {0, 0.0},   {90, 75.0}};
  for (auto [minutes, price] : cases) {
    t.minutes = minutes;
    EXPECT_DOUBLE_EQ(t.getPrice(25.0), price) << minutes << " minutes";
  }
  t.minutes.reset();
  EXPECT_DOUBLE_EQ(t.getPrice(25.0), 0.0);

  t.minutes = 90;
  EXPECT_DOUBLE_EQ(t.getPrice(std::nullopt), 0.0);
  setTicketPriceSource([] { return std::optional<double>(12.5); });
  EXPECT_DOUBLE_EQ(t.getPrice(), 37.5);
  setTicketPriceSource([] { return std::optional<double>(); });
  EXPECT_DOUBLE_EQ(t.getPrice(), 0.0);
}

TEST_F(TicketTest, RunsOnlyWhileTheEndIsStrictlyLater) {
  Ticket t;
  EXPECT_FALSE(t.isActive());
  t.timeEnd = wednesdayAt(14, 0);
  EXPECT_FALSE(t.isActive()) << "an end equal to now has ended";
  t.timeEnd = wednesdayAt(14, 0) + 1ms;
  EXPECT_TRUE(t.isActive());
  clock_.advance(1ms);
  EXPECT_FALSE(t.isActive());
  EXPECT_TRUE(t.isActive(wednesdayAt(13, 59)));
}

TEST_F(TicketTest, EqualityIsByIdentifierAndOrderByStart) {
  Ticket a{"ABC 1234", 7, wednesdayAt(10, 0), wednesdayAt(11, 0), 60};
  Ticket b{"ZX987", 7, wednesdayAt(12, 0), wednesdayAt(13, 0), 30};
  EXPECT_TRUE(a.isEqual(b));
  b.transactionId = 8;
  EXPECT_FALSE(a.isEqual(b));
  Ticket none1, none2;
  EXPECT_FALSE(none1.isEqual(none2)) << "tickets without identifiers are not equal";

  EXPECT_EQ(a.compare(b), -1);
  EXPECT_EQ(b.compare(a), 1);
  b.timeStart = a.timeStart;
  EXPECT_EQ(a.compare(b), 0);
  EXPECT_EQ(none1.compare(a), -1);
}

TEST_F(TicketTest, DescriptionNamesEveryField) {
  Ticket t{"ABC 1234", 1772643600000, wednesdayAt(14, 0), wednesdayAt(15, 30), 90};
  EXPECT_EQ(t.description(),
            "ID:1772643600000 - START:2026-03-04 14:00:00 -0300 - END:2026-03-04 15:30:00 -0300 "
            "- LICENSE:ABC 1234 MINUTES:90 ");
  EXPECT_EQ(Ticket{}.description(),
            "ID:(null) - START:(null) - END:(null) - LICENSE: MINUTES:(null) ");
}

}  // namespace
}  // namespace est
