#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QVector>
#include <QWidget>

namespace est::ui {

class PickerView;

// What a picker shows: its columns ("components") and their row counts.
class PickerViewDataSource {
 public:
  virtual ~PickerViewDataSource() = default;
  virtual int numberOfComponents(PickerView* picker) = 0;
  virtual int numberOfRowsInComponent(PickerView* picker, int component) = 0;
};

// How a picker shows it, and what the user picked. Every hook is optional.
class PickerViewDelegate {
 public:
  virtual ~PickerViewDelegate() = default;
  virtual QString titleForRow(PickerView* picker, int row, int component) {
    (void)picker, (void)row, (void)component;
    return {};
  }
  // A width of zero or less shares the picker's width evenly.
  virtual double widthForComponent(PickerView* picker, int component) {
    (void)picker, (void)component;
    return 0;
  }
  virtual double rowHeightForComponent(PickerView* picker, int component) {
    (void)picker, (void)component;
    return 40;
  }
  // The user brought a row to rest under the selection band (not sent for selectRow()).
  virtual void didSelectRow(PickerView* picker, int row, int component) {
    (void)picker, (void)row, (void)component;
  }
};

// A spinning-wheel picker: columns of rows side by side, the selected row of each resting in
// a band across the middle. The user drags a column, turns the mouse wheel over it (a row a
// notch), clicks a row, or with the keyboard focus (Tab; a click does not take it) moves the
// chosen column's row with the up and down arrows and picks the column with left and right;
// the column settles on a row and the delegate hears didSelectRow. Rows are drawn in
// the widget's font. Counts, titles and sizes are read from the data source and delegate on
// reload and kept until the next one.
class PickerView : public QWidget {
  Q_OBJECT

 public:
  explicit PickerView(QWidget* parent = nullptr);
  ~PickerView() override;

  void setDataSource(PickerViewDataSource* source);
  void setDelegate(PickerViewDelegate* delegate);
  PickerViewDataSource* dataSource() const { return dataSource_; }
  PickerViewDelegate* delegate() const { return delegate_; }

  void reloadAllComponents();
  void reloadComponent(int component);

  int numberOfComponents() const { return static_cast<int>(columns_.size()); }
  int numberOfRowsInComponent(int component) const;
  // -1 when the component has no rows (or does not exist).
  int selectedRowInComponent(int component) const;
  void selectRow(int row, int component, bool animated);
  QSizeF rowSizeForComponent(int component) const;
  QString titleForRow(int row, int component) const;

  void setTextColor(const QColor& color);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Column {
    int rows = 0;
    double width = 0;
    double rowHeight = 40;
    QVector<QString> titles;
    int selected = -1;
    double position = 0;  // the row under the band, fractional while moving
    std::uint64_t animation = 0;
  };
  void loadColumn(int component);
  void layoutColumns();
  QRectF columnRect(int component) const;
  int columnAt(double x) const;
  void settle(int component, int row, bool animated, bool tell);
  void stepRow(int component, int steps);

  PickerViewDataSource* dataSource_ = nullptr;
  PickerViewDelegate* delegate_ = nullptr;
  std::vector<Column> columns_;
  QColor textColor_;

  int dragColumn_ = -1;
  double dragStartY_ = 0;
  double dragStartPosition_ = 0;
  bool dragMoved_ = false;
  int keyColumn_ = 0;
  int wheelAccumulator_ = 0;
};

}  // namespace est::ui
