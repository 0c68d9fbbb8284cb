// Any bytes as a preference file: reading must neither crash nor hang, and whatever is
// accepted must be written back in a form that reads again to the same file.
#include <cstdint>
#include <cstdlib>

#include "platform/preferences.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, size_t size) {
  est::Data input(bytes, bytes + size);
  std::vector<std::string> skipped;
  auto values = est::decodePreferences(input, nullptr, &skipped);
  if (!values) return 0;
  // Compared as bytes: a real NaN is never equal to itself.
  est::Data once = est::encodePreferences(*values);
  auto again = est::decodePreferences(once);
  if (!again || est::encodePreferences(*again) != once) std::abort();
  for (const auto& [key, value] : *values) {
    (void)value.boolValue();
    (void)value.integerValue();
    (void)value.doubleValue();
  }
  return 0;
}
