#include "ui/round_progress_view.h"

#include <QPainter>
#include <QPainterPath>

namespace est::ui {

KvRoundProgressView::KvRoundProgressView(QWidget* parent) : QWidget(parent) {
  resize(37, 37);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void KvRoundProgressView::setProgress(float progress) {
  progress_ = progress;
  update();
}

void KvRoundProgressView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QRectF all(rect());
  QRectF circle = all.adjusted(2, 2, -2, -2);
  p.setPen(QPen(Qt::white, 2));
  p.setBrush(QColor(255, 255, 255, 26));
  p.drawEllipse(circle);

  float fraction = std::clamp(progress_, 0.0f, 1.0f);
  if (fraction <= 0) return;
  // Clockwise from twelve o'clock (-90° in the phone's y-down angles).
  QPointF centre = circle.center();
  double radius = circle.width() / 2 - 2;
  QPainterPath pie;
  pie.moveTo(centre);
  pie.arcTo(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), 90.0,
            -360.0 * fraction);
  pie.closeSubpath();
  p.setPen(Qt::NoPen);
  p.fillPath(pie, Qt::white);
}

}  // namespace est::ui
