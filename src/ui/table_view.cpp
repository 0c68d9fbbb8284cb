#include "ui/table_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <cmath>

#include "platform/log.h"

namespace est::ui {
namespace {
constexpr int kMaxWaitingCells = 16;  // per identifier: enough for a screenful and some
}

TableViewCell::TableViewCell(const QString& reuseIdentifier, QWidget* parent)
    : QWidget(parent), reuseIdentifier_(reuseIdentifier), content_(new QWidget(this)) {
  content_->setObjectName(QStringLiteral("contentView"));
}

void TableViewCell::setBackgroundColor(const QColor& color) {
  background_ = color;
  update();
}

void TableViewCell::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  content_->setGeometry(rect());
}

void TableViewCell::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (background_.alpha() > 0) p.fillRect(rect(), background_);
  if (separator_.alpha() > 0) p.fillRect(QRectF(0, height() - 0.5, width(), 0.5), separator_);
}

TableView::TableView(QWidget* parent) : QWidget(parent) {}

void TableView::setDataSource(TableViewDataSource* source) {
  dataSource_ = source;
  reloadData();
}

void TableView::setDelegate(TableViewDelegate* delegate) {
  delegate_ = delegate;
  reloadData();
}

void TableView::setRowHeight(double height) {
  rowHeight_ = height > 0 ? height : 44;
  reloadData();
}

void TableView::setSeparatorColor(const QColor& color) {
  separator_ = color;
  for (TableViewCell* cell : visibleCells()) {
    cell->separator_ = color;
    cell->update();
  }
}

int TableView::numberOfRowsInSection(int section) const {
  if (section < 0 || section >= numberOfSections()) return 0;
  return static_cast<int>(sections_[static_cast<size_t>(section)].heights.size());
}

void TableView::measure() {
  sections_.clear();
  double y = 0;
  int count = dataSource_ ? std::max(0, dataSource_->numberOfSections(this)) : 0;
  for (int s = 0; s < count; ++s) {
    Section section;
    section.header = delegate_ ? std::max(0.0, delegate_->heightForHeaderInSection(this, s)) : 0;
    section.footer = delegate_ ? std::max(0.0, delegate_->heightForFooterInSection(this, s)) : 0;
    y += section.header;
    int rows = std::max(0, dataSource_->numberOfRowsInSection(this, s));
    for (int r = 0; r < rows; ++r) {
      double h = delegate_ ? delegate_->heightForRow(this, {s, r}) : 0;
      if (h <= 0) h = rowHeight_;
      section.tops.push_back(y);
      section.heights.push_back(h);
      y += h;
    }
    y += section.footer;
    sections_.push_back(std::move(section));
  }
  contentHeight_ = y;
}

QRectF TableView::rectForRow(IndexPath path) const {
  if (path.section < 0 || path.section >= numberOfSections()) return {};
  const Section& s = sections_[static_cast<size_t>(path.section)];
  if (path.row < 0 || path.row >= static_cast<int>(s.tops.size())) return {};
  return {0, s.tops[static_cast<size_t>(path.row)], static_cast<double>(width()),
          s.heights[static_cast<size_t>(path.row)]};
}

void TableView::recycle(TableViewCell* cell) {
  cell->hide();
  cell->indexPath_ = {-1, -1};
  if (cell->reuseIdentifier().isEmpty()) {
    cell->deleteLater();
    return;
  }
  reusable_[cell->reuseIdentifier()].append(cell);
}

TableViewCell* TableView::dequeueReusableCell(const QString& identifier) {
  auto it = reusable_.find(identifier);
  if (it == reusable_.end()) return nullptr;
  while (!it->isEmpty()) {
    QPointer<TableViewCell> cell = it->takeLast();
    if (cell) return cell;
  }
  return nullptr;
}

void TableView::reloadData() {
  for (const auto& cell : std::exchange(visible_, {}))
    if (cell) recycle(cell);
  measure();
  offset_ = std::clamp(offset_, 0.0, std::max(0.0, contentHeight_ - height()));
  layoutCells();
}

void TableView::layoutCells() {
  double top = offset_;
  double bottom = offset_ + height();
  QList<QPointer<TableViewCell>> kept;
  for (const auto& cell : visible_) {
    if (!cell) continue;
    QRectF r = rectForRow(cell->indexPath_);
    if (r.isEmpty() || r.bottom() <= top || r.top() >= bottom)
      recycle(cell);
    else
      kept.append(cell);
  }
  visible_ = kept;
  for (int s = 0; s < numberOfSections() && dataSource_; ++s) {
    const Section& section = sections_[static_cast<size_t>(s)];
    for (size_t r = 0; r < section.tops.size(); ++r) {
      double y = section.tops[r];
      double h = section.heights[r];
      if (y + h <= top || y >= bottom) continue;
      IndexPath path{s, static_cast<int>(r)};
      TableViewCell* cell = cellForRow(path);
      if (!cell) {
        cell = dataSource_->cellForRow(this, path);
        if (!cell) {
          logf("ui: table data source gave no cell for row %d of section %d", path.row, s);
          continue;
        }
        if (cell->parentWidget() != this) cell->setParent(this);
        for (auto& waiting : reusable_) waiting.removeAll(QPointer<TableViewCell>(cell));
        cell->indexPath_ = path;
        cell->separator_ = separator_;
        visible_.append(cell);
      }
      cell->setGeometry(0, static_cast<int>(std::lround(y - offset_)), width(),
                        static_cast<int>(std::lround(h)));
      cell->show();
    }
  }
  for (auto& waiting : reusable_)
    while (waiting.size() > kMaxWaitingCells) {
      if (auto cell = waiting.takeFirst()) cell->deleteLater();
    }
}

TableViewCell* TableView::cellForRow(IndexPath path) const {
  for (const auto& cell : visible_)
    if (cell && cell->indexPath_ == path) return cell;
  return nullptr;
}

QList<TableViewCell*> TableView::visibleCells() const {
  QList<TableViewCell*> result;
  for (const auto& cell : visible_)
    if (cell) result.append(cell);
  return result;
}

void TableView::setContentOffset(double y) {
  offset_ = std::clamp(y, 0.0, std::max(0.0, contentHeight_ - height()));
  layoutCells();
}

void TableView::scrollToRow(IndexPath path) {
  QRectF r = rectForRow(path);
  if (r.isEmpty()) return;
  if (r.top() < offset_)
    setContentOffset(r.top());
  else if (r.bottom() > offset_ + height())
    setContentOffset(r.bottom() - height());
}

std::optional<IndexPath> TableView::rowAt(double contentY) const {
  for (int s = 0; s < numberOfSections(); ++s) {
    const Section& section = sections_[static_cast<size_t>(s)];
    for (size_t r = 0; r < section.tops.size(); ++r)
      if (contentY >= section.tops[r] && contentY < section.tops[r] + section.heights[r])
        return IndexPath{s, static_cast<int>(r)};
  }
  return std::nullopt;
}

void TableView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  setContentOffset(offset_);
}

void TableView::wheelEvent(QWheelEvent* event) {
  double dy = event->pixelDelta().isNull() ? event->angleDelta().y() / 120.0 * rowHeight_
                                           : event->pixelDelta().y();
  if (!scrollEnabled_ || dy == 0 || contentHeight_ <= height()) {
    event->ignore();
    return;
  }
  setContentOffset(offset_ - dy);
  event->accept();
}

void TableView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  pressed_ = true;
  dragged_ = false;
  pressY_ = event->position().y();
  pressOffset_ = offset_;
}

void TableView::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_) return;
  double dy = event->position().y() - pressY_;
  if (std::abs(dy) > 4) dragged_ = true;
  if (dragged_ && scrollEnabled_) setContentOffset(pressOffset_ - dy);
}

void TableView::mouseReleaseEvent(QMouseEvent* event) {
  if (!pressed_ || event->button() != Qt::LeftButton) return;
  pressed_ = false;
  if (dragged_) return;
  if (auto path = rowAt(event->position().y() + offset_); path && delegate_)
    delegate_->didSelectRow(this, *path);
}

}  // namespace est::ui
