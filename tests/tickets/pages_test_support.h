#pragma once

// The root screen with the real pages, on virtual time, a pinned clock and a recording alert
// presenter, with the parking service embedded on loopback.

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <memory>

#include "app/app_config.h"
#include "app/app_delegate.h"
#include "app/local_notifications.h"
#include "app/main_view_controller.h"
#include "http/http_request.h"
#include "parking_service.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/preferences.h"
#include "protocol/parking_protocol.h"
#include "registry/sucive_view_controller.h"
#include "tickets/buy_view_controller.h"
#include "tickets/confirm_buy_view_controller.h"
#include "tickets/home_view_controller.h"
#include "tickets/pending_purchases.h"
#include "tickets/purchase_tracker.h"
#include "tickets/settings_view_controller.h"
#include "tickets/ticket_manager.h"
#include "tickets/tickets_view_controller.h"
#include "tickets/waiting_validation_view_controller.h"
#include "ui/alert.h"
#include "ui/animation.h"
#include "ui/progress_hud.h"
#include "ui/test_fixture.h"
#include "ui/view.h"

namespace est::testing {

inline constexpr const char* kPhone = "099123456";

// 2026-03-04 is a Wednesday; the 7th a Saturday, the 8th a Sunday, the 9th a Monday.
inline TimePoint dayAt(int day, int h, int m, int s = 0) {
  return fromLocal(LocalTime{2026, 3, day, h, m, s});
}
inline TimePoint wednesdayAt(int h, int m, int s = 0) {
  return dayAt(4, h, m, s);
}

class PagesTest : public ui::test::UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    clock.set(wednesdayAt(14, 0));
    Clock::setCurrent(&clock);
    ui::AlertPresenter::setCurrent(&alerts);
    ui::setAnimationsEnabled(false);
    Preferences& prefs = Preferences::standard();
    for (const std::string& key : prefs.keys()) prefs.removeObject(key);
    prefs.setObject("defaultTime", PrefValue("30"));
    prefs.setObject("pin_sended", PrefValue(true));
    prefs.setObject("Licenses", PrefValue(PrefArray{"ABC 1234", "SBA4321"}));
    prefs.setObject("ABC 1234", PrefValue("Fiat Uno"));
    prefs.setObject("SBA4321", PrefValue("Ford Ka"));
    prefs.setObject("defaultLicense", PrefValue("ABC 1234"));
    prefs.setObject("userPhoneNumber", PrefValue(kPhone));
    prefs.setObject("price", PrefValue(25.0));
    std::error_code ec;
    std::filesystem::remove(TicketManager::getInstance().pathToPlist(), ec);
    LocalNotificationCenter::shared().cancelAllLocalNotifications();
    AppConfig::setParkingServiceURL("http://127.0.0.1:9");
    AppConfig::setRegistryServiceURL("http://127.0.0.1:9");
  }

  void TearDown() override {
    // Whatever a test did, the user never saw an alert without a message.
    for (const auto& record : alerts.record())
      EXPECT_FALSE(record.message.trimmed().isEmpty())
          << "alert titled " << record.title.toStdString();
    PurchaseTracker::shared().reset();
    if (main) {
      ui::finishAllAnimations();
      window.reset();
      main.reset();
    }
    if (service) service->stop();
    flushDeletes();
    ui::AlertPresenter::setCurrent(nullptr);
    Clock::setCurrent(nullptr);
    UiTest::TearDown();
  }

  // The embedded service, with this device's phone registered.
  void startService(ParkingServiceOptions options = {}) {
    service = std::make_unique<ParkingService>(std::move(options));
    Error error;
    ASSERT_TRUE(service->start("127.0.0.1", 0, &error)) << error.description;
    AppConfig::setParkingServiceURL(service->baseAddress());
    AppConfig::setRegistryServiceURL(service->baseAddress());
    std::string base = service->baseAddress();
    auto fetch = [](const std::string& url) {
      HTTPRequestPtr request = HTTPRequest::requestWithURL(url);
      request->startSynchronous();
      return request->responseData();
    };
    ASSERT_EQ(readValidateNumberReply(fetch(validateNumberURL(base, kPhone, vendorIdentifier()))),
              ValidateNumberOutcome::Accepted);
    std::optional<std::string> pin = service->pinFor(kPhone);
    ASSERT_TRUE(pin);
    ASSERT_EQ(readValidatePinReply(fetch(validatePinURL(base, kPhone, vendorIdentifier(), *pin))),
              ValidatePinOutcome::Correct);
  }

  // A fresh install: nothing stored at all.
  static void freshInstall() {
    Preferences& prefs = Preferences::standard();
    for (const std::string& key : prefs.keys()) prefs.removeObject(key);
    prefs.flush();
  }

  // Composes 90 minutes at 14:00 on the buy page for the default plate and asks for
  // confirmation.
  void composeNinetyMinutes() {
    buy()->updateView();
    buy()->layout().slider->setValue(3);
    buy()->sliderValueChanged();
    buy()->btnComprarTouched();
    ASSERT_TRUE(confirmShown());
  }

  // Every real page, as the application builds them.
  static ScreenFactory pageScreens() {
    ScreenFactory factory;
    factory.home = [] { return new HomeViewController; };
    factory.buy = [] { return new BuyViewController; };
    factory.tickets = [] { return new TicketsViewController; };
    factory.settings = [] { return new SettingsViewController; };
    factory.sucive = [] { return new SuciveViewController; };
    factory.confirmBuy = [] { return new ConfirmBuyViewController; };
    factory.waitingValidation = [] { return new WaitingValidationViewController; };
    return factory;
  }

  // The root screen in a window, routed by the welcome screen to the five pages.
  void showMain() {
    main = std::make_unique<MainViewController>(pageScreens());
    window = std::make_unique<ui::Window>();
    window->setRootViewController(main.get());
    window->makeKeyAndVisible();
    loop.runPending();
    ASSERT_EQ(main->estado(), MainViewController::kStandard);
  }

  HomeViewController* home() { return static_cast<HomeViewController*>(main->homeVC()); }
  BuyViewController* buy() { return static_cast<BuyViewController*>(main->buyVC()); }
  TicketsViewController* tickets() { return static_cast<TicketsViewController*>(main->ticketVC()); }
  SettingsViewController* settings() {
    return static_cast<SettingsViewController*>(main->settingsVC());
  }
  SuciveViewController* sucive() { return static_cast<SuciveViewController*>(main->suciveVC()); }
  ConfirmBuyViewController* confirm() {
    return static_cast<ConfirmBuyViewController*>(main->confirmBuyVC());
  }
  WaitingValidationViewController* waiting() {
    return static_cast<WaitingValidationViewController*>(main->waitingValidationVC());
  }
  bool confirmShown() {
    return confirm() && main->transparentModalViewController() == confirm() &&
           confirm()->isViewInHierarchy();
  }

  // Moves the clock and the run loop together.
  void advance(double seconds) {
    clock.advance(std::chrono::duration<double>(seconds));
    loop.advance(Seconds(seconds));
  }
  bool waitFor(const std::function<bool()>& done) { return loop.waitUntil(done, Seconds(10)); }

  // The pending purchases as stored.
  std::vector<PendingPurchase> pendingPurchases() { return PendingPurchases().all(); }
  bool pending() { return !PendingPurchases().empty(); }

  std::vector<std::string> alertMessages() const {
    std::vector<std::string> out;
    for (const auto& record : alerts.record()) out.push_back(record.message.toStdString());
    return out;
  }

  // A purchase still undecided by the service: ABC 1234 for an hour from 15:30 on Wednesday.
  void addPendingExtension() {
    PendingPurchase extension;
    extension.transactionId = TicketManager::getInstance().nextID();
    extension.plate = "ABC 1234";
    extension.start = wednesdayAt(15, 30);
    extension.minutes = 60;
    ASSERT_TRUE(PendingPurchases().add(extension));
  }

  // A stored ticket, today (per the clock) from h1:m1 to h2:m2.
  void storeTicket(const std::string& plate, int h1, int m1, int h2, int m2,
                   std::optional<int> minutes = std::nullopt) {
    Ticket t;
    t.license = plate;
    t.timeStart = todayAt(h1, m1, clock.now());
    t.timeEnd = todayAt(h2, m2, clock.now());
    t.minutes = minutes;
    t.transactionId = TicketManager::getInstance().nextID();
    ASSERT_TRUE(TicketManager::getInstance().add(t));
  }

  ManualClock clock;
  ui::AlertPresenter alerts;
  std::unique_ptr<ParkingService> service;
  std::unique_ptr<MainViewController> main;
  std::unique_ptr<ui::Window> window;
};

// The whole application launched with the real pages: the shell, its window and frame.
class LaunchedAppTest : public PagesTest {
 protected:
  void TearDown() override {
    ui::finishAllAnimations();
    delegate.reset();
    flushDeletes();
    for (auto& op : HTTPRequest::sharedQueue().operations()) op->cancel();
    loop.waitUntil([] { return HTTPRequest::sharedQueue().operationCount() == 0; }, Seconds(5));
    loop.runPending();
    HTTPRequest::closeIdlePersistentConnections();
    PagesTest::TearDown();
  }

  void launchApp() {
    delegate = std::make_unique<AppDelegate>(pageScreens());
    ASSERT_TRUE(delegate->didFinishLaunchingWithOptions());
    loop.runPending();
  }

  MainViewController& app() { return *delegate->viewcontroller(); }

  std::unique_ptr<AppDelegate> delegate;
};

}  // namespace est::testing
