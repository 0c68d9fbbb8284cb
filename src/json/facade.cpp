#include "json/codec.h"
#include "json/json.h"
#include "platform/log.h"

namespace est {

LxJSON::LxJSON() {
  jsonParser.setMaxDepth(512);
  jsonWriter.setMaxDepth(512);
}

void LxJSON::setMaxDepth(std::uint64_t maxDepth) noexcept {
  jsonParser.setMaxDepth(maxDepth);
  jsonWriter.setMaxDepth(maxDepth);
}

std::optional<Json> LxJSON::objectWithString(std::optional<std::string_view> text) {
  std::optional<Json> value = jsonParser.objectWithString(text);
  if (!value) replaceErrorTrace(jsonParser);
  return value;
}

std::optional<Json> LxJSON::objectWithString(std::optional<std::string_view> text, bool allowScalar,
                                             Error* error) {
  std::optional<Json> value =
      allowScalar ? jsonParser.fragmentWithString(text) : jsonParser.objectWithString(text);
  if (!value) {
    replaceErrorTrace(jsonParser);
    if (error) {
      if (auto last = lastError()) *error = *last;
    }
  }
  return value;
}

std::optional<Json> LxJSON::fragmentWithString(std::optional<std::string_view> text, Error* error) {
  return objectWithString(text, true, error);
}

std::optional<Json> LxJSON::objectWithString(std::optional<std::string_view> text, Error* error) {
  return objectWithString(text, false, error);
}

std::optional<std::string> LxJSON::stringWithObject(const Json& value) {
  std::optional<std::string> text = jsonWriter.stringWithObject(value);
  if (!text) replaceErrorTrace(jsonWriter);
  return text;
}

std::optional<std::string> LxJSON::stringWithObject(const Json& value, bool allowScalar,
                                                    Error* error) {
  std::optional<std::string> text =
      allowScalar ? jsonWriter.stringWithFragment(value) : jsonWriter.stringWithObject(value);
  if (!text) {
    replaceErrorTrace(jsonWriter);
    if (error) {
      if (auto last = lastError()) *error = *last;
    }
  }
  return text;
}

std::optional<std::string> LxJSON::stringWithFragment(const Json& value, Error* error) {
  return stringWithObject(value, true, error);
}

std::optional<std::string> LxJSON::stringWithObject(const Json& value, Error* error) {
  return stringWithObject(value, false, error);
}

// Convenience operations: a fresh reader or writer per call, so any thread may use them.

std::optional<Json> JSONValue(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  LxJsonParser parser;
  std::optional<Json> value = parser.objectWithString(text);
  if (!value)
    logLine("-JSONValue failed. Error trace is: " + describeErrorTrace(parser.errorTrace()));
  return value;
}

std::optional<Json> JSONValue(const char* text) {
  return JSONValue(text ? std::optional<std::string_view>(text) : std::nullopt);
}

std::optional<Json> JSONFragmentValue(const char* text) {
  return JSONFragmentValue(text ? std::optional<std::string_view>(text) : std::nullopt);
}

std::optional<Json> JSONFragmentValue(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  LxJsonParser parser;
  std::optional<Json> value = parser.fragmentWithString(text);
  if (!value)
    logLine("-JSONFragmentValue failed. Error trace is: " +
            describeErrorTrace(parser.errorTrace()));
  return value;
}

std::optional<std::string> JSONRepresentation(const Json& value) {
  LxJsonWriter writer;
  std::optional<std::string> text = writer.stringWithObject(value);
  if (!text)
    logLine("-JSONRepresentation failed. Error trace is: " +
            describeErrorTrace(writer.errorTrace()));
  return text;
}

std::optional<std::string> JSONFragment(const Json& value) {
  LxJsonWriter writer;
  std::optional<std::string> text = writer.stringWithFragment(value);
  if (!text)
    logLine("-JSONFragment failed. Error trace is: " + describeErrorTrace(writer.errorTrace()));
  return text;
}

}  // namespace est
