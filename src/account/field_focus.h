#pragma once

#include "ui/image.h"

namespace est::account {

// The box behind a text field turns to its focus image while the field is edited.
inline void showFieldFocus(ui::ImageView* box, bool editing) {
  if (box) box->setImageName(editing ? "caja_texto_focus.png" : "caja_texto.png");
}

}  // namespace est::account

#include <QAbstractButton>

namespace est::account {

// The flow's buttons: light pills with the brand's blue text; the secondary one is outlined.
inline void styleButton(QAbstractButton* button, bool primary = true) {
  button->setStyleSheet(
      primary ? "QPushButton { background: #b5f1ff; color: #005c84; border: none;"
                " border-radius: 22px; font-family: 'MyriadPro-Bold'; font-size: 15px; "
                "font-weight: bold; }"
                "QPushButton:pressed { background: #ffffff; }"
              : "QPushButton { background: transparent; color: #b5f1ff;"
                " border: 2px solid #b5f1ff; border-radius: 22px;"
                " font-family: 'MyriadPro-Bold'; font-size: 15px; font-weight: bold; }"
                "QPushButton:pressed { background: #0a6f9c; }");
}

}  // namespace est::account
