#pragma once

#include <QColor>
#include <QWidget>

#include "platform/run_loop.h"

namespace est::ui {

// The spinning busy wheel: twelve spokes fading behind the leading one, stepping round about
// once a second on the UI main loop while the indicator is shown and animating. The large
// style is 37 × 37 points, the small 20 × 20.
class ActivityIndicatorView : public QWidget {
  Q_OBJECT

 public:
  enum class Style { WhiteLarge, White, Gray };

  explicit ActivityIndicatorView(Style style = Style::WhiteLarge, QWidget* parent = nullptr);
  ~ActivityIndicatorView() override;

  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return animating_; }
  // Which spoke leads (0..11); it moves on every step.
  int phase() const { return phase_; }

  void setColor(const QColor& color);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void arm();

  Style style_;
  QColor color_;
  bool animating_ = false;
  int phase_ = 0;
  ScopedTimer timer_;
};

}  // namespace est::ui
