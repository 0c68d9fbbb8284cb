// A purchase from the buy page through confirmation and validation, against the embedded
// parking service.
#include "tickets/pages_test_support.h"

namespace est::testing {
namespace {

class PurchaseTest : public PagesTest {
 protected:
  // One poll interval, then its reply handled.
  void pollOnce() {
    std::uint64_t before = service->requestCount();
    advance(WaitingValidationViewController::kPollInterval);
    ASSERT_TRUE(waitFor(
        [&] { return service->requestCount() > before && waiting()->requestsUnderWay() == 0; }));
  }
};

TEST_F(PurchaseTest, ThreeInProgressPollsThenOkStoresOneTicketAndShowsTheSummary) {
  ParkingServiceOptions options;
  options.confirmAfter = 3;
  startService(options);
  showMain();
  composeNinetyMinutes();
  std::int64_t id = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  // Pending from before the request leaves, with everything needed to ask about it.
  std::vector<PendingPurchase> recorded = pendingPurchases();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].transactionId, id);
  EXPECT_EQ(recorded[0].plate, "ABC 1234");
  EXPECT_EQ(recorded[0].start, wednesdayAt(14, 0));
  EXPECT_EQ(recorded[0].minutes, 90);
  ASSERT_TRUE(waitFor([&] { return main->isWaitingValidationVc(); }));
  EXPECT_FALSE(confirmShown());
  EXPECT_EQ(pendingPurchases(), recorded);
  EXPECT_EQ(waiting()->layout().titleLabel->text(), "Compra Ticket");
  EXPECT_TRUE(waiting()->isPolling());

  for (int i = 0; i < 3; ++i) {
    pollOnce();
    EXPECT_TRUE(pending()) << "poll " << i;
    EXPECT_TRUE(main->isWaitingValidationVc());
  }
  pollOnce();
  std::vector<Ticket> stored = TicketManager::getInstance().getTickets();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].license, "ABC 1234");
  EXPECT_EQ(stored[0].timeStart, wednesdayAt(14, 0));
  EXPECT_EQ(stored[0].timeEnd, wednesdayAt(15, 30));
  EXPECT_EQ(stored[0].transactionId, id);  // the purchase's own identifier
  EXPECT_FALSE(stored[0].minutes);
  EXPECT_FALSE(pending());
  EXPECT_FALSE(waiting()->isPolling());
  EXPECT_FALSE(main->isWaitingValidationVc());

  std::vector<LocalNotification> notes =
      LocalNotificationCenter::shared().scheduledLocalNotifications();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].fireDate, wednesdayAt(15, 25));
  EXPECT_EQ(notes[0].alertBody, "El ticket de la matricula ABC 1234 va a finalizar");
  EXPECT_EQ(notes[1].fireDate, wednesdayAt(15, 30));
  EXPECT_EQ(notes[1].alertBody, "El ticket de la matricula ABC 1234 finalizó");
  EXPECT_EQ(notes[1].applicationIconBadgeNumber, 1);
  EXPECT_EQ(notes[1].soundName, kDefaultSoundName);

  // The summary comes one second later, without polling.
  advance(0.9);
  EXPECT_FALSE(main->isWaitingValidationVc());
  advance(0.1);
  loop.runPending();
  ASSERT_TRUE(main->isWaitingValidationVc());
  EXPECT_EQ(waiting()->layout().titleLabel->text(), "Ticket Comprado");
  EXPECT_EQ(waiting()->layout().txtLabel->text().toStdString(),
            "El estacionamiento del vehículo matrícula ABC1234 comienza a las 14:00 hs y finaliza "
            "a las 15:30 hs. Costo 75 pesos. Gracias por utilizar Estacionamiento Tarifado "
            "Telvana");
  EXPECT_FALSE(waiting()->isPolling());
  std::uint64_t requests = service->requestCount();
  advance(12);
  EXPECT_EQ(service->requestCount(), requests);
}

TEST_F(PurchaseTest, RefusedPurchaseAlertsOnceAndStopsPolling) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;
  options.refusePlates = {"ABC1234"};
  startService(options);
  showMain();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(waitFor([&] { return main->isWaitingValidationVc(); }));
  pollOnce();
  EXPECT_EQ(alertMessages(),
            std::vector<std::string>{"No se pudo registrar la compra. Intente nuevamente."});
  EXPECT_EQ(alerts.record()[0].title, "Estacionamiento Tarifado");
  EXPECT_FALSE(pending());
  // Nothing else is pending: the waiting screen goes at once.
  EXPECT_FALSE(main->isWaitingValidationVc());
  std::uint64_t requests = service->requestCount();
  advance(4);
  loop.runPending();
  EXPECT_FALSE(main->isWaitingValidationVc());
  EXPECT_FALSE(waiting()->isPolling());
  advance(12);
  loop.runPending();
  EXPECT_EQ(service->requestCount(), requests);
  EXPECT_EQ(alerts.record().size(), 1u);
  EXPECT_TRUE(TicketManager::getInstance().getTickets().empty());
}

TEST_F(PurchaseTest, ServiceRefusalOfTheRequestShowsItsErrorsAndAllowsARetry) {
  startService();
  showMain();
  composeNinetyMinutes();
  Ticket odd = *confirm()->ticket();
  odd.minutes = 45;  // the service takes whole half hours only
  main->showConfirmBuyVC(odd, buy(), false);
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(waitFor([&] { return !alerts.record().empty(); }));
  EXPECT_EQ(alerts.record()[0].title, "Estacionamiento Tarifado");
  EXPECT_EQ(alertMessages()[0], "La duración debe ser un múltiplo positivo de 30 minutos.");
  EXPECT_FALSE(confirm()->enviado());
  EXPECT_TRUE(confirmShown());
  EXPECT_FALSE(pending());
  EXPECT_EQ(ui::KvProgressHUD::hideHUDForView(confirm()->view(), false), false);
}

TEST_F(PurchaseTest, TransportFailureKeepsThePurchasePendingAndAskedAbout) {
  startService();
  std::string closed = service->baseAddress();
  service->stop();
  AppConfig::setParkingServiceURL(closed);
  showMain();
  composeNinetyMinutes();
  std::int64_t id = *confirm()->ticket()->transactionId;
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(waitFor([&] { return !alerts.record().empty(); }));
  EXPECT_EQ(alerts.record()[0].title, "Sin conexión a internet");
  EXPECT_EQ(alertMessages()[0],
            "No se pudo comunicar con el servidor. La compra queda en proceso y se consultará su "
            "estado hasta saber si se registró.");
  // The service may have taken it: it stays pending, validation shows it and asks about it.
  ASSERT_EQ(pendingPurchases().size(), 1u);
  EXPECT_EQ(pendingPurchases()[0].transactionId, id);
  EXPECT_FALSE(confirmShown());
  EXPECT_TRUE(main->isWaitingValidationVc());
  EXPECT_TRUE(waiting()->isPolling());
  EXPECT_EQ(ui::KvProgressHUD::hideHUDForView(confirm()->view(), false), false);
  std::uint64_t polls = PurchaseTracker::shared().pollsSent();
  advance(4);
  ASSERT_TRUE(waitFor([&] { return waiting()->requestsUnderWay() == 0; }));
  EXPECT_EQ(PurchaseTracker::shared().pollsSent(), polls + 1);
  // A failed status query changes nothing and says nothing.
  EXPECT_TRUE(main->isWaitingValidationVc());
  EXPECT_TRUE(pending());
  EXPECT_EQ(alerts.record().size(), 1u);
}

TEST_F(PurchaseTest, TwoQuickTapsSendOneRequestAndLeaveOnePollTimer) {
  ParkingServiceOptions options;
  options.confirmAfter = 100;
  startService(options);
  showMain();
  composeNinetyMinutes();
  std::uint64_t before = service->requestCount();
  confirm()->confirmBtnTouched();
  confirm()->confirmBtnTouched();  // before the reply: closes and shows the waiting screen
  EXPECT_FALSE(confirmShown());
  EXPECT_TRUE(main->isWaitingValidationVc());
  ASSERT_TRUE(waitFor([&] { return waiting()->requestsUnderWay() == 0; }));
  loop.runPending();
  EXPECT_EQ(service->requestCount(), before + 1);
  EXPECT_TRUE(main->isWaitingValidationVc());
  // Polling was started twice; one poll per interval proves one timer.
  for (int i = 0; i < 3; ++i) {
    std::uint64_t n = service->requestCount();
    pollOnce();
    EXPECT_EQ(service->requestCount(), n + 1);
  }
}

TEST_F(PurchaseTest, LateAcceptanceRecordsTheTicketItAnswers) {
  ParkingServiceOptions options;
  options.confirmAfter = 100;
  startService(options);
  showMain();
  composeNinetyMinutes();
  Ticket first = *confirm()->ticket();
  confirm()->confirmBtnTouched();
  confirm()->confirmBtnTouched();
  // Before the reply is handled the screen is shown again for another ticket.
  Ticket other = first;
  other.license = "SBA4321";
  other.transactionId = TicketManager::getInstance().nextID();
  main->showConfirmBuyVC(other, buy(), false);
  ASSERT_TRUE(waitFor([&] { return waiting()->requestsUnderWay() == 0; }));
  ASSERT_EQ(pendingPurchases().size(), 1u);
  EXPECT_EQ(pendingPurchases()[0].transactionId, *first.transactionId);
  EXPECT_EQ(pendingPurchases()[0].plate, "ABC 1234");
  // The screen now shows the other ticket, untouched by the first one's acceptance.
  EXPECT_TRUE(confirmShown());
  EXPECT_FALSE(confirm()->enviado());
}

TEST_F(PurchaseTest, UnreadableRepliesKeepThePurchasePendingAndPolling) {
  ParkingServiceOptions options;
  options.confirmAfter = 0;
  startService(options);
  showMain();
  composeNinetyMinutes();
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(waitFor([&] { return main->isWaitingValidationVc(); }));
  std::string good = service->baseAddress();

  ParkingServiceOptions broken;
  broken.faults = {ServiceFault{ServiceFault::Kind::Garbage, 1.0}};
  ParkingService garbage(broken);
  ASSERT_TRUE(garbage.start("127.0.0.1", 0));
  AppConfig::setParkingServiceURL(garbage.baseAddress());
  advance(4);
  ASSERT_TRUE(
      waitFor([&] { return garbage.requestCount() == 1 && waiting()->requestsUnderWay() == 0; }));
  advance(4);
  ASSERT_TRUE(
      waitFor([&] { return garbage.requestCount() == 2 && waiting()->requestsUnderWay() == 0; }));
  loop.runPending();
  EXPECT_EQ(garbage.requestCount(), 2u);
  // No decision: the screen, the purchase and the polling stay; no ticket is invented.
  EXPECT_TRUE(main->isWaitingValidationVc());
  EXPECT_TRUE(pending());
  EXPECT_TRUE(waiting()->isPolling());
  EXPECT_TRUE(TicketManager::getInstance().getTickets().empty());
  EXPECT_TRUE(alerts.record().empty());

  AppConfig::setParkingServiceURL(good);
  pollOnce();
  EXPECT_FALSE(pending());
  EXPECT_EQ(TicketManager::getInstance().getTickets().size(), 1u);
  garbage.stop();
}

}  // namespace
}  // namespace est::testing
