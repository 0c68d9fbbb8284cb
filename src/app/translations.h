#pragma once

// The language of the screens: the source texts are Spanish; an English catalogue is
// loaded when the desktop prefers English.

#include <QString>
#include <string>

class QCoreApplication;

namespace est {

enum class Language { Spanish, English };

// The locale variables as the process sees them; an unset one is empty.
struct LocaleEnvironment {
  std::string language;  // LANGUAGE, a colon-separated list
  std::string lcAll;
  std::string lcMessages;
  std::string lang;
};

LocaleEnvironment currentLocaleEnvironment();

// LANGUAGE's first entry naming a shipped language wins; otherwise the first set one of
// LC_ALL, LC_MESSAGES and LANG decides. Anything that is not English is Spanish.
Language chooseLanguage(const LocaleEnvironment& environment);

// The English catalogue built into the application.
QString builtInCatalogue();

// Installs the catalogue for `language` on `app`. Spanish needs none. A catalogue that is
// missing or does not load leaves the source texts, with one log line; answers whether the
// chosen language is in effect.
bool installTranslations(QCoreApplication& app, Language language,
                         const QString& catalogue = builtInCatalogue());

}  // namespace est
