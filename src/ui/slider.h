#pragma once

#include <QColor>
#include <QWidget>

namespace est::ui {

// A horizontal slider over a floating-point range. The value always stays within
// [minimumValue, maximumValue]: moving a bound past the value drags the value along, and
// moving one bound past the other drags that one too. valueChanged is sent while the user
// drags (not for values set in code); released when the user lets go. Arrow keys and the
// mouse wheel move it by one step, from one multiple of the step to the next.
class Slider : public QWidget {
  Q_OBJECT
  Q_PROPERTY(float value READ value WRITE setValue)
  Q_PROPERTY(float minimumValue READ minimumValue WRITE setMinimumValue)
  Q_PROPERTY(float maximumValue READ maximumValue WRITE setMaximumValue)
  Q_PROPERTY(QColor minimumTrackColor READ minimumTrackColor WRITE setMinimumTrackColor)
  Q_PROPERTY(QColor maximumTrackColor READ maximumTrackColor WRITE setMaximumTrackColor)

 public:
  explicit Slider(QWidget* parent = nullptr);

  float value() const { return value_; }
  // Clamped into the range; animated moves the thumb over kPanelAnimationDuration.
  void setValue(float value, bool animated = false);
  float minimumValue() const { return minimum_; }
  void setMinimumValue(float minimum);
  float maximumValue() const { return maximum_; }
  void setMaximumValue(float maximum);
  // What one key press or wheel notch moves; zero or less means a tenth of the range.
  float step() const { return step_; }
  void setStep(float step) { step_ = step; }

  // The filled part left of the thumb, and the rest.
  QColor minimumTrackColor() const { return minimumTrack_; }
  void setMinimumTrackColor(const QColor& color);
  QColor maximumTrackColor() const { return maximumTrack_; }
  void setMaximumTrackColor(const QColor& color);

  bool isTracking() const { return tracking_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  void valueChanged(float value);
  void released();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  float valueAt(double x) const;
  QRectF trackRect() const;
  QPointF thumbCentre(float value) const;
  void userMove(float value);
  void stepBy(int steps);

  float value_ = 0;
  float minimum_ = 0;
  float maximum_ = 1;
  float shown_ = 0;  // the value drawn, which lags value_ while an animation runs
  QColor minimumTrack_;
  QColor maximumTrack_;
  bool tracking_ = false;
  double grabOffset_ = 0;
  float step_ = 0;
  int wheelAccumulator_ = 0;
};

}  // namespace est::ui
