#pragma once

#include <QColor>
#include <string_view>

#include "ui/color.h"

namespace est {

// Six hexadecimal digits, optionally behind "0x", give an opaque colour; anything else the
// transparent one. Screens pass literals such as "005c84" and "b5f1ff".
inline QColor colorWithHexString(std::string_view text) {
  return ui::colorWithHexString(text);
}

}  // namespace est
