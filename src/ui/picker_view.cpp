#include "ui/picker_view.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QWheelEvent>
#include <cmath>

#include "ui/animation.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"

namespace est::ui {
namespace {
constexpr double kGap = 4;
constexpr double kOvershoot = 0.4;  // rows a column may be pulled past its ends
}  // namespace

PickerView::PickerView(QWidget* parent)
    : QWidget(parent), textColor_(colorWithHexString("1c2a33")) {
  setFont(systemFont(21));
  // Reached with Tab only: a tap on the wheel must not end a field's editing.
  setFocusPolicy(Qt::TabFocus);
  setAccessibleRole(this, QAccessible::SpinBox);
}

PickerView::~PickerView() {
  for (auto& column : columns_)
    if (column.animation) cancelAnimation(column.animation);
}

void PickerView::setDataSource(PickerViewDataSource* source) {
  dataSource_ = source;
  reloadAllComponents();
}

void PickerView::setDelegate(PickerViewDelegate* delegate) {
  delegate_ = delegate;
  reloadAllComponents();
}

void PickerView::reloadAllComponents() {
  int count = dataSource_ ? std::max(0, dataSource_->numberOfComponents(this)) : 0;
  for (size_t c = static_cast<size_t>(count); c < columns_.size(); ++c)
    if (columns_[c].animation) cancelAnimation(columns_[c].animation);
  columns_.resize(static_cast<size_t>(count));
  for (int c = 0; c < count; ++c) loadColumn(c);
  layoutColumns();
  update();
}

void PickerView::reloadComponent(int component) {
  if (component < 0 || component >= numberOfComponents()) return;
  loadColumn(component);
  layoutColumns();
  update();
}

void PickerView::loadColumn(int c) {
  Column& column = columns_[static_cast<size_t>(c)];
  if (column.animation) cancelAnimation(std::exchange(column.animation, 0));
  column.rows = dataSource_ ? std::max(0, dataSource_->numberOfRowsInComponent(this, c)) : 0;
  column.rowHeight = delegate_ ? delegate_->rowHeightForComponent(this, c) : 40;
  if (column.rowHeight <= 0) column.rowHeight = 40;
  column.titles.resize(column.rows);
  for (int r = 0; r < column.rows; ++r)
    column.titles[r] = delegate_ ? delegate_->titleForRow(this, r, c) : QString();
  if (column.rows == 0)
    column.selected = -1;
  else
    column.selected = std::clamp(column.selected, 0, column.rows - 1);
  column.position = std::max(0, column.selected);
}

void PickerView::layoutColumns() {
  int count = numberOfComponents();
  double fixed = 0;
  int shared = 0;
  for (int c = 0; c < count; ++c) {
    double w = delegate_ ? delegate_->widthForComponent(this, c) : 0;
    columns_[static_cast<size_t>(c)].width = w;
    if (w > 0)
      fixed += w;
    else
      ++shared;
  }
  double free = width() - fixed - kGap * std::max(0, count - 1);
  for (auto& column : columns_)
    if (column.width <= 0) column.width = shared ? std::max(0.0, free / shared) : 0;
}

int PickerView::numberOfRowsInComponent(int component) const {
  if (component < 0 || component >= numberOfComponents()) return 0;
  return columns_[static_cast<size_t>(component)].rows;
}

int PickerView::selectedRowInComponent(int component) const {
  if (component < 0 || component >= numberOfComponents()) return -1;
  return columns_[static_cast<size_t>(component)].selected;
}

QSizeF PickerView::rowSizeForComponent(int component) const {
  if (component < 0 || component >= numberOfComponents()) return {};
  const Column& column = columns_[static_cast<size_t>(component)];
  return {column.width, column.rowHeight};
}

QString PickerView::titleForRow(int row, int component) const {
  if (component < 0 || component >= numberOfComponents()) return {};
  const Column& column = columns_[static_cast<size_t>(component)];
  return row >= 0 && row < column.rows ? column.titles[row] : QString();
}

void PickerView::selectRow(int row, int component, bool animated) {
  if (component < 0 || component >= numberOfComponents()) return;
  if (row < 0 || row >= columns_[static_cast<size_t>(component)].rows) return;
  settle(component, row, animated, false);
}

void PickerView::settle(int c, int row, bool animated, bool tell) {
  Column& column = columns_[static_cast<size_t>(c)];
  if (column.animation) cancelAnimation(std::exchange(column.animation, 0));
  column.selected = row;
  QPointer<PickerView> self(this);
  double from = column.position;
  auto step = [self, c, from, row](double t) {
    if (!self || c >= self->numberOfComponents()) return;
    self->columns_[static_cast<size_t>(c)].position = from + (row - from) * t;
    self->update();
  };
  auto done = [self, c, row, tell](bool finished) {
    if (!self || c >= self->numberOfComponents()) return;
    self->columns_[static_cast<size_t>(c)].animation = 0;
    if (finished && tell && self->delegate_) self->delegate_->didSelectRow(self, row, c);
  };
  double distance = std::abs(row - from);
  double duration = animated ? std::min(0.45, 0.18 + 0.04 * distance) : 0;
  auto id = animate(duration, step, done, AnimationCurve::EaseOut);
  if (self && id) columns_[static_cast<size_t>(c)].animation = id;
}

void PickerView::setTextColor(const QColor& color) {
  textColor_ = color;
  update();
}

QSize PickerView::sizeHint() const {
  return {320, 216};
}

void PickerView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutColumns();
}

QRectF PickerView::columnRect(int component) const {
  double total = kGap * std::max(0, numberOfComponents() - 1);
  for (const auto& column : columns_) total += column.width;
  double x = (width() - total) / 2;
  for (int c = 0; c < component; ++c) x += columns_[static_cast<size_t>(c)].width + kGap;
  return {x, 0, columns_[static_cast<size_t>(component)].width, static_cast<double>(height())};
}

int PickerView::columnAt(double x) const {
  for (int c = 0; c < numberOfComponents(); ++c) {
    QRectF r = columnRect(c);
    if (x >= r.left() - kGap / 2 && x < r.right() + kGap / 2) return c;
  }
  return -1;
}

void PickerView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  double centre = height() / 2.0;
  double band = numberOfComponents() ? columns_[0].rowHeight : 40;

  // The selection band: a faint wash between two hairlines across the whole picker.
  QRectF bandRect(0, centre - band / 2, width(), band);
  QColor wash = textColor_;
  wash.setAlphaF(0.05);
  p.fillRect(bandRect, wash);
  QColor line = textColor_;
  line.setAlphaF(0.22);
  p.setPen(QPen(line, 1));
  p.drawLine(QPointF(0, bandRect.top() + 0.5), QPointF(width(), bandRect.top() + 0.5));
  p.drawLine(QPointF(0, bandRect.bottom() - 0.5), QPointF(width(), bandRect.bottom() - 0.5));

  if (hasFocus() && numberOfComponents()) {
    int c = std::clamp(keyColumn_, 0, numberOfComponents() - 1);
    QRectF ring = columnRect(c);
    ring = QRectF(ring.left() + 1, bandRect.top() + 1, ring.width() - 2, bandRect.height() - 2);
    p.setPen(QPen(textColor_, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(ring, 6, 6);
  }

  for (int c = 0; c < numberOfComponents(); ++c) {
    const Column& column = columns_[static_cast<size_t>(c)];
    QRectF area = columnRect(c);
    p.save();
    p.setClipRect(area);
    double h = column.rowHeight;
    int first = static_cast<int>(std::floor(column.position - centre / h)) - 1;
    int last = static_cast<int>(std::ceil(column.position + centre / h)) + 1;
    for (int r = std::max(0, first); r <= std::min(column.rows - 1, last); ++r) {
      double offset = r - column.position;
      // The rows sit on a drum whose radius is half the picker's height: further from the
      // band they crowd together, flatten and fade, and past the drum's edge they are gone.
      double radius = std::max(h, centre);
      double angle = offset * h / radius;
      if (std::abs(angle) >= M_PI / 2) continue;
      double y = centre + std::sin(angle) * radius;
      double squash = std::cos(angle);
      QFont font = this->font();
      bool chosen = std::abs(offset) < 0.5;
      if (chosen) font.setWeight(QFont::DemiBold);
      p.setFont(font);
      QColor ink = textColor_;
      ink.setAlphaF(std::clamp(1.0 - std::abs(offset) * 0.28, 0.18, 1.0));
      p.setPen(ink);
      QFontMetricsF metrics(font);
      QString text = metrics.elidedText(column.titles[r], Qt::ElideRight, area.width() - 8);
      p.save();
      p.translate(area.center().x(), y);
      p.scale(1.0, squash);
      p.drawText(QRectF(-area.width() / 2, -h / 2, area.width(), h), Qt::AlignCenter, text);
      p.restore();
    }
    p.restore();
  }
}

void PickerView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  dragColumn_ = columnAt(event->position().x());
  if (dragColumn_ < 0 || columns_[static_cast<size_t>(dragColumn_)].rows == 0) {
    dragColumn_ = -1;
    return;
  }
  Column& column = columns_[static_cast<size_t>(dragColumn_)];
  if (column.animation) cancelAnimation(std::exchange(column.animation, 0));
  dragStartY_ = event->position().y();
  dragStartPosition_ = column.position;
  dragMoved_ = false;
}

void PickerView::mouseMoveEvent(QMouseEvent* event) {
  if (dragColumn_ < 0) return;
  Column& column = columns_[static_cast<size_t>(dragColumn_)];
  double dy = event->position().y() - dragStartY_;
  if (std::abs(dy) > 3) dragMoved_ = true;
  if (!dragMoved_) return;
  column.position = std::clamp(dragStartPosition_ - dy / column.rowHeight, -kOvershoot,
                               column.rows - 1 + kOvershoot);
  update();
}

void PickerView::mouseReleaseEvent(QMouseEvent* event) {
  if (dragColumn_ < 0 || event->button() != Qt::LeftButton) return;
  int c = std::exchange(dragColumn_, -1);
  Column& column = columns_[static_cast<size_t>(c)];
  double target = column.position;
  if (!dragMoved_) {
    // Back from the drum to a row: the inverse of the drawing's projection.
    double radius = std::max(column.rowHeight, height() / 2.0);
    double across = std::clamp((event->position().y() - height() / 2.0) / radius, -1.0, 1.0);
    target += std::asin(across) * radius / column.rowHeight;
  }
  int row = std::clamp(static_cast<int>(std::lround(target)), 0, column.rows - 1);
  settle(c, row, true, true);
}

void PickerView::stepRow(int c, int steps) {
  const Column& column = columns_[static_cast<size_t>(c)];
  int from = std::max(0, column.selected);
  int row = std::clamp(from + steps, 0, column.rows - 1);
  if (row != column.selected) settle(c, row, true, true);
}

void PickerView::wheelEvent(QWheelEvent* event) {
  int c = columnAt(event->position().x());
  int amount = event->angleDelta().y();
  if (c < 0 || amount == 0 || columns_[static_cast<size_t>(c)].rows == 0) {
    event->ignore();
    return;
  }
  event->accept();
  // Touch pads send small deltas; a notch is 120 and moves one row.
  wheelAccumulator_ += amount;
  int notches = wheelAccumulator_ / 120;
  wheelAccumulator_ -= notches * 120;
  if (notches) stepRow(c, -notches);
}

void PickerView::keyPressEvent(QKeyEvent* event) {
  int count = numberOfComponents();
  if (count == 0) {
    QWidget::keyPressEvent(event);
    return;
  }
  keyColumn_ = std::clamp(keyColumn_, 0, count - 1);
  switch (event->key()) {
    case Qt::Key_Up:
      if (columns_[static_cast<size_t>(keyColumn_)].rows) stepRow(keyColumn_, -1);
      return;
    case Qt::Key_Down:
      if (columns_[static_cast<size_t>(keyColumn_)].rows) stepRow(keyColumn_, 1);
      return;
    case Qt::Key_Left:
      keyColumn_ = std::max(0, keyColumn_ - 1);
      update();
      return;
    case Qt::Key_Right:
      keyColumn_ = std::min(count - 1, keyColumn_ + 1);
      update();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

}  // namespace est::ui
