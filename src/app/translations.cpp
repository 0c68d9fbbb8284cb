#include "app/translations.h"

#include <QCoreApplication>
#include <QString>
#include <QTranslator>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/log.h"

namespace est {

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// "en_GB.UTF-8@euro" names English; "C" and "POSIX" name no language.
std::optional<Language> languageOf(std::string_view locale) {
  std::string_view code = locale.substr(0, locale.find_first_of("_.@"));
  if (code == "en") return Language::English;
  if (code == "es") return Language::Spanish;
  return std::nullopt;
}

}  // namespace

LocaleEnvironment currentLocaleEnvironment() {
  return {variable("LANGUAGE"), variable("LC_ALL"), variable("LC_MESSAGES"), variable("LANG")};
}

Language chooseLanguage(const LocaleEnvironment& environment) {
  std::string_view list = environment.language;
  while (!list.empty()) {
    std::size_t colon = list.find(':');
    if (auto language = languageOf(list.substr(0, colon))) return *language;
    list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
  }
  for (const std::string* locale : {&environment.lcAll, &environment.lcMessages, &environment.lang})
    if (!locale->empty()) return languageOf(*locale).value_or(Language::Spanish);
  return Language::Spanish;
}

QString builtInCatalogue() {
  return QStringLiteral(":/translations/estacionamiento_en.qm");
}

bool installTranslations(QCoreApplication& app, Language language, const QString& catalogue) {
  if (language == Language::Spanish) return true;
  auto* translator = new QTranslator(&app);
  // A file cut short after its header loads, but holds no text.
  if (!translator->load(catalogue) || translator->isEmpty()) {
    logf("translations: %s cannot be loaded; showing the Spanish texts",
         catalogue.toLocal8Bit().constData());
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  return true;
}

}  // namespace est
