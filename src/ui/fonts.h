#pragma once

#include <QFont>
#include <QString>

namespace est::ui {

// Maps the layout font names "MyriadPro-Regular" and "MyriadPro-Bold" to Open Sans and makes
// Open Sans the application's font. Call once after the QApplication exists.
void installFontSubstitutions();

// A font by its layout name at `size` points (one point is one logical pixel, as on the
// phone); a name ending in "-Bold" gives the bold weight.
QFont fontNamed(const QString& name, double size);
QFont systemFont(double size);
QFont boldSystemFont(double size);

}  // namespace est::ui
