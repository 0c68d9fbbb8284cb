#pragma once

#include <string_view>

namespace est {

// Conversions of text the way the phone platform reads numbers and flags out of strings, so
// that a stored "30" or a reply's "1" mean the same here as they did there. "Blanks" below are
// the ASCII white-space characters (space, tab, line feed, vertical tab, form feed, return).

// True when the first significant character, after leading blanks, one optional sign and
// leading zeros, is Y, y, T, t or a digit 1 to 9. So " +007", "yes" and "True" are true;
// "-0", "No", "0x1" and "" are false.
bool textBoolValue(std::string_view text);

// The decimal integer at the start of the text, after leading blanks and one optional sign;
// 0 when there is none. Reading stops at the first non-digit ("30 min" is 30, "0x1F" is 0).
// Values beyond the 64-bit range saturate.
long long textIntegerValue(std::string_view text);

// The decimal number at the start of the text (digits, optional fraction, optional exponent)
// after leading blanks and one optional sign; 0 when there is none. Never reads hexadecimal,
// "inf" or "nan". Independent of the process locale.
double textDoubleValue(std::string_view text);

}  // namespace est
