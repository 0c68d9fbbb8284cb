#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace est {

// Escapes a query parameter value: every byte outside letters, digits, "-", ".", "_", "~" and
// ":" becomes %XX (upper-case hex of the UTF-8 byte). Values the screens send in normal use
// (digits, upper-case UUIDs, plates without blanks, "HH:mm") come out unchanged, while a blank,
// "&", "=", "+", "#", "%" or a non-ASCII letter can neither break the URL nor add a parameter.
std::string percentEscape(std::string_view value);

// Reverses percentEscape (and any other %XX escaping). "+" stays "+". Nothing when a "%" is not
// followed by two hexadecimal digits.
std::optional<std::string> percentUnescape(std::string_view text);

}  // namespace est
