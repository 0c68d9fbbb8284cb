#include "platform/device.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/preferences.h"
#include "test_support.h"

namespace est {
namespace {

using namespace est::testing;

TEST(UUID, FreshIdentifiersAreCanonicalVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    std::string id = makeUUIDString();
    ASSERT_TRUE(isCanonicalUUID(id)) << id;
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 500u);
  for (const char* bad :
       {"0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9", "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F",
        "0F1E2D3C4B5A-4978-8695-A4B3C2D1E0F9-", "GF1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9"})
    EXPECT_FALSE(isCanonicalUUID(bad)) << bad;
}

TEST(VendorIdentifier, CreatedOnceAndKeptADamagedOneKeptAsideAndAnUnwritableOneReported) {
  TempDir dir;
  auto file = dir / "data" / "vendor-identifier";
  std::string first = loadOrCreateVendorIdentifier(file);
  EXPECT_TRUE(isCanonicalUUID(first)) << first;
  EXPECT_EQ(readText(file), first + "\n");
  EXPECT_EQ(loadOrCreateVendorIdentifier(file), first);

  writeText(file, "not-a-uuid\n");
  LogCapture log;
  std::string second = loadOrCreateVendorIdentifier(file);
  EXPECT_TRUE(isCanonicalUUID(second));
  EXPECT_NE(second, first);
  EXPECT_TRUE(log.contains("moved aside"));
  auto names = listFolder(dir / "data");
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].rfind("vendor-identifier.corrupt-", 0), 0u);
  EXPECT_EQ(readText(dir / "data" / names[1]), "not-a-uuid\n");
  EXPECT_EQ(loadOrCreateVendorIdentifier(file), second);

  // An unwritable folder still gives an identifier, and says so.
  writeText(dir / "blocker", "");
  Error error;
  std::string id = loadOrCreateVendorIdentifier(dir / "blocker" / "vendor-identifier", &error);
  EXPECT_TRUE(isCanonicalUUID(id));
  EXPECT_EQ(error.code, ENOTDIR);
  EXPECT_TRUE(log.contains("cannot be kept"));
}

TEST(VendorIdentifier, ProcessWideIdentifierLivesInTheDataFolder) {
  TempDir dir;
  ScopedEnv data("EST_DATA_DIR", (dir / "data").string());
  std::string id = vendorIdentifier();
  EXPECT_TRUE(isCanonicalUUID(id));
  EXPECT_EQ(vendorIdentifier(), id);
  EXPECT_EQ(readText(dir / "data" / "vendor-identifier"), id + "\n");
}

TEST(DeviceModel, ProductNameTrimmedToPrintableTextOrLinux) {
  TempDir dir;
  writeText(dir / "product", "  ThinkPad X1 Carbon\n");
  EXPECT_EQ(deviceModel(dir / "product"), "ThinkPad X1 Carbon");
  writeText(dir / "product", "Evil\r\nX-Injected: 1\x01\n");
  EXPECT_EQ(deviceModel(dir / "product"), "EvilX-Injected: 1");
  EXPECT_EQ(deviceModel(dir / "missing"), "Linux");
  EXPECT_FALSE(deviceModel().empty());
}

TEST(SystemRelease, ReadsNameAndVersionIdOfOsRelease) {
  auto r = parseOsRelease(
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n# NAME=\"Commented\"\n"
      "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n");
  EXPECT_EQ(r.name, "Debian GNU/Linux");
  EXPECT_EQ(r.version, "12");
  r = parseOsRelease("NAME='Single Quoted'\r\nVERSION_ID=\"1\\\"2\"");
  EXPECT_EQ(r.name, "Single Quoted");
  EXPECT_EQ(r.version, "1\"2");
  r = parseOsRelease("NAME=Fedora\nVERSION_ID=\"unterminated");
  EXPECT_EQ(r.name, "Fedora");
  EXPECT_EQ(r.version, "unterminated");

  TempDir dir;
  auto missing = systemRelease(dir / "missing");
  EXPECT_EQ(missing.name, "Linux");
  EXPECT_FALSE(missing.version.empty());  // the kernel release
}

TEST(Locale, IdentifierWithoutCodesetOrModifierFromTheFirstSetVariable) {
  EXPECT_EQ(localeIdentifierFrom("es_UY.UTF-8"), "es_UY");
  EXPECT_EQ(localeIdentifierFrom("de_DE@euro"), "de_DE");
  EXPECT_EQ(localeIdentifierFrom("ca_ES.UTF-8@valencia"), "ca_ES");
  EXPECT_EQ(localeIdentifierFrom("pt"), "pt");
  for (const char* none : {"", "C", "POSIX", "C.UTF-8", ".UTF-8", "es UY", "es_UY\r\nX: y", "../x"})
    EXPECT_FALSE(localeIdentifierFrom(none)) << none;

  ScopedEnv all("LC_ALL", std::nullopt);
  ScopedEnv messages("LC_MESSAGES", std::nullopt);
  ScopedEnv lang("LANG", std::nullopt);
  EXPECT_EQ(localeIdentifier(), "en_US");
  {
    ScopedEnv l("LANG", "es_UY.UTF-8");
    EXPECT_EQ(localeIdentifier(), "es_UY");
    ScopedEnv m("LC_MESSAGES", "pt_BR.UTF-8");
    EXPECT_EQ(localeIdentifier(), "pt_BR");
    ScopedEnv emptyAll("LC_ALL", "");
    EXPECT_EQ(localeIdentifier(), "pt_BR");
    ScopedEnv a("LC_ALL", "C.UTF-8");
    EXPECT_EQ(localeIdentifier(), "en_US");
  }
}

TEST(Paths, EnvironmentOverridesAreUsedAndCreated) {
  TempDir dir;
  ScopedEnv c("EST_CONFIG_DIR", (dir / "c").string());
  ScopedEnv d("EST_DOCUMENTS_DIR", (dir / "docs/deep").string());
  ScopedEnv k("EST_CACHES_DIR", (dir / "caches").string());
  ScopedEnv t("EST_TMP_DIR", (dir / "tmp").string());
  ScopedEnv data("EST_DATA_DIR", (dir / "data").string());
  EXPECT_EQ(configDirectory(), dir / "c");
  EXPECT_EQ(documentsDirectory(), dir / "docs/deep");
  EXPECT_EQ(cachesDirectory(), dir / "caches");
  EXPECT_EQ(temporaryDirectory(), dir / "tmp");
  EXPECT_EQ(dataDirectory(), dir / "data");
  for (const char* sub : {"c", "docs/deep", "caches", "tmp", "data"})
    EXPECT_TRUE(std::filesystem::is_directory(dir / sub)) << sub;

  writeText(dir / "blocker", "");
  ScopedEnv blocked("EST_CACHES_DIR", (dir / "blocker/caches").string());
  Error error;
  EXPECT_EQ(cachesDirectory(&error), dir / "blocker/caches");  // reported, path still given
  EXPECT_EQ(error.code, ENOTDIR);
}

TEST(Paths, XDGFoldersWithTheApplicationNameAndHomeFallbacks) {
  TempDir dir;
  ScopedEnv noConfig("EST_CONFIG_DIR", std::nullopt);
  ScopedEnv noDocuments("EST_DOCUMENTS_DIR", std::nullopt);
  ScopedEnv noCaches("EST_CACHES_DIR", std::nullopt);
  ScopedEnv noTmp("EST_TMP_DIR", std::nullopt);
  ScopedEnv noData("EST_DATA_DIR", std::nullopt);
  std::string previousName = applicationName();
  setApplicationName("est-test");
  ScopedEnv home("HOME", (dir / "home").string());
  {
    ScopedEnv cfg("XDG_CONFIG_HOME", (dir / "xdg-config").string());
    ScopedEnv dat("XDG_DATA_HOME", (dir / "xdg-data").string());
    ScopedEnv cache("XDG_CACHE_HOME", (dir / "xdg-cache").string());
    ScopedEnv tmp("TMPDIR", (dir / "t").string());
    EXPECT_EQ(configDirectory(), dir / "xdg-config/est-test");
    EXPECT_EQ(documentsDirectory(), dir / "xdg-data/est-test/Documents");
    EXPECT_EQ(dataDirectory(), dir / "xdg-data/est-test");
    EXPECT_EQ(cachesDirectory(), dir / "xdg-cache/est-test");
    EXPECT_EQ(temporaryDirectory(), dir / "t");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "xdg-data/est-test/Documents"));
  }
  {
    ScopedEnv cfg("XDG_CONFIG_HOME", "relative/ignored");
    ScopedEnv dat("XDG_DATA_HOME", "");
    ScopedEnv cache("XDG_CACHE_HOME", std::nullopt);
    ScopedEnv tmp("TMPDIR", std::nullopt);
    EXPECT_EQ(configDirectory(), dir / "home/.config/est-test");
    EXPECT_EQ(documentsDirectory(), dir / "home/.local/share/est-test/Documents");
    EXPECT_EQ(cachesDirectory(), dir / "home/.cache/est-test");
    EXPECT_EQ(temporaryDirectory(), "/tmp");
    EXPECT_EQ(Preferences::defaultFile(), dir / "home/.config/est-test/preferences.plist");
  }
  setApplicationName(previousName);
}

}  // namespace
}  // namespace est
