#include "ui/color.h"

#include <cctype>
#include <string>

namespace est::ui {
namespace {

bool isBlank(unsigned char c) {
  return std::isspace(c) != 0;
}

// The leading hexadecimal digits of a two-character piece; none reads as 0.
int leadingHex(std::string_view piece) {
  int value = 0;
  for (char c : piece) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      break;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

QColor colorWithHexString(std::string_view text) {
  while (!text.empty() && isBlank(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && isBlank(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (s.size() < 6) return QColor(0, 0, 0, 0);
  if (s.rfind("0X", 0) == 0) s.erase(0, 2);
  if (s.size() != 6) return QColor(0, 0, 0, 0);
  std::string_view v(s);
  return QColor(leadingHex(v.substr(0, 2)), leadingHex(v.substr(2, 2)), leadingHex(v.substr(4, 2)));
}

}  // namespace est::ui
