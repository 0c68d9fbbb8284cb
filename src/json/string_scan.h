#pragma once

// The bytes that end a run of plain string text, for both directions of the codec: the
// double quote, the backslash and every byte below 0x20 (the reader stops there, the writer
// escapes them).

#include <cstdint>

namespace est::json_scan {

struct SpecialTable {
  bool special[256] = {};
  constexpr SpecialTable() {
    for (int i = 0; i < 0x20; ++i) special[i] = true;
    special[static_cast<unsigned char>('"')] = true;
    special[static_cast<unsigned char>('\\')] = true;
  }
};
inline constexpr SpecialTable kSpecial;

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// True when one of the eight bytes is special (never a false negative).
inline bool hasSpecialByte(std::uint64_t x) {
  const std::uint64_t quote = x ^ (kOnes * '"');
  const std::uint64_t backslash = x ^ (kOnes * '\\');
  const std::uint64_t control = (x - kOnes * 0x20) & ~x;
  const std::uint64_t q = (quote - kOnes) & ~quote;
  const std::uint64_t b = (backslash - kOnes) & ~backslash;
  return ((control | q | b) & kHighs) != 0;
}

}  // namespace est::json_scan
