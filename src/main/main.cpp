// The application's entry: reads the two service addresses (or starts the embedded demo
// service), then hands over to the shell.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/app_config.h"
#include "app/app_delegate.h"
#include "app/local_notifications.h"
#include "app/screens.h"
#include "app/single_instance.h"
#include "app/translations.h"
#include "parking_service.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/preferences.h"
#include "platform/qt/clock_change_monitor.h"
#include "platform/qt/qt_run_loop.h"
#include "ui/alert.h"
#include "ui/fonts.h"
#include "ui/view_controller.h"
#include "ui/window_frame.h"

#ifdef EST_HAVE_PAGES
#include "registry/sucive_view_controller.h"
#include "tickets/buy_view_controller.h"
#include "tickets/confirm_buy_view_controller.h"
#include "tickets/home_view_controller.h"
#include "tickets/settings_view_controller.h"
#include "tickets/tickets_view_controller.h"
#include "tickets/waiting_validation_view_controller.h"
#endif

namespace {

constexpr const char* kUsage =
    "usage: estacionamiento [--parking-service URL] [--registry-service URL]\n"
    "       estacionamiento -h | --help\n"
    "  Without either address (options or PARKING_SERVICE_URL / REGISTRY_SERVICE_URL) a demo\n"
    "  parking service starts on this machine.\n";

struct Options {
  std::string parking;
  std::string registry;
};

// Answers false (after printing why) on anything it does not know.
bool parseArguments(int argc, char** argv, Options* out) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* target = nullptr;
    std::string value;
    for (auto [name, field] : {std::pair{"--parking-service", &out->parking},
                               std::pair{"--registry-service", &out->registry}}) {
      std::string prefix = std::string(name) + "=";
      if (arg == name) {
        if (i + 1 >= argc) {
          std::fprintf(stderr, "estacionamiento: %s needs a URL\n%s", name, kUsage);
          return false;
        }
        target = field;
        value = argv[++i];
      } else if (arg.rfind(prefix, 0) == 0) {
        target = field;
        value = arg.substr(prefix.size());
      }
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (!target) {
      std::fprintf(stderr, "estacionamiento: unknown argument %s\n%s", arg.c_str(), kUsage);
      return false;
    }
    *target = value;
  }
  return true;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool hasDisplay() {
  return !environment("QT_QPA_PLATFORM").empty() || !environment("DISPLAY").empty() ||
         !environment("WAYLAND_DISPLAY").empty();
}

// SIGINT and SIGTERM end the event loop normally, so preferences are flushed and the demo
// service stops; the handler only writes a byte for the loop to notice.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
  char byte = 1;
  ssize_t written = ::write(signalPipe[1], &byte, 1);
  (void)written;
}

// Caught from the start, before the demo service runs, so a signal that comes while the
// window is still being built is held until the event loop can act on it.
void catchQuitSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return;
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
}

void quitOnSignals(QApplication& app) {
  if (signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });
}

est::ScreenFactory makeFactory() {
  est::ScreenFactory factory;
#ifdef EST_HAVE_PAGES
  factory.home = [] { return new est::HomeViewController(); };
  factory.buy = [] { return new est::BuyViewController(); };
  factory.tickets = [] { return new est::TicketsViewController(); };
  factory.settings = [] { return new est::SettingsViewController(); };
  factory.sucive = [] { return new est::SuciveViewController(); };
  factory.confirmBuy = [] { return new est::ConfirmBuyViewController(); };
  factory.waitingValidation = [] { return new est::WaitingValidationViewController(); };
#endif
  return factory;
}

// The embedded service keeps accounts, PINs and purchases in the data folder, so a user
// registered in demo mode can still buy after a restart. A state file that cannot be read is
// left alone (the service runs in memory); one that does not decode is moved aside.
std::unique_ptr<est::ParkingService> startDemoService(est::Error* error) {
  est::ParkingServiceOptions options;
  options.pinObserver = [](const std::string& phone, const std::string& pin) {
    est::logf("demo: PIN for %s is %s", phone.c_str(), pin.c_str());
  };
  options.stateFile = (est::dataDirectory() / "demo-service.json").string();
  auto demo = std::make_unique<est::ParkingService>(options);
  if (demo->start("127.0.0.1", 0, error)) return demo;
  // The service reports a state file it read but could not decode with code 2.
  const bool damaged = error->domain == est::ParkingServiceErrorDomain && error->code == 2;
  if (error->domain == est::kPOSIXErrorDomain) {
    est::noteUnreadableFile(options.stateFile, *error);
    options.stateFile.clear();
  } else if (!damaged) {
    return nullptr;
  } else if (auto aside = est::moveAsideCorrupt(options.stateFile, error)) {
    est::logf("demo: %s cannot be read; moved aside to %s", options.stateFile.c_str(),
              aside->c_str());
  } else {
    return nullptr;
  }
  demo = std::make_unique<est::ParkingService>(options);
  if (demo->start("127.0.0.1", 0, error)) return demo;
  return nullptr;
}

void raiseWindow(QWidget* window) {
  if (!window) return;
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseArguments(argc, argv, &options)) return 2;
  if (options.parking.empty()) options.parking = environment("PARKING_SERVICE_URL");
  if (options.registry.empty()) options.registry = environment("REGISTRY_SERVICE_URL");

  if (!hasDisplay()) {
    std::fputs(
        "estacionamiento: no display found; run it on a desktop session or under "
        "xvfb-run (xvfb-run -a estacionamiento)\n",
        stderr);
    return 1;
  }

  catchQuitSignals();
  est::setApplicationName("estacionamiento");
  QApplication app(argc, argv);
  QApplication::setApplicationName("Estacionamiento Tarifado");
  // Lets Wayland compositors and docks tie the window to the installed desktop entry.
  QGuiApplication::setDesktopFileName(EST_DESKTOP_ID);
  est::installTranslations(app, est::chooseLanguage(est::currentLocaleEnvironment()));
  // Two copies would each rewrite whole files from their own memory; a later launch only
  // brings the running window forward, before anything is read or written.
  est::SingleInstance instance;
  if (!instance.isPrimary()) {
    if (!instance.askRunningCopyToRaise())
      std::fputs("estacionamiento: already running, but it did not answer\n", stderr);
    return 0;
  }

  std::unique_ptr<est::ParkingService> demo;
  if (options.parking.empty() && options.registry.empty()) {
    est::Error error;
    demo = startDemoService(&error);
    if (!demo) {
      std::fprintf(stderr, "estacionamiento: the demo parking service did not start: %s\n",
                   error.description.c_str());
      return 1;
    }
    options.parking = options.registry = demo->baseAddress();
    est::logf("demo: parking and registry service listening at %s", options.parking.c_str());
    est::AppConfig::setDemo(true);
  } else {
    // One address given: the other service is taken to live at the same place.
    if (options.parking.empty()) options.parking = options.registry;
    if (options.registry.empty()) options.registry = options.parking;
  }
  est::AppConfig::setParkingServiceURL(options.parking);
  est::AppConfig::setRegistryServiceURL(options.registry);

  est::ui::installFontSubstitutions();
  quitOnSignals(app);
  est::QtRunLoop loop;
  est::RunLoop::setMain(&loop);
  est::Preferences::standard().startAutoFlush(loop);

  int status = 0;
  {
    est::AppDelegate delegate(makeFactory());
    delegate.didFinishLaunchingWithOptions();
    est::ui::WindowAlertPresenter alerts(delegate.window());
    est::ui::AlertPresenter::setCurrent(&alerts);
    instance.listen([&delegate] {
      // The desktop window is the frame that draws the screens; the canvas is not a window.
      raiseWindow(delegate.frame() ? static_cast<QWidget*>(delegate.frame()) : delegate.window());
    });
    // The first pages have read the stores by the time this runs.
    loop.post([&delegate] { delegate.tellAboutUnreadableData(); });
    delegate.notifications().resume();
    // Reminders keep to the calendar across clock changes and suspend.
    est::ClockChangeMonitor clockChanges([&delegate] { delegate.notifications().clockChanged(); });
    status = app.exec();
    est::ui::AlertPresenter::setCurrent(nullptr);
  }
  est::Preferences::standard().stopAutoFlush();
  est::Preferences::standard().flush();
  est::RunLoop::setMain(nullptr);
  if (demo) demo->stop();
  return status;
}
