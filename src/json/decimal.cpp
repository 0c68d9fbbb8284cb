#include "json/decimal.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace est {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr u128 pow10(int n) {
  u128 v = 1;
  while (n-- > 0) v *= 10;
  return v;
}

struct Pow10Table {
  u128 v[39];
  constexpr Pow10Table() : v() {
    for (int i = 0; i < 39; ++i) v[i] = pow10(i);
  }
};
constexpr Pow10Table kPow10;
constexpr u128 kCoefficientLimit = kPow10.v[38];  // coefficients stay below 10^38

u128 join(std::uint64_t high, std::uint64_t low) {
  return (u128(high) << 64) | low;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The two-digit groups "00" to "99".
struct DigitPairs {
  char d[200];
  constexpr DigitPairs() : d() {
    for (int i = 0; i < 100; ++i) {
      d[2 * i] = static_cast<char>('0' + i / 10);
      d[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;

// The four digits of v (< 10^4), leading zeros included.
void writeFour(std::uint32_t v, char* out) {
  std::memcpy(out, kDigitPairs.d + 2 * (v / 100), 2);
  std::memcpy(out + 2, kDigitPairs.d + 2 * (v % 100), 2);
}

// The eight digits of v (< 10^8), leading zeros included.
void writeEight(std::uint32_t v, char* out) {
  writeFour(v / 10000, out);
  writeFour(v % 10000, out + 4);
}

// The digits of v; returns their count. Groups of eight and four are split off independently
// of each other instead of by one chain of divisions, two digits at a time.
std::size_t writeUint64(std::uint64_t v, char* out) {
  constexpr std::uint64_t kTen8 = 100'000'000;
  if (v < kTen8) {
    const auto x = static_cast<std::uint32_t>(v);
    if (x < 100) {
      if (x < 10) {
        out[0] = static_cast<char>('0' + x);
        return 1;
      }
      std::memcpy(out, kDigitPairs.d + 2 * x, 2);
      return 2;
    }
    if (x < 10000) {
      if (x < 1000) {
        out[0] = static_cast<char>('0' + x / 100);
        std::memcpy(out + 1, kDigitPairs.d + 2 * (x % 100), 2);
        return 3;
      }
      writeFour(x, out);
      return 4;
    }
    char eight[8];
    writeEight(x, eight);
    const std::size_t n = x < 1000000 ? (x < 100000 ? 5 : 6) : (x < 10000000 ? 7 : 8);
    std::memcpy(out, eight + 8 - n, n);
    return n;
  }
  std::size_t n;
  if (v < kTen8 * kTen8) {
    n = writeUint64(v / kTen8, out);
  } else {
    n = writeUint64(v / (kTen8 * kTen8), out);
    writeEight(static_cast<std::uint32_t>(v / kTen8 % kTen8), out + n);
    n += 8;
  }
  writeEight(static_cast<std::uint32_t>(v % kTen8), out + n);
  return n + 8;
}

// Writes the digits of v (< 10^38) and returns their count.
std::size_t writeDigits(u128 v, char* out) {
  if ((v >> 64) == 0) return writeUint64(static_cast<std::uint64_t>(v), out);
  constexpr std::uint64_t kTen19 = 10'000'000'000'000'000'000ULL;
  std::uint64_t head = static_cast<std::uint64_t>(v / kTen19);
  std::uint64_t tail = static_cast<std::uint64_t>(v % kTen19);
  char* p = out + writeUint64(head, out);
  for (int i = 18; i >= 0; --i) {
    p[i] = static_cast<char>('0' + tail % 10);
    tail /= 10;
  }
  return static_cast<std::size_t>(p + 19 - out);
}

// Strips trailing zeros so equal values get equal parts.
void normalize(u128& c, std::int64_t& e) {
  if (c == 0) {
    e = 0;
    return;
  }
  while (c % 10 == 0) {
    c /= 10;
    ++e;
  }
}

}  // namespace

std::optional<Decimal> Decimal::fromParts(bool negative, std::uint64_t high, std::uint64_t low,
                                          std::int64_t exponent) {
  u128 c = join(high, low);
  if (c >= kCoefficientLimit) return std::nullopt;
  if (c == 0) {
    // A zero keeps its scale when it can; out-of-range scales of zero change nothing.
    if (exponent > kMaxExponent) exponent = kMaxExponent;
    if (exponent < kMinExponent) exponent = kMinExponent;
  } else if (exponent > kMaxExponent || exponent < kMinExponent) {
    return std::nullopt;
  }
  Decimal d;
  d.high_ = high;
  d.low_ = low;
  d.exponent_ = static_cast<std::int32_t>(exponent);
  d.negative_ = negative;
  return d;
}

std::optional<Decimal> Decimal::fromDigits(bool negative, std::string_view integerDigits,
                                           std::string_view fractionDigits,
                                           std::int64_t writtenExponent) {
  const std::size_t total = integerDigits.size() + fractionDigits.size();
  const std::int64_t fractionLength = static_cast<std::int64_t>(fractionDigits.size());
  if (total <= 19) {
    std::uint64_t c = 0;
    for (char ch : integerDigits) c = c * 10 + static_cast<std::uint64_t>(ch - '0');
    for (char ch : fractionDigits) c = c * 10 + static_cast<std::uint64_t>(ch - '0');
    return fromParts(negative, 0, c, writtenExponent - fractionLength);
  }
  u128 c = 0;
  int significant = 0;
  std::int64_t dropped = 0;
  auto take = [&](std::string_view digits) {
    for (char ch : digits) {
      unsigned d = static_cast<unsigned>(ch - '0');
      if (significant < kMaxDigits) {
        if (c != 0 || d != 0) {
          c = c * 10 + d;
          ++significant;
        }
      } else {
        if (d != 0) return false;  // would need a 39th significant digit
        ++dropped;
      }
    }
    return true;
  };
  if (!take(integerDigits) || !take(fractionDigits)) return std::nullopt;
  return fromParts(negative, static_cast<std::uint64_t>(c >> 64), static_cast<std::uint64_t>(c),
                   writtenExponent - fractionLength + dropped);
}

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  bool negative = false;
  if (p < end && *p == '-') {
    negative = true;
    ++p;
  }
  const char* intBegin = p;
  if (p < end && *p == '0') {
    ++p;
  } else {
    if (p == end || !isDigit(*p)) return std::nullopt;
    while (p < end && isDigit(*p)) ++p;
  }
  const char* intEnd = p;
  if (p < end && isDigit(*p)) return std::nullopt;  // leading zero
  const char* fracBegin = p;
  const char* fracEnd = p;
  if (p < end && *p == '.') {
    fracBegin = ++p;
    if (p == end || !isDigit(*p)) return std::nullopt;
    while (p < end && isDigit(*p)) ++p;
    fracEnd = p;
  }
  std::int64_t exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool expNegative = false;
    if (p < end && (*p == '+' || *p == '-')) expNegative = *p++ == '-';
    if (p == end || !isDigit(*p)) return std::nullopt;
    while (p < end && isDigit(*p)) {
      if (exponent < 1'000'000'000'000'000LL) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (expNegative) exponent = -exponent;
  }
  if (p != end) return std::nullopt;
  return fromDigits(negative, {intBegin, static_cast<std::size_t>(intEnd - intBegin)},
                    {fracBegin, static_cast<std::size_t>(fracEnd - fracBegin)}, exponent);
}

Decimal Decimal::fromInt64(std::int64_t value) noexcept {
  Decimal d;
  d.negative_ = value < 0;
  d.low_ = value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  return d;
}

Decimal Decimal::fromUint64(std::uint64_t value) noexcept {
  Decimal d;
  d.low_ = value;
  return d;
}

std::optional<Decimal> Decimal::fromDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  if (r.ec != std::errc()) return std::nullopt;
  return fromString(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

bool Decimal::isInteger() const noexcept {
  if (exponent_ >= 0 || isZero()) return true;
  if (exponent_ < -kMaxDigits) return false;  // a non-zero coefficient is below 10^38
  return join(high_, low_) % kPow10.v[-exponent_] == 0;
}

std::size_t Decimal::format(char* out) const noexcept {
  if (exponent_ == 0 && high_ == 0) {  // plain integers, the usual case, go straight out
    char* p = out;
    if (negative_) *p++ = '-';
    return static_cast<std::size_t>(p - out) + writeUint64(low_, p);
  }
  char digits[48];
  const std::size_t n = writeDigits(join(high_, low_), digits);
  const std::int64_t e = exponent_;
  const std::int64_t adjusted = e + static_cast<std::int64_t>(n) - 1;
  char* p = out;
  if (negative_) *p++ = '-';
  if (e <= 0 && adjusted >= -6) {
    if (e == 0) {
      std::memcpy(p, digits, n);
      p += n;
    } else {
      const std::int64_t point = static_cast<std::int64_t>(n) + e;  // digits before the point
      if (point > 0) {
        std::memcpy(p, digits, static_cast<std::size_t>(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, digits + point, n - static_cast<std::size_t>(point));
        p += n - static_cast<std::size_t>(point);
      } else {
        *p++ = '0';
        *p++ = '.';
        for (std::int64_t i = 0; i < -point; ++i) *p++ = '0';
        std::memcpy(p, digits, n);
        p += n;
      }
    }
  } else {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, n - 1);
      p += n - 1;
    }
    *p++ = 'E';
    *p++ = adjusted < 0 ? '-' : '+';
    auto r = std::to_chars(p, p + 24, adjusted < 0 ? -adjusted : adjusted);
    p = r.ptr;
  }
  return static_cast<std::size_t>(p - out);
}

std::string Decimal::toString() const {
  char buf[kMaxTextLength];
  return std::string(buf, format(buf));
}

double Decimal::toDouble() const noexcept {
  const double sign = negative_ ? -1.0 : 1.0;
  if (isZero()) return sign * 0.0;
  // Exact operands and one rounding: the classic fast path.
  static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (high_ == 0 && low_ <= (std::uint64_t(1) << 53) && exponent_ >= -22 && exponent_ <= 22) {
    double m = static_cast<double>(low_);
    return sign * (exponent_ >= 0 ? m * kExact[exponent_] : m / kExact[-exponent_]);
  }
  char buf[80];
  std::size_t n = writeDigits(join(high_, low_), buf);
  buf[n++] = 'e';
  auto r = std::to_chars(buf + n, buf + sizeof buf, exponent_);
  double v = 0;
  auto res = std::from_chars(buf, r.ptr, v);
  if (res.ec == std::errc::result_out_of_range) {
    v = exponent_ > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return sign * v;
}

std::optional<std::int64_t> Decimal::toInt64() const noexcept {
  u128 c = join(high_, low_);
  if (c == 0) return 0;
  std::int64_t e = exponent_;
  if (e < 0) {
    if (e < -kMaxDigits) return std::nullopt;
    const u128 p = kPow10.v[-e];
    if (c % p != 0) return std::nullopt;
    c /= p;
  } else if (e > 0) {
    if (e > 19) return std::nullopt;
    const u128 p = kPow10.v[e];
    if (c > (u128(1) << 63) / p) return std::nullopt;
    c *= p;
  }
  const u128 limit = u128(1) << 63;  // |INT64_MIN|
  if (negative_) {
    if (c > limit) return std::nullopt;
    return static_cast<std::int64_t>(~static_cast<std::uint64_t>(c) + 1);
  }
  if (c >= limit) return std::nullopt;
  return static_cast<std::int64_t>(c);
}

bool operator==(const Decimal& a, const Decimal& b) noexcept {
  if (a.isZero() || b.isZero()) return a.isZero() && b.isZero();
  if (a.negative_ != b.negative_) return false;
  if (a.exponent_ == b.exponent_) return a.high_ == b.high_ && a.low_ == b.low_;
  u128 ca = join(a.high_, a.low_), cb = join(b.high_, b.low_);
  std::int64_t ea = a.exponent_, eb = b.exponent_;
  normalize(ca, ea);
  normalize(cb, eb);
  return ca == cb && ea == eb;
}

}  // namespace est
