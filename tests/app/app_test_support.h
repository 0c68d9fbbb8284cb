#pragma once

// Shared by the shell and account-flow tests: a launched application on virtual time, the
// parking service embedded on loopback, alerts recorded, test-double pages.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/app_config.h"
#include "app/app_delegate.h"
#include "app/local_notifications.h"
#include "app/main_view_controller.h"
#include "app/preference_keys.h"
#include "app/screens.h"
#include "http/http_request.h"
#include "parking_service.h"
#include "platform/manual_run_loop.h"
#include "platform/preferences.h"
#include "tickets/ticket.h"
#include "ui/alert.h"
#include "ui/animation.h"
#include "ui/paging_area.h"
#include "ui/progress_hud.h"
#include "ui/view.h"
#include "ui/view_controller.h"

namespace est::apptest {

// A main page that counts its refreshes.
class FakePage : public MainPage {
 public:
  explicit FakePage(QString name) : name_(std::move(name)) {}
  void updateView() override { ++updates; }
  int updates = 0;

 protected:
  void loadView() override {
    auto* view = new QLabel(name_);
    view->setObjectName(name_);
    setView(view);
  }

 private:
  QString name_;
};

class FakeConfirm : public ConfirmBuyScreen {
 public:
  void setMainController(MainViewController* main) override { this->main = main; }
  void setDelegate(ConfirmBuyDelegate* d) override { delegate = d; }
  void setTicket(const Ticket& t) override { plate = t.license; }
  void setSpeedSell(bool s) override { speed = s; }
  MainViewController* main = nullptr;
  ConfirmBuyDelegate* delegate = nullptr;
  std::string plate;
  bool speed = false;
};

class FakeWaiting : public WaitingValidationScreen {
 public:
  void setMainController(MainViewController* main) override { this->main = main; }
  void setTitleBuying() override { ++buyingTitles; }
  void setTitleBuyed(const std::string& text) override { buyedTitle = text; }
  void startBackgroundProcess() override { ++polls; }
  MainViewController* main = nullptr;
  int buyingTitles = 0;
  int polls = 0;
  std::string buyedTitle;
};

// Whether a busy overlay still shows over `view`.
inline bool hasHUD(QWidget* view) {
  for (auto* hud : view->findChildren<ui::KvProgressHUD*>(Qt::FindDirectChildrenOnly))
    if (!hud->isHidden() && ui::alpha(hud) > 0.01) return true;
  return false;
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMain(&loop);
    ui::setAnimationsEnabled(true);
    ui::AlertPresenter::setCurrent(&alerts);
    Preferences& prefs = Preferences::standard();
    for (const std::string& key : prefs.keys()) prefs.removeObject(key);
    prefs.flush();
    AppConfig::setDemo(false);
    notifications = std::make_unique<LocalNotificationCenter>();
    notifications->setDeliverer([this](const LocalNotification& n) { shown.push_back(n); });
  }

  void TearDown() override {
    delegate.reset();
    ui::finishAllAnimations();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (auto& op : HTTPRequest::sharedQueue().operations()) op->cancel();
    pump([] { return HTTPRequest::sharedQueue().operationCount() == 0; }, 5);
    loop.runPending();
    HTTPRequest::closeIdlePersistentConnections();
    notifications.reset();
    if (service) service->stop();
    ui::AlertPresenter::setCurrent(nullptr);
    ui::setAnimationsEnabled(true);
    RunLoop::setMain(nullptr);
  }

  void startService(ParkingServiceOptions options = {}) {
    options.pinObserver = [this](const std::string& phone, const std::string& pin) {
      std::lock_guard lock(pinMutex);
      lastPin = pin;
      lastPinPhone = phone;
    };
    service = std::make_unique<ParkingService>(std::move(options));
    Error error;
    ASSERT_TRUE(service->start("127.0.0.1", 0, &error)) << error.description;
    AppConfig::setParkingServiceURL(service->baseAddress());
    AppConfig::setRegistryServiceURL(service->baseAddress());
  }

  // Pages made by the factory are recorded here.
  ScreenFactory fakeFactory() {
    ScreenFactory f;
    f.home = [this] { return home = new FakePage("home"); };
    f.buy = [this] { return buy = new FakePage("buy"); };
    f.tickets = [this] { return tickets = new FakePage("tickets"); };
    f.settings = [this] { return settings = new FakePage("settings"); };
    f.sucive = [this] { return sucive = new FakePage("sucive"); };
    f.confirmBuy = [this] { return confirm = new FakeConfirm(); };
    f.waitingValidation = [this] { return waiting = new FakeWaiting(); };
    return f;
  }

  void launch() {
    delegate = std::make_unique<AppDelegate>(fakeFactory(), notifications.get());
    ASSERT_TRUE(delegate->didFinishLaunchingWithOptions());
    delegate->window()->resize(320, 568);
  }

  MainViewController& main() { return *delegate->viewcontroller(); }

  // Runs callbacks (real network replies, posted to the loop) until `done` holds.
  bool pump(const std::function<bool()>& done, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline)
      if (loop.waitUntil(done, Seconds(0.005))) return true;
    return done();
  }

  void advance(double seconds) { loop.advance(Seconds(seconds)); }
  // Lets every slide and scroll reach its end.
  static void settle() { ui::finishAllAnimations(); }

  QString title() { return main().labelPageSelected()->text(); }
  QString image(QAbstractButton* b) { return main().buttonImageName(b); }
  std::optional<std::string> lastAlertMessage() {
    if (alerts.record().empty()) return std::nullopt;
    return alerts.record().back().message.toStdString();
  }
  std::optional<std::string> pref(const char* key) {
    auto value = Preferences::standard().objectForKey(key);
    if (!value || !value->text()) return std::nullopt;
    return *value->text();
  }
  std::optional<std::string> pinSentTo(const std::string& phone) {
    std::lock_guard lock(pinMutex);
    if (lastPinPhone != phone) return std::nullopt;
    return lastPin;
  }

  ManualRunLoop loop;
  ui::AlertPresenter alerts;
  std::unique_ptr<ParkingService> service;
  std::unique_ptr<LocalNotificationCenter> notifications;
  std::vector<LocalNotification> shown;
  std::unique_ptr<AppDelegate> delegate;
  FakePage *home = nullptr, *buy = nullptr, *tickets = nullptr, *settings = nullptr,
           *sucive = nullptr;
  FakeConfirm* confirm = nullptr;
  FakeWaiting* waiting = nullptr;
  std::mutex pinMutex;
  std::string lastPin, lastPinPhone;
};

}  // namespace est::apptest
