// The language of the screens: which one the desktop's locale variables choose, and what
// happens when the English catalogue cannot be used.

#include "app/translations.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTranslator>

#include "platform/log.h"

namespace {

using est::Language;

struct Case {
  est::LocaleEnvironment environment;
  Language expected;
};

TEST(LanguageChoice, FollowsTheDesktopsPreference) {
  const Case cases[] = {
      {{}, Language::Spanish},
      {{"", "", "", "en_US.UTF-8"}, Language::English},
      {{"", "", "", "en_GB"}, Language::English},
      {{"", "", "", "en"}, Language::English},
      {{"", "", "", "es_UY.UTF-8"}, Language::Spanish},
      {{"", "", "", "C"}, Language::Spanish},
      {{"", "", "", "POSIX"}, Language::Spanish},
      {{"", "", "", "C.UTF-8"}, Language::Spanish},
      {{"", "", "", "fr_FR.UTF-8"}, Language::Spanish},
      {{"", "", "", "english"}, Language::Spanish},
      {{"", "", "", "en@quot"}, Language::English},
      // LC_ALL overrides LC_MESSAGES, which overrides LANG.
      {{"", "es_ES.UTF-8", "en_US.UTF-8", "en_US.UTF-8"}, Language::Spanish},
      {{"", "en_US.UTF-8", "es_ES.UTF-8", "es_ES.UTF-8"}, Language::English},
      {{"", "", "en_US.UTF-8", "es_ES.UTF-8"}, Language::English},
      {{"", "", "es_AR", "en_US.UTF-8"}, Language::Spanish},
      // A set variable of an unknown language decides too: Spanish.
      {{"", "de_DE.UTF-8", "", "en_US.UTF-8"}, Language::Spanish},
      // LANGUAGE comes first; its first entry naming a shipped language wins.
      {{"en_US", "es_UY.UTF-8", "", ""}, Language::English},
      {{"es:en", "", "", "en_US.UTF-8"}, Language::Spanish},
      {{"fr:de:en_GB:es", "", "", "es_UY.UTF-8"}, Language::English},
      {{"::en", "", "", ""}, Language::English},
      {{"fr:de", "", "", "en_US.UTF-8"}, Language::English},
      {{"fr", "es_UY", "", ""}, Language::Spanish},
      {{":", "", "", ""}, Language::Spanish},
  };
  for (const Case& c : cases) {
    const auto& e = c.environment;
    EXPECT_EQ(est::chooseLanguage(e), c.expected)
        << "LANGUAGE=" << e.language << " LC_ALL=" << e.lcAll << " LC_MESSAGES=" << e.lcMessages
        << " LANG=" << e.lang;
  }
}

// Leaves the application with no translator installed by the test.
class CatalogueInstall : public ::testing::Test {
 protected:
  void TearDown() override {
    for (QTranslator* t : QCoreApplication::instance()->findChildren<QTranslator*>()) {
      QCoreApplication::removeTranslator(t);
      delete t;
    }
  }
  QString translated(const char* context, const char* source) {
    return QCoreApplication::translate(context, source);
  }
};

TEST_F(CatalogueInstall, TheBuiltInCatalogueTranslatesAndSpanishNeedsNone) {
  est::LogCapture log;
  ASSERT_TRUE(est::installTranslations(*QCoreApplication::instance(), Language::Spanish));
  EXPECT_EQ(translated("MainViewController", "INICIO"), "INICIO");
  ASSERT_TRUE(est::installTranslations(*QCoreApplication::instance(), Language::English));
  EXPECT_EQ(translated("MainViewController", "INICIO"), "HOME");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(CatalogueInstall, AMissingOrDamagedCatalogueLeavesSpanishWithOneLogLine) {
  QTemporaryDir dir;
  const QString damaged = dir.filePath("estacionamiento_en.qm");
  QFile file(damaged);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("not a catalogue at all");
  file.close();
  // A real catalogue cut short keeps its header but not its messages.
  const QString truncated = dir.filePath("truncated.qm");
  QFile whole(est::builtInCatalogue());
  ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
  QFile cut(truncated);
  ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
  cut.write(whole.read(20));
  cut.close();

  for (const QString& path : {dir.filePath("absent.qm"), damaged, truncated}) {
    est::LogCapture log;
    EXPECT_FALSE(est::installTranslations(*QCoreApplication::instance(), Language::English, path))
        << path.toStdString();
    EXPECT_EQ(log.lines().size(), 1u) << path.toStdString();
    EXPECT_TRUE(log.contains(path.toStdString()));
    EXPECT_EQ(translated("MainViewController", "INICIO"), "INICIO");
  }
}

}  // namespace
