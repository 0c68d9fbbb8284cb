#pragma once

#include <QWidget>

namespace est::ui {

// The overlay's pie-chart progress indicator: 37 × 37 points on a clear background, a faint
// white disc with a white ring, filled clockwise from the top as progress goes from 0 to 1.
class KvRoundProgressView : public QWidget {
  Q_OBJECT

 public:
  explicit KvRoundProgressView(QWidget* parent = nullptr);

  float progress() const { return progress_; }
  // Redraws the view.
  void setProgress(float progress);

  QSize sizeHint() const override { return {37, 37}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  float progress_ = 0;
};

}  // namespace est::ui
