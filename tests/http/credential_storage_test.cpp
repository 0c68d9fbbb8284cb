// Where credentials are kept: the memory store, and the silent fallback when no keyring answers.
#include "http/credential_storage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "http/support/nginx_server.h"

namespace est::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Sets (or, empty, unsets) an environment variable for a scope.
struct ScopedEnv {
  ScopedEnv(const char* n, const std::string& v) : name(n) {
    if (const char* o = std::getenv(n)) old = o;
    v.empty() ? ::unsetenv(n) : ::setenv(n, v.c_str(), 1);
  }
  ~ScopedEnv() { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }
  const char* name;
  std::optional<std::string> old;
};

TEST(CredentialStorageTest, TheMemoryStoreTellsEveryPartOfTheKeyApart) {
  MemoryCredentialStorage store;
  CredentialKey key{"h", 80, "http", "r", false};
  ASSERT_TRUE(store.save(key, {"u", "p", ""}));
  EXPECT_EQ(store.find(key)->password, "p");
  for (CredentialKey other :
       {CredentialKey{"h2", 80, "http", "r", false}, CredentialKey{"h", 81, "http", "r", false},
        CredentialKey{"h", 80, "https", "r", false}, CredentialKey{"h", 80, "http", "r2", false},
        CredentialKey{"h", 80, "http", "r", true}})
    EXPECT_FALSE(store.find(other)) << other.host << other.port << other.protocol << other.realm;
  store.remove(key);
  EXPECT_FALSE(store.find(key));
}

TEST(CredentialStorageTest, WithoutABusOrASecretServiceTheSharedStoreIsMemoryQuickly) {
  TempDir runtime;  // holds no default "bus" socket
  std::string socket = (runtime.path() / "own-bus").string();
  pid_t pid =
      spawnQuietly({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + socket});
  ASSERT_GT(pid, 0);
  struct stat st {};
  for (int i = 0; i < 300 && ::stat(socket.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(::stat(socket.c_str(), &st), 0) << "dbus-daemon did not start";
  ScopedEnv dir("XDG_RUNTIME_DIR", runtime.path().string());
  // No bus at all: nothing is tried. A bus without a secret service: given up in time.
  for (std::string address : {std::string(), "unix:path=" + socket}) {
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address);
    auto start = Clock::now();
    EXPECT_EQ(CredentialStorage::connectToSecretService(1.0), nullptr) << address;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(address.empty() ? 1 : 3)) << address;
    CredentialStorage::setShared(nullptr);
    auto shared = CredentialStorage::shared();
    EXPECT_EQ(shared->kind(), "memory");
    EXPECT_TRUE(shared->save({"h", 1, "http", "r", false}, {"u", "p", ""}));
    CredentialStorage::setShared(nullptr);
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace est::testing
