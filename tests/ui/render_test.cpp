// Renders the overlay, the controls and an alert offscreen to PNG files (in the build tree's
// tests/ui/renders), so their look can be judged, and checks a few pixels of each.
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include "ui/alert.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/picker_view.h"
#include "ui/progress_hud.h"
#include "ui/slider.h"
#include "ui/table_view.h"
#include "ui/test_fixture.h"
#include "ui/text_field.h"
#include "ui/view.h"
#include "ui/view_controller.h"
#include "ui_SampleViewController.h"

namespace est::ui {
namespace {

class Sample : public LayoutViewController<Ui::SampleViewController>,
               public PickerViewDataSource,
               public PickerViewDelegate,
               public TableViewDataSource {
 public:
  Ui::SampleViewController& layout() { return ui; }

  void viewDidLoad() override {
    setBackgroundColor(view(), colorWithHexString("005c84"));
    ui.lblTitle->setFont(fontNamed(QStringLiteral("MyriadPro-Bold"), 20));
    setTextColor(ui.lblTitle, Qt::white);
    for (TextField* field : {ui.txtName, ui.txtModel}) {
      field->setFont(fontNamed(QStringLiteral("MyriadPro-Bold"), 15));
      setTextColor(field, colorWithHexString("005c84"));
      field->setBackgroundColor(Qt::white);
      field->setCornerRadius(5);
    }
    ui.txtName->setText(QStringLiteral("SBC 1234"));
    ui.slider->setMinimumTrackColor(colorWithHexString("b5f1ff"));
    ui.slider->setMaximumTrackColor(QColor(255, 255, 255, 70));
    ui.btnGo->setFont(fontNamed(QStringLiteral("MyriadPro-Bold"), 15));
    ui.btnGo->setStyleSheet(QStringLiteral(
        "QPushButton { background: #b5f1ff; color: #005c84; border: none; border-radius: 18px; }"));
    setBackgroundColor(ui.picker, colorWithHexString("dde8ea"));
    ui.picker->setDataSource(this);
    ui.picker->setDelegate(this);
    ui.picker->selectRow(4, 0, false);
    ui.picker->selectRow(30, 1, false);
    ui.table->setDataSource(this);
  }

  int numberOfComponents(PickerView*) override { return 2; }
  int numberOfRowsInComponent(PickerView*, int c) override { return c == 0 ? 8 : 60; }
  QString titleForRow(PickerView*, int row, int c) override {
    return c == 0 ? QString::number(row + 10) : QString::asprintf("%02d", row);
  }
  double widthForComponent(PickerView*, int) override { return 150; }

  int numberOfRowsInSection(TableView*, int) override { return 4; }
  TableViewCell* cellForRow(TableView* table, IndexPath path) override {
    auto* cell = table->dequeueReusableCell(QStringLiteral("CellIdentifier"));
    if (!cell) {
      cell = new TableViewCell(QStringLiteral("CellIdentifier"));
      auto* text = new QLabel(cell->contentView());
      text->setGeometry(15, 0, 290, 23);
      text->setFont(fontNamed(QStringLiteral("MyriadPro-Bold"), 14));
      setTextColor(text, colorWithHexString("005c84"));
      setTag(text, 1);
    }
    cell->setBackgroundColor(path.row % 2 ? QColor(Qt::white) : colorWithHexString("dde8ea"));
    static const char* rows[] = {
        "SBC 1234   - 07/03/26 -   10:00 - 11:30", "ABC 1001   - 06/03/26 -   14:00 - 15:30",
        "SBC 1234   - 05/03/26 -   16:30 - 17:00", "AAB 2021   - 04/03/26 -   10:00 - 10:30"};
    qobject_cast<QLabel*>(viewWithTag(cell, 1))->setText(QString::fromUtf8(rows[path.row % 4]));
    return cell;
  }
};

class RenderTest : public test::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    QDir().mkpath(QStringLiteral(EST_RENDER_DIR));
    window.setRootViewController(&sample);
    window.makeKeyAndVisible();
    sample.layout().table->setRowHeight(23);
  }

  QImage save(QWidget* w, const char* name) {
    QImage image = w->grab().toImage();
    image.save(QStringLiteral(EST_RENDER_DIR "/") + QLatin1String(name));
    return image;
  }

  static int brightness(QRgb c) { return qGray(c); }

  Window window;
  Sample sample;
};

TEST_F(RenderTest, SampleScreenShowsItsControls) {
  QImage image = save(&window, "controls.png");
  ASSERT_EQ(image.size(), QSize(320, 568) * image.devicePixelRatio());
  EXPECT_EQ(image.pixelColor(5, 5), colorWithHexString("005c84"));    // the page
  EXPECT_EQ(image.pixelColor(200, 88), QColor(Qt::white));            // a field
  EXPECT_EQ(image.pixelColor(5, 270), colorWithHexString("dde8ea"));  // the first row
  EXPECT_EQ(image.pixelColor(5, 270 + 23), QColor(Qt::white));        // the second row
}

TEST_F(RenderTest, OverlayWithTwoLinesOverTheScreen) {
  QImage before = window.grab().toImage();
  auto* hud = KvProgressHUD::showHUDAddedTo(sample.view(), false);
  hud->setLabelText(QStringLiteral("Cargando"));
  hud->setDetailsLabelText(QStringLiteral("Validando su número"));
  QImage image = save(&window, "overlay.png");
  QPoint centre = hud->boxRect().center().toPoint();
  // The box is black at 0.8 over the page: a fifth of what lies beneath shows through.
  QRect box = hud->boxRect().toRect();
  QPoint margin(box.left() + 4, centre.y());
  EXPECT_NEAR(brightness(image.pixel(margin)), 0.2 * brightness(before.pixel(margin)), 3);
  // The corners are rounded: the very corner pixel still shows the page.
  EXPECT_EQ(image.pixelColor(box.topLeft()), image.pixelColor(box.left() - 6, box.top() - 6));
  // The wheel and the text are white on it.
  int whiteInBox = 0;
  for (int y = box.top(); y < box.bottom(); ++y)
    for (int x = box.left(); x < box.right(); ++x)
      whiteInBox += brightness(image.pixel(x, y)) > 200;
  EXPECT_GT(whiteInBox, 100);
}

TEST_F(RenderTest, PieOverADimmedScreen) {
  auto* hud = KvProgressHUD::showHUDAddedTo(sample.view(), false);
  hud->setMode(KvProgressHUDMode::Determinate);
  hud->setProgress(0.35f);
  hud->setDimBackground(true);
  hud->setLabelText(QStringLiteral("Enviando"));
  QImage image = save(&window, "overlay_pie.png");
  QRect pie = hud->indicator()->geometry();
  QPoint c = pie.center();
  // Filled clockwise from twelve o'clock: right of the top is white, left of it is not.
  EXPECT_GT(brightness(image.pixel(c.x() + 7, c.y() - 7)), 220);
  EXPECT_LT(brightness(image.pixel(c.x() - 7, c.y() - 7)), 120);
  EXPECT_LT(brightness(image.pixel(c.x() - 7, c.y() + 7)), 120);
  // Dimmed most at the corners, not at all at the centre.
  QImage bare = sample.view()->grab().toImage();
  hud->setDimBackground(false);
  QImage undimmed = sample.view()->grab().toImage();
  EXPECT_LT(brightness(bare.pixel(3, 3)), brightness(undimmed.pixel(3, 3)));
}

TEST_F(RenderTest, AlertCardOverTheScreen) {
  WindowAlertPresenter presenter(&window);
  ScopedAlertPresenter scope(presenter);
  showAlert(QStringLiteral("No hay Internet"),
            QStringLiteral("Por favor comprobar conexion y realizar de nuevo."),
            QStringLiteral("Ok"));
  QImage image = save(&window, "alert.png");
  QPoint middle = presenter.buttonRect().center().toPoint() - QPoint(60, 0);
  EXPECT_GT(brightness(image.pixel(middle)), 220);  // the card
  EXPECT_LT(brightness(image.pixel(5, 5)), brightness(colorWithHexString("005c84").rgb()));

  // Most of the application's alerts have an empty title: the card is shorter.
  double titled = presenter.buttonRect().top();
  showAlert(QString(), QStringLiteral("Numero no válido"), QStringLiteral("Reintentar"));
  presenter.tapButton();
  save(&window, "alert_untitled.png");
  EXPECT_LT(presenter.buttonRect().top(), titled);
}

}  // namespace
}  // namespace est::ui
