#pragma once

#include <optional>
#include <string>

#include "json/value.h"
#include "platform/data.h"

namespace est {

// Reply bytes as the services' dictionary: the bytes read as ASCII, then JSONValue. Nothing when
// the bytes are absent, hold a non-ASCII byte, or are not a JSON object or array. Readers then
// use Json::null(), on which every key reads as absent.
std::optional<Json> decodeReply(const std::optional<Data>& body);
std::optional<Json> decodeReply(const Data& body);

// The text form of a reply value: a number gives its decimal text (0 gives "0"), a text gives
// itself, anything else nothing.
std::optional<std::string> replyText(const Json& value);

// True when the text form of "status" is "0" (the number 0 or the text "0").
bool replySucceeded(const Json& reply);

// Whether a completed exchange is the service failing rather than answering: an HTTP status of
// 500 or more, or a body that does not read as a JSON object (garbled, empty, an array). Screens
// tell the user this apart from a refusal, which is a readable reply saying no.
bool isServiceError(int httpStatus, const std::optional<Data>& body);

// The platform's boolean conversion of a reply value: JSON true, a non-zero number, or a text
// the platform reads as true. Anything else (null, false, arrays, objects, absent) is false.
bool replyBool(const Json& value);

}  // namespace est
