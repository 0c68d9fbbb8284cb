#include "ui/activity_indicator.h"

#include <QPainter>
#include <QPainterPath>
#include <QPointer>

#include "ui/main_loop.h"

namespace est::ui {
namespace {
constexpr int kSpokes = 12;
constexpr double kStep = 1.0 / kSpokes;  // seconds per spoke
}  // namespace

ActivityIndicatorView::ActivityIndicatorView(Style style, QWidget* parent)
    : QWidget(parent),
      style_(style),
      color_(style == Style::Gray ? QColor(128, 128, 128) : Qt::white) {
  resize(sizeHint());
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

ActivityIndicatorView::~ActivityIndicatorView() = default;

QSize ActivityIndicatorView::sizeHint() const {
  return style_ == Style::WhiteLarge ? QSize(37, 37) : QSize(20, 20);
}

void ActivityIndicatorView::setColor(const QColor& color) {
  color_ = color;
  update();
}

void ActivityIndicatorView::startAnimating() {
  animating_ = true;
  arm();
}

void ActivityIndicatorView::stopAnimating() {
  animating_ = false;
  timer_.reset();
}

// The timer runs only while the wheel can be seen, so a hidden indicator costs nothing.
void ActivityIndicatorView::arm() {
  if (!animating_ || !isVisible()) {
    timer_.reset();
    return;
  }
  if (timer_.active()) return;
  QPointer<ActivityIndicatorView> self(this);
  timer_.start(
      mainLoop(), Seconds(kStep),
      [self] {
        if (!self) return;
        self->phase_ = (self->phase_ + 1) % kSpokes;
        self->update();
      },
      true);
}

void ActivityIndicatorView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  arm();
}

void ActivityIndicatorView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_.reset();
}

void ActivityIndicatorView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  double side = std::min(width(), height());
  double outer = side / 2;
  double inner = outer * 0.48;
  double thickness = side * (style_ == Style::WhiteLarge ? 0.085 : 0.095);
  p.translate(width() / 2.0, height() / 2.0);
  for (int i = 0; i < kSpokes; ++i) {
    // The leading spoke is solid; the ones behind it fade to a faint trace.
    int behind = (phase_ - i + kSpokes) % kSpokes;
    QColor c = color_;
    c.setAlphaF(c.alphaF() * std::max(0.22, 1.0 - behind * 0.075));
    p.save();
    p.rotate(i * 360.0 / kSpokes);
    QPainterPath spoke;
    spoke.addRoundedRect(QRectF(-thickness / 2, -outer, thickness, outer - inner), thickness / 2,
                         thickness / 2);
    p.fillPath(spoke, c);
    p.restore();
  }
}

}  // namespace est::ui
