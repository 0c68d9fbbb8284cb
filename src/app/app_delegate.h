#pragma once

// The application shell: builds the window and the root screen, seeds the defaults, refreshes
// the pages every 10 seconds while active, and reminds the user of a purchase left pending.

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <map>
#include <memory>
#include <string>

#include "app/screens.h"
#include "platform/run_loop.h"

class QWidget;

namespace est {

namespace ui {
class Window;
class WindowFrame;
}  // namespace ui
class MainViewController;
class LocalNotificationCenter;
class NetworkChangeWatcher;
struct LocalNotification;

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  using LaunchOptions = std::map<std::string, std::string>;
  static constexpr const char* kRemoteNotificationKey =
      "UIApplicationLaunchOptionsRemoteNotificationKey";
  static constexpr double kRefreshInterval = 10.0;
  static constexpr double kReminderDelay = 15.0;
  static constexpr const char* kReminderText =
      QT_TRANSLATE_NOOP("AppDelegate", "Verifique el estato de su solicitud");
  static constexpr const char* kUnreadableDataText = QT_TRANSLATE_NOOP(
      "AppDelegate",
      "No se pudieron leer sus datos guardados. No se borró nada: la aplicación funciona sin "
      "ellos por ahora y los volverá a leer la próxima vez que la abra.");

  // `notifications` null uses the shared centre.
  explicit AppDelegate(ScreenFactory factory = {}, LocalNotificationCenter* notifications = nullptr,
                       QObject* parent = nullptr);
  ~AppDelegate() override;

  bool didFinishLaunchingWithOptions(const LaunchOptions& options = {});
  void loadInitialData();
  void registerForRemoteNotification();
  void didReceiveLocalNotification(const LocalNotification& notification);

  void applicationWillResignActive();
  void applicationDidEnterBackground();
  void applicationWillEnterForeground();
  void applicationWillTerminate();
  void applicationDidBecomeActive();

  // Maps Qt's application and window states onto the events above. Installed by
  // didFinishLaunchingWithOptions; public so tests can drive it.
  void handleApplicationState(Qt::ApplicationState state);
  void handleWindowMinimized(bool minimized);

  // Tells the user, once per run, that a store's file could not be read (noteUnreadableFile).
  // Checked at activation and at every refresh, since the stores read their files lazily.
  void tellAboutUnreadableData();

  void startTimer();
  void stopTimer();
  bool isTimerRunning() const { return theTimer_ != 0; }
  void countdownTracker();

  // Brings the page for the sender's tag (31 home, 32 buy, 33 tickets, 34 options) to the front.
  void menuBarSelected(QObject* sender);
  void menuBarSelected(int tag);

  ui::Window* window() const { return window_.get(); }
  // The desktop window that draws window() scaled.
  ui::WindowFrame* frame() const { return frame_.get(); }
  MainViewController* viewcontroller() const;
  LocalNotificationCenter& notifications() const { return *notifications_; }
  // Closes idle pooled connections at every network change; made at launch.
  NetworkChangeWatcher* networkChangeWatcher() const { return networkChangeWatcher_.get(); }

  // Page links, filled from the root screen's pages once it has loaded.
  MainPage* homeVC = nullptr;
  MainPage* buyVC = nullptr;
  MainPage* ticketVC = nullptr;
  MainPage* settingsVC = nullptr;
  MainPage* suciveVC = nullptr;
  void linkPages();

  // The window's title, with "DEMO" and the badge number when there is one.
  void setBaseTitle(const QString& title);
  void updateWindowTitle();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  enum class Phase { Inactive, Active, Background };

  ScreenFactory factory_;
  LocalNotificationCenter* notifications_;
  std::unique_ptr<ui::Window> window_;
  std::unique_ptr<ui::WindowFrame> frame_;  // after window_: goes first and hands it back
  std::unique_ptr<NetworkChangeWatcher> networkChangeWatcher_;
  QPointer<MainViewController> viewcontroller_;
  TimerId theTimer_ = 0;
  Phase phase_ = Phase::Inactive;
  bool toldAboutUnreadableData_ = false;
  QString baseTitle_ = QCoreApplication::translate("AppDelegate", "Estacionamiento Tarifado");
};

}  // namespace est
