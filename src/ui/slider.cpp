#include "ui/slider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QWheelEvent>
#include <cmath>

#include "ui/animation.h"
#include "ui/color.h"
#include "ui/input_scope.h"

namespace est::ui {
namespace {
constexpr double kThumb = 28;
constexpr double kTrack = 4;
const char* const kValueAnimation = "estSliderAnimation";
}  // namespace

Slider::Slider(QWidget* parent)
    : QWidget(parent),
      minimumTrack_(colorWithHexString("1e88c8")),
      maximumTrack_(colorWithHexString("c9ced3")) {
  setFocusPolicy(Qt::TabFocus);
  setMinimumSize(minimumSizeHint());
  setAccessibleRole(this, QAccessible::Slider);
}

QSize Slider::sizeHint() const {
  return {200, 34};
}
QSize Slider::minimumSizeHint() const {
  return {static_cast<int>(kThumb) * 2, 34};
}

void Slider::setValue(float value, bool animated) {
  float clamped = std::clamp(value, minimum_, maximum_);
  if (auto running = property(kValueAnimation).toULongLong()) cancelAnimation(running);
  value_ = clamped;
  if (!animated) {
    shown_ = clamped;
    update();
    return;
  }
  QPointer<Slider> self(this);
  float from = shown_;
  auto id = animate(kPanelAnimationDuration, [self, from, clamped](double t) {
    if (!self) return;
    self->shown_ = from + static_cast<float>((clamped - from) * t);
    self->update();
  });
  setProperty(kValueAnimation, QVariant::fromValue<qulonglong>(id));
}

void Slider::setMinimumValue(float minimum) {
  minimum_ = minimum;
  if (maximum_ < minimum_) maximum_ = minimum_;
  if (value_ < minimum_) setValue(minimum_);
  update();
}

void Slider::setMaximumValue(float maximum) {
  maximum_ = maximum;
  if (minimum_ > maximum_) minimum_ = maximum_;
  if (value_ > maximum_) setValue(maximum_);
  update();
}

void Slider::setMinimumTrackColor(const QColor& color) {
  minimumTrack_ = color;
  update();
}

void Slider::setMaximumTrackColor(const QColor& color) {
  maximumTrack_ = color;
  update();
}

QRectF Slider::trackRect() const {
  double y = height() / 2.0 - kTrack / 2;
  return {kThumb / 2, y, std::max(0.0, width() - kThumb), kTrack};
}

QPointF Slider::thumbCentre(float value) const {
  QRectF track = trackRect();
  double span = maximum_ - minimum_;
  double f = span > 0 ? (value - minimum_) / span : 0;
  return {track.left() + std::clamp(f, 0.0, 1.0) * track.width(), height() / 2.0};
}

float Slider::valueAt(double x) const {
  QRectF track = trackRect();
  if (track.width() <= 0) return minimum_;
  double f = std::clamp((x - track.left()) / track.width(), 0.0, 1.0);
  return static_cast<float>(minimum_ + f * (maximum_ - minimum_));
}

void Slider::userMove(float value) {
  float before = value_;
  setValue(value);
  if (value_ != before) emit valueChanged(value_);
}

void Slider::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF track = trackRect();
  QPointF thumb = thumbCentre(shown_);
  bool enabled = isEnabled();

  QPainterPath full;
  full.addRoundedRect(track, kTrack / 2, kTrack / 2);
  p.fillPath(full, maximumTrack_);
  QRectF filled = track;
  filled.setRight(thumb.x());
  QPainterPath left;
  left.addRoundedRect(filled, kTrack / 2, kTrack / 2);
  QColor fill = minimumTrack_;
  if (!enabled) fill.setAlphaF(fill.alphaF() * 0.45);
  p.fillPath(left, fill);

  // A soft shadow under a white thumb with a hairline edge, as the phone draws it.
  QRectF knob(thumb.x() - kThumb / 2, thumb.y() - kThumb / 2, kThumb, kThumb);
  for (int i = 3; i >= 1; --i) {
    QColor shade(0, 0, 0, 14 * (4 - i));
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    p.drawEllipse(knob.adjusted(-i * 0.5, -i * 0.3 + 1.5, i * 0.5, i * 0.7 + 1.5));
  }
  p.setBrush(enabled ? QColor(Qt::white) : QColor(240, 240, 240));
  p.setPen(QPen(QColor(0, 0, 0, tracking_ ? 60 : 38), 0.75));
  p.drawEllipse(knob.adjusted(0.5, 0.5, -0.5, -0.5));
  if (hasFocus()) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(minimumTrack_, 1.5));
    p.drawEllipse(knob.adjusted(3, 3, -3, -3));
  }
}

void Slider::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  tracking_ = true;
  QPointF at = event->position();
  QPointF thumb = thumbCentre(value_);
  if (std::abs(at.x() - thumb.x()) <= kThumb / 2) {
    grabOffset_ = at.x() - thumb.x();  // the thumb stays under the finger where it was taken
  } else {
    grabOffset_ = 0;
    userMove(valueAt(at.x()));
  }
  update();
}

void Slider::mouseMoveEvent(QMouseEvent* event) {
  if (!tracking_) return;
  userMove(valueAt(event->position().x() - grabOffset_));
}

void Slider::mouseReleaseEvent(QMouseEvent* event) {
  if (!tracking_ || event->button() != Qt::LeftButton) return;
  tracking_ = false;
  update();
  emit released();
}

void Slider::stepBy(int steps) {
  float step = step_ > 0 ? step_ : (maximum_ - minimum_) / 10;
  if (step <= 0 || steps == 0) return;
  // From a value left between two steps by a drag, the first step lands on the next one.
  double at = (value_ - minimum_) / step;
  double base = steps > 0 ? std::floor(at + 1e-4) : std::ceil(at - 1e-4);
  userMove(minimum_ + static_cast<float>((base + steps) * step));
  emit released();
}

void Slider::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
      stepBy(-1);
      return;
    case Qt::Key_Right:
    case Qt::Key_Up:
      stepBy(1);
      return;
    case Qt::Key_Home:
      userMove(minimum_);
      emit released();
      return;
    case Qt::Key_End:
      userMove(maximum_);
      emit released();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void Slider::wheelEvent(QWheelEvent* event) {
  QPoint delta = event->angleDelta();
  int amount = delta.y() != 0 ? delta.y() : -delta.x();
  if (amount == 0) {
    event->ignore();
    return;
  }
  event->accept();
  // Touch pads send small deltas; a notch is 120.
  wheelAccumulator_ += amount;
  int notches = wheelAccumulator_ / 120;
  wheelAccumulator_ -= notches * 120;
  stepBy(notches);
}

}  // namespace est::ui
