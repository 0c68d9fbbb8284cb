#include "ui/fonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>

namespace est::ui {
namespace {
const QString kOpenSans = QStringLiteral("Open Sans");
}

void installFontSubstitutions() {
  for (const char* name : {"MyriadPro-Regular", "MyriadPro-Bold", "Myriad Pro"})
    QFont::insertSubstitution(QString::fromLatin1(name), kOpenSans);
  if (QFontDatabase::hasFamily(kOpenSans)) QApplication::setFont(fontNamed(kOpenSans, 14));
}

QFont fontNamed(const QString& name, double size) {
  QFont font(name);
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
  if (name.endsWith(QLatin1String("-Bold"))) font.setWeight(QFont::Bold);
  return font;
}

QFont systemFont(double size) {
  QFont font = QApplication::font();
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
  font.setWeight(QFont::Normal);
  return font;
}

QFont boldSystemFont(double size) {
  QFont font = systemFont(size);
  font.setWeight(QFont::Bold);
  return font;
}

void fitFontToWidth(QLabel* label, double size, double smallest) {
  QFont font = label->font();
  int width = label->contentsRect().width();
  for (;; size -= 1) {
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
    if (size <= smallest || QFontMetrics(font).horizontalAdvance(label->text()) <= width) break;
  }
  label->setFont(font);
}

}  // namespace est::ui
