#include "platform/preferences.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/manual_run_loop.h"
#include "test_support.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using namespace est::testing;

PrefMap everyKind() {
  return PrefMap{
      {"defaultTime", PrefValue("30")},
      {"pin_sended", PrefValue(true)},
      {"ticketInProcess", PrefValue(5000000000LL)},
      {"negative", PrefValue(-17)},
      {"price", PrefValue(12.5)},
      {"third", PrefValue(1.0 / 3)},
      {"Licenses", PrefValue(PrefArray{"ABC 1234", "ZX987"})},
      {"empty list", PrefValue(PrefArray{})},
      {"blob", PrefValue(toData(std::string_view("\0\xff<>&", 5)))},
      {"ABC 1234", PrefValue("Fiat <Uno> & \"Mille\" ñandú\r\n")},
      {"", PrefValue("")},
  };
}

TEST(Preferences, ValuesOfEveryKindSurviveFlushAndReopen) {
  TempDir dir;
  auto file = dir / "cfg" / "preferences.plist";
  {
    Preferences prefs(file);
    for (const auto& [key, value] : everyKind()) EXPECT_TRUE(prefs.setObject(key, value));
    Error error;
    ASSERT_TRUE(prefs.flush(&error)) << error.description;
    EXPECT_FALSE(prefs.hasUnsavedChanges());
  }
  Preferences reopened(file);
  PrefMap expected = everyKind();
  std::vector<std::string> expectedKeys;
  for (const auto& [key, value] : expected) {
    expectedKeys.push_back(key);
    auto got = reopened.objectForKey(key);
    ASSERT_TRUE(got) << key;
    EXPECT_EQ(got->type(), value.type()) << key;
    EXPECT_EQ(*got, value) << key;
  }
  EXPECT_EQ(reopened.keys(), expectedKeys);
}

TEST(Preferences, WrittenValuesReadBackAtOnceAndReachDiskOnlyOnFlush) {
  TempDir dir;
  auto file = dir / "preferences.plist";
  Preferences prefs(file);
  EXPECT_FALSE(prefs.objectForKey("defaultTime"));
  prefs.setObject("defaultTime", "30");
  EXPECT_EQ(prefs.integerForKey("defaultTime"), 30);
  EXPECT_TRUE(prefs.hasUnsavedChanges());
  EXPECT_FALSE(std::filesystem::exists(file));

  prefs.setObject("sessionStarted", true);
  prefs.removeObject("defaultTime");
  EXPECT_FALSE(prefs.objectForKey("defaultTime"));
  ASSERT_TRUE(prefs.flush());
  EXPECT_EQ(Preferences(file).keys(), std::vector<std::string>{"sessionStarted"});

  // Rewriting the same value is no change; removing an absent key neither.
  prefs.setObject("sessionStarted", true);
  prefs.removeObject("never there");
  EXPECT_FALSE(prefs.hasUnsavedChanges());

  { Preferences(file).setObject("ticketInProcess", 42); }  // destruction flushes
  EXPECT_EQ(Preferences(file).integerForKey("ticketInProcess"), 42);
}

TEST(Preferences, TypedReadsConvertAsThePlatformDoes) {
  TempDir dir;
  Preferences prefs(dir / "p.plist");
  struct Case {
    PrefValue value;
    bool asBool;
    long long asInteger;
    double asDouble;
  };
  const Case cases[] = {
      {PrefValue(true), true, 1, 1},       {PrefValue(0), false, 0, 0},
      {PrefValue(-3), true, -3, -3},       {PrefValue(0.25), true, 0, 0.25},
      {PrefValue(-2.9), true, -2, -2.9},   {PrefValue(1e300), true, LLONG_MAX, 1e300},
      {PrefValue("30"), true, 30, 30},     {PrefValue(" +007"), true, 7, 7},
      {PrefValue("-0"), false, 0, 0},      {PrefValue("No"), false, 0, 0},
      {PrefValue("yes"), true, 0, 0},      {PrefValue("0x1"), false, 0, 0},
      {PrefValue("12.5"), true, 12, 12.5}, {PrefValue(PrefArray{"1"}), false, 0, 0},
  };
  int i = 0;
  for (const auto& c : cases) {
    std::string key = "k" + std::to_string(i++);
    prefs.setObject(key, c.value);
    EXPECT_EQ(prefs.boolForKey(key), c.asBool) << key;
    EXPECT_EQ(prefs.integerForKey(key), c.asInteger) << key;
    EXPECT_DOUBLE_EQ(prefs.doubleForKey(key), c.asDouble) << key;
  }
  EXPECT_FALSE(prefs.boolForKey("absent"));
  EXPECT_EQ(prefs.integerForKey("absent"), 0);
  EXPECT_EQ(prefs.doubleForKey("absent"), 0.0);

  PrefValue nan(std::nan(""));
  EXPECT_FALSE(nan.boolValue());
  EXPECT_EQ(nan.integerValue(), 0);
  // A literal must stay text, not decay to a boolean; every integer width is an integer.
  EXPECT_EQ(PrefValue("true").type(), PrefValue::Type::Text);
  EXPECT_EQ(PrefValue(7u).type(), PrefValue::Type::Integer);
  EXPECT_EQ(PrefValue(short(7)).type(), PrefValue::Type::Integer);
}

TEST(Preferences, TextsWithNulAreRefusedRatherThanCutShort) {
  TempDir dir;
  Preferences prefs(dir / "p.plist");
  LogCapture log;
  EXPECT_FALSE(prefs.setObject("k", std::string("a\0b", 3)));
  EXPECT_FALSE(prefs.setObject(std::string("k\0x", 3), "v"));
  EXPECT_FALSE(prefs.setObject("k", PrefArray{"ok", std::string("\0", 1)}));
  EXPECT_TRUE(prefs.keys().empty());
  EXPECT_FALSE(prefs.hasUnsavedChanges());
  EXPECT_TRUE(log.contains("NUL"));
}

class DamagedFile : public ::testing::Test {
 protected:
  void SetUp() override { file = dir / "preferences.plist"; }

  // Opens a store over `contents` and checks the damaged file was kept aside, whole.
  void expectMovedAside(const std::string& contents) {
    writeText(file, contents);
    LogCapture log;
    Preferences prefs(file);
    EXPECT_TRUE(prefs.keys().empty());
    EXPECT_FALSE(std::filesystem::exists(file));
    auto names = listFolder(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("preferences.plist.corrupt-", 0), 0u) << names[0];
    EXPECT_EQ(readText(dir / names[0]), contents);
    EXPECT_TRUE(log.contains("moved aside")) << (log.lines().empty() ? "" : log.lines()[0]);
    EXPECT_TRUE(log.contains(names[0]));

    // The store goes on: a fresh file is written next to the one kept aside.
    prefs.setObject("pin_sended", true);
    ASSERT_TRUE(prefs.flush());
    EXPECT_TRUE(Preferences(file).boolForKey("pin_sended"));
    EXPECT_EQ(readText(dir / names[0]), contents);
    std::filesystem::remove(dir / names[0]);
  }

  TempDir dir;
  std::filesystem::path file;
};

TEST_F(DamagedFile, GarbageTruncatedEmptyOrWrongRootIsMovedAsideAndLogged) {
  Error error;
  expectMovedAside("this is not a property list");
  expectMovedAside("");
  std::string good = toString(encodePreferences(PrefMap{{"defaultTime", PrefValue("30")}}));
  expectMovedAside(good.substr(0, good.size() / 2));
  expectMovedAside("<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>");
  expectMovedAside(std::string("bplist00\0\0\0\0garbage", 20));
  // The plist library aborts on a string holding NUL; such a file must never reach it.
  std::string withNul = "<plist><dict><key>k</key><string>a_b</string></dict></plist>";
  withNul[withNul.find('_')] = '\0';
  expectMovedAside(withNul);

  EXPECT_FALSE(decodePreferences(toData("<plist><string>x</string></plist>"), &error));
  EXPECT_EQ(error.domain, kPreferencesErrorDomain);
  EXPECT_EQ(error.code, kPreferencesDecodeError);
}

TEST_F(DamagedFile, HostileNestingIsRefusedWithoutCrashing) {
  std::string deep = "<plist><dict><key>k</key>";
  for (int i = 0; i < 200000; ++i) deep += "<array>";
  expectMovedAside(deep);
}

TEST(Preferences, ADamagedFileThatCannotBeMovedIsNeverWrittenOver) {
  // Nothing in /proc can be renamed, and its text is no property list.
  LogCapture log;
  Preferences prefs("/proc/self/status");
  EXPECT_TRUE(log.contains("nor moved aside"));
  prefs.setObject("kept", "in memory");
  EXPECT_EQ(prefs.objectForKey("kept"), PrefValue("in memory"));
  Error error;
  EXPECT_FALSE(prefs.flush(&error));
  EXPECT_EQ(error.domain, kPreferencesErrorDomain);
  EXPECT_EQ(error.code, kPreferencesDetachedError);
  EXPECT_TRUE(prefs.hasUnsavedChanges());
}

TEST(Preferences, AFileThatCannotBeReadIsKeptAndNeverWrittenOver) {
  TempDir dir;
  auto file = dir / "preferences.plist";
  {
    Preferences first(file);
    first.setObject("userPhoneNumber", "099123456");
    ASSERT_TRUE(first.flush());
  }
  const std::string before = readText(file);
  for (int err : {EIO, EACCES, EMFILE}) {
    setFileFaultHook([&](std::string_view op, const std::filesystem::path& p) {
      return op == "open" && p == file ? err : 0;
    });
    LogCapture log;
    Preferences prefs(file);
    setFileFaultHook({});
    EXPECT_TRUE(prefs.keys().empty());
    prefs.setObject("pin_sended", true);
    EXPECT_TRUE(prefs.boolForKey("pin_sended")) << "works in memory";
    Error error;
    EXPECT_FALSE(prefs.flush(&error));
    EXPECT_EQ(error.code, kPreferencesDetachedError);
    EXPECT_EQ(readText(file), before) << "never written over";
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"preferences.plist"})
        << "nothing moved aside";
    EXPECT_TRUE(log.contains("cannot be read"));
    const auto noted = unreadableFiles();
    EXPECT_NE(std::find(noted.begin(), noted.end(), file), noted.end());
  }
  EXPECT_EQ(Preferences(file).objectForKey("userPhoneNumber"), PrefValue("099123456"))
      << "the next start reads it";
}

TEST(Preferences, TwoStoresOnOneFileKeepEachOthersChanges) {
  TempDir dir;
  auto file = dir / "preferences.plist";
  Preferences a(file);
  Preferences b(file);
  a.setObject("ticketInProcess", 42);
  a.setObject("gone", "soon");
  ASSERT_TRUE(a.flush());
  b.setObject("Licenses", PrefArray{"ABC 1234"});
  ASSERT_TRUE(b.flush());
  EXPECT_EQ(b.integerForKey("ticketInProcess"), 42) << "b took in what a wrote";
  a.removeObject("gone");
  ASSERT_TRUE(a.flush());
  Preferences reopened(file);
  EXPECT_EQ(reopened.integerForKey("ticketInProcess"), 42);
  EXPECT_EQ(reopened.objectForKey("Licenses"), PrefValue(PrefArray{"ABC 1234"}));
  EXPECT_FALSE(reopened.objectForKey("gone"));
}

TEST(Preferences, EntriesOfUnsupportedKindsAreLeftOutAndNamed) {
  TempDir dir;
  auto file = dir / "preferences.plist";
  writeText(file, R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>when</key><date>2026-12-09T17:00:00Z</date>
  <key>nested</key><dict><key>a</key><string>b</string></dict>
  <key>mixed</key><array><string>a</string><integer>1</integer></array>
  <key>defaultTime</key><string>60</string>
  <key>price</key><real>12.5</real>
  <key>flag</key><true/>
  <key>count</key><integer>-3</integer>
</dict></plist>)");
  LogCapture log;
  Preferences prefs(file);
  EXPECT_EQ(prefs.keys(), (std::vector<std::string>{"count", "defaultTime", "flag", "price"}));
  EXPECT_EQ(prefs.integerForKey("defaultTime"), 60);
  EXPECT_EQ(prefs.doubleForKey("price"), 12.5);
  EXPECT_TRUE(prefs.boolForKey("flag"));
  EXPECT_EQ(prefs.integerForKey("count"), -3);
  for (const char* key : {"\"when\"", "\"nested\"", "\"mixed\""}) EXPECT_TRUE(log.contains(key));
  EXPECT_TRUE(std::filesystem::exists(file));  // a readable file is not moved
}

TEST(Preferences, AFailedFlushKeepsTheChangesForTheNextTry) {
  TempDir dir;
  writeText(dir / "blocker", "");
  LogCapture log;
  Preferences prefs(dir / "blocker" / "preferences.plist");
  prefs.setObject("userPhoneNumber", "099123456");
  Error error;
  EXPECT_FALSE(prefs.flush(&error));
  EXPECT_EQ(error.code, ENOTDIR);
  EXPECT_TRUE(prefs.hasUnsavedChanges());
  EXPECT_TRUE(log.contains("cannot write"));
  EXPECT_EQ(prefs.objectForKey("userPhoneNumber"), PrefValue("099123456"));
}

TEST(Preferences, PeriodicFlushRunsOnTheRunLoopUntilStopped) {
  TempDir dir;
  auto file = dir / "preferences.plist";
  ManualRunLoop loop;
  Preferences prefs(file);
  prefs.startAutoFlush(loop, Seconds(15));
  prefs.setObject("sessionStarted", true);
  loop.advance(Seconds(14));
  EXPECT_FALSE(std::filesystem::exists(file));
  loop.advance(Seconds(1));
  EXPECT_TRUE(Preferences(file).boolForKey("sessionStarted"));
  EXPECT_FALSE(prefs.hasUnsavedChanges());

  prefs.setObject("sessionStarted", false);
  loop.advance(Seconds(15));
  EXPECT_FALSE(Preferences(file).boolForKey("sessionStarted"));

  prefs.stopAutoFlush();
  EXPECT_EQ(loop.pendingTimers(), 0u);
  prefs.setObject("sessionStarted", true);
  loop.advance(Seconds(60));
  EXPECT_FALSE(Preferences(file).boolForKey("sessionStarted"));
}

TEST(Preferences, ConcurrentWritersAndFlushesLoseNothing) {
  TempDir dir;
  auto file = dir / "preferences.plist";
  {
    Preferences prefs(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i) {
          prefs.setObject("t" + std::to_string(t) + "-" + std::to_string(i), i);
          if (i % 10 == 0) prefs.flush();
        }
      });
    for (auto& th : threads) th.join();
    ASSERT_TRUE(prefs.flush());
  }
  Preferences reopened(file);
  EXPECT_EQ(reopened.keys().size(), 200u);
  EXPECT_EQ(reopened.integerForKey("t3-49"), 49);
}

TEST(Preferences, StandardStoreLivesInTheConfigurationFolder) {
  TempDir dir;
  ScopedEnv config("EST_CONFIG_DIR", (dir / "config").string());
  Preferences& shared = Preferences::standard();
  EXPECT_EQ(&shared, &Preferences::standard());
  EXPECT_EQ(shared.file(), dir / "config" / "preferences.plist");
  EXPECT_EQ(Preferences::defaultFile(), shared.file());
}

}  // namespace
}  // namespace est
