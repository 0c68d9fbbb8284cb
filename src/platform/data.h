#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace est {

// A byte buffer (bodies, file contents, property-list data values).
using Data = std::vector<std::uint8_t>;

inline Data toData(std::string_view s) {
  return Data(s.begin(), s.end());
}
inline std::string toString(const Data& d) {
  return std::string(d.begin(), d.end());
}

}  // namespace est
