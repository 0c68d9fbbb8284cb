// Renders the registration screens and the main screen to PNG files (EST_RENDER_DIR) so they
// can be looked at; each picture is also checked for being drawn at all.

#include <QDir>
#include <QImage>
#include <QPixmap>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "app/app_test_support.h"
#include "ui/text_field.h"

namespace est::apptest {
namespace {

class RenderTest : public AppTest {
 protected:
  QImage render(const char* name) {
    ui::finishAllAnimations();
    QApplication::processEvents();
    QImage image = delegate->window()->grab().toImage();
    QDir().mkpath(EST_RENDER_DIR);
    image.save(QDir(EST_RENDER_DIR).filePath(QString(name) + ".png"));
    return image;
  }
  // A drawn screen is not one flat colour.
  static int distinctColours(const QImage& image) {
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); y += 7)
      for (int x = 0; x < image.width(); x += 7) seen.insert(image.pixel(x, y));
    return seen.size();
  }
};

TEST_F(RenderTest, RegistrationScreensAndMainScreen) {
  launch();
  QImage welcome = render("welcome");
  EXPECT_EQ(welcome.size(), QSize(320, 568));
  EXPECT_GT(distinctColours(welcome), 20);

  advance(1.1);
  CellNumberViewController* cell = main().cellNumberVC();
  ASSERT_TRUE(cell);
  cell->txtCellNumber()->setText("099123");
  EXPECT_GT(distinctColours(render("cell_number")), 20);

  main().showPinValidationVCWithPhone("099123456");
  main().pinValidationVC()->txtPin()->setText("12");
  EXPECT_GT(distinctColours(render("pin_validation")), 20);

  Preferences::standard().setObject(prefs::kPinSended, true);
  main().showWelcomeVC();
  advance(1.1);
  ASSERT_TRUE(main().addLicenceVC());
  main().addLicenceVC()->txtLicense()->setText("ABC 1234");
  EXPECT_GT(distinctColours(render("add_licence_first")), 20);

  ui::WindowAlertPresenter presenter(delegate->window());
  ui::AlertPresenter::setCurrent(&presenter);
  main().addLicenceVC()->btnConfirmTouched();  // no model: the alert
  render("add_licence_alert");
  ui::AlertPresenter::setCurrent(&alerts);
  presenter.tapButton();

  main().addLicenceVC()->txtCarModel()->setText("Fiat Uno");
  main().addLicenceVC()->btnConfirmTouched();
  ASSERT_EQ(main().estado(), MainViewController::kStandard);
  EXPECT_GT(distinctColours(render("main_standard")), 10);
}

}  // namespace
}  // namespace est::apptest
