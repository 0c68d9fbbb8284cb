#pragma once

// The bytes that end a run of plain string text, for both directions of the codec: the
// double quote, the backslash and every byte below 0x20 (the reader stops there, the writer
// escapes them). Runs are searched 16 bytes at a time with SSE2 where the target has it
// (always on x86-64), 8 at a time in a machine word elsewhere, and byte by byte at the tail;
// nothing is ever read past the end of the text.

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// One bit per byte of `x` that is special, the first byte in bit 0.
inline unsigned specialMask(__m128i x) {
  const __m128i lastControl = _mm_set1_epi8(0x1F);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, lastControl), lastControl);
  const __m128i stop = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      control);
  return static_cast<unsigned>(_mm_movemask_epi8(stop));
}
#endif

// The first special byte in [s, e), or e. `nonAscii` becomes true when a byte from 0x80 up may
// lie before the result (it may also when none does, never the other way round).
inline const unsigned char* findSpecial(const unsigned char* s, const unsigned char* e,
                                        bool& nonAscii) {
#if defined(__SSE2__)
  if (e - s >= 16) {
    __m128i high = _mm_setzero_si128();
    do {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      high = _mm_or_si128(high, x);
      if (const unsigned mask = specialMask(x)) {
        nonAscii = nonAscii || _mm_movemask_epi8(high) != 0;
        return s + __builtin_ctz(mask);
      }
      s += 16;
    } while (e - s >= 16);
    nonAscii = nonAscii || _mm_movemask_epi8(high) != 0;
  }
#endif
  std::uint64_t high = 0;
  while (e - s >= 8) {
    std::uint64_t x;
    std::memcpy(&x, s, 8);
    high |= x;
    if (hasSpecialByte(x)) break;
    s += 8;
  }
  while (s < e && !kSpecial.special[*s]) {
    high |= *s;
    ++s;
  }
  nonAscii = nonAscii || (high & kHighs) != 0;
  return s;
}

inline bool isWhitespace(unsigned char c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// The first byte in [s, e) that is not JSON whitespace (space, 0x09 to 0x0D), or e.
inline const unsigned char* skipWhitespace(const unsigned char* s, const unsigned char* e) {
#if defined(__SSE2__)
  if (e - s >= 16) {
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8(0x09);
    const __m128i span = _mm_set1_epi8(0x0D - 0x09);
    do {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      const __m128i fromTab = _mm_sub_epi8(x, tab);
      const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(fromTab, span), fromTab);
      const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(x, space), control);
      const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xFFFFu;
      if (other) return s + __builtin_ctz(other);
      s += 16;
    } while (e - s >= 16);
  }
#endif
  while (s < e && isWhitespace(*s)) ++s;
  return s;
}

}  // namespace est::json_scan
