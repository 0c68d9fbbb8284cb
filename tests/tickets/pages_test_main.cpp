#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QApplication>
#include <filesystem>

#include "ui/fonts.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Preferences, the ticket file and the vendor identifier live in a private folder, and
  // local dates in a fixed zone (three hours behind UTC all year).
  std::string pattern = (std::filesystem::temp_directory_path() / "est-pages-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 2;
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "HOME"})
    ::setenv(name, pattern.c_str(), 1);
  ::setenv("TZ", "<-03>3", 1);
  ::tzset();
  QApplication app(argc, argv);
  est::ui::installFontSubstitutions();
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
  return result;
}
