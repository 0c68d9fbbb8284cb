#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <optional>
#include <vector>

namespace est::ui {

class TableView;

struct IndexPath {
  int section = 0;
  int row = 0;
  friend bool operator==(const IndexPath&, const IndexPath&) = default;
};

// One row's view. Cells are made by the data source, kept by the table and handed back for
// reuse through dequeueReusableCell() with the identifier they were made with. Put the
// row's views in contentView().
class TableViewCell : public QWidget {
  Q_OBJECT

 public:
  explicit TableViewCell(const QString& reuseIdentifier = {}, QWidget* parent = nullptr);

  const QString& reuseIdentifier() const { return reuseIdentifier_; }
  QWidget* contentView() const { return content_; }

  // The fill behind the content (transparent by default: the table's background shows).
  void setBackgroundColor(const QColor& color);
  QColor backgroundColor() const { return background_; }

  // The row the cell shows now; -1 while waiting for reuse.
  IndexPath indexPath() const { return indexPath_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  friend class TableView;
  QString reuseIdentifier_;
  QWidget* content_;
  QColor background_ = Qt::transparent;
  QColor separator_ = Qt::transparent;
  IndexPath indexPath_{-1, -1};
};

// A cell whose content comes from a Qt Designer layout (AUTOUIC's Ui:: class). Its views are
// found by tag (viewWithTag) or through the returned layout object.
template <class Layout>
TableViewCell* cellFromLayout(const QString& reuseIdentifier, Layout* layout = nullptr) {
  auto* cell = new TableViewCell(reuseIdentifier);
  Layout local;
  Layout& ui = layout ? *layout : local;
  ui.setupUi(cell->contentView());
  cell->resize(cell->contentView()->size());
  return cell;
}

class TableViewDataSource {
 public:
  virtual ~TableViewDataSource() = default;
  virtual int numberOfSections(TableView* table) {
    (void)table;
    return 1;
  }
  virtual int numberOfRowsInSection(TableView* table, int section) = 0;
  // Ask the table for a reusable cell first; make one when it has none. The table owns it.
  virtual TableViewCell* cellForRow(TableView* table, IndexPath path) = 0;
};

class TableViewDelegate {
 public:
  virtual ~TableViewDelegate() = default;
  // Zero or less uses the table's rowHeight().
  virtual double heightForRow(TableView* table, IndexPath path) {
    (void)table, (void)path;
    return 0;
  }
  virtual double heightForHeaderInSection(TableView* table, int section) {
    (void)table, (void)section;
    return 0;
  }
  virtual double heightForFooterInSection(TableView* table, int section) {
    (void)table, (void)section;
    return 0;
  }
  virtual void didSelectRow(TableView* table, IndexPath path) { (void)table, (void)path; }
};

// A vertically scrolling list of rows in sections. Only the rows in sight have cells; a cell
// that scrolls out of sight, and every cell at reloadData(), waits for reuse under its
// identifier. The user drags or turns the mouse wheel to scroll and clicks a row to select it.
class TableView : public QWidget {
  Q_OBJECT

 public:
  explicit TableView(QWidget* parent = nullptr);

  void setDataSource(TableViewDataSource* source);
  void setDelegate(TableViewDelegate* delegate);

  void reloadData();
  // A cell waiting for reuse under `identifier`, or null; the data source then makes one.
  TableViewCell* dequeueReusableCell(const QString& identifier);

  int numberOfSections() const { return static_cast<int>(sections_.size()); }
  int numberOfRowsInSection(int section) const;
  // The cell showing that row, when it is in sight.
  TableViewCell* cellForRow(IndexPath path) const;
  QList<TableViewCell*> visibleCells() const;
  QRectF rectForRow(IndexPath path) const;

  double rowHeight() const { return rowHeight_; }
  void setRowHeight(double height);
  void setSeparatorColor(const QColor& color);  // transparent for none (the default)

  double contentHeight() const { return contentHeight_; }
  double contentOffset() const { return offset_; }
  void setContentOffset(double y);
  void scrollToRow(IndexPath path);
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool enabled) { scrollEnabled_ = enabled; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  struct Section {
    double header = 0;
    double footer = 0;
    std::vector<double> tops;  // row tops in content coordinates
    std::vector<double> heights;
  };
  void measure();
  void layoutCells();
  void recycle(TableViewCell* cell);
  std::optional<IndexPath> rowAt(double contentY) const;

  TableViewDataSource* dataSource_ = nullptr;
  TableViewDelegate* delegate_ = nullptr;
  std::vector<Section> sections_;
  double rowHeight_ = 44;
  double contentHeight_ = 0;
  double offset_ = 0;
  bool scrollEnabled_ = true;
  QColor separator_ = Qt::transparent;
  QList<QPointer<TableViewCell>> visible_;
  QHash<QString, QList<QPointer<TableViewCell>>> reusable_;

  bool pressed_ = false;
  bool dragged_ = false;
  double pressY_ = 0;
  double pressOffset_ = 0;
};

}  // namespace est::ui
