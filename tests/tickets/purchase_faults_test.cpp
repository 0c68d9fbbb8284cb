// Purchases followed from request to ticket while the service is slow, garbled, failing or
// dropping replies, and across a crash: no ticket is lost, duplicated or misattributed.
#include "tickets/purchase_faults_test.h"

#include <QAbstractButton>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "account/welcome_view_controller.h"
#include "app/app_delegate.h"
#include "ui/text_field.h"

namespace est::testing {
namespace {

using Fault = FaultProxy::Fault;

class PurchaseFaultsTest : public FaultsTest {};

TEST_F(PurchaseFaultsTest, LateStatusRepliesNeverConfirmAnotherPurchase) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;  // the first status query the service sees confirms
  startBehindProxy(options);
  // Every status reply takes 8.5 s: longer than two poll intervals.
  proxy->setRule([](const FaultProxy::Request& r) {
    return r.call() == "consultarEstacionamiento" ? Fault::delayed(8.5) : Fault::pass();
  });
  showMain();
  quickPurchase("ABC 1234");  // 14:00 to 14:30
  std::int64_t first = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  settle();
  ASSERT_TRUE(main->isWaitingValidationVc());
  ASSERT_TRUE(runUntil([&] { return !TicketManager::getInstance().getTickets().empty(); }, 30));
  EXPECT_EQ(proxy->count("consultarEstacionamiento"), 1);

  // The user extends at once, while nothing else is out.
  home()->updateView();
  ASSERT_TRUE(home()->activeTicket());
  home()->btnRenewTouched();  // 14:30 to 15:00
  ASSERT_TRUE(confirmShown());
  std::int64_t second = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 60));
  run(20);  // any late reply has long arrived

  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].transactionId, second);
  EXPECT_EQ(stored[0].timeStart, wednesdayAt(14, 30));
  EXPECT_EQ(stored[0].timeEnd, wednesdayAt(15, 0));
  EXPECT_EQ(stored[1].transactionId, first);
  EXPECT_EQ(stored[1].timeStart, wednesdayAt(14, 0));
  EXPECT_EQ(stored[1].timeEnd, wednesdayAt(14, 30));
  // Two reminders per ticket, none twice.
  std::vector<LocalNotification> notes =
      LocalNotificationCenter::shared().scheduledLocalNotifications();
  std::vector<TimePoint> fires;
  for (const auto& n : notes) fires.push_back(n.fireDate);
  std::sort(fires.begin(), fires.end());
  EXPECT_EQ(fires, (std::vector<TimePoint>{wednesdayAt(14, 25), wednesdayAt(14, 30),
                                           wednesdayAt(14, 55), wednesdayAt(15, 0)}));
  expectOneQueryAtATimePerPurchase();
  // Polling waited for each reply: one query per purchase was enough.
  EXPECT_EQ(proxy->count("consultarEstacionamiento"), 2);
  EXPECT_FALSE(waiting()->isPolling());
}

TEST_F(PurchaseFaultsTest, PurchaseAcceptedAfterItsRequestTimedOutIsStillFollowed) {
  ParkingServiceOptions options;
  options.confirmAfter = 1;
  startBehindProxy(options);
  // The service takes the purchase, but its reply never comes.
  proxy->setRule([](const FaultProxy::Request& r) {
    return r.call() == "solicitarEstacionamiento" ? Fault::silent() : Fault::pass();
  });
  showMain();
  composeNinetyMinutes();
  std::int64_t id = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  run(kServiceTimeOutSeconds - 1);
  EXPECT_TRUE(alerts.record().empty());  // still waiting: the time-out is not reached
  EXPECT_EQ(proxy->count("consultarEstacionamiento"), 0);  // its own request is still out
  ASSERT_TRUE(runUntil([&] { return !alerts.record().empty(); }, 1.5));
  EXPECT_EQ(alertTitles(), std::vector<std::string>{"Sin conexión a internet"});
  ASSERT_EQ(pendingPurchases().size(), 1u);
  EXPECT_EQ(pendingPurchases()[0].transactionId, id);
  EXPECT_TRUE(main->isWaitingValidationVc());

  // Buying the same plate and time again asks first and sends nothing.
  waiting()->close();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();
  ASSERT_EQ(alerts.record().size(), 2u);
  EXPECT_EQ(alerts.record()[1].title, "Compra en proceso");
  EXPECT_EQ(alertMessages()[1],
            "Ya hay una compra en proceso para la matrícula ABC 1234 de 14:00 a 15:30. Si quiere "
            "comprar otro ticket igual, toque CONFIRMAR otra vez.");
  EXPECT_TRUE(confirmShown());
  EXPECT_FALSE(confirm()->enviado());
  confirm()->cancelBtnTouched();
  EXPECT_EQ(proxy->count("solicitarEstacionamiento"), 1);

  // Asked about, it is confirmed: one ticket, the one the service took.
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 20));
  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].transactionId, id);
  EXPECT_EQ(stored[0].timeEnd, wednesdayAt(15, 30));
  EXPECT_EQ(proxy->count("solicitarEstacionamiento"), 1);
}

TEST_F(PurchaseFaultsTest, ASecondLookAlikePurchaseIsBoughtWhenTheUserConfirmsAgain) {
  ParkingServiceOptions options;
  options.confirmAfter = 100;
  startBehindProxy(options);
  showMain();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();
  settle();
  waiting()->close();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();  // told about the first
  EXPECT_EQ(proxy->count("solicitarEstacionamiento"), 1);
  confirm()->confirmBtnTouched();  // and wanted anyway
  settle();
  EXPECT_EQ(proxy->count("solicitarEstacionamiento"), 2);
  EXPECT_EQ(pendingPurchases().size(), 2u);
}

class BadStatusReply : public PurchaseFaultsTest,
                       public ::testing::WithParamInterface<Fault::Kind> {};

TEST_P(BadStatusReply, KeepsThePurchaseAndASecondPurchaseGetsItsOwnTicket) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;  // the faulted query already confirms at the service
  startBehindProxy(options);
  // The first status query is answered badly; the rest pass.
  Fault::Kind kind = GetParam();
  auto faulted = std::make_shared<bool>(false);
  proxy->setRule([kind, faulted](const FaultProxy::Request& r) {
    Fault fault;
    if (r.call() == "consultarEstacionamiento" && !*faulted) {
      *faulted = true;
      fault.kind = kind;
    }
    return fault;
  });
  showMain();
  composeNinetyMinutes();  // ABC 1234, 14:00 to 15:30
  std::int64_t first = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  settle();
  ASSERT_TRUE(runUntil([&] { return proxy->count("consultarEstacionamiento") == 1; }, 5));
  run(0.5);
  // Not a decision: the screen and the purchase stay, silently.
  EXPECT_TRUE(main->isWaitingValidationVc());
  EXPECT_TRUE(pending());
  EXPECT_TRUE(alerts.record().empty());
  EXPECT_TRUE(TicketManager::getInstance().getTickets().empty());

  // The user closes it; the home page shows it in process.
  waiting()->close();
  EXPECT_FALSE(main->isWaitingValidationVc());
  home()->updateView();
  EXPECT_EQ(home()->layout().lblTicketInfo->text(), "Compra en proceso");
  EXPECT_FALSE(home()->layout().activeTicketView->isHidden());
  EXPECT_EQ(home()->layout().activeTickerLicense->text(), "ABC 1234");
  EXPECT_EQ(home()->layout().activeTicketStartTime->text(), "/ 14:00 - 15:30 en proceso");
  EXPECT_TRUE(home()->layout().lblNoActiveTickets->isHidden());

  // A second purchase, another plate: both are followed.
  quickPurchase("SBA4321");
  std::int64_t second = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  settle();
  EXPECT_EQ(pendingPurchases().size(), 2u);
  home()->updateView();
  EXPECT_EQ(home()->layout().lblTicketInfo->text(), "2 compras en proceso");
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 20));
  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].transactionId, first);
  EXPECT_EQ(stored[0].license, "ABC 1234");
  EXPECT_EQ(stored[0].timeEnd, wednesdayAt(15, 30));
  EXPECT_EQ(stored[1].transactionId, second);
  EXPECT_EQ(stored[1].license, "SBA4321");
  EXPECT_EQ(stored[1].timeEnd, wednesdayAt(14, 30));
  EXPECT_TRUE(alerts.record().empty());
  expectOneQueryAtATimePerPurchase();
  home()->updateView();
  EXPECT_EQ(home()->layout().lblTicketInfo->text(), "Su ticket vence en 90 min");
}

INSTANTIATE_TEST_SUITE_P(Faults, BadStatusReply,
                         ::testing::Values(Fault::Kind::Garble, Fault::Kind::Http500,
                                           Fault::Kind::Empty, Fault::Kind::Drop),
                         [](const auto& info) {
                           switch (info.param) {
                             case Fault::Kind::Garble:
                               return "Garbled";
                             case Fault::Kind::Http500:
                               return "Http500";
                             case Fault::Kind::Empty:
                               return "Empty";
                             default:
                               return "Dropped";
                           }
                         });

TEST_F(PurchaseFaultsTest, ClosingTheWaitingScreenThenBuyingAgainLosesNothing) {
  ParkingServiceOptions options;
  options.confirmAfter = 2;
  startBehindProxy(options);
  showMain();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();
  settle();
  ASSERT_TRUE(main->isWaitingValidationVc());
  waiting()->layout().btnClose->click();  // CERRAR
  EXPECT_FALSE(main->isWaitingValidationVc());
  quickPurchase("SBA4321");
  confirm()->confirmBtnTouched();
  settle();
  EXPECT_EQ(pendingPurchases().size(), 2u);
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 30));
  EXPECT_EQ(TicketManager::getInstance().getTickets().size(), 2u);
  // Each confirmation ends in its summary.
  run(1.25);
  EXPECT_TRUE(main->isWaitingValidationVc());
  EXPECT_EQ(waiting()->layout().titleLabel->text(), "Ticket Comprado");
  EXPECT_EQ(LocalNotificationCenter::shared().scheduledLocalNotifications().size(), 4u);
}

TEST_F(PurchaseFaultsTest, LeavingTheBusyOverlayKeepsThePurchaseFollowed) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;
  startBehindProxy(options);
  proxy->setRule([](const FaultProxy::Request& r) {
    return r.call() == "solicitarEstacionamiento" ? Fault::delayed(20) : Fault::pass();
  });
  showMain();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();
  settle();
  BusyOverlay& overlay = confirm()->busyOverlay();
  EXPECT_TRUE(overlay.isShown());
  run(BusyOverlay::kWayOutDelay - 0.5);
  EXPECT_FALSE(overlay.offersWayOut());
  run(0.5);
  ASSERT_TRUE(overlay.offersWayOut());
  EXPECT_EQ(overlay.wayOutButton()->text(), "SEGUIR EN SEGUNDO PLANO");
  overlay.wayOutButton()->click();
  EXPECT_FALSE(overlay.isShown());
  EXPECT_FALSE(confirmShown());
  EXPECT_TRUE(main->isWaitingValidationVc());
  waiting()->close();
  // The late acceptance changes nothing on screen; the purchase is confirmed in the end.
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 30));
  EXPECT_EQ(TicketManager::getInstance().getTickets().size(), 1u);
  EXPECT_TRUE(alerts.record().empty());
}

TEST_F(PurchaseFaultsTest, PurchasesPendingAtACrashAreFollowedAfterTheRestart) {
  ParkingServiceOptions options;
  options.confirmAfter = 1;
  startBehindProxy(options);
  // The second purchase's request is lost on the way: the service never hears of it.
  proxy->setRule([](const FaultProxy::Request& r) {
    return r.call() == "solicitarEstacionamiento" && r.param("plate") == "SBA4321" ? Fault::lost()
                                                                                   : Fault::pass();
  });
  showMain();
  composeNinetyMinutes();
  std::int64_t taken = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  settle();
  waiting()->close();
  quickPurchase("SBA4321");
  std::int64_t lost = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  settle();
  ASSERT_EQ(pendingPurchases().size(), 2u);
  EXPECT_EQ(proxy->count("consultarEstacionamiento"), 0);

  // What a fresh process would read from the disk now.
  {
    Preferences onDisk(Preferences::standard().file());
    std::vector<PendingPurchase> stored = PendingPurchases(onDisk).all();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].transactionId, taken);
    EXPECT_EQ(stored[1].transactionId, lost);
    EXPECT_EQ(stored[1].plate, "SBA4321");
  }

  // The crash: the screens and everything in memory go; the stores stay.
  PurchaseTracker::shared().reset();
  window.reset();
  main.reset();
  flushDeletes();
  alerts.clearRecord();

  // The restart, with the screens sliding as they do in the application (the welcome screen
  // is still leaving when the session start opens validation): polling resumes.
  Preferences::standard().setObject("sessionStarted", PrefValue(true));
  ui::setAnimationsEnabled(true);
  showMain();
  ui::finishAllAnimations();
  ui::setAnimationsEnabled(false);
  settle();
  EXPECT_TRUE(main->isWaitingValidationVc());
  EXPECT_TRUE(waiting()->isPolling());
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 20));
  // The one the service took becomes its ticket; the one it never heard of is dropped, and
  // the user is told.
  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].transactionId, taken);
  EXPECT_EQ(alertMessages(),
            std::vector<std::string>{"No se pudo registrar la compra. Intente nuevamente."});
  EXPECT_EQ(proxy->count("solicitarEstacionamiento"), 2);  // nothing sent again
}

TEST_F(PurchaseFaultsTest, APurchaseLeftByTheOldSingleMarkerIsFollowed) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;
  startBehindProxy(options);
  // An earlier version had the service take purchase 77 and kept only the old marker.
  std::int64_t id = 1772632800077LL;
  ParkingPurchase purchase{kPhone, id, vendorIdentifier(), "ABC 1234", 60, "13:30"};
  HTTPRequestPtr request =
      HTTPRequest::requestWithURL(solicitarEstacionamientoURL(service->baseAddress(), purchase));
  request->startSynchronous();
  ASSERT_EQ(readSolicitarEstacionamientoReply(request->responseData()).kind,
            SolicitarEstacionamientoOutcome::Kind::Accepted);
  Preferences& prefs = Preferences::standard();
  prefs.setObject("ticketInProcess", PrefValue(id));
  prefs.setObject("ticketInProcessLicense", PrefValue("ABC 1234"));
  prefs.setObject("sessionStarted", PrefValue(true));

  showMain();
  EXPECT_FALSE(prefs.objectForKey("ticketInProcess"));
  EXPECT_FALSE(prefs.objectForKey("ticketInProcessLicense"));
  ASSERT_EQ(pendingPurchases().size(), 1u);
  EXPECT_EQ(pendingPurchases()[0].transactionId, id);
  home()->updateView();
  EXPECT_EQ(home()->layout().activeTicketStartTime->text(), "/ en proceso");
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 10));
  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].license, "ABC 1234");
  EXPECT_EQ(stored[0].timeStart, wednesdayAt(13, 30));
  EXPECT_EQ(stored[0].timeEnd, wednesdayAt(14, 30));
}

TEST_F(PurchaseFaultsTest, AConfirmationHeardAgainAfterACrashStoresOneTicket) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;
  startBehindProxy(options);
  showMain();
  composeNinetyMinutes();
  PendingPurchase purchase;
  purchase.transactionId = *confirm()->ticket()->transactionId;
  purchase.plate = "ABC 1234";
  purchase.start = wednesdayAt(14, 0);
  purchase.minutes = 90;
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 10));
  ASSERT_EQ(TicketManager::getInstance().getTickets().size(), 1u);
  // A crash between storing the ticket and forgetting the purchase: it is pending again.
  ASSERT_TRUE(PendingPurchases().add(purchase));
  PurchaseTracker::shared().resume();
  ASSERT_TRUE(runUntil([&] { return !pending(); }, 10));
  EXPECT_EQ(TicketManager::getInstance().getTickets().size(), 1u);
  EXPECT_EQ(LocalNotificationCenter::shared().scheduledLocalNotifications().size(), 2u);
}

// A new user's whole visit against a service that takes 12 seconds for every reply: longer
// than the HTTP client's default time-out, well within the service time-out.
class SlowServiceTest : public FaultsTest {
 protected:
  void SetUp() override {
    FaultsTest::SetUp();
    freshInstall();
  }
};

TEST_F(SlowServiceTest, TwelveSecondRepliesThroughRegistrationAndPurchase) {
  ParkingServiceOptions options;
  options.confirmAfter = 1;
  service = std::make_unique<ParkingService>(options);
  ASSERT_TRUE(service->start("127.0.0.1", 0));
  proxy = std::make_unique<FaultProxy>(service->baseAddress(), [this] { return loop.now(); });
  ASSERT_TRUE(proxy->start());
  proxy->setRule([](const FaultProxy::Request&) { return Fault::delayed(12); });
  AppConfig::setParkingServiceURL(proxy->baseAddress());
  AppConfig::setRegistryServiceURL(proxy->baseAddress());

  launchApp();
  run(1.25);
  CellNumberViewController* cell = app().cellNumberVC();
  ASSERT_TRUE(cell);
  cell->txtCellNumber()->setText(kPhone);
  cell->btnValidar()->click();
  run(6);
  EXPECT_TRUE(cell->busyOverlay().offersWayOut());  // offered, not taken
  ASSERT_TRUE(runUntil([&] { return app().pinValidationVC() != nullptr; }, 10));

  PinValidationViewController* pin = app().pinValidationVC();
  std::optional<std::string> code = service->pinFor(kPhone);
  ASSERT_TRUE(code);
  pin->txtPin()->setText(QString::fromStdString(*code));
  pin->btnValidar()->click();
  ASSERT_TRUE(runUntil([&] { return app().presentedViewController() == app().welcomeVC(); }, 30));
  EXPECT_EQ(proxy->count("validatePin"), 1);
  EXPECT_EQ(proxy->count("consultarRegistro"), 1);
  run(1.25);
  AddLiceneViewController* add = app().addLicenceVC();
  ASSERT_TRUE(add);
  add->txtLicense()->setText("ABC 1234");
  add->txtCarModel()->setText("Fiat Uno");
  add->btnConfirm()->click();
  run(1);
  ui::finishAllAnimations();
  ASSERT_EQ(app().estado(), MainViewController::kStandard);
  ASSERT_TRUE(
      runUntil([] { return Preferences::standard().objectForKey("price").has_value(); }, 15));

  app().buttonBuy()->click();
  ui::finishAllAnimations();
  BuyViewController* buyPage = static_cast<BuyViewController*>(app().buyVC());
  buyPage->layout().slider->setValue(3);
  buyPage->sliderValueChanged();
  buyPage->layout().btnComprar->click();
  auto* confirmPage = static_cast<ConfirmBuyViewController*>(app().confirmBuyVC());
  ASSERT_TRUE(confirmPage);
  EXPECT_EQ(confirmPage->layout().lblPrice->text(), "Precio $75.0");
  confirmPage->layout().btnConfirm->click();
  ASSERT_TRUE(runUntil([&] { return app().isWaitingValidationVc(); }, 15));
  ASSERT_TRUE(runUntil([&] { return !TicketManager::getInstance().getTickets().empty(); }, 60));
  run(1.25);
  auto* waitingPage = static_cast<WaitingValidationViewController*>(app().waitingValidationVC());
  EXPECT_EQ(waitingPage->layout().titleLabel->text(), "Ticket Comprado");
  EXPECT_TRUE(alerts.record().empty()) << alertMessages()[0];
  EXPECT_EQ(TicketManager::getInstance().getTickets().size(), 1u);
  EXPECT_EQ(proxy->count("solicitarEstacionamiento"), 1);
  // Each status query waited for its 12-second reply before the next was sent.
  EXPECT_EQ(proxy->count("consultarEstacionamiento"), 2);
  expectOneQueryAtATimePerPurchase();
}

}  // namespace
}  // namespace est::testing
