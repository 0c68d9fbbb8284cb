// The writer the crash test kills: keeps adding tickets, saving preferences and changing the
// pending purchase in the folder it is given, and reports on standard output each change that
// its store said was saved ("ticket <id>", "prefs <n>").

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/preferences.h"
#include "tickets/ticket_manager.h"

namespace {

void report(const std::string& line) {
  std::string text = line + "\n";
  // Straight to the pipe: nothing may wait in a buffer when the kill comes.
  if (::write(STDOUT_FILENO, text.data(), text.size()) < 0) ::_exit(3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path folder = argv[1];
  est::TicketManager store(folder / "MyTicketsList.plist");
  est::Preferences prefs(folder / "preferences.plist");
  const auto now = std::chrono::system_clock::now();
  // Counts on from the last run, so a flush reported done is never undercut by a later one.
  for (long n = prefs.integerForKey("counter") + 1;; ++n) {
    est::Ticket ticket{"CRASH " + std::to_string(n), std::nullopt, now,
                       now + std::chrono::minutes(30), 30};
    if (store.add(ticket)) report("ticket " + std::to_string(*ticket.transactionId));
    prefs.setObject("counter", n);
    if (n % 2) {
      prefs.setObject("ticketInProcess", n);
      prefs.setObject("ticketInProcessLicense", ticket.license);
    } else {
      prefs.removeObject("ticketInProcess");
    }
    if (prefs.flush()) report("prefs " + std::to_string(n));
  }
}
