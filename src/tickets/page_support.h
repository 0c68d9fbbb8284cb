#pragma once

// Small helpers shared by the ticket pages: preference reads in the forms the pages show them,
// the half-hour rounding of sliders, and the one request pattern every screen follows.

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_request.h"
#include "platform/clock.h"
#include "platform/preferences.h"

namespace est {

Preferences& pagePreferences();

// The text form of a stored value: a text as is, a number in decimal; nothing when absent.
std::optional<std::string> preferenceText(std::string_view key);
// The registered plates ("Licenses"); empty when absent.
std::vector<std::string> registeredPlates();
// "plate - model", the model being the text stored under the plate's own key.
std::string plateWithModel(const std::string& plate);

// Hours and minutes of a "h:mm" text split at ":", each piece read as an integer the way the
// platform reads numbers (a missing or unreadable piece is 0).
struct SplitTime {
  int hour = 0;
  int minute = 0;
};
SplitTime splitHourMinute(std::string_view text);

// A slider value rounded as "%.0f" rounds it (nearest, an exact half to the even neighbour).
int roundedUnits(double value);

inline QString qstr(const std::string& text) {
  return QString::fromStdString(text);
}
inline std::string sstr(const QString& text) {
  return text.toStdString();
}

// The requests a screen has under way. The screen is each request's delegate; destroying the
// set clears the delegate from requests still running, so a late reply never reaches a
// screen that is gone.
class PageRequests {
 public:
  PageRequests() = default;
  ~PageRequests();
  PageRequests(const PageRequests&) = delete;
  PageRequests& operator=(const PageRequests&) = delete;

  // GET `url` with the service time-out, `delegate` told, started asynchronously.
  HTTPRequestPtr get(const std::string& url, HTTPRequestDelegate* delegate);
  // Forgets a request that has reported back.
  void done(HTTPRequest& request);
  std::size_t count() const { return requests_.size(); }
  // Clears the delegate of every request under way and cancels it (the user left).
  void cancelAll();

 private:
  std::vector<HTTPRequestPtr> requests_;
};

}  // namespace est
