// A writer killed with SIGKILL at random moments, over and over: after every kill each file
// must decode whole, every ticket the writer saw saved must be there, and nothing may have been
// taken for damage and moved aside.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <sstream>

#include "platform/files.h"
#include "platform/preferences.h"
#include "platform/test_support.h"
#include "tickets/ticket_manager.h"

extern char** environ;

namespace est {
namespace {

using Steady = std::chrono::steady_clock;

struct Reported {
  std::set<std::int64_t> tickets;
  long prefs = 0;
};

// Starts the writer, lets it run for `runFor`, kills it and collects what it reported.
void runAndKill(const std::filesystem::path& folder, std::chrono::microseconds runFor,
                Reported& reported) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string child = STORE_CRASH_CHILD;
  std::string dir = folder.string();
  char* argv[] = {child.data(), dir.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, child.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  std::string text;
  char buf[4096];
  auto drain = [&](int timeoutMs) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) return false;
    text.append(buf, static_cast<size_t>(n));
    return true;
  };
  const auto killAt = Steady::now() + runFor;
  while (Steady::now() < killAt) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(killAt - Steady::now());
    drain(static_cast<int>(std::max<long>(left.count(), 0)));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  while (drain(0)) {
  }
  ::close(out[0]);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own: " << status;

  std::istringstream lines(text);
  std::string kind;
  long long value = 0;
  // A line cut by the kill is not a report.
  while (lines >> kind >> value) {
    if (lines.peek() != '\n') break;
    if (kind == "ticket") reported.tickets.insert(value);
    if (kind == "prefs") reported.prefs = std::max(reported.prefs, static_cast<long>(value));
  }
}

TEST(StoreCrash, KilledAtRandomMomentsLosesNothingItReportedSaved) {
  testing::TempDir dir;
  std::random_device seedSource;
  const unsigned seed = seedSource();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Mostly short runs, so kills land at every step of a write; now and then a longer one.
  std::uniform_int_distribution<int> shortRun(2000, 40000);
  std::uniform_int_distribution<int> chance(0, 9);

  Reported reported;
  const int kKills = 200;
  const auto started = Steady::now();
  for (int kill = 0; kill < kKills; ++kill) {
    int micros = shortRun(random) * (chance(random) == 0 ? 4 : 1);
    runAndKill(dir.path(), std::chrono::microseconds(micros), reported);
    if (::testing::Test::HasFatalFailure()) return;

    // Every file decodes to a whole state.
    Error error;
    auto prefsBytes = readFile(dir / "preferences.plist", &error);
    if (reported.prefs > 0) {
      ASSERT_TRUE(prefsBytes) << "kill " << kill << ": " << error.description;
    }
    if (prefsBytes) {
      auto values = decodePreferences(*prefsBytes, &error);
      ASSERT_TRUE(values) << "kill " << kill << ": " << error.description;
      auto counter = values->find("counter");
      ASSERT_NE(counter, values->end());
      EXPECT_GE(counter->second.integerValue(), reported.prefs)
          << "kill " << kill << ": a flush reported done is on disk";
      auto pending = values->find("ticketInProcess");
      if (pending != values->end()) {
        EXPECT_EQ(pending->second.integerValue() % 2, 1) << "the marker is set on odd rounds";
      }
    }
    TicketManager reader(dir / "MyTicketsList.plist");
    std::set<std::int64_t> stored;
    for (const Ticket& t : reader.getTickets())
      if (t.transactionId) stored.insert(*t.transactionId);
    for (std::int64_t id : reported.tickets)
      ASSERT_TRUE(stored.count(id)) << "kill " << kill << ": ticket " << id << " is missing";
    int temporaries = 0;
    for (const auto& name : testing::listFolder(dir.path())) {
      ASSERT_EQ(name.find(".corrupt-"), std::string::npos) << "kill " << kill << ": " << name;
      temporaries += name.find(".tmp-") != std::string::npos;
    }
    // The reader above cleared what earlier kills left; only the preferences' last one remains.
    EXPECT_LE(temporaries, 1) << "kill " << kill;
  }
  const double seconds = std::chrono::duration<double>(Steady::now() - started).count();
  std::printf("%d kills in %.1f s; %zu tickets and %ld preference flushes reported saved\n", kKills,
              seconds, reported.tickets.size(), reported.prefs);
  EXPECT_GT(reported.tickets.size(), 0u);
  EXPECT_GT(reported.prefs, 0);
}

}  // namespace
}  // namespace est
