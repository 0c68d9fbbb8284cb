#pragma once

#include <QFont>
#include <QString>

class QLabel;

namespace est::ui {

// Maps the layout font names "MyriadPro-Regular" and "MyriadPro-Bold" to Open Sans and makes
// Open Sans the application's font. Call once after the QApplication exists.
void installFontSubstitutions();

// A font by its layout name at `size` points (one point is one logical pixel, as on the
// phone); a name ending in "-Bold" gives the bold weight.
QFont fontNamed(const QString& name, double size);
QFont systemFont(double size);
QFont boldSystemFont(double size);

// Sets `label`'s font to `size` pixels, or less, down to `smallest`, so that its text fits
// its width on one line: a long car model must not push the rest of the line out of sight.
void fitFontToWidth(QLabel* label, double size, double smallest);

}  // namespace est::ui
