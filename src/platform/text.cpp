#include "platform/text.h"

#include <locale.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace est {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Skips blanks and one sign; returns whether the sign was a minus.
bool skipBlanksAndSign(std::string_view text, size_t& i) {
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  return negative;
}

locale_t cLocale() {
  // strtod follows the process locale; a decimal comma there must not change what we read.
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

bool textBoolValue(std::string_view text) {
  size_t i = 0;
  skipBlanksAndSign(text, i);
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

long long textIntegerValue(std::string_view text) {
  size_t i = 0;
  bool negative = skipBlanksAndSign(text, i);
  // Accumulate toward the negative side, which has room for LLONG_MIN.
  long long value = 0;
  bool overflow = false;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    int digit = text[i] - '0';
    if (overflow) continue;
    if (value < (LLONG_MIN + digit) / 10) {
      overflow = true;
      continue;
    }
    value = value * 10 - digit;
  }
  if (overflow) return negative ? LLONG_MIN : LLONG_MAX;
  if (negative) return value;
  return value == LLONG_MIN ? LLONG_MAX : -value;
}

double textDoubleValue(std::string_view text) {
  size_t i = 0;
  skipBlanksAndSign(text, i);
  size_t start = i > 0 && (text[i - 1] == '+' || text[i - 1] == '-') ? i - 1 : i;
  size_t mantissaDigits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++mantissaDigits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && isDigit(text[j])) {
      while (j < text.size() && isDigit(text[j])) ++j;
      i = j;
    }
  }
  // Only the validated prefix reaches strtod, so it cannot wander into hex, inf or nan.
  std::string number(text.substr(start, i - start));
  if (cLocale() == static_cast<locale_t>(nullptr)) return std::strtod(number.c_str(), nullptr);
  return strtod_l(number.c_str(), nullptr, cLocale());
}

}  // namespace est
