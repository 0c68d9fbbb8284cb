// A new user's whole first visit in one run, through the launched application with the real
// pages: registration against the embedded service, then a first purchase and what it leaves
// behind on every page.
#include <QAbstractButton>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "account/welcome_view_controller.h"
#include "app/app_delegate.h"
#include "tickets/pages_test_support.h"
#include "ui/text_field.h"

namespace est::testing {
namespace {

class JourneyTest : public LaunchedAppTest {
 protected:
  void SetUp() override {
    LaunchedAppTest::SetUp();
    freshInstall();
  }

  void launch() {
    launchApp();
    delegate->window()->resize(320, 568);
  }

  HomeViewController* homePage() { return static_cast<HomeViewController*>(app().homeVC()); }
  BuyViewController* buyPage() { return static_cast<BuyViewController*>(app().buyVC()); }
  TicketsViewController* ticketsPage() {
    return static_cast<TicketsViewController*>(app().ticketVC());
  }
  ConfirmBuyViewController* confirmPage() {
    return static_cast<ConfirmBuyViewController*>(app().confirmBuyVC());
  }
  WaitingValidationViewController* waitingPage() {
    return static_cast<WaitingValidationViewController*>(app().waitingValidationVC());
  }

  // One poll interval, then its reply handled.
  void pollOnce() {
    std::uint64_t before = service->requestCount();
    advance(WaitingValidationViewController::kPollInterval);
    ASSERT_TRUE(waitFor([&] {
      return service->requestCount() > before && waitingPage()->requestsUnderWay() == 0;
    }));
  }
};

TEST_F(JourneyTest, NewUserRegistersAndBuysNinetyMinutes) {
  ParkingServiceOptions options;
  options.confirmAfter = 3;
  service = std::make_unique<ParkingService>(options);
  Error error;
  ASSERT_TRUE(service->start("127.0.0.1", 0, &error)) << error.description;
  AppConfig::setParkingServiceURL(service->baseAddress());
  AppConfig::setRegistryServiceURL(service->baseAddress());

  // Registration: phone, the PIN the service sent, a first plate.
  launch();
  advance(1.1);
  CellNumberViewController* cell = app().cellNumberVC();
  ASSERT_TRUE(cell);
  cell->txtCellNumber()->setText(kPhone);
  cell->btnValidar()->click();
  ASSERT_TRUE(waitFor([&] { return app().pinValidationVC() != nullptr; }));
  PinValidationViewController* pin = app().pinValidationVC();
  std::optional<std::string> code = service->pinFor(kPhone);
  ASSERT_TRUE(code);
  pin->txtPin()->setText(QString::fromStdString(*code));
  pin->btnValidar()->click();
  ASSERT_TRUE(waitFor([&] { return app().presentedViewController() == app().welcomeVC(); }));
  advance(1.1);
  AddLiceneViewController* add = app().addLicenceVC();
  ASSERT_TRUE(add);
  add->txtLicense()->setText("ABC 1234");
  add->txtCarModel()->setText("Fiat Uno");
  add->btnConfirm()->click();
  loop.runPending();
  ui::finishAllAnimations();
  EXPECT_TRUE(alerts.record().empty()) << alertMessages()[0];

  // The main pages.
  ASSERT_EQ(app().estado(), MainViewController::kStandard);
  EXPECT_EQ(app().presentedViewController(), nullptr);

  // The buy page, for the only plate, and confirmation; the page and purchase tests check
  // the texts and the stored ticket in detail.
  app().buttonBuy()->click();
  ui::finishAllAnimations();
  buyPage()->layout().slider->setValue(3);
  buyPage()->sliderValueChanged();
  buyPage()->layout().btnComprar->click();
  ASSERT_TRUE(confirmPage());
  ASSERT_EQ(app().transparentModalViewController(), confirmPage());
  EXPECT_TRUE(confirmPage()->isViewInHierarchy());

  // Confirmed: the service answers "IN_PROGRESS" three times, then "OK".
  confirmPage()->layout().btnConfirm->click();
  ASSERT_TRUE(waitFor([&] { return app().isWaitingValidationVc() && pending(); }));
  for (int i = 0; i < 3; ++i) {
    pollOnce();
    EXPECT_TRUE(pending()) << "poll " << i;
  }
  pollOnce();
  EXPECT_FALSE(pending());
  advance(1);
  loop.runPending();
  ASSERT_TRUE(app().isWaitingValidationVc());
  EXPECT_EQ(waitingPage()->layout().titleLabel->text(), "Ticket Comprado");
  EXPECT_TRUE(alerts.record().empty()) << alertMessages()[0];
  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].license, "ABC 1234");
  EXPECT_EQ(LocalNotificationCenter::shared().scheduledLocalNotifications().size(), 2u);

  // The user closes the summary; the pages show the running ticket.
  waitingPage()->layout().btnClose->click();
  EXPECT_FALSE(app().isWaitingValidationVc());
  advance(AppDelegate::kRefreshInterval);
  EXPECT_EQ(homePage()->layout().lblTicketInfo->text(), "Su ticket vence en 90 min");
  app().buttonHistory()->click();
  ui::finishAllAnimations();
  EXPECT_EQ(app().labelPageSelected()->text(), "MIS TICKETS");
  ASSERT_EQ(ticketsPage()->activeTickets().size(), 1u);
  EXPECT_TRUE(ticketsPage()->inActiveTickets().empty());
}

}  // namespace
}  // namespace est::testing
