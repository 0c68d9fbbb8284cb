#pragma once

#include <plist/plist.h>

#include <string>

#include "platform/clock.h"
#include "platform/data.h"
#include "platform/test_support.h"

namespace est::testing {

// Three hours behind UTC all year, without relying on the zone database.
inline constexpr const char* kFixedZone = "<-03>3";

// Wednesday 4 March 2026 at h:m:s in the fixed zone.
inline TimePoint wednesdayAt(int h, int m, int s = 0) {
  LocalTime f;
  f.year = 2026;
  f.month = 3;
  f.day = 4;
  f.hour = h;
  f.minute = m;
  f.second = s;
  return fromLocal(f);
}

inline std::int64_t unixMillis(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// Serialises a libplist tree (consumed) as binary property-list bytes.
inline Data toBinaryPlist(plist_t root) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  Data out(bytes, bytes + length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return out;
}

inline Data readBytes(const std::filesystem::path& file) {
  std::string text = readText(file);
  return Data(text.begin(), text.end());
}

inline void writeBytes(const std::filesystem::path& file, const Data& bytes) {
  writeText(file, std::string(bytes.begin(), bytes.end()));
}

}  // namespace est::testing
