#include "tickets/ticket.h"

#include <ctime>
#include <mutex>

#include "platform/format.h"
#include "platform/preferences.h"

namespace est {
namespace {

std::mutex& priceMutex() {
  static std::mutex m;
  return m;
}

TicketPriceSource& installedPriceSource() {
  static TicketPriceSource source;
  return source;
}

std::optional<double> defaultPrice() {
  std::optional<PrefValue> price = Preferences::standard().objectForKey("price");
  if (!price) return std::nullopt;
  return price->doubleValue();
}

std::string fullDateTime(const std::optional<TimePoint>& t) {
  if (!t) return "(null)";
  std::time_t tt = std::chrono::system_clock::to_time_t(*t);
  if (std::chrono::system_clock::from_time_t(tt) > *t) --tt;
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm) == 0) return "(null)";
  return buf;
}

}  // namespace

void setTicketPriceSource(TicketPriceSource source) {
  std::lock_guard lock(priceMutex());
  installedPriceSource() = std::move(source);
}

std::string Ticket::startTimeString() const {
  return timeStart ? formatHourMinute(*timeStart) : std::string();
}

std::string Ticket::endTimeString() const {
  return timeEnd ? formatHourMinute(*timeEnd) : std::string();
}

double Ticket::getPrice() const {
  TicketPriceSource source;
  {
    std::lock_guard lock(priceMutex());
    source = installedPriceSource();
  }
  return getPrice(source ? source() : defaultPrice());
}

double Ticket::getPrice(std::optional<double> priceOf30) const {
  if (!priceOf30) return 0.0;
  // Whole half hours only: 45 minutes cost one unit, 29 cost nothing.
  const std::int32_t units = static_cast<std::int32_t>(minutes.value_or(0)) / 30;
  return *priceOf30 * static_cast<double>(units);
}

bool Ticket::isActive() const {
  return isActive(Clock::current().now());
}

bool Ticket::isActive(TimePoint now) const {
  return timeEnd && *timeEnd > now;
}

bool Ticket::isEqual(const Ticket& other) const {
  return transactionId && other.transactionId && *transactionId == *other.transactionId;
}

int Ticket::compare(const Ticket& other) const {
  if (timeStart == other.timeStart) return 0;
  return timeStart < other.timeStart ? -1 : 1;
}

std::string Ticket::description() const {
  const std::string id = transactionId ? std::to_string(*transactionId) : "(null)";
  const std::string mins = minutes ? std::to_string(*minutes) : "(null)";
  return strprintf("ID:%s - START:%s - END:%s - LICENSE:%s MINUTES:%s ", id.c_str(),
                   fullDateTime(timeStart).c_str(), fullDateTime(timeEnd).c_str(), license.c_str(),
                   mins.c_str());
}

}  // namespace est
