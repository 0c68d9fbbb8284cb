// The executable as a user starts it: without a display it explains itself in one line; with
// one (offscreen here) and no addresses it starts the demo service and says where.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

QProcessEnvironment cleanEnvironment(const QTemporaryDir& home) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PARKING_SERVICE_URL",
                          "REGISTRY_SERVICE_URL"})
    env.remove(var);
  for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
    env.insert(var, home.path() + "/" + var);
  return env;
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
  QProcess app;
  QProcessEnvironment env = cleanEnvironment(home);
  env.insert("QT_QPA_PLATFORM", "offscreen");
  app.setProcessEnvironment(env);
  app.start(ESTACIONAMIENTO_PATH, {});
  ASSERT_TRUE(app.waitForStarted(10000));
  QByteArray err;
  // Generous bounds: a loaded CI machine can take seconds to start a Qt program.
  QElapsedTimer clock;
  clock.start();
  while (!err.contains("listening at http://127.0.0.1:") && clock.elapsed() < 30000 &&
         app.state() == QProcess::Running) {
    app.waitForReadyRead(200);
    err += app.readAllStandardError();
  }
  EXPECT_TRUE(err.contains("listening at http://127.0.0.1:")) << err.toStdString();
  EXPECT_EQ(app.state(), QProcess::Running);
  app.terminate();  // ends the event loop; the application closes down normally
  bool ended = app.waitForFinished(20000);
  if (!ended) {
    app.kill();
    app.waitForFinished(5000);
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
}

}  // namespace
