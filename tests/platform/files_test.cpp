#include "platform/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "test_support.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using namespace est::testing;

TEST(WriteFileAtomically, CreatesOrReplacesTheFileAndLeavesNoTemporary) {
  TempDir dir;
  auto file = dir / "store.plist";
  Error error;
  ASSERT_TRUE(writeFileAtomically(file, std::string_view("first"), &error)) << error.description;
  EXPECT_EQ(readText(file), "first");
  ASSERT_TRUE(writeFileAtomically(file, toData("second, longer"), &error));
  EXPECT_EQ(readText(file), "second, longer");
  ASSERT_TRUE(writeFileAtomically(file, std::string_view(""), &error));
  EXPECT_EQ(readText(file), "");
  EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"store.plist"});
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(WriteFileAtomically, FailsCleanlyWhenTheFolderIsNotAFolder) {
  TempDir dir;
  writeText(dir / "plain", "I am a file");
  Error error;
  EXPECT_FALSE(writeFileAtomically(dir / "plain" / "store.plist", std::string_view("x"), &error));
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOTDIR);
  EXPECT_NE(error.description.find("plain"), std::string::npos);
  EXPECT_EQ(readText(dir / "plain"), "I am a file");
}

// Runs `body` with writes limited to `bytes` per file (root ignores permissions, not this).
template <class F>
void withFileSizeLimit(rlim_t bytes, F body) {
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = old;
  limited.rlim_cur = bytes;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  body();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
}

TEST(WriteFileAtomically, AFailedWriteKeepsTheOldFileWhole) {
  TempDir dir;
  auto file = dir / "tickets.plist";
  writeText(file, "old contents");
  std::string big(64 * 1024, 'n');
  Error error;
  bool ok = true;
  withFileSizeLimit(4096, [&] { ok = writeFileAtomically(file, big, &error); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(error.code, EFBIG);
  EXPECT_EQ(readText(file), "old contents");
  EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"tickets.plist"});
}

TEST(WriteFileAtomically, AFailedRenameRemovesTheTemporary) {
  TempDir dir;
  auto target = dir / "occupied";
  std::filesystem::create_directory(target);
  writeText(target / "inside", "keep");
  Error error;
  EXPECT_FALSE(writeFileAtomically(target, std::string_view("data"), &error));
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_NE(error.code, 0);
  EXPECT_EQ(readText(target / "inside"), "keep");
  EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"occupied"});
}

TEST(WriteFileAtomically, AFolderThatCannotBeSyncedIsAFailure) {
  TempDir dir;
  auto file = dir / "store.plist";
  setFileFaultHook([](std::string_view op, const std::filesystem::path&) {
    return op == "sync folder" ? EIO : 0;
  });
  Error error;
  const bool written = writeFileAtomically(file, std::string_view("new"), &error);
  setFileFaultHook({});
  EXPECT_FALSE(written) << "a write that may not survive a power cut is no success";
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.code, EIO);
}

TEST(FileLock, WritersInTwoProcessesTakeTurns) {
  TempDir dir;
  auto file = dir / "store.plist";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileLock lock(file);
    char byte = lock.held() ? 1 : 0;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
    ::usleep(300 * 1000);
    writeText(file, "child");
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 1) << "the child holds the lock";
  {
    FileLock lock(file);  // waits for the child to let go
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(readText(file), "child") << "the child's whole turn came first";
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(MoveAsideCorrupt, UsesATimeStampedNameAndNeverReplacesAnEarlierOne) {
  ScopedEnv tz("TZ", "UYT3");
  ManualClock clock(TimePoint{} + 1796835600s);  // 2026-12-09 14:00:00 local
  ScopedClock scope(clock);
  TempDir dir;
  auto file = dir / "preferences.plist";

  writeText(file, "damaged once");
  auto first = moveAsideCorrupt(file);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->filename(), "preferences.plist.corrupt-20261209-140000");
  EXPECT_FALSE(std::filesystem::exists(file));

  writeText(file, "damaged twice, same second");
  auto second = moveAsideCorrupt(file);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->filename(), "preferences.plist.corrupt-20261209-140000-2");
  EXPECT_EQ(readText(*first), "damaged once");
  EXPECT_EQ(readText(*second), "damaged twice, same second");

  Error error;
  EXPECT_FALSE(moveAsideCorrupt(file, &error));
  EXPECT_EQ(error.code, ENOENT);
}

TEST(ReadFile, RefusesFilesBeyondTheBoundAndFolders) {
  TempDir dir;
  writeText(dir / "f", std::string("a\0b", 3));
  Error error;
  EXPECT_EQ(readFile(dir / "f"), toData(std::string_view("a\0b", 3)));
  EXPECT_FALSE(readFile(dir / "f", &error, 2));
  EXPECT_EQ(error.code, EFBIG);
  EXPECT_FALSE(readFile(dir.path(), &error));
  EXPECT_EQ(error.code, EISDIR);
}

}  // namespace
}  // namespace est
