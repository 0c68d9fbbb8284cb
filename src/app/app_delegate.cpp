#include "app/app_delegate.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWindowStateChangeEvent>
#include <QtGlobal>

#include "app/app_config.h"
#include "app/color.h"
#include "app/local_notifications.h"
#include "app/main_view_controller.h"
#include "app/network_change_watcher.h"
#include "app/preference_keys.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/preferences.h"
#include "tickets/pending_purchases.h"
#include "ui/alert.h"
#include "ui/authentication_dialog.h"
#include "ui/image.h"
#include "ui/view.h"
#include "ui/view_controller.h"
#include "ui/window_frame.h"

// The artwork lives in this static library; its registration would be dropped by the linker
// without an explicit call.
static void initAppResources() {
  Q_INIT_RESOURCE(images);
}

namespace est {

AppDelegate::AppDelegate(ScreenFactory factory, LocalNotificationCenter* notifications,
                         QObject* parent)
    : QObject(parent),
      factory_(std::move(factory)),
      notifications_(notifications ? notifications : &LocalNotificationCenter::shared()) {
  initAppResources();
}

AppDelegate::~AppDelegate() {
  stopTimer();
  notifications_->setBadgeObserver({});
  if (window_) window_->removeEventFilter(this);
  if (frame_) frame_->removeEventFilter(this);
  if (window_) ui::AuthenticationDialog::install(nullptr);
  delete viewcontroller_.data();
}

bool AppDelegate::didFinishLaunchingWithOptions(const LaunchOptions& options) {
  // Light status-bar content: the window's own title bar stands in for the status bar here.
  window_ = std::make_unique<ui::Window>();
  ui::setBackgroundColor(window_.get(), Qt::white);
  // Requests that switch the login dialog on (proxies do by default) ask over this window.
  ui::AuthenticationDialog::install(window_.get());
  // The margins around the scaled screen take the colour of the pages' background.
  QImage page = ui::Image::named("fondo.png").pixmap(QSize(1, 1)).toImage();
  frame_ = std::make_unique<ui::WindowFrame>(
      window_.get(), page.isNull() ? QColor(Qt::black) : page.pixelColor(0, 0));
  frame_->setGeometryFile(Preferences::defaultFile().parent_path() / "window.plist");
  frame_->placeOnScreen();
  frame_->installEventFilter(this);
  loadInitialData();
  networkChangeWatcher_ = std::make_unique<NetworkChangeWatcher>();
  viewcontroller_ = new MainViewController(factory_);
  viewcontroller_->setAppDelegate(this);
  notifications_->setBadgeObserver([this](int) { updateWindowTitle(); });
  updateWindowTitle();
  window_->installEventFilter(this);
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::applicationStateChanged, this,
            &AppDelegate::handleApplicationState);
    connect(app, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
  }
  window_->setRootViewController(viewcontroller_);
  window_->makeKeyAndVisible();
  linkPages();
  if (options.count(kRemoteNotificationKey)) logLine("dictionario");
  return true;
}

MainViewController* AppDelegate::viewcontroller() const {
  return viewcontroller_;
}

void AppDelegate::linkPages() {
  if (!viewcontroller_) return;
  homeVC = viewcontroller_->homeVC();
  buyVC = viewcontroller_->buyVC();
  ticketVC = viewcontroller_->ticketVC();
  settingsVC = viewcontroller_->settingsVC();
  suciveVC = viewcontroller_->suciveVC();
}

void AppDelegate::loadInitialData() {
  Preferences& prefs = Preferences::standard();
  if (!prefs.objectForKey(prefs::kDefaultTime)) prefs.setObject(prefs::kDefaultTime, "30");
}

void AppDelegate::registerForRemoteNotification() {
  // The desktop asks no permission for local notifications; there is no remote service.
}

void AppDelegate::didReceiveLocalNotification(const LocalNotification& notification) {
  (void)notification;
}

void AppDelegate::applicationWillResignActive() {
  if (PendingPurchases().empty()) return;
  LocalNotification reminder;
  reminder.fireDate = Clock::current().now() + std::chrono::milliseconds(15000);
  reminder.timeZone = defaultTimeZoneName();
  reminder.alertBody = QCoreApplication::translate("AppDelegate", kReminderText).toStdString();
  reminder.repeatInterval = 0;
  reminder.applicationIconBadgeNumber = 1;
  reminder.soundName = kDefaultSoundName;
  // One reminder is enough: every focus change would otherwise pile up another.
  reminder.replaceKey = "pending-purchase";
  notifications_->scheduleLocalNotification(reminder);
}

void AppDelegate::applicationDidEnterBackground() {
  stopTimer();
  Preferences::standard().flush();
}

void AppDelegate::applicationWillEnterForeground() {}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::applicationDidBecomeActive() {
  notifications_->setApplicationIconBadgeNumber(0);
  startTimer();
  tellAboutUnreadableData();
}

void AppDelegate::tellAboutUnreadableData() {
  if (toldAboutUnreadableData_ || unreadableFiles().empty()) return;
  toldAboutUnreadableData_ = true;
  ui::showAlert(QCoreApplication::translate("AppDelegate", "Estacionamiento Tarifado"),
                QCoreApplication::translate("AppDelegate", kUnreadableDataText),
                QCoreApplication::translate("AppDelegate", "Ok"));
}

void AppDelegate::handleApplicationState(Qt::ApplicationState state) {
  switch (state) {
    case Qt::ApplicationActive:
      if (phase_ == Phase::Background) applicationWillEnterForeground();
      if (phase_ != Phase::Active) {
        phase_ = Phase::Active;
        applicationDidBecomeActive();
      }
      break;
    case Qt::ApplicationInactive:
      if (phase_ == Phase::Active) {
        phase_ = Phase::Inactive;
        applicationWillResignActive();
      }
      break;
    case Qt::ApplicationHidden:
    case Qt::ApplicationSuspended:
      handleWindowMinimized(true);
      break;
  }
}

void AppDelegate::handleWindowMinimized(bool minimized) {
  if (minimized) {
    if (phase_ == Phase::Active) applicationWillResignActive();
    if (phase_ != Phase::Background) {
      phase_ = Phase::Background;
      applicationDidEnterBackground();
    }
  } else if (phase_ == Phase::Background) {
    phase_ = Phase::Inactive;
    applicationWillEnterForeground();
  }
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == frame_.get() && event->type() == QEvent::WindowStateChange)
    handleWindowMinimized(frame_->isMinimized());
  return QObject::eventFilter(watched, event);
}

void AppDelegate::startTimer() {
  if (theTimer_) return;
  RunLoop* loop = RunLoop::main();
  if (!loop) return;
  theTimer_ = loop->schedule(
      Seconds(kRefreshInterval), [this] { countdownTracker(); }, true);
}

void AppDelegate::stopTimer() {
  if (!theTimer_) return;
  if (RunLoop* loop = RunLoop::main()) loop->cancel(theTimer_);
  theTimer_ = 0;
}

void AppDelegate::countdownTracker() {
  if (viewcontroller_) viewcontroller_->updateAll();
  logLine("updateAll");
  tellAboutUnreadableData();
}

void AppDelegate::menuBarSelected(QObject* sender) {
  auto* widget = qobject_cast<QWidget*>(sender);
  menuBarSelected(widget ? ui::tag(widget) : sender ? sender->property("tag").toInt() : 0);
}

void AppDelegate::menuBarSelected(int tag) {
  MainPage* page = nullptr;
  switch (tag) {
    case MainViewController::kTagHome:
      page = homeVC;
      break;
    case MainViewController::kTagBuy:
      page = buyVC;
      break;
    case MainViewController::kTagTickets:
      page = ticketVC;
      break;
    case MainViewController::kTagSettings:
      page = settingsVC;
      break;
    default:
      break;
  }
  if (!page || !viewcontroller_) return;
  ui::bringToFront(page->view());
  page->updateView();
}

void AppDelegate::setBaseTitle(const QString& title) {
  baseTitle_ = title;
  updateWindowTitle();
}

void AppDelegate::updateWindowTitle() {
  if (!window_) return;
  QString title = baseTitle_;
  if (AppConfig::isDemo()) title += " — DEMO";
  int badge = notifications_->applicationIconBadgeNumber();
  if (badge > 0) title = QString("(%1) ").arg(badge) + title;
  window_->setWindowTitle(title);
  if (frame_) frame_->setWindowTitle(title);
}

}  // namespace est
