// Renders the pages as a user sees them inside the root screen, for the README, and checks
// that each picture has the page's content in it.
#include <QDir>
#include <QImage>
#include <QPixmap>

#include "tickets/pages_test_support.h"

namespace est::testing {
namespace {

class RenderPagesTest : public PagesTest {
 protected:
  QImage render(const QString& name) {
    loop.runPending();
    QImage image = window->grab().toImage();
    QDir().mkpath(EST_RENDER_DIR);
    EXPECT_TRUE(image.save(QString(EST_RENDER_DIR) + "/" + name + ".png")) << name.toStdString();
    return image;
  }
  // Distinct colours in the picture: a blank or single-colour page has very few.
  static int colours(const QImage& image) {
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); y += 2)
      for (int x = 0; x < image.width(); x += 2) seen.insert(image.pixel(x, y));
    return static_cast<int>(seen.size());
  }
};

TEST_F(RenderPagesTest, HomeBuyTicketsAndOptions) {
  clock.set(wednesdayAt(14, 52, 20));
  storeTicket("ABC 1234", 14, 0, 15, 30, 90);
  storeTicket("SBA4321", 10, 0, 11, 0, 60);
  storeTicket("ABC 1234", 11, 30, 12, 30, 60);
  showMain();
  main->updateAll();

  QImage homeImage = render("home");
  EXPECT_EQ(homeImage.width(), ui::Window::kWidth);
  EXPECT_GT(colours(homeImage), 40);

  main->actionButtonBuy();
  buy()->layout().slider->setValue(3);
  buy()->sliderValueChanged();
  EXPECT_GT(colours(render("buy")), 40);

  main->actionButtonHistory();
  EXPECT_GT(colours(render("tickets")), 40);

  main->actionButtonOption();
  main->updateAll();
  EXPECT_GT(colours(render("options")), 40);

  main->actionButtonBuy();
  buy()->btnComprarTouched();
  ASSERT_TRUE(confirmShown());
  EXPECT_GT(colours(render("confirm")), 40);
  main->hideConfirmBuyVc();

  main->showWaitingValidationVcWithTitle(
      "El estacionamiento del vehículo matrícula ABC1234 comienza a las 14:52 hs y finaliza a "
      "las 16:22 hs. Costo 75 pesos. Gracias por utilizar Estacionamiento Tarifado Telvana");
  EXPECT_GT(colours(render("summary")), 40);
}

TEST_F(RenderPagesTest, HomeWithAPurchaseInProcess) {
  clock.set(wednesdayAt(14, 52, 20));
  storeTicket("ABC 1234", 14, 0, 15, 30, 90);
  addPendingExtension();
  showMain();
  main->updateAll();
  // The whole times line fits its label.
  QLabel* times = home()->layout().active2TicketStartTime;
  EXPECT_EQ(times->text(), "/ 15:30 - 16:30 en proceso");
  EXPECT_LE(times->fontMetrics().horizontalAdvance(times->text()), times->width());
  EXPECT_GT(colours(render("home_pending")), 40);
}

TEST_F(RenderPagesTest, ConfirmationWaitingOnASlowService) {
  showMain();
  main->actionButtonBuy();
  buy()->btnComprarTouched();
  ASSERT_TRUE(confirmShown());
  BusyOverlay& overlay = confirm()->busyOverlay();
  overlay.show(confirm()->view(), "SEGUIR EN SEGUNDO PLANO", [] {});
  advance(BusyOverlay::kWayOutDelay);
  ASSERT_TRUE(overlay.offersWayOut());
  // The button lies inside the screen, clear of the box's text.
  QRect button = overlay.wayOutButton()->geometry();
  EXPECT_TRUE(confirm()->view()->rect().contains(button));
  EXPECT_GT(colours(render("confirm_slow")), 40);
  overlay.hide();
}

}  // namespace
}  // namespace est::testing
