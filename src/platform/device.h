#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace est {

// A fresh random (version 4) UUID as 36-character upper-case text, 8-4-4-4-12.
std::string makeUUIDString();
// Whether `text` is a UUID in that canonical upper-case form.
bool isCanonicalUUID(std::string_view text);

// The identifier of this installation for this vendor: created on first use, kept in
// dataDirectory()/vendor-identifier and the same ever after (cached for the process).
// When it cannot be kept, a fresh one serves this run and the failure is logged.
std::string vendorIdentifier();
// The identifier kept in `file`, created there when missing. A file holding anything else is
// moved aside (and logged) and replaced. On a write failure the new identifier is still
// returned, with `error` set.
std::string loadOrCreateVendorIdentifier(const std::filesystem::path& file, Error* error = nullptr);

// The machine's model: the DMI product name, or "Linux" when there is none.
std::string deviceModel(
    const std::filesystem::path& productNameFile = "/sys/class/dmi/id/product_name");

struct SystemRelease {
  std::string name;     // e.g. "Debian GNU/Linux"
  std::string version;  // e.g. "12"
};
// NAME and VERSION_ID of an os-release file; "Linux" and the kernel release when missing.
SystemRelease systemRelease(const std::filesystem::path& osReleaseFile = "/etc/os-release");
// The same from the text of such a file (missing fields stay empty).
SystemRelease parseOsRelease(std::string_view text);

// The user's locale as a language and region identifier such as "es_UY": the first set of
// LC_ALL, LC_MESSAGES and LANG, without codeset or modifier. "en_US" when none is set, when it
// is the C or POSIX locale, or when it is not a plain identifier.
std::string localeIdentifier();
// The identifier of one such value ("es_UY.UTF-8@euro" gives "es_UY"), or nothing.
std::optional<std::string> localeIdentifierFrom(std::string_view value);

}  // namespace est
