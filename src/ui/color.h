#pragma once

#include <QColor>
#include <string_view>

namespace est::ui {

// Six hexadecimal digits, optionally behind "0x" (any case, blanks around ignored), give an
// opaque colour; any other text gives the fully transparent colour. A "#" is not accepted.
QColor colorWithHexString(std::string_view text);

}  // namespace est::ui
