#pragma once

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/run_loop.h"

namespace est {

using PrefArray = std::vector<std::string>;

// One stored preference: text, boolean, integer, real, array of text or data.
class PrefValue {
 public:
  enum class Type { Text, Boolean, Integer, Real, Array, Data };

  PrefValue(std::string text) : v_(std::move(text)) {}
  PrefValue(std::string_view text) : v_(std::string(text)) {}
  // Spelled out so that a literal is text and not a boolean.
  PrefValue(const char* text) : v_(std::string(text ? text : "")) {}
  PrefValue(bool b) : v_(b) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) PrefValue(T n) : v_(static_cast<std::int64_t>(n)) {}
  PrefValue(double x) : v_(x) {}
  PrefValue(PrefArray array) : v_(std::move(array)) {}
  PrefValue(Data data) : v_(std::move(data)) {}

  Type type() const { return static_cast<Type>(v_.index()); }

  // The stored value when it is of that type, else null.
  const std::string* text() const { return std::get_if<std::string>(&v_); }
  const bool* boolean() const { return std::get_if<bool>(&v_); }
  const std::int64_t* integer() const { return std::get_if<std::int64_t>(&v_); }
  const double* real() const { return std::get_if<double>(&v_); }
  const PrefArray* array() const { return std::get_if<PrefArray>(&v_); }
  const Data* data() const { return std::get_if<Data>(&v_); }

  // Conversions as the platform makes them: a boolean is true, a number non-zero, or a text
  // read by textBoolValue. Arrays and data read as false.
  bool boolValue() const;
  // A text reads through textIntegerValue, a real truncates toward zero (saturating; NaN is 0),
  // a boolean is 0 or 1. Arrays and data read as 0.
  long long integerValue() const;
  // A text reads through textDoubleValue, a boolean is 0 or 1. Arrays and data read as 0.
  double doubleValue() const;

  bool operator==(const PrefValue& other) const = default;

 private:
  std::variant<std::string, bool, std::int64_t, double, PrefArray, Data> v_;
};

using PrefMap = std::map<std::string, PrefValue, std::less<>>;

// The bytes of a preference file: an XML property list whose root is a dictionary.
Data encodePreferences(const PrefMap& values);
// Reads those bytes back. Fails on anything that is not such a property list (binary property
// lists included: the store only ever writes XML, and the binary reader of the library cannot
// be bounded against hostile nesting). Entries of kinds the store does not hold (dates,
// dictionaries, arrays holding anything but text) are left out and named in `skipped`.
std::optional<PrefMap> decodePreferences(const Data& bytes, Error* error = nullptr,
                                         std::vector<std::string>* skipped = nullptr);

inline constexpr const char* kPreferencesErrorDomain = "PreferencesErrorDomain";
enum PreferencesErrorCode {
  kPreferencesDecodeError = 1,   // the file is not a readable preference file
  kPreferencesDetachedError = 2  // the file could not be read, or was damaged and could not
                                 // be moved aside; nothing is written over it
};

// The per-user preference store: a flat map of typed values kept in one property-list file.
// Values written are read back at once; flush() (or the periodic flush) puts them on disk with
// an atomic replace, under the file's lock, onto what the file holds then: only the keys changed
// here are written, so another process's changes survive. A file that was read whole but does
// not decode is damage: it is moved aside with a time-stamped name and logged, and the store
// starts empty. A file that cannot be reached or read (permissions, I/O errors, no descriptors
// left) is not damage: it is left alone, noted (noteUnreadableFile) and the store works in
// memory for the rest of the process, never writing over it; so does a damaged file that
// cannot be moved. All members are thread-safe.
class Preferences {
 public:
  // Opens the store kept in `file` (which need not exist yet).
  explicit Preferences(std::filesystem::path file);
  // Flushes pending changes, so nothing written is lost at a normal exit.
  ~Preferences();
  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;

  // The shared store of the process, in defaultFile(), opened on first use.
  static Preferences& standard();
  // configDirectory()/preferences.plist.
  static std::filesystem::path defaultFile();

  // Absent keys give nothing, false, 0 and 0.0.
  std::optional<PrefValue> objectForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  long long integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  std::vector<std::string> keys() const;

  // Writing nothing removes the key. A key or text holding a NUL character cannot be kept in
  // the file: such a write is refused (logged, false) rather than stored cut short.
  bool setObject(std::string_view key, std::optional<PrefValue> value);
  void removeObject(std::string_view key) { setObject(key, std::nullopt); }

  // Writes the store to its file when it has changed since the last successful flush.
  // Returns whether the file now holds every value (true when there was nothing to write).
  bool flush(Error* error = nullptr);
  bool hasUnsavedChanges() const;

  // Flushes every `interval` on `loop` until stopAutoFlush() or destruction. The loop must
  // outlive the schedule.
  void startAutoFlush(RunLoop& loop, Seconds interval = Seconds(15));
  void stopAutoFlush();

  const std::filesystem::path& file() const { return file_; }

 private:
  void load();

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  PrefMap values_;
  // Keys written or removed (nothing) since the last successful flush.
  std::map<std::string, std::optional<PrefValue>, std::less<>> changes_;
  bool dirty_ = false;
  bool detached_ = false;  // file_ could not be read or moved aside and must not be overwritten
  std::mutex flushMutex_;  // one writer at a time, without holding mutex_ during disk work
  ScopedTimer autoFlush_;
};

}  // namespace est
