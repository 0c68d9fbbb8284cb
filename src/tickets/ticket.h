#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace est {

// One parking ticket the user bought. Every field may be empty: a record read back from an
// older or partial file keeps whatever keys it had.
struct Ticket {
  std::string license;
  std::optional<std::int64_t> transactionId;
  std::optional<TimePoint> timeStart;
  std::optional<TimePoint> timeEnd;
  std::optional<int> minutes;

  // "HH:mm" in the local time zone; empty when the date is empty.
  std::string startTimeString() const;
  std::string endTimeString() const;

  // The price of 30 minutes times the whole half hours bought; 0 when no price is known.
  double getPrice() const;
  double getPrice(std::optional<double> priceOf30) const;

  // Running while the end lies strictly after now (Clock::current() unless given).
  bool isActive() const;
  bool isActive(TimePoint now) const;

  // Same identifier; tickets without one are never equal.
  bool isEqual(const Ticket& other) const;
  // Start-time ordering (-1, 0, 1); an empty start sorts first.
  int compare(const Ticket& other) const;

  // Diagnostic line.
  std::string description() const;
};

// Where getPrice() finds the price of 30 minutes (the "price" preference). Tests install their
// own; an empty function restores the default.
using TicketPriceSource = std::function<std::optional<double>()>;
void setTicketPriceSource(TicketPriceSource source);

}  // namespace est
