#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "platform/error.h"

namespace est {

inline constexpr const char* LxJSONErrorDomain = "org.quenlor.JSON.ErrorDomain";

// Error codes of the codec (domain LxJSONErrorDomain).
enum LxJsonErrorCode : int {
  kLxJsonUnsupported = 1,  // writer: value JSON cannot spell
  kLxJsonParse = 2,        // malformed number (also "Failed creating decimal instance")
  kLxJsonSyntax = 3,
  kLxJsonFragment = 4,
  kLxJsonControlChar = 5,
  kLxJsonUnicode = 6,
  kLxJsonDepth = 7,
  kLxJsonEscape = 8,
  kLxJsonTrailingComma = 9,
  kLxJsonGarbage = 10,
  kLxJsonEndOfInput = 11,
  kLxJsonNilInput = 12,
};

// Common state of reader and writer: the error trace of the last run and the nesting limit.
// The trace lists the errors of one run oldest (innermost) first; each error's `underlying` is
// the error recorded before it, so the last one chains back to the first.
class LxJsonBase {
 public:
  enum class TraceChange { WillChange, DidChange };
  using ErrorTraceObserver = std::function<void(const LxJsonBase&, TraceChange)>;

  LxJsonBase() = default;
  virtual ~LxJsonBase() = default;
  LxJsonBase(const LxJsonBase&) = delete;
  LxJsonBase& operator=(const LxJsonBase&) = delete;

  // Empty while absent (no error since the last clear). Safe to read from any thread.
  std::vector<Error> errorTrace() const;
  bool hasErrorTrace() const;
  // The outermost error, i.e. the last of the trace.
  std::optional<Error> lastError() const;

  void addErrorWithCode(int code, std::string description);
  void clearErrorTrace();

  virtual std::uint64_t maxDepth() const noexcept { return maxDepth_; }
  virtual void setMaxDepth(std::uint64_t maxDepth) noexcept { maxDepth_ = maxDepth; }  // 0: none
  std::uint64_t depth() const noexcept { return depth_; }

  // Observers hear WillChange before and DidChange after every change of the trace. Register
  // and remove them from the thread that uses the instance.
  int addErrorTraceObserver(ErrorTraceObserver observer);
  void removeErrorTraceObserver(int token);

 protected:
  void replaceErrorTrace(const LxJsonBase& source);

  std::uint64_t maxDepth_ = 512;
  std::uint64_t depth_ = 0;

 private:
  void notify(TraceChange change) const;

  mutable std::mutex traceMutex_;
  std::vector<std::shared_ptr<const Error>> trace_;
  bool hasTrace_ = false;
  std::vector<std::pair<int, ErrorTraceObserver>> observers_;
  int nextObserverToken_ = 1;
};

// Strict JSON reader. One instance serves one thread at a time and may parse any number of
// texts; each call starts with a fresh trace. The text ends at its end or at its first NUL byte.
// An absent text (std::nullopt) fails with "Input was 'nil'".
class LxJsonParser : public LxJsonBase {
 public:
  LxJsonParser();
  ~LxJsonParser() override;

  // An object or array, or nothing ("Valid fragment, but not JSON" for any other value).
  std::optional<Json> objectWithString(std::optional<std::string_view> text);
  std::optional<Json> objectWithString(const char* text);
  // Any JSON value.
  std::optional<Json> fragmentWithString(std::optional<std::string_view> text);
  std::optional<Json> fragmentWithString(const char* text);

 private:
  struct Scanner;
  // In-place construction into a null slot, for the scanner.
  static void putNumber(Json& slot, bool negative, std::uint64_t coefficient,
                        std::int32_t exponent) noexcept;
  static detail::StrRep& putText(Json& slot) noexcept;
  // Moves [first, last) into the new array.
  static void putArray(Json& slot, Json* first, Json* last);
  static JsonObject& putObject(Json& slot);
  static detail::StrRep& keyStorage(JsonMember& member) noexcept { return member.key_; }

  std::unique_ptr<Scanner> scanner_;  // scratch stacks reused across calls
};

// JSON writer: compact by default, indented with humanReadable, keys sorted with sortKeys.
class LxJsonWriter : public LxJsonBase {
 public:
  LxJsonWriter();
  ~LxJsonWriter() override;

  bool humanReadable() const noexcept { return humanReadable_; }
  void setHumanReadable(bool on) noexcept { humanReadable_ = on; }
  bool sortKeys() const noexcept { return sortKeys_; }
  void setSortKeys(bool on) noexcept { sortKeys_ = on; }

  // Text of an object or array (or of an opaque value whose substitute is one).
  std::optional<std::string> stringWithObject(const Json& value);
  // Text of any value.
  std::optional<std::string> stringWithFragment(const Json& value);

 private:
  bool appendValue(const Json& value, std::size_t& length);
  // The same with the output style fixed, so that no token asks for it again.
  template <bool kHumanReadable, bool kSortKeys>
  bool appendTree(const Json& value, std::size_t& length);

  std::string buffer_;  // output space reused across calls

  bool humanReadable_ = false;
  bool sortKeys_ = false;
};

// Facade: one reader and one writer sharing the nesting limit; failures copy the trace of
// the part that failed into the facade.
class LxJSON : public LxJsonBase {
 public:
  LxJSON();

  std::uint64_t maxDepth() const noexcept override { return jsonParser.maxDepth(); }
  void setMaxDepth(std::uint64_t maxDepth) noexcept override;
  bool humanReadable() const noexcept { return jsonWriter.humanReadable(); }
  void setHumanReadable(bool on) noexcept { jsonWriter.setHumanReadable(on); }
  bool sortKeys() const noexcept { return jsonWriter.sortKeys(); }
  void setSortKeys(bool on) noexcept { jsonWriter.setSortKeys(on); }

  std::optional<Json> objectWithString(std::optional<std::string_view> text);
  // With allowScalar any value is accepted. On failure the outermost error goes to `error`.
  std::optional<Json> objectWithString(std::optional<std::string_view> text, bool allowScalar,
                                       Error* error);
  std::optional<Json> fragmentWithString(std::optional<std::string_view> text, Error* error);
  std::optional<Json> objectWithString(std::optional<std::string_view> text, Error* error);

  std::optional<std::string> stringWithObject(const Json& value);
  std::optional<std::string> stringWithObject(const Json& value, bool allowScalar, Error* error);
  std::optional<std::string> stringWithFragment(const Json& value, Error* error);
  std::optional<std::string> stringWithObject(const Json& value, Error* error);

  LxJsonParser jsonParser;
  LxJsonWriter jsonWriter;
};

// One line per error, innermost first: "code N: message".
std::string formatErrorTraceLines(const std::vector<Error>& trace);
// The trace on one line, as the convenience operations log it.
std::string describeErrorTrace(const std::vector<Error>& trace);

}  // namespace est
