// The executable as a user starts it: without a display it explains itself in one line; with
// one (offscreen here) and no addresses it starts the demo service and says where.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include "http/http_request.h"
#include "protocol/parking_protocol.h"

namespace {

QProcessEnvironment cleanEnvironment(const QTemporaryDir& home) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PARKING_SERVICE_URL",
                          "REGISTRY_SERVICE_URL"})
    env.remove(var);
  for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
    env.insert(var, home.path() + "/" + var);
  QDir().mkpath(home.path() + "/XDG_RUNTIME_DIR");
  return env;
}

// The application in demo mode, offscreen, in its own folders; its standard error is kept.
class DemoApp {
 public:
  explicit DemoApp(const QTemporaryDir& home) {
    QProcessEnvironment env = cleanEnvironment(home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process_.setProcessEnvironment(env);
  }
  ~DemoApp() { stop(); }

  QProcess& process() { return process_; }
  void start() {
    process_.start(ESTACIONAMIENTO_PATH, {});
    process_.waitForStarted(10000);
  }

  // Reads standard error until `pattern` shows (generous bounds: a loaded CI machine can take
  // seconds to start a Qt program); gives its first capture, or nothing.
  QString waitFor(const QString& pattern) {
    QRegularExpression re(pattern);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
      auto match = re.match(QString::fromUtf8(err_));
      if (match.hasMatch()) return match.captured(1);
      if (process_.state() != QProcess::Running) break;
      process_.waitForReadyRead(200);
      err_ += process_.readAllStandardError();
    }
    return QString();
  }
  QString serviceAddress() { return waitFor("listening at (http://127\\.0\\.0\\.1:\\d+)"); }
  const QByteArray& standardError() const { return err_; }

  // Ends the event loop; the application closes down normally.
  bool stop() {
    if (process_.state() == QProcess::NotRunning) return true;
    process_.terminate();
    bool ended = process_.waitForFinished(20000);
    if (!ended) {
      process_.kill();
      process_.waitForFinished(5000);
    }
    err_ += process_.readAllStandardError();
    return ended && process_.exitStatus() == QProcess::NormalExit;
  }

 private:
  QProcess process_;
  QByteArray err_;
};

std::string get(const std::string& url) {
  auto request = est::HTTPRequest::requestWithURL(url);
  request->setTimeOutSeconds(10);
  request->startSynchronous();
  return request->responseString().value_or("");
}

// Every file under `dir` with its size and modification time.
QStringList snapshot(const QString& dir) {
  QStringList out;
  QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFileInfo info(it.next());
    // Contents rather than times: the running copy may save unchanged values at any moment.
    QFile file(info.filePath());
    QByteArray digest;
    if (info.isFile() && file.open(QIODevice::ReadOnly))
      digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
    out << info.filePath() + " " + QString::number(info.size()) + " " + digest;
  }
  out.sort();
  return out;
}

TEST(Executable, WithoutADisplayItSaysHowToRunItAndUnknownOptionsAreRefused) {
  QTemporaryDir home;
  QProcess app;
  app.setProcessEnvironment(cleanEnvironment(home));
  app.start(ESTACIONAMIENTO_PATH, {});
  ASSERT_TRUE(app.waitForFinished(10000));
  EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app.exitCode(), 1);
  QString err = QString::fromUtf8(app.readAllStandardError()).trimmed();
  EXPECT_EQ(err.count('\n'), 0) << err.toStdString();
  EXPECT_TRUE(err.contains("xvfb-run")) << err.toStdString();

  for (QStringList options : {QStringList{"--parking-service"}, QStringList{"--colour", "blue"}}) {
    app.start(ESTACIONAMIENTO_PATH, options);
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitCode(), 2) << options.join(' ').toStdString();
  }
}

TEST(Executable, DemoModeStartsItsOwnServiceAndLogsWhere) {
  QTemporaryDir home;
  DemoApp app(home);
  app.start();
  EXPECT_FALSE(app.serviceAddress().isEmpty()) << app.standardError().toStdString();
  EXPECT_EQ(app.process().state(), QProcess::Running);
  EXPECT_TRUE(app.stop());
}

TEST(Executable, ASecondLaunchRaisesTheRunningWindowAndLeavesWritingNothing) {
  QTemporaryDir home;
  DemoApp first(home);
  first.start();
  ASSERT_FALSE(first.serviceAddress().isEmpty()) << first.standardError().toStdString();
  // The first copy may still be saving what it set up at launch; wait until its files rest.
  QStringList before = snapshot(home.path());
  for (int i = 0; i < 50; ++i) {
    QThread::msleep(200);
    QStringList now = snapshot(home.path());
    if (now == before) break;
    before = now;
  }

  DemoApp second(home);
  second.start();
  ASSERT_TRUE(second.process().waitForFinished(20000));
  EXPECT_EQ(second.process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.process().exitCode(), 0);
  EXPECT_FALSE(first.waitFor("(another launch asked for the window)").isEmpty())
      << first.standardError().toStdString();
  EXPECT_EQ(snapshot(home.path()), before) << "the second launch wrote nothing";
  EXPECT_EQ(first.process().state(), QProcess::Running);
  EXPECT_TRUE(first.stop());
}

TEST(Executable, ADemoRegistrationSurvivesARestart) {
  QTemporaryDir home;
  const std::string phone = "099123456";
  const std::string device = "6F1A2B3C-4D5E-4F60-8A7B-9C0D1E2F3A4B";
  est::ParkingPurchase purchase{phone, 4711, device, "ABC 1234", 60, "14:00"};
  {
    DemoApp app(home);
    app.start();
    const std::string base = app.serviceAddress().toStdString();
    ASSERT_FALSE(base.empty()) << app.standardError().toStdString();
    get(est::validateNumberURL(base, phone, device));
    const QString pin = app.waitFor("PIN for 099123456 is (\\d{4})");
    ASSERT_FALSE(pin.isEmpty()) << app.standardError().toStdString();
    const std::string validated = get(est::validatePinURL(base, phone, device, pin.toStdString()));
    ASSERT_NE(validated.find("\"validationSucesfull\":true"), std::string::npos) << validated;
    ASSERT_TRUE(app.stop());
  }
  DemoApp restarted(home);
  restarted.start();
  const std::string base = restarted.serviceAddress().toStdString();
  ASSERT_FALSE(base.empty()) << restarted.standardError().toStdString();
  const std::string reply = get(est::solicitarEstacionamientoURL(base, purchase));
  EXPECT_NE(reply.find("\"status\":0"), std::string::npos) << "the purchase is taken: " << reply;
  EXPECT_TRUE(restarted.stop());
}

}  // namespace
