#pragma once

#include <QFont>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/run_loop.h"
#include "ui/animation.h"

namespace est::ui {

class KvProgressHUD;

enum class KvProgressHUDMode {
  Indeterminate = 0,  // spinning wheel
  Determinate = 1,    // KvRoundProgressView showing progress()
  CustomView = 2,     // customView(); the spinning wheel while there is none
};

enum class KvProgressHUDAnimation { Fade = 0, Zoom = 1 };

// Told when an overlay has been hidden. Implement either hook; the one with the overlay is
// called, and by default passes on to the one without.
class KvProgressHUDDelegate {
 public:
  virtual ~KvProgressHUDDelegate() = default;
  virtual void hudWasHidden(KvProgressHUD* hud) {
    (void)hud;
    hudWasHidden();
  }
  virtual void hudWasHidden() {}
};

// The error domain of an overlay asked for with no view.
inline constexpr const char* kKvProgressHUDViewIsNillException = "KvProgressHUDViewIsNillException";

// The modal busy overlay: a translucent dark rounded box centred on a view, holding a
// spinning wheel (or a round progress pie, or a view of the caller's) and up to two lines of
// text. It covers the whole view it is added to, so while shown it takes the clicks meant
// for that view's controls. Its grace, minimum-show and delayed-hide timers and its fades run
// on the UI main loop (virtual time in tests). Main thread only, except the setters, which
// forward their work to the main thread when called from another one.
class KvProgressHUD : public QWidget {
  Q_OBJECT

 public:
  // A hidden overlay with the view's bounds as its frame, not yet added to the view. A null
  // view fails with kKvProgressHUDViewIsNillException and the reason "The view used in the
  // KvProgressHUD initializer is nil.".
  static std::unique_ptr<KvProgressHUD> initWithView(QWidget* view, Error* error = nullptr);
  static std::unique_ptr<KvProgressHUD> initWithWindow(QWidget* window, Error* error = nullptr);

  // Makes an overlay for `view`, adds it on top of the view's children (the view owns it) and
  // shows it. Null (and a log line) when `view` is null.
  static KvProgressHUD* showHUDAddedTo(QWidget* view, bool animated);
  // Hides and removes the topmost overlay of `view` that is not already on its way out;
  // answers false when there is none. One call removes one overlay.
  static bool hideHUDForView(QWidget* view, bool animated);

  ~KvProgressHUD() override;

  using QWidget::hide;
  using QWidget::show;
  void show(bool animated);
  void hide(bool animated);
  // hide(animated) after `delay` seconds.
  void hide(bool animated, double delay);
  // Runs `method` on a new background thread while the overlay shows; when it returns, the
  // main thread clears taskInProgress, releases `method` (and whatever it holds) and hides
  // the overlay. The main loop must outlive the method.
  void showWhileExecuting(std::function<void()> method, bool animated);

  KvProgressHUDMode mode() const { return mode_; }
  void setMode(KvProgressHUDMode mode);
  KvProgressHUDAnimation animationType() const { return animationType_; }
  void setAnimationType(KvProgressHUDAnimation type);
  const std::optional<QString>& labelText() const { return labelText_; }
  void setLabelText(std::optional<QString> text);
  const std::optional<QString>& detailsLabelText() const { return detailsLabelText_; }
  void setDetailsLabelText(std::optional<QString> text);
  const QFont& labelFont() const { return labelFont_; }
  void setLabelFont(const QFont& font);
  const QFont& detailsLabelFont() const { return detailsLabelFont_; }
  void setDetailsLabelFont(const QFont& font);
  float opacity() const { return opacity_; }
  void setOpacity(float opacity);
  float margin() const { return margin_; }
  void setMargin(float margin);
  float xOffset() const { return xOffset_; }
  void setXOffset(float offset);
  float yOffset() const { return yOffset_; }
  void setYOffset(float offset);
  bool dimBackground() const { return dimBackground_; }
  void setDimBackground(bool dim);
  float graceTime() const { return graceTime_; }
  void setGraceTime(float seconds);
  float minShowTime() const { return minShowTime_; }
  void setMinShowTime(float seconds);
  bool removeFromSuperViewOnHide() const { return removeFromSuperViewOnHide_; }
  void setRemoveFromSuperViewOnHide(bool remove);
  // Owned by the overlay from here on; the previous one is destroyed.
  QWidget* customView() const { return customView_; }
  void setCustomView(QWidget* view);
  float progress() const { return progress_; }
  void setProgress(float progress);
  KvProgressHUDDelegate* delegate() const { return delegate_; }
  void setDelegate(KvProgressHUDDelegate* delegate);
  bool taskInProgress() const { return taskInProgress_; }
  void setTaskInProgress(bool running);

  // The box's size from the last layout (the phone's `width` and `height` of the overlay;
  // renamed because QWidget's width() and height() are the overlay's own frame).
  float boxWidth() const { return boxWidth_; }
  float boxHeight() const { return boxHeight_; }
  QRectF boxRect() const { return box_; }

  // 0 hidden, 1 shown, in between while fading.
  double alpha() const;
  bool isFinished() const { return finished_; }
  // Whether a hide has been asked for since the last show and has not finished yet.
  bool isHiding() const { return hiding_; }
  std::optional<std::chrono::steady_clock::time_point> showStarted() const { return showStarted_; }
  // The view in the box: the wheel, the pie or the custom view.
  QWidget* indicator() const { return indicator_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit KvProgressHUD(QWidget* view);

  // Runs `work` now on the main thread, or queues it there from another thread.
  void onMain(std::function<void()> work);
  void updateIndicators();
  void relayout();
  void showUsingAnimation(bool animated);
  void hideUsingAnimation(bool animated);
  void done();
  void cleanUp();

  KvProgressHUDMode mode_ = KvProgressHUDMode::Indeterminate;
  KvProgressHUDAnimation animationType_ = KvProgressHUDAnimation::Fade;
  std::optional<QString> labelText_;
  std::optional<QString> detailsLabelText_;
  QFont labelFont_;
  QFont detailsLabelFont_;
  float opacity_ = 0.8f;
  float margin_ = 20;
  float xOffset_ = 0;
  float yOffset_ = 0;
  bool dimBackground_ = false;
  float graceTime_ = 0;
  float minShowTime_ = 0;
  bool removeFromSuperViewOnHide_ = false;
  QPointer<QWidget> customView_;
  float progress_ = 0;
  KvProgressHUDDelegate* delegate_ = nullptr;
  bool taskInProgress_ = false;

  float boxWidth_ = 0;
  float boxHeight_ = 0;
  QRectF box_;
  QRectF labelRect_;
  QRectF detailsRect_;

  QPointer<QWidget> indicator_;
  RunLoop* loop_;
  bool useAnimation_ = false;
  bool finished_ = false;
  bool hiding_ = false;
  std::optional<std::chrono::steady_clock::time_point> showStarted_;
  ScopedTimer graceTimer_;
  ScopedTimer minShowTimer_;
  std::vector<std::unique_ptr<ScopedTimer>> delayedHides_;
  AnimationId transition_ = 0;
  QPointer<QWidget> watchedParent_;
  std::shared_ptr<std::function<void()>> task_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace est::ui
