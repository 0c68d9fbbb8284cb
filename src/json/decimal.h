#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace est {

class LxJsonParser;

// A base-10 number: sign × coefficient × 10^exponent, with a coefficient of at most 38 decimal
// digits. Numbers read from JSON keep their exact digits and scale ("1.50" stays 150 × 10^-2),
// so writing them back gives the same value and no binary rounding ever creeps in.
class Decimal {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr std::int32_t kMaxExponent = 999'999'999;
  static constexpr std::int32_t kMinExponent = -999'999'999;
  // Longest text toString()/format() can produce, terminator excluded.
  static constexpr std::size_t kMaxTextLength = 64;

  constexpr Decimal() noexcept = default;  // zero

  // Parses a JSON number ("-12.5e3"); nothing when the text is not one or when the value needs
  // more than 38 significant digits or an exponent outside [kMinExponent, kMaxExponent].
  static std::optional<Decimal> fromString(std::string_view text);
  // Checked assembly from parts: the coefficient is high * 2^64 + low.
  static std::optional<Decimal> fromParts(bool negative, std::uint64_t high, std::uint64_t low,
                                          std::int64_t exponent);
  // Assembles sign × digits × 10^exponent from the digit runs of a number as written (the
  // integer part, then the fraction, both decimal digits only) and its written exponent,
  // already saturated by the caller. Leading zeros are free; digits past the 38th must be zeros.
  static std::optional<Decimal> fromDigits(bool negative, std::string_view integerDigits,
                                           std::string_view fractionDigits,
                                           std::int64_t writtenExponent);
  // The same for a coefficient that fits 64 bits (always below 10^38); cheap enough to inline.
  static std::optional<Decimal> fromParts(bool negative, std::uint64_t coefficient,
                                          std::int64_t exponent) noexcept {
    if (exponent > kMaxExponent || exponent < kMinExponent) {
      if (coefficient != 0) return std::nullopt;
      exponent = exponent > 0 ? kMaxExponent : kMinExponent;  // zero keeps what scale it can
    }
    Decimal d;
    d.low_ = coefficient;
    d.exponent_ = static_cast<std::int32_t>(exponent);
    d.negative_ = negative;
    return d;
  }
  static Decimal fromInt64(std::int64_t value) noexcept;
  static Decimal fromUint64(std::uint64_t value) noexcept;
  // The shortest decimal that reads back as `value`; nothing for infinities and NaN.
  static std::optional<Decimal> fromDouble(double value);

  bool isNegative() const noexcept { return negative_; }
  bool isZero() const noexcept { return high_ == 0 && low_ == 0; }
  std::int32_t exponent() const noexcept { return exponent_; }
  std::uint64_t coefficientHigh() const noexcept { return high_; }
  std::uint64_t coefficientLow() const noexcept { return low_; }
  bool isInteger() const noexcept;

  // Exact text, also valid JSON: plain notation ("0", "-3", "1.50", "0.000001") unless the
  // scale calls for an exponent ("2E+3", "1E-7"). Reading it back gives the same parts.
  std::string toString() const;
  // Writes the same text into `out` (at least kMaxTextLength bytes); returns its length.
  std::size_t format(char* out) const noexcept;

  // Nearest double (correctly rounded; ±infinity or ±0 outside double's range).
  double toDouble() const noexcept;
  // The exact integer value, or nothing when it has a fraction or does not fit.
  std::optional<std::int64_t> toInt64() const noexcept;

  // Numeric equality: 1.5 == 1.50 and 0 == -0.
  friend bool operator==(const Decimal& a, const Decimal& b) noexcept;

 private:
  friend class LxJsonParser;  // builds numbers in place
  std::uint64_t high_ = 0;
  std::uint64_t low_ = 0;
  std::int32_t exponent_ = 0;
  bool negative_ = false;
};

}  // namespace est
