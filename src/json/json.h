#pragma once

// The JSON codec: value tree (value.h), reader, writer and facade (codec.h), and the one-call
// conveniences below.
//
//   std::optional<est::Json> reply = est::JSONValue(body);
//   if (!reply) return;                              // not an object or array: logged
//   if ((*reply)["status"].textValue() == "0") ...    // number 0 or text "0"
//   std::optional<double> price = (*reply)["price"].doubleValue();
//   std::optional<std::int64_t> id = (*reply)["ticket"]["idTicket"].int64Value();

#include <optional>
#include <string>
#include <string_view>

#include "json/codec.h"
#include "json/decimal.h"
#include "json/value.h"

namespace est {

// The object or array a text holds; on failure logs the error trace and gives nothing. An
// absent text gives nothing without a log line.
std::optional<Json> JSONValue(std::optional<std::string_view> text);
std::optional<Json> JSONValue(const char* text);  // a null pointer is an absent text
// Any JSON value.
std::optional<Json> JSONFragmentValue(std::optional<std::string_view> text);
std::optional<Json> JSONFragmentValue(const char* text);
// Compact text of an object or array; on failure logs the error trace and gives nothing.
std::optional<std::string> JSONRepresentation(const Json& value);
// Compact text of any value.
std::optional<std::string> JSONFragment(const Json& value);

}  // namespace est
