#include "tickets/page_support.h"

#include <algorithm>

#include "app/service_request.h"
#include "platform/format.h"
#include "platform/text.h"

namespace est {

Preferences& pagePreferences() {
  return Preferences::standard();
}

std::optional<std::string> preferenceText(std::string_view key) {
  std::optional<PrefValue> value = pagePreferences().objectForKey(key);
  if (!value) return std::nullopt;
  if (const std::string* text = value->text()) return *text;
  if (const std::int64_t* n = value->integer())
    return strprintf("%lld", static_cast<long long>(*n));
  if (const double* x = value->real()) return strprintf("%g", *x);
  if (const bool* b = value->boolean()) return std::string(*b ? "1" : "0");
  return std::nullopt;
}

std::vector<std::string> registeredPlates() {
  std::optional<PrefValue> value = pagePreferences().objectForKey("Licenses");
  if (!value || !value->array()) return {};
  return *value->array();
}

std::string plateWithModel(const std::string& plate) {
  return plate + " - " + preferenceText(plate).value_or("");
}

SplitTime splitHourMinute(std::string_view text) {
  SplitTime out;
  std::size_t colon = text.find(':');
  out.hour = static_cast<int>(textIntegerValue(text.substr(0, colon)));
  if (colon != std::string_view::npos) {
    std::string_view rest = text.substr(colon + 1);
    out.minute = static_cast<int>(textIntegerValue(rest.substr(0, rest.find(':'))));
  }
  return out;
}

int roundedUnits(double value) {
  return static_cast<int>(textIntegerValue(strprintf("%.0f", value)));
}

PageRequests::~PageRequests() {
  for (const HTTPRequestPtr& request : requests_) request->clearDelegatesAndCancel();
}

HTTPRequestPtr PageRequests::get(const std::string& url, HTTPRequestDelegate* delegate) {
  HTTPRequestPtr request = makeServiceRequest(url, delegate);
  requests_.push_back(request);
  request->startAsynchronous();
  return request;
}

void PageRequests::cancelAll() {
  std::vector<HTTPRequestPtr> running = std::move(requests_);
  requests_.clear();
  for (const HTTPRequestPtr& request : running) request->clearDelegatesAndCancel();
}

void PageRequests::done(HTTPRequest& request) {
  std::erase_if(requests_, [&](const HTTPRequestPtr& r) { return r.get() == &request; });
}

}  // namespace est
