#include "protocol/reply.h"

#include <string_view>

#include "json/json.h"
#include "platform/text.h"

namespace est {

std::optional<Json> decodeReply(const Data& body) {
  for (std::uint8_t byte : body) {
    if (byte > 0x7F) return std::nullopt;
  }
  std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  return JSONValue(text);
}

std::optional<Json> decodeReply(const std::optional<Data>& body) {
  if (!body) return std::nullopt;
  return decodeReply(*body);
}

std::optional<std::string> replyText(const Json& value) {
  return value.textValue();
}

bool replySucceeded(const Json& reply) {
  std::optional<std::string> status = reply["status"].textValue();
  return status && *status == "0";
}

bool isServiceError(int httpStatus, const std::optional<Data>& body) {
  if (httpStatus >= 500) return true;
  std::optional<Json> decoded = decodeReply(body);
  return !decoded || !decoded->isObject();
}

bool replyBool(const Json& value) {
  switch (value.type()) {
    case Json::Type::Boolean:
      return *value.boolValue();
    case Json::Type::Number:
      return !value.number()->isZero();
    case Json::Type::String:
      return textBoolValue(value.stringView());
    default:
      return false;
  }
}

}  // namespace est
