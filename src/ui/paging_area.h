#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <chrono>
#include <deque>

#include "ui/animation.h"

namespace est::ui {

class PagingArea;

// Told how the content moves. Every hook is optional.
class PagingAreaDelegate {
 public:
  virtual ~PagingAreaDelegate() = default;
  // Any change of the offset: a drag, a settling swipe, an animated scroll, or set in code.
  virtual void scrollViewDidScroll(PagingArea* area) { (void)area; }
  // A swipe of the user's has come to rest (on a page boundary).
  virtual void scrollViewDidEndDecelerating(PagingArea* area) { (void)area; }
  // An animated setContentOffset has arrived.
  virtual void scrollViewDidEndScrollingAnimation(PagingArea* area) { (void)area; }
};

// A horizontally paging scroll area: its content is a row of pages as wide as the area itself
// (320 points in the phone window). Views are placed in the content with frames in content
// coordinates. The user swipes with the mouse (or a touch pad) from the content's background:
// a press that starts on a control (button, field, slider, picker) belongs to that control
// until it is released. A press on the background that then moves sideways drags the
// content (a table row pressed on the way lets go); on release it settles on the nearest
// page, or on the next one in the direction of a quick flick, and the delegate hears
// scrollViewDidEndDecelerating. Vertical drags are left to the views under the pointer
// (tables). Whenever the content comes to rest on a page, the focus follows (input_scope.h).
class PagingArea : public QWidget {
  Q_OBJECT

 public:
  explicit PagingArea(QWidget* parent = nullptr);
  ~PagingArea() override;

  void setDelegate(PagingAreaDelegate* delegate) { delegate_ = delegate; }
  PagingAreaDelegate* delegate() const { return delegate_; }

  // The widget that holds the pages; add views with addSubview().
  QWidget* contentView() const { return content_; }
  // Adds `view` to the content at its current frame, on top.
  void addSubview(QWidget* view);
  // Takes every view out of the content; their owners keep them.
  void removeAllSubviews();
  QList<QWidget*> subviews() const;
  bool containsView(const QWidget* view) const;

  double contentWidth() const { return contentWidth_; }
  void setContentWidth(double width);
  double contentOffset() const { return offset_; }
  // Not clamped, as on the phone: code may show any part of the content.
  void setContentOffset(double x, bool animated);
  double pageWidth() const { return width(); }
  // The page under the left edge: integer part of offset / page width.
  int currentPage() const;
  int numberOfPages() const;

  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool enabled);

  bool isDragging() const { return dragging_; }
  bool isDecelerating() const { return decelerating_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  bool ownsTarget(QObject* target) const;
  bool handleMouse(QWidget* target, QMouseEvent* event);
  void applyOffset(double x);
  void stopMotion();
  void settle(double velocity);
  void cancelPress();

  QWidget* content_;
  PagingAreaDelegate* delegate_ = nullptr;
  double contentWidth_ = 0;
  double offset_ = 0;
  bool scrollEnabled_ = true;

  // The gesture in progress.
  bool tracking_ = false;
  bool dragging_ = false;
  bool decelerating_ = false;
  bool ignoreGesture_ = false;
  bool sendingCancel_ = false;
  bool swallowed_ = false;  // the press only stopped a moving page
  QPointF pressGlobal_;
  double pressOffset_ = 0;
  QPointer<QWidget> pressTarget_;
  struct Sample {
    std::chrono::steady_clock::time_point at;
    double x;
  };
  std::deque<Sample> samples_;
  AnimationId motion_ = 0;
  double wheelAccumulator_ = 0;
};

}  // namespace est::ui
