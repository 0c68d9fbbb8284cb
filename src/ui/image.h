#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>
#include <memory>

class QAbstractButton;
class QSvgRenderer;

namespace est::ui {

// Artwork by name, as layouts and screens name it ("caja_texto.png"). A name is looked up in
// each search folder in turn (the application's resources ":/images" first): the file itself,
// then its "@2x" variant (drawn at half size), then an SVG of the same base name, which stays
// crisp at every scale factor.
class Image {
 public:
  Image() = default;
  static Image named(const QString& name);
  static Image fromPixmap(const QPixmap& pixmap);
  static Image fromSvgFile(const QString& path);

  bool isNull() const { return pixmap_.isNull() && !svg_; }
  // Natural size in points.
  QSizeF size() const;
  const QString& name() const { return name_; }

  void draw(QPainter& painter, const QRectF& target) const;
  // Rendered at `size` points for a device pixel ratio.
  QPixmap pixmap(QSize size, qreal devicePixelRatio = 1) const;

 private:
  QString name_;
  QPixmap pixmap_;
  std::shared_ptr<QSvgRenderer> svg_;
};

void addImageSearchPath(const QString& folder);

// A view that shows an image; by default stretched to its frame, as a phone's image view is.
class ImageView : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString imageName READ imageName WRITE setImageName)

 public:
  enum class ContentMode { ScaleToFill, AspectFit, AspectFill, Center };

  explicit ImageView(QWidget* parent = nullptr);

  const Image& image() const { return image_; }
  void setImage(const Image& image);
  QString imageName() const { return image_.name(); }
  void setImageName(const QString& name) { setImage(Image::named(name)); }
  ContentMode contentMode() const { return mode_; }
  void setContentMode(ContentMode mode);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Image image_;
  ContentMode mode_ = ContentMode::ScaleToFill;
};

// Shows `image` as the button's picture, filling the button.
void setButtonImage(QAbstractButton* button, const Image& image);

}  // namespace est::ui
