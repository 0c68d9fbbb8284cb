#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include "ui/picker_view.h"
#include "ui/slider.h"
#include "ui/table_view.h"
#include "ui/test_fixture.h"
#include "ui/text_field.h"
#include "ui/view.h"

namespace est::ui {
namespace {

class ControlsTest : public test::UiTest {};

// ---- slider -------------------------------------------------------------------------------

TEST_F(ControlsTest, SliderKeepsItsValueInsideTheRangeEvenWhenAnimated) {
  Slider slider;
  slider.setMaximumValue(16);
  slider.setValue(10.5f);
  EXPECT_EQ(slider.value(), 10.5f);
  slider.setMaximumValue(4);  // below the value: the value comes down with it
  EXPECT_EQ(slider.value(), 4.0f);
  slider.setMaximumValue(0);
  EXPECT_EQ(slider.value(), 0.0f);
  slider.setMaximumValue(8);
  EXPECT_EQ(slider.value(), 0.0f);  // raising it again does not bring the value back
  slider.setValue(-3);
  EXPECT_EQ(slider.value(), 0.0f);
  slider.setMinimumValue(2);
  EXPECT_EQ(slider.value(), 2.0f);
  slider.setMaximumValue(1);  // below the minimum: the minimum follows
  EXPECT_EQ(slider.minimumValue(), 1.0f);
  EXPECT_EQ(slider.value(), 1.0f);

  // An animated value is there at once; only the drawing follows over the panel duration.
  slider.setMaximumValue(10);
  slider.setValue(8, true);
  EXPECT_EQ(slider.value(), 8.0f);
  loop.advance(Seconds(0.31));
  EXPECT_EQ(slider.value(), 8.0f);
}

TEST_F(ControlsTest, SliderReportsOnlyTheUsersMoves) {
  Slider slider;
  slider.resize(228, 34);  // a 200-point track between the thumb's half widths
  slider.setMaximumValue(10);
  QSignalSpy changed(&slider, &Slider::valueChanged);
  QSignalSpy released(&slider, &Slider::released);
  slider.setValue(5);
  EXPECT_EQ(changed.count(), 0);

  test::press(&slider, {14 + 40, 17});  // off the thumb: jumps there
  EXPECT_FLOAT_EQ(slider.value(), 2.0f);
  test::move(&slider, {14 + 60, 17});
  test::move(&slider, {14 + 500, 17});  // beyond the end
  EXPECT_FLOAT_EQ(slider.value(), 10.0f);
  EXPECT_EQ(released.count(), 0);
  test::release(&slider, {14 + 500, 17});
  EXPECT_EQ(released.count(), 1);
  ASSERT_EQ(changed.count(), 3);
  EXPECT_FLOAT_EQ(changed.at(1).at(0).toFloat(), 3.0f);

  // Taking the thumb where it stands does not make it jump.
  test::press(&slider, {14 + 200 + 5, 17});
  EXPECT_FLOAT_EQ(slider.value(), 10.0f);
  test::move(&slider, {14 + 100 + 5, 17});
  EXPECT_FLOAT_EQ(slider.value(), 5.0f);
  test::release(&slider, {14 + 100 + 5, 17});
}

// One wheel event of `notch` (120 is one notch of a mouse wheel) over the middle of `target`.
void turnWheel(QWidget* target, QPointF at, int notch) {
  QWheelEvent wheel(at, target->mapToGlobal(at), QPoint(), QPoint(0, notch), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(target, &wheel);
}

TEST_F(ControlsTest, SliderStepsFromOneWholeStepToTheNextWithKeysAndWheel) {
  Slider slider;
  slider.resize(228, 34);
  slider.setMaximumValue(16);
  slider.setStep(1);
  QSignalSpy released(&slider, &Slider::released);
  QTest::keyClick(&slider, Qt::Key_Right);
  EXPECT_EQ(slider.value(), 1.0f);
  EXPECT_EQ(released.count(), 1);  // a key press is a whole gesture
  slider.setValue(2.4f);           // left between steps by a drag
  QTest::keyClick(&slider, Qt::Key_Right);
  EXPECT_EQ(slider.value(), 3.0f);
  QTest::keyClick(&slider, Qt::Key_Left);
  QTest::keyClick(&slider, Qt::Key_Down);
  EXPECT_EQ(slider.value(), 1.0f);
  QTest::keyClick(&slider, Qt::Key_End);
  EXPECT_EQ(slider.value(), 16.0f);
  QTest::keyClick(&slider, Qt::Key_Up);  // held at the end
  EXPECT_EQ(slider.value(), 16.0f);

  slider.setValue(5);
  turnWheel(&slider, {100, 17}, -120);
  EXPECT_EQ(slider.value(), 4.0f);
  for (int i = 0; i < 4; ++i) turnWheel(&slider, {100, 17}, 30);  // a touch pad's small deltas
  EXPECT_EQ(slider.value(), 5.0f);
}

// ---- picker -------------------------------------------------------------------------------

class HourPicker : public PickerViewDataSource, public PickerViewDelegate {
 public:
  int rowsInFirst = 8;
  std::vector<std::pair<int, int>> selections;
  int numberOfComponents(PickerView*) override { return 2; }
  int numberOfRowsInComponent(PickerView*, int component) override {
    return component == 0 ? rowsInFirst : 60;
  }
  QString titleForRow(PickerView*, int row, int component) override {
    return component == 0 ? QString::number(row + 10) : QString::asprintf("%02d", row);
  }
  double widthForComponent(PickerView*, int) override { return 150; }
  double rowHeightForComponent(PickerView*, int) override { return 40; }
  void didSelectRow(PickerView*, int row, int component) override {
    selections.emplace_back(row, component);
  }
  // In a picker of the buy page's size.
  void show(PickerView& picker) {
    picker.resize(320, 216);
    picker.setDataSource(this);
    picker.setDelegate(this);
  }
};

TEST_F(ControlsTest, PickerReadsItsShapeFromDataSourceAndDelegate) {
  HourPicker hours;
  PickerView picker;
  hours.show(picker);
  EXPECT_EQ(picker.numberOfComponents(), 2);
  EXPECT_EQ(picker.numberOfRowsInComponent(0), 8);
  EXPECT_EQ(picker.numberOfRowsInComponent(1), 60);
  EXPECT_EQ(picker.titleForRow(7, 0), QStringLiteral("17"));
  EXPECT_EQ(picker.titleForRow(5, 1), QStringLiteral("05"));
  EXPECT_EQ(picker.rowSizeForComponent(1), QSizeF(150, 40));
  EXPECT_EQ(picker.selectedRowInComponent(0), 0);
  EXPECT_EQ(picker.selectedRowInComponent(2), -1);

  picker.selectRow(7, 0, false);
  picker.selectRow(30, 1, true);
  loop.advance(Seconds(1));
  EXPECT_EQ(picker.selectedRowInComponent(0), 7);
  EXPECT_EQ(picker.selectedRowInComponent(1), 30);
  EXPECT_TRUE(hours.selections.empty());  // selections made in code are not reported

  // Fewer rows after a reload: the selection stays inside them; none when there are none.
  hours.rowsInFirst = 3;
  picker.reloadComponent(0);
  EXPECT_EQ(picker.selectedRowInComponent(0), 2);
  hours.rowsInFirst = 0;
  picker.reloadAllComponents();
  EXPECT_EQ(picker.selectedRowInComponent(0), -1);
  EXPECT_EQ(picker.selectedRowInComponent(1), 30);
}

TEST_F(ControlsTest, PickerTakesTabFocusAndMovesOneRowPerKeyOrNotch) {
  HourPicker hours;
  PickerView picker;
  hours.show(picker);
  EXPECT_EQ(picker.focusPolicy(), Qt::TabFocus);  // a click must not end a field's editing
  QTest::keyClick(&picker, Qt::Key_Down);
  QTest::keyClick(&picker, Qt::Key_Down);
  QTest::keyClick(&picker, Qt::Key_Up);
  EXPECT_EQ(picker.selectedRowInComponent(0), 1);
  QTest::keyClick(&picker, Qt::Key_Right);  // the minutes
  QTest::keyClick(&picker, Qt::Key_Up);     // already on the first row
  QTest::keyClick(&picker, Qt::Key_Down);
  EXPECT_EQ(picker.selectedRowInComponent(1), 1);
  loop.advance(Seconds(1));
  EXPECT_EQ(hours.selections.back(), std::make_pair(1, 1));

  turnWheel(&picker, {80, 108}, -120);  // over the hours
  EXPECT_EQ(picker.selectedRowInComponent(0), 2);
  turnWheel(&picker, {80, 108}, 60);
  EXPECT_EQ(picker.selectedRowInComponent(0), 2);
  turnWheel(&picker, {80, 108}, 60);
  EXPECT_EQ(picker.selectedRowInComponent(0), 1);
}

TEST_F(ControlsTest, PickerSettlesOnTheRowTheUserChose) {
  HourPicker hours;
  PickerView picker;
  hours.show(picker);
  // The columns sit side by side in the middle: component 0 spans x 8..158.
  test::press(&picker, {80, 108 + 40});  // a click one row below the band
  test::release(&picker, {80, 108 + 40});
  EXPECT_EQ(picker.selectedRowInComponent(0), 1);
  EXPECT_TRUE(hours.selections.empty());  // told once the wheel comes to rest
  loop.advance(Seconds(0.5));
  ASSERT_EQ(hours.selections.size(), 1u);
  EXPECT_EQ(hours.selections[0], std::make_pair(1, 0));

  // Dragging the second column up by three rows and a bit.
  test::press(&picker, {240, 108});
  test::move(&picker, {240, 108 - 60});
  test::move(&picker, {240, 108 - 130});
  test::release(&picker, {240, 108 - 130});
  loop.advance(Seconds(0.5));
  EXPECT_EQ(picker.selectedRowInComponent(1), 3);
  EXPECT_EQ(hours.selections.back(), std::make_pair(3, 1));

  // Dragging past the end settles on the last row.
  test::press(&picker, {80, 108});
  test::move(&picker, {80, 108 - 2000});
  test::release(&picker, {80, 108 - 2000});
  loop.advance(Seconds(0.5));
  EXPECT_EQ(picker.selectedRowInComponent(0), 7);
}

// ---- text fields --------------------------------------------------------------------------

class FieldJournal : public TextFieldDelegate {
 public:
  QStringList entries;
  bool allowBegin = true;
  bool textFieldShouldBeginEditing(TextField* f) override {
    entries << f->objectName() + QStringLiteral(".shouldBegin");
    return allowBegin;
  }
  void textFieldDidBeginEditing(TextField* f) override {
    entries << f->objectName() + QStringLiteral(".didBegin");
  }
  void textFieldDidEndEditing(TextField* f) override {
    entries << f->objectName() + QStringLiteral(".didEnd");
  }
  bool textFieldShouldReturn(TextField* f) override {
    entries << f->objectName() + QStringLiteral(".shouldReturn");
    return true;
  }
};

class TextFieldTest : public test::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    page.resize(320, 568);
    for (auto* f : {&first, &second}) {
      f->setParent(&page);
      f->setDelegate(&journal);
    }
    first.setObjectName(QStringLiteral("first"));
    second.setObjectName(QStringLiteral("second"));
  }
  FieldJournal journal;
  QWidget page;
  TextField first;
  TextField second;
};

TEST_F(TextFieldTest, EditingBeginsAndEndsThroughTheDelegateWhichMayRefuse) {
  EXPECT_TRUE(first.becomeFirstResponder());
  EXPECT_TRUE(first.isEditing());
  EXPECT_EQ(TextField::editingField(), &first);
  // Only one field edits at a time: the first ends before the second begins.
  EXPECT_TRUE(second.becomeFirstResponder());
  EXPECT_FALSE(first.isEditing());
  EXPECT_TRUE(second.resignFirstResponder());
  EXPECT_FALSE(second.resignFirstResponder());
  EXPECT_EQ(journal.entries,
            QStringList({"first.shouldBegin", "first.didBegin", "second.shouldBegin",
                         "first.didEnd", "second.didBegin", "second.didEnd"}));
  EXPECT_EQ(TextField::editingField(), nullptr);

  journal.entries.clear();
  journal.allowBegin = false;
  EXPECT_FALSE(first.becomeFirstResponder());
  EXPECT_FALSE(first.isEditing());
  EXPECT_EQ(journal.entries, QStringList({"first.shouldBegin"}));
}

TEST_F(TextFieldTest, ReturnKeyGoesToTheDelegateAndEndEditingEndsIt) {
  first.becomeFirstResponder();
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(&first, &enter);
  EXPECT_TRUE(journal.entries.contains(QStringLiteral("first.shouldReturn")));
  EXPECT_TRUE(first.isEditing());  // what happens then is the delegate's affair
  endEditing(&page);
  EXPECT_FALSE(first.isEditing());
}

TEST_F(TextFieldTest, InputPanelRisesWhileEditingAndTypingIsIgnoredOnlyThen) {
  QWidget panel(&page);
  panel.setGeometry(0, 568, 320, 260);  // out of sight below the bottom edge
  first.setInputView(&panel);
  first.becomeFirstResponder();
  loop.advance(Seconds(0.31));
  EXPECT_EQ(panel.geometry(), QRect(0, 568 - 260, 320, 260));
  QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  QApplication::sendEvent(&first, &key);
  EXPECT_TRUE(first.text().isEmpty());
  first.resignFirstResponder();
  loop.advance(Seconds(0.31));
  EXPECT_EQ(panel.y(), 568);

  second.becomeFirstResponder();  // no panel: typed text is taken
  QApplication::sendEvent(&second, &key);
  EXPECT_EQ(second.text(), QStringLiteral("a"));
}

// ---- tables -------------------------------------------------------------------------------

class Tickets : public TableViewDataSource, public TableViewDelegate {
 public:
  int rows = 30;
  int made = 0;
  std::vector<IndexPath> selected;
  int numberOfRowsInSection(TableView*, int) override { return rows; }
  TableViewCell* cellForRow(TableView* table, IndexPath path) override {
    auto* cell = table->dequeueReusableCell(QStringLiteral("CellIdentifier"));
    if (!cell) {
      cell = new TableViewCell(QStringLiteral("CellIdentifier"));
      ++made;
    }
    cell->setObjectName(QString::number(path.row));
    return cell;
  }
  double heightForRow(TableView*, IndexPath) override { return 27; }
  void didSelectRow(TableView*, IndexPath path) override { selected.push_back(path); }
};

TEST_F(ControlsTest, TableMakesCellsOnlyForRowsInSightAndReusesThem) {
  Tickets tickets;
  TableView table;
  table.resize(320, 100);
  table.setDataSource(&tickets);
  table.setDelegate(&tickets);
  EXPECT_EQ(table.numberOfRowsInSection(0), 30);
  EXPECT_DOUBLE_EQ(table.contentHeight(), 30 * 27);
  ASSERT_EQ(table.visibleCells().size(), 4);  // rows 0..3 reach into 100 points
  int madeAtFirst = tickets.made;
  QPointer<TableViewCell> top = table.cellForRow({0, 0});
  ASSERT_TRUE(top);
  EXPECT_EQ(top->geometry(), QRect(0, 0, 320, 27));

  table.reloadData();
  EXPECT_EQ(tickets.made, madeAtFirst);  // every cell came back from the reuse queue
  table.setContentOffset(27 * 10);
  EXPECT_EQ(table.cellForRow({0, 0}), nullptr);
  ASSERT_NE(table.cellForRow({0, 10}), nullptr);  // row 10 at the top now
  EXPECT_EQ(table.cellForRow({0, 10})->y(), 0);
  EXPECT_LE(tickets.made, madeAtFirst + 1);

  // Fewer rows than the table is tall: the offset comes back.
  tickets.rows = 2;
  table.reloadData();
  EXPECT_EQ(table.contentOffset(), 0);
  EXPECT_EQ(table.visibleCells().size(), 2);
}

TEST_F(ControlsTest, TableClickSelectsTheRowUnderThePointer) {
  Tickets tickets;
  TableView table;
  table.resize(320, 100);
  table.setDataSource(&tickets);
  table.setDelegate(&tickets);
  test::press(&table, {100, 27 * 2 + 5});
  test::release(&table, {100, 27 * 2 + 5});
  ASSERT_EQ(tickets.selected.size(), 1u);
  EXPECT_EQ(tickets.selected[0], (IndexPath{0, 2}));
  // A drag scrolls instead of selecting.
  test::press(&table, {100, 90});
  test::move(&table, {100, 30});
  test::release(&table, {100, 30});
  EXPECT_EQ(tickets.selected.size(), 1u);
  EXPECT_DOUBLE_EQ(table.contentOffset(), 60);
}

}  // namespace
}  // namespace est::ui
