// The main of every offscreen Qt test program: no display, private folders for preferences,
// tickets, the vendor identifier and notification schedules, and local dates in a fixed zone
// (three hours behind UTC all year) so calendar rules test the same everywhere. The screens'
// texts are asserted in Spanish, so the language is pinned for the test and the programs it
// starts, whatever the machine's locale.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QApplication>
#include <filesystem>
#include <string>
#include <system_error>

#include "ui/fonts.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string home = (std::filesystem::temp_directory_path() / "est-qt-tests-XXXXXX").string();
  if (!::mkdtemp(home.data())) return 2;
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "HOME"})
    ::setenv(name, home.c_str(), 1);
  ::setenv("LANGUAGE", "es", 1);
  ::setenv("TZ", "<-03>3", 1);
  ::tzset();
  int result;
  {
    QApplication app(argc, argv);
    est::ui::installFontSubstitutions();
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return result;
}
