#include "ui/image.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QSvgRenderer>

namespace est::ui {
namespace {

QStringList& searchPaths() {
  static QStringList paths{QStringLiteral(":/images")};
  return paths;
}

}  // namespace

void addImageSearchPath(const QString& folder) {
  if (!searchPaths().contains(folder)) searchPaths().append(folder);
}

Image Image::named(const QString& name) {
  Image image;
  image.name_ = name;
  if (name.isEmpty()) return image;
  QFileInfo info(name);
  QString base = info.completeBaseName();
  QString suffix = info.suffix();
  for (const QString& folder : searchPaths()) {
    QString plain = folder + QLatin1Char('/') + name;
    if (QFileInfo::exists(plain) && suffix.compare(QLatin1String("svg"), Qt::CaseInsensitive)) {
      image.pixmap_.load(plain);
      if (!image.pixmap_.isNull()) return image;
    }
    QString doubled = folder + QLatin1Char('/') + base + QStringLiteral("@2x.") + suffix;
    if (!suffix.isEmpty() && QFileInfo::exists(doubled) && image.pixmap_.load(doubled)) {
      image.pixmap_.setDevicePixelRatio(2);
      return image;
    }
    QString svg = folder + QLatin1Char('/') + base + QStringLiteral(".svg");
    if (QFileInfo::exists(svg)) {
      auto renderer = std::make_shared<QSvgRenderer>(svg);
      if (renderer->isValid()) {
        image.svg_ = std::move(renderer);
        return image;
      }
    }
  }
  return image;
}

Image Image::fromPixmap(const QPixmap& pixmap) {
  Image image;
  image.pixmap_ = pixmap;
  return image;
}

Image Image::fromSvgFile(const QString& path) {
  Image image;
  image.name_ = QFileInfo(path).fileName();
  auto renderer = std::make_shared<QSvgRenderer>(path);
  if (renderer->isValid()) image.svg_ = std::move(renderer);
  return image;
}

QSizeF Image::size() const {
  if (svg_) return svg_->defaultSize();
  return pixmap_.deviceIndependentSize();
}

void Image::draw(QPainter& painter, const QRectF& target) const {
  if (svg_) {
    svg_->render(&painter, target);
    return;
  }
  if (pixmap_.isNull()) return;
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawPixmap(target, pixmap_, QRectF(QPointF(0, 0), pixmap_.size()));
  painter.restore();
}

QPixmap Image::pixmap(QSize size, qreal devicePixelRatio) const {
  QPixmap result(size * devicePixelRatio);
  result.setDevicePixelRatio(devicePixelRatio);
  result.fill(Qt::transparent);
  QPainter painter(&result);
  painter.setRenderHint(QPainter::Antialiasing);
  draw(painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return result;
}

ImageView::ImageView(QWidget* parent) : QWidget(parent) {}

void ImageView::setImage(const Image& image) {
  image_ = image;
  updateGeometry();
  update();
}

void ImageView::setContentMode(ContentMode mode) {
  mode_ = mode;
  update();
}

QSize ImageView::sizeHint() const {
  QSizeF natural = image_.size();
  return natural.isEmpty() ? QSize(0, 0) : natural.toSize();
}

void ImageView::paintEvent(QPaintEvent*) {
  if (image_.isNull()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF bounds = rect();
  QSizeF natural = image_.size();
  QRectF target = bounds;
  if (mode_ != ContentMode::ScaleToFill && !natural.isEmpty()) {
    QSizeF size = natural;
    if (mode_ == ContentMode::AspectFit)
      size = natural.scaled(bounds.size(), Qt::KeepAspectRatio);
    else if (mode_ == ContentMode::AspectFill)
      size = natural.scaled(bounds.size(), Qt::KeepAspectRatioByExpanding);
    target = QRectF(QPointF(0, 0), size);
    target.moveCenter(bounds.center());
  }
  if (mode_ == ContentMode::AspectFill) painter.setClipRect(bounds);
  image_.draw(painter, target);
}

void setButtonImage(QAbstractButton* button, const Image& image) {
  if (!button) return;
  QSize size = button->size().isEmpty() ? image.size().toSize() : button->size();
  if (image.isNull() || size.isEmpty()) {
    button->setIcon(QIcon());
    return;
  }
  button->setIcon(QIcon(image.pixmap(size, button->devicePixelRatioF())));
  button->setIconSize(size);
}

}  // namespace est::ui
