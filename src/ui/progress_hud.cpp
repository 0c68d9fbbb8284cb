#include "ui/progress_hud.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QResizeEvent>
#include <thread>

#include "platform/log.h"
#include "ui/activity_indicator.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/main_loop.h"
#include "ui/round_progress_view.h"
#include "ui/view.h"

namespace est::ui {
namespace {

constexpr double kPadding = 4;        // between the indicator and the labels
constexpr double kTransition = 0.30;  // seconds of a fade (or zoom) in or out
constexpr double kCornerRadius = 10;
constexpr double kZoomIn = 1.5;
constexpr double kZoomOut = 0.5;
constexpr double kHiddenAlpha = 0.02;  // where a fade out ends before the overlay finishes
// What a screen reader says of an overlay without a label of its own.
const char* const kBusyName = "Procesando";

Error nilViewError() {
  return Error(kKvProgressHUDViewIsNillException, 0,
               "The view used in the KvProgressHUD initializer is nil.");
}

}  // namespace

KvProgressHUD::KvProgressHUD(QWidget* view)
    : QWidget(nullptr),
      labelFont_(boldSystemFont(16)),
      detailsLabelFont_(boldSystemFont(12)),
      loop_(&mainLoop()) {
  setGeometry(view->rect());
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
  ui::setAlpha(this, 0);
  setVisible(false);
  updateIndicators();
  // While shown it covers its view for the mouse and the keyboard alike.
  setModalLayer(this);
  setAccessibleRole(this, QAccessible::StatusBar);
  setAccessibleName(QString::fromUtf8(kBusyName));
}

std::unique_ptr<KvProgressHUD> KvProgressHUD::initWithView(QWidget* view, Error* error) {
  if (!view) {
    Error::assign(error, nilViewError());
    return nullptr;
  }
  return std::unique_ptr<KvProgressHUD>(new KvProgressHUD(view));
}

// The window is portrait only on this platform, so a window needs no turning.
std::unique_ptr<KvProgressHUD> KvProgressHUD::initWithWindow(QWidget* window, Error* error) {
  return initWithView(window, error);
}

KvProgressHUD* KvProgressHUD::showHUDAddedTo(QWidget* view, bool animated) {
  Error error;
  auto hud = initWithView(view, &error);
  if (!hud) {
    logf("%s: %s", error.domain.c_str(), error.description.c_str());
    return nullptr;
  }
  KvProgressHUD* added = hud.release();
  addSubview(view, added);
  added->show(animated);
  return added;
}

bool KvProgressHUD::hideHUDForView(QWidget* view, bool animated) {
  if (!view) return false;
  auto children = subviews(view);
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    auto* hud = qobject_cast<KvProgressHUD*>(*it);
    // One already fading or waiting out its minimum time is on its way out: the next one
    // down is the one this call is meant for.
    if (!hud || hud->hiding_) continue;
    hud->setRemoveFromSuperViewOnHide(true);
    hud->hide(animated);
    return true;
  }
  return false;
}

KvProgressHUD::~KvProgressHUD() {
  if (transition_) cancelAnimation(std::exchange(transition_, 0));
}

void KvProgressHUD::onMain(std::function<void()> work) {
  if (loop_->isLoopThread()) {
    work();
    return;
  }
  std::weak_ptr<int> alive = life_;
  loop_->post([alive, work = std::move(work)] {
    if (alive.lock()) work();
  });
}

// ---- showing and hiding ------------------------------------------------------------------

void KvProgressHUD::show(bool animated) {
  useAnimation_ = animated;
  finished_ = false;
  hiding_ = false;
  minShowTimer_.reset();  // a hide asked for before this show no longer applies
  if (graceTime_ > 0) {
    graceTimer_.start(
        *loop_, Seconds(graceTime_),
        [this] {
          graceTimer_.release();
          if (taskInProgress_) showUsingAnimation(useAnimation_);
        },
        false);
    return;
  }
  relayout();
  update();
  showUsingAnimation(useAnimation_);
}

void KvProgressHUD::showUsingAnimation(bool animated) {
  if (transition_) cancelAnimation(std::exchange(transition_, 0));
  showStarted_ = loop_->now();
  relayout();
  setVisible(true);
  bool zoom = animationType_ == KvProgressHUDAnimation::Zoom;
  if (!animated) {
    ui::setAlpha(this, 1);
    ui::setScale(this, 1);
    return;
  }
  ui::setAlpha(this, 0);
  if (zoom) ui::setScale(this, kZoomIn);
  QPointer<KvProgressHUD> self(this);
  transition_ = animate(
      kTransition,
      [self, zoom](double t) {
        if (!self) return;
        ui::setAlpha(self, t);
        if (zoom) ui::setScale(self, kZoomIn + (1 - kZoomIn) * t);
      },
      [self](bool) {
        if (self) self->transition_ = 0;
      });
}

void KvProgressHUD::hide(bool animated) {
  // A second hide while one is under way would tell the delegate twice.
  if (hiding_) return;
  useAnimation_ = animated;
  hiding_ = true;
  if (minShowTime_ > 0 && showStarted_) {
    double shown = std::chrono::duration<double>(loop_->now() - *showStarted_).count();
    if (shown < minShowTime_) {
      minShowTimer_.start(
          *loop_, Seconds(minShowTime_ - shown),
          [this] {
            minShowTimer_.release();
            hideUsingAnimation(useAnimation_);
          },
          false);
      return;
    }
  }
  hideUsingAnimation(useAnimation_);
}

void KvProgressHUD::hide(bool animated, double delay) {
  std::erase_if(delayedHides_, [](const auto& timer) { return !timer->active(); });
  auto timer = std::make_unique<ScopedTimer>();
  ScopedTimer* raw = timer.get();
  raw->start(
      *loop_, Seconds(delay),
      [this, raw, animated] {
        raw->release();
        hide(animated);
      },
      false);
  delayedHides_.push_back(std::move(timer));
}

void KvProgressHUD::hideUsingAnimation(bool animated) {
  if (transition_) cancelAnimation(std::exchange(transition_, 0));
  if (!animated) {
    done();
    return;
  }
  bool zoom = animationType_ == KvProgressHUDAnimation::Zoom;
  double fromAlpha = alpha();
  double fromScale = ui::scale(this);
  QPointer<KvProgressHUD> self(this);
  transition_ = animate(
      kTransition,
      [self, zoom, fromAlpha, fromScale](double t) {
        if (!self) return;
        ui::setAlpha(self, fromAlpha + (kHiddenAlpha - fromAlpha) * t);
        if (zoom) ui::setScale(self, fromScale + (kZoomOut - fromScale) * t);
      },
      [self](bool finished) {
        if (!self) return;
        self->transition_ = 0;
        if (finished) self->done();
      });
}

void KvProgressHUD::done() {
  finished_ = true;
  hiding_ = false;
  showStarted_.reset();
  graceTimer_.reset();  // a hidden overlay never comes back by itself
  ui::setAlpha(this, 0);
  ui::setScale(this, 1);
  setVisible(false);
  QPointer<KvProgressHUD> self(this);
  if (delegate_) delegate_->hudWasHidden(this);
  if (self && removeFromSuperViewOnHide_) {
    removeFromSuperview(this);
    deleteLater();
  }
}

void KvProgressHUD::showWhileExecuting(std::function<void()> method, bool animated) {
  auto task = std::make_shared<std::function<void()>>(std::move(method));
  task_ = task;
  taskInProgress_ = true;
  std::weak_ptr<int> alive = life_;
  RunLoop* loop = loop_;
  KvProgressHUD* self = this;
  std::thread([task, alive, loop, self]() mutable {
    if (*task) (*task)();
    loop->post([task = std::move(task), alive, self]() mutable {
      if (alive.lock()) self->cleanUp();
      task.reset();  // the method and what it holds go on the main thread
    });
  }).detach();
  show(animated);
}

void KvProgressHUD::cleanUp() {
  taskInProgress_ = false;
  task_.reset();
  hide(useAnimation_);
}

// ---- properties --------------------------------------------------------------------------

void KvProgressHUD::setMode(KvProgressHUDMode mode) {
  onMain([this, mode] {
    // The wheel is rebuilt even when already in mode 0, as a fresh start.
    if (mode == mode_ && mode != KvProgressHUDMode::Indeterminate) return;
    mode_ = mode;
    updateIndicators();
    relayout();
    update();
  });
}

void KvProgressHUD::setAnimationType(KvProgressHUDAnimation type) {
  onMain([this, type] { animationType_ = type; });
}

void KvProgressHUD::setLabelText(std::optional<QString> text) {
  onMain([this, text = std::move(text)] {
    labelText_ = text;
    setAccessibleName(text && !text->isEmpty() ? *text : QString::fromUtf8(kBusyName));
    relayout();
    update();
  });
}

void KvProgressHUD::setDetailsLabelText(std::optional<QString> text) {
  onMain([this, text = std::move(text)] {
    detailsLabelText_ = text;
    setAccessibleDescription(text.value_or(QString()));
    relayout();
    update();
  });
}

void KvProgressHUD::setLabelFont(const QFont& font) {
  onMain([this, font] {
    labelFont_ = font;
    relayout();
    update();
  });
}

void KvProgressHUD::setDetailsLabelFont(const QFont& font) {
  onMain([this, font] {
    detailsLabelFont_ = font;
    relayout();
    update();
  });
}

void KvProgressHUD::setOpacity(float opacity) {
  onMain([this, opacity] {
    opacity_ = opacity;
    update();
  });
}

void KvProgressHUD::setMargin(float margin) {
  onMain([this, margin] {
    margin_ = margin;
    relayout();
    update();
  });
}

void KvProgressHUD::setXOffset(float offset) {
  onMain([this, offset] {
    xOffset_ = offset;
    relayout();
    update();
  });
}

void KvProgressHUD::setYOffset(float offset) {
  onMain([this, offset] {
    yOffset_ = offset;
    relayout();
    update();
  });
}

void KvProgressHUD::setDimBackground(bool dim) {
  onMain([this, dim] {
    dimBackground_ = dim;
    update();
  });
}

void KvProgressHUD::setGraceTime(float seconds) {
  onMain([this, seconds] { graceTime_ = seconds; });
}

void KvProgressHUD::setMinShowTime(float seconds) {
  onMain([this, seconds] { minShowTime_ = seconds; });
}

void KvProgressHUD::setRemoveFromSuperViewOnHide(bool remove) {
  onMain([this, remove] { removeFromSuperViewOnHide_ = remove; });
}

void KvProgressHUD::setCustomView(QWidget* view) {
  onMain([this, view] {
    if (customView_ == view) return;
    if (customView_) {
      if (indicator_ == customView_) indicator_ = nullptr;
      delete customView_.data();
    }
    customView_ = view;
    if (view) {
      view->setParent(this);
      view->hide();
    }
    if (mode_ == KvProgressHUDMode::CustomView) {
      updateIndicators();
      relayout();
      update();
    }
  });
}

void KvProgressHUD::setProgress(float progress) {
  onMain([this, progress] {
    progress_ = progress;
    if (mode_ == KvProgressHUDMode::Determinate)
      if (auto* pie = qobject_cast<KvRoundProgressView*>(indicator_.data()))
        pie->setProgress(progress);
  });
}

void KvProgressHUD::setDelegate(KvProgressHUDDelegate* delegate) {
  onMain([this, delegate] { delegate_ = delegate; });
}

void KvProgressHUD::setTaskInProgress(bool running) {
  onMain([this, running] { taskInProgress_ = running; });
}

double KvProgressHUD::alpha() const {
  return ui::alpha(this);
}

// ---- layout and drawing ------------------------------------------------------------------

void KvProgressHUD::updateIndicators() {
  if (indicator_) {
    if (indicator_ == customView_)
      indicator_->hide();
    else
      delete indicator_.data();
    indicator_ = nullptr;
  }
  if (mode_ == KvProgressHUDMode::Determinate) {
    auto* pie = new KvRoundProgressView(this);
    pie->setProgress(progress_);
    indicator_ = pie;
  } else if (mode_ == KvProgressHUDMode::CustomView && customView_) {
    indicator_ = customView_.data();
  } else {
    auto* wheel = new ActivityIndicatorView(ActivityIndicatorView::Style::WhiteLarge, this);
    wheel->startAnimating();
    indicator_ = wheel;
  }
  indicator_->show();
}

void KvProgressHUD::relayout() {
  const double w = width();
  const double h = height();
  const double m = margin_;
  const double maxLabel = std::max(0.0, w - 4 * m);
  QSizeF ind = indicator_ ? QSizeF(indicator_->size()) : QSizeF();
  double boxW = ind.width() + 2 * m;
  double boxH = ind.height() + 2 * m;

  QSizeF label, details;
  bool hasLabel = labelText_.has_value();
  bool hasDetails = hasLabel && detailsLabelText_.has_value();
  if (hasLabel) {
    QFontMetricsF fm(labelFont_);
    label = {std::min(fm.horizontalAdvance(*labelText_), maxLabel), fm.height()};
    boxW = std::max(boxW, label.width() + 2 * m);
    boxH += label.height() + kPadding;
  }
  if (hasDetails) {
    QFontMetricsF fm(detailsLabelFont_);
    details = {std::min(fm.horizontalAdvance(*detailsLabelText_), maxLabel), fm.height()};
    boxW = std::max(boxW, details.width() + 2 * m);
    boxH += details.height() + kPadding;
  }
  box_ = QRectF((w - boxW) / 2 + xOffset_, (h - boxH) / 2 + yOffset_, boxW, boxH);
  boxWidth_ = static_cast<float>(boxW);
  boxHeight_ = static_cast<float>(boxH);

  double y = box_.top() + m;
  double centreX = box_.center().x();
  if (indicator_) {
    indicator_->move(static_cast<int>(std::lround(centreX - ind.width() / 2)),
                     static_cast<int>(std::lround(y)));
    y += ind.height() + kPadding;
  }
  labelRect_ =
      hasLabel ? QRectF(centreX - label.width() / 2, y, label.width(), label.height()) : QRectF();
  if (hasLabel) y += label.height() + kPadding;
  detailsRect_ = hasDetails
                     ? QRectF(centreX - details.width() / 2, y, details.width(), details.height())
                     : QRectF();
}

void KvProgressHUD::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  if (dimBackground_) {
    QPointF centre(width() / 2.0, height() / 2.0);
    QRadialGradient gradient(centre, std::min(width(), height()));
    gradient.setColorAt(0, QColor(0, 0, 0, 0));
    gradient.setColorAt(1, QColor(0, 0, 0, 191));
    p.fillRect(rect(), gradient);
  }
  QPainterPath path;
  path.addRoundedRect(box_, kCornerRadius, kCornerRadius);
  QColor black(0, 0, 0);
  black.setAlphaF(std::clamp(opacity_, 0.0f, 1.0f));
  p.fillPath(path, black);

  p.setPen(Qt::white);
  if (!labelRect_.isEmpty()) {
    p.setFont(labelFont_);
    QString text =
        QFontMetricsF(labelFont_).elidedText(*labelText_, Qt::ElideRight, labelRect_.width() + 0.5);
    p.drawText(labelRect_, Qt::AlignCenter, text);
  }
  if (!detailsRect_.isEmpty()) {
    p.setFont(detailsLabelFont_);
    QString text = QFontMetricsF(detailsLabelFont_)
                       .elidedText(*detailsLabelText_, Qt::ElideRight, detailsRect_.width() + 0.5);
    p.drawText(detailsRect_, Qt::AlignCenter, text);
  }
}

bool KvProgressHUD::event(QEvent* event) {
  if (event->type() == QEvent::ParentChange) {
    if (watchedParent_) watchedParent_->removeEventFilter(this);
    watchedParent_ = parentWidget();
    if (watchedParent_) watchedParent_->installEventFilter(this);
  }
  return QWidget::event(event);
}

// The overlay keeps its size when its view is resized and shares the change out between the
// margins on either side (flexible margins), so it stays centred.
bool KvProgressHUD::eventFilter(QObject* watched, QEvent* event) {
  if (watched == watchedParent_ && event->type() == QEvent::Resize) {
    auto* resize = static_cast<QResizeEvent*>(event);
    if (resize->oldSize().isValid()) {
      auto share = [](int position, int size, int oldTotal, int newTotal) {
        int free = oldTotal - size;
        double fraction = free > 0 ? double(position) / free : 0.5;
        return position + static_cast<int>(std::lround((newTotal - oldTotal) * fraction));
      };
      move(share(x(), width(), resize->oldSize().width(), resize->size().width()),
           share(y(), height(), resize->oldSize().height(), resize->size().height()));
    }
  }
  return false;
}

}  // namespace est::ui
