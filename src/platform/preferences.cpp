#include "platform/preferences.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/files.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace est {
namespace fs = std::filesystem;

// ---- PrefValue ----------------------------------------------------------------------------

bool PrefValue::boolValue() const {
  switch (type()) {
    case Type::Text:
      return textBoolValue(*text());
    case Type::Boolean:
      return *boolean();
    case Type::Integer:
      return *integer() != 0;
    case Type::Real:
      return *real() != 0.0 && !std::isnan(*real());
    case Type::Array:
    case Type::Data:
      break;
  }
  return false;
}

long long PrefValue::integerValue() const {
  switch (type()) {
    case Type::Text:
      return textIntegerValue(*text());
    case Type::Boolean:
      return *boolean() ? 1 : 0;
    case Type::Integer:
      return *integer();
    case Type::Real: {
      double x = *real();
      if (std::isnan(x)) return 0;
      // Compare in double before converting: out-of-range conversion is undefined.
      if (x >= 9223372036854775808.0) return std::numeric_limits<long long>::max();
      if (x < -9223372036854775808.0) return std::numeric_limits<long long>::min();
      return static_cast<long long>(x);
    }
    case Type::Array:
    case Type::Data:
      break;
  }
  return 0;
}

double PrefValue::doubleValue() const {
  switch (type()) {
    case Type::Text:
      return textDoubleValue(*text());
    case Type::Boolean:
      return *boolean() ? 1.0 : 0.0;
    case Type::Integer:
      return static_cast<double>(*integer());
    case Type::Real:
      return *real();
    case Type::Array:
    case Type::Data:
      break;
  }
  return 0.0;
}

// ---- encoding -----------------------------------------------------------------------------

namespace {

// Files beyond this are not preference files; refusing them bounds memory and parse time.
constexpr size_t kMaxFileSize = size_t(16) << 20;
// Ours nest three deep (plist, dict, array). The library's XML reader recurses per level and
// overflows the stack on deep input, so depth is checked before it sees the text.
constexpr int kMaxNesting = 64;

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

plist_t toNode(const PrefValue& value) {
  switch (value.type()) {
    case PrefValue::Type::Text:
      return plist_new_string(value.text()->c_str());
    case PrefValue::Type::Boolean:
      return plist_new_bool(*value.boolean() ? 1 : 0);
    case PrefValue::Type::Integer:
      // The library keeps integers as 64 bits and writes them signed.
      return plist_new_uint(static_cast<std::uint64_t>(*value.integer()));
    case PrefValue::Type::Real:
      return plist_new_real(*value.real());
    case PrefValue::Type::Array: {
      plist_t array = plist_new_array();
      for (const auto& item : *value.array())
        plist_array_append_item(array, plist_new_string(item.c_str()));
      return array;
    }
    case PrefValue::Type::Data: {
      const Data& d = *value.data();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
  }
  return plist_new_string("");
}

std::string takeString(char* s) {
  std::string out = s ? s : "";
  std::free(s);
  return out;
}

std::optional<PrefValue> fromNode(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      return PrefValue(takeString(s));
    }
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PrefValue(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return PrefValue(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double x = 0;
      plist_get_real_val(node, &x);
      return PrefValue(x);
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      std::uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data d;
      if (bytes) d.assign(bytes, bytes + length);
      std::free(bytes);
      return PrefValue(std::move(d));
    }
    case PLIST_ARRAY: {
      PrefArray items;
      std::uint32_t n = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < n; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (!item || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
        char* s = nullptr;
        plist_get_string_val(item, &s);
        items.push_back(takeString(s));
      }
      return PrefValue(std::move(items));
    }
    default:
      return std::nullopt;
  }
}

// Deepest element nesting of XML text, counting conservatively: every tag that is not a
// closing, empty-element, declaration or comment tag opens a level.
int xmlNesting(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '<' || i + 1 >= text.size()) continue;
    char next = text[i + 1];
    if (next == '/') {
      if (depth > 0) --depth;
      continue;
    }
    if (next == '?' || next == '!') continue;
    size_t close = text.find('>', i + 1);
    if (close == std::string_view::npos) break;
    if (text[close - 1] != '/') deepest = std::max(deepest, ++depth);
    i = close;
  }
  return deepest;
}

Error decodeError(const std::string& why) {
  return Error(kPreferencesErrorDomain, kPreferencesDecodeError, "Not a preference file: " + why);
}

bool holdsNul(std::string_view s) {
  return s.find('\0') != std::string_view::npos;
}

}  // namespace

Data encodePreferences(const PrefMap& values) {
  PlistPtr dict(plist_new_dict());
  for (const auto& [key, value] : values)
    plist_dict_set_item(dict.get(), key.c_str(), toNode(value));
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(dict.get(), &xml, &length);
  Data out;
  if (xml) out.assign(xml, xml + length);
  plist_to_xml_free(xml);
  return out;
}

std::optional<PrefMap> decodePreferences(const Data& bytes, Error* error,
                                         std::vector<std::string>* skipped) {
  if (bytes.size() > kMaxFileSize) {
    Error::assign(error, decodeError("too large"));
    return std::nullopt;
  }
  // A copy ending in NUL, whatever the reader assumes about its input.
  std::string text(bytes.begin(), bytes.end());
  if (text.empty()) {
    Error::assign(error, decodeError("empty"));
    return std::nullopt;
  }
  if (plist_is_binary(text.data(), static_cast<std::uint32_t>(text.size()))) {
    Error::assign(error, decodeError("binary property lists are not read"));
    return std::nullopt;
  }
  // XML cannot hold NUL, and the library asserts (aborts) on a text that holds one.
  if (text.find('\0') != std::string::npos) {
    Error::assign(error, decodeError("holds a NUL byte"));
    return std::nullopt;
  }
  if (xmlNesting(text) > kMaxNesting) {
    Error::assign(error, decodeError("nested too deeply"));
    return std::nullopt;
  }
  plist_t raw = nullptr;
  plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &raw);
  PlistPtr root(raw);
  if (!root) {
    Error::assign(error, decodeError("not a property list"));
    return std::nullopt;
  }
  if (plist_get_node_type(root.get()) != PLIST_DICT) {
    Error::assign(error, decodeError("the root is not a dictionary"));
    return std::nullopt;
  }
  PrefMap values;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root.get(), &it);
  for (;;) {
    char* rawKey = nullptr;
    plist_t node = nullptr;
    plist_dict_next_item(root.get(), it, &rawKey, &node);
    if (!node) {
      std::free(rawKey);
      break;
    }
    std::string key = takeString(rawKey);
    if (auto value = fromNode(node))
      values.insert_or_assign(std::move(key), std::move(*value));
    else if (skipped)
      skipped->push_back(std::move(key));
  }
  std::free(it);
  return values;
}

// ---- Preferences --------------------------------------------------------------------------

Preferences::Preferences(fs::path file) : file_(std::move(file)) {
  load();
}

Preferences::~Preferences() {
  stopAutoFlush();
  flush();
}

Preferences& Preferences::standard() {
  // Never destroyed: a static destructor could run after the run loop its periodic flush
  // was scheduled on. Pending values are flushed at exit instead.
  static Preferences* shared = [] {
    auto* p = new Preferences(defaultFile());
    std::atexit([] { standard().flush(); });
    return p;
  }();
  return *shared;
}

fs::path Preferences::defaultFile() {
  return configDirectory() / "preferences.plist";
}

namespace {

bool isMissing(const Error& readError) {
  // ENOTDIR: a folder on the way is missing too.
  return readError.domain == kPOSIXErrorDomain &&
         (readError.code == ENOENT || readError.code == ENOTDIR);
}

template <class Changes>
void applyChanges(PrefMap& values, const Changes& changes) {
  for (const auto& [key, value] : changes) {
    if (value)
      values.insert_or_assign(key, *value);
    else
      values.erase(key);
  }
}

}  // namespace

void Preferences::load() {
  Error readError;
  auto bytes = readFile(file_, &readError, kMaxFileSize + 1);
  if (!bytes) {
    // No file yet is a fresh store. Any other failure says nothing about the file's content.
    if (!isMissing(readError)) {
      detached_ = true;
      noteUnreadableFile(file_, readError);
    }
    return;
  }
  std::vector<std::string> skipped;
  Error decodeErr;
  if (auto decoded = decodePreferences(*bytes, &decodeErr, &skipped)) {
    values_ = std::move(*decoded);
    for (const auto& key : skipped)
      logf("Preferences: value of unsupported kind under \"%s\" in %s left out", key.c_str(),
           file_.c_str());
    return;
  }
  Error moveError;
  if (auto aside = moveAsideCorrupt(file_, &moveError)) {
    logf("Preferences: %s cannot be read (%s); moved aside to %s, starting empty", file_.c_str(),
         decodeErr.description.c_str(), aside->c_str());
  } else {
    detached_ = true;
    logf("Preferences: %s cannot be read (%s) nor moved aside (%s); changes stay in memory",
         file_.c_str(), decodeErr.description.c_str(), moveError.description.c_str());
  }
}

std::optional<PrefValue> Preferences::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool Preferences::boolForKey(std::string_view key) const {
  auto v = objectForKey(key);
  return v && v->boolValue();
}

long long Preferences::integerForKey(std::string_view key) const {
  auto v = objectForKey(key);
  return v ? v->integerValue() : 0;
}

double Preferences::doubleForKey(std::string_view key) const {
  auto v = objectForKey(key);
  return v ? v->doubleValue() : 0.0;
}

std::vector<std::string> Preferences::keys() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& entry : values_) out.push_back(entry.first);
  return out;
}

bool Preferences::setObject(std::string_view key, std::optional<PrefValue> value) {
  bool nul = holdsNul(key);
  if (value) {
    if (const auto* t = value->text()) nul = nul || holdsNul(*t);
    if (const auto* a = value->array())
      for (const auto& item : *a) nul = nul || holdsNul(item);
  }
  if (nul) {
    logLine("Preferences: a key or text holding a NUL character cannot be stored; ignored");
    return false;
  }
  std::lock_guard lock(mutex_);
  if (value) {
    auto it = values_.find(key);
    if (it != values_.end() && it->second == *value) return true;
    values_.insert_or_assign(std::string(key), *value);
  } else {
    auto it = values_.find(key);
    if (it == values_.end()) return true;
    values_.erase(it);
  }
  changes_.insert_or_assign(std::string(key), std::move(value));
  dirty_ = true;
  return true;
}

bool Preferences::hasUnsavedChanges() const {
  std::lock_guard lock(mutex_);
  return dirty_;
}

bool Preferences::flush(Error* error) {
  std::lock_guard writer(flushMutex_);
  decltype(changes_) changes;
  {
    std::lock_guard lock(mutex_);
    if (!dirty_) return true;
    if (detached_) {
      Error::assign(error, Error(kPreferencesErrorDomain, kPreferencesDetachedError,
                                 "Preference file " + file_.string() +
                                     " could not be read; it is not overwritten"));
      return false;
    }
    changes = changes_;
    changes_.clear();
    // Writes that land while the file is being written mark the store dirty again.
    dirty_ = false;
  }
  FileLock fileLock(file_);
  Error writeError;
  // What the file holds now (another process may have written it), with this store's changes.
  std::optional<PrefMap> merged;
  auto bytes = readFile(file_, &writeError, kMaxFileSize + 1);
  if (bytes) {
    merged = decodePreferences(*bytes, &writeError);
    if (!merged) {
      Error moveError;
      if (auto aside = moveAsideCorrupt(file_, &moveError))
        logf("Preferences: %s became unreadable (%s); moved aside to %s", file_.c_str(),
             writeError.description.c_str(), aside->c_str());
      else
        writeError = moveError;
    }
  } else if (isMissing(writeError)) {
    std::lock_guard lock(mutex_);
    merged = values_;
  }
  bool ok = false;
  if (merged) {
    applyChanges(*merged, changes);
    ok = createDirectories(file_.parent_path(), &writeError) &&
         writeFileAtomically(file_, encodePreferences(*merged), &writeError);
  }
  std::lock_guard lock(mutex_);
  if (!ok) {
    // Changes made meanwhile are newer than these.
    for (auto& [key, value] : changes) changes_.try_emplace(key, std::move(value));
    dirty_ = true;
    logf("Preferences: cannot write %s: %s", file_.c_str(), writeError.description.c_str());
    Error::assign(error, writeError);
    return false;
  }
  // Take in what others wrote, keeping what was changed here meanwhile.
  applyChanges(*merged, changes_);
  values_ = std::move(*merged);
  return true;
}

void Preferences::startAutoFlush(RunLoop& loop, Seconds interval) {
  std::lock_guard lock(mutex_);
  autoFlush_.start(
      loop, interval, [this] { flush(); }, true);
}

void Preferences::stopAutoFlush() {
  std::lock_guard lock(mutex_);
  autoFlush_.reset();
}

}  // namespace est
