#include "ui/paging_area.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWheelEvent>
#include <cmath>

#include "ui/input_scope.h"
#include "ui/main_loop.h"
#include "ui/picker_view.h"
#include "ui/slider.h"
#include "ui/view.h"

namespace est::ui {
namespace {

constexpr double kSlop = 8;             // points the pointer moves before a drag is decided
constexpr double kFlickVelocity = 250;  // points per second that turn a page on release
constexpr auto kVelocityWindow = std::chrono::milliseconds(100);

// Application event filters hear a mouse event once for each widget it climbs through while
// propagating; only the first hearing counts.
struct LastEvent {
  QEvent::Type type = QEvent::None;
  QPointF global;
  Qt::MouseButtons buttons;
  QPointer<QWidget> receiver;
} lastEvent;

bool alreadySeen(QWidget* receiver, QMouseEvent* event) {
  bool seen = lastEvent.type == event->type() && lastEvent.global == event->globalPosition() &&
              lastEvent.buttons == event->buttons() && lastEvent.receiver &&
              receiver->isAncestorOf(lastEvent.receiver);
  if (!seen) lastEvent = {event->type(), event->globalPosition(), event->buttons(), receiver};
  return seen;
}

// Controls keep a press that starts on them until it is released: a sideways drag on a slider
// moves its thumb, not the page.
bool isControl(const QWidget* w) {
  return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
         qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const Slider*>(w) ||
         qobject_cast<const PickerView*>(w);
}

}  // namespace

PagingArea::PagingArea(QWidget* parent) : QWidget(parent), content_(new QWidget(this)) {
  content_->setObjectName(QStringLiteral("contentView"));
  content_->setGeometry(0, 0, width(), height());
  qApp->installEventFilter(this);
}

PagingArea::~PagingArea() {
  qApp->removeEventFilter(this);
  if (motion_) cancelAnimation(std::exchange(motion_, 0));
}

void PagingArea::addSubview(QWidget* view) {
  ui::addSubview(content_, view);
}

void PagingArea::removeAllSubviews() {
  for (QWidget* view : ui::subviews(content_)) removeFromSuperview(view);
}

QList<QWidget*> PagingArea::subviews() const {
  return ui::subviews(content_);
}

bool PagingArea::containsView(const QWidget* view) const {
  return view && view->parentWidget() == content_;
}

void PagingArea::setContentWidth(double width) {
  contentWidth_ = std::max(0.0, width);
  content_->resize(static_cast<int>(std::ceil(std::max(contentWidth_, double(this->width())))),
                   height());
}

void PagingArea::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  setContentWidth(contentWidth_);
}

int PagingArea::currentPage() const {
  return pageWidth() > 0 ? static_cast<int>(offset_ / pageWidth()) : 0;
}

int PagingArea::numberOfPages() const {
  if (pageWidth() <= 0) return 1;
  return std::max(1, static_cast<int>(std::ceil(contentWidth_ / pageWidth() - 1e-6)));
}

void PagingArea::setScrollEnabled(bool enabled) {
  scrollEnabled_ = enabled;
  if (!enabled && (tracking_ || dragging_)) {
    tracking_ = dragging_ = false;
    settle(0);
  }
}

void PagingArea::applyOffset(double x) {
  offset_ = x;
  content_->move(-static_cast<int>(std::lround(x)), 0);
  if (delegate_) delegate_->scrollViewDidScroll(this);
}

void PagingArea::stopMotion() {
  if (motion_) cancelAnimation(std::exchange(motion_, 0));
  decelerating_ = false;
}

void PagingArea::setContentOffset(double x, bool animated) {
  stopMotion();
  if (!animated) {
    applyOffset(x);
    settleFocus(this);
    return;
  }
  QPointer<PagingArea> self(this);
  double from = offset_;
  motion_ = animate(
      kPanelAnimationDuration,
      [self, from, x](double t) {
        if (self) self->applyOffset(from + (x - from) * t);
      },
      [self](bool finished) {
        if (!self) return;
        self->motion_ = 0;
        if (finished) settleFocus(self);
        if (finished && self && self->delegate_)
          self->delegate_->scrollViewDidEndScrollingAnimation(self);
      });
}

void PagingArea::settle(double velocity) {
  double page = pageWidth();
  if (page <= 0) return;
  double position = offset_ / page;
  double start = std::round(pressOffset_ / page);
  double target;
  if (velocity > kFlickVelocity)
    target = std::min(std::floor(position) + 1, start + 1);
  else if (velocity < -kFlickVelocity)
    target = std::max(std::ceil(position) - 1, start - 1);
  else
    target = std::round(position);
  target = std::clamp(target, 0.0, double(numberOfPages() - 1));
  double to = target * page;
  double from = offset_;
  double duration = std::clamp(std::abs(to - from) / page, 0.4, 1.0) * kPanelAnimationDuration;
  decelerating_ = true;
  QPointer<PagingArea> self(this);
  motion_ = animate(
      duration,
      [self, from, to](double t) {
        if (self) self->applyOffset(from + (to - from) * t);
      },
      [self](bool finished) {
        if (!self) return;
        self->motion_ = 0;
        self->decelerating_ = false;
        if (finished) settleFocus(self);
        if (finished && self && self->delegate_)
          self->delegate_->scrollViewDidEndDecelerating(self);
      },
      AnimationCurve::EaseOut);
}

bool PagingArea::ownsTarget(QObject* target) const {
  auto* widget = qobject_cast<QWidget*>(target);
  if (!widget || (widget != this && !isAncestorOf(widget))) return false;
  // A paging area nested inside this one handles its own content.
  for (QWidget* w = widget; w && w != this; w = w->parentWidget())
    if (qobject_cast<PagingArea*>(w)) return false;
  return true;
}

bool PagingArea::eventFilter(QObject* watched, QEvent* event) {
  if (sendingCancel_) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
      if (ownsTarget(watched)) {
        auto* widget = static_cast<QWidget*>(watched);
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (!alreadySeen(widget, mouse)) return handleMouse(widget, mouse);
      }
      break;
    default:
      break;
  }
  return false;
}

void PagingArea::cancelPress() {
  if (!pressTarget_) return;
  // A release far outside the pressed control: it lets go without acting.
  QPointF outside(-1e5, -1e5);
  QMouseEvent release(QEvent::MouseButtonRelease, outside, outside, outside, Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  sendingCancel_ = true;
  QCoreApplication::sendEvent(pressTarget_, &release);
  sendingCancel_ = false;
  pressTarget_ = nullptr;
}

bool PagingArea::handleMouse(QWidget* target, QMouseEvent* event) {
  auto now = mainLoop().now();
  QPointF global = event->globalPosition();
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      if (event->button() != Qt::LeftButton || !scrollEnabled_) return false;
      tracking_ = false;
      if (!acceptsInput(target)) return false;
      for (QWidget* w = target; w && w != this; w = w->parentWidget())
        if (isControl(w)) return false;
      bool wasMoving = motion_ != 0;
      stopMotion();
      tracking_ = true;
      dragging_ = false;
      ignoreGesture_ = false;
      pressGlobal_ = global;
      pressOffset_ = offset_;
      samples_.clear();
      samples_.push_back({now, global.x()});
      // A press that stops a moving page only stops it.
      swallowed_ = wasMoving;
      pressTarget_ = wasMoving ? nullptr : target;
      return wasMoving;
    }
    case QEvent::MouseMove: {
      if (!tracking_ || ignoreGesture_ || !(event->buttons() & Qt::LeftButton)) return false;
      QPointF delta = global - pressGlobal_;
      if (!dragging_) {
        if (std::abs(delta.x()) > kSlop && std::abs(delta.x()) > std::abs(delta.y())) {
          dragging_ = true;
          cancelPress();
        } else {
          if (std::abs(delta.y()) > kSlop) ignoreGesture_ = true;
          return swallowed_;
        }
      }
      double x = pressOffset_ - delta.x();
      double high = std::max(0.0, contentWidth_ - pageWidth());
      if (x < 0) x /= 2;  // pulled past an end, the content follows at half speed
      if (x > high) x = high + (x - high) / 2;
      applyOffset(x);
      samples_.push_back({now, global.x()});
      while (samples_.size() > 2 && now - samples_.front().at > kVelocityWindow)
        samples_.pop_front();
      return true;
    }
    case QEvent::MouseButtonRelease: {
      if (!tracking_ || event->button() != Qt::LeftButton) return false;
      tracking_ = false;
      if (!dragging_) return swallowed_;
      dragging_ = false;
      samples_.push_back({now, global.x()});
      while (samples_.size() > 2 && now - samples_.front().at > kVelocityWindow)
        samples_.pop_front();
      double velocity = 0;
      double dt = std::chrono::duration<double>(samples_.back().at - samples_.front().at).count();
      if (dt > 0) velocity = -(samples_.back().x - samples_.front().x) / dt;
      settle(velocity);
      return true;
    }
    default:
      return false;
  }
}

void PagingArea::wheelEvent(QWheelEvent* event) {
  double dx = event->angleDelta().x();
  if (!scrollEnabled_ || dx == 0 || pageWidth() <= 0) {
    event->ignore();
    return;
  }
  event->accept();
  wheelAccumulator_ += dx;
  if (std::abs(wheelAccumulator_) < 120) return;
  int direction = wheelAccumulator_ > 0 ? -1 : 1;
  wheelAccumulator_ = 0;
  pressOffset_ = std::round(offset_ / pageWidth()) * pageWidth();
  stopMotion();
  settle(direction * (kFlickVelocity + 1));
}

}  // namespace est::ui
