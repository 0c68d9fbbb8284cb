#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "tickets/ticket.h"

namespace est {

inline constexpr const char* kTicketStoreErrorDomain = "TicketStoreErrorDomain";
enum TicketStoreErrorCode {
  kTicketStoreUnreadable = 1,  // the file is missing or cannot be read or decoded
  kTicketStoreEncode = 2,      // the list cannot be encoded
};

// The list of every ticket the user bought, kept in one property-list file that holds
// "MyTicketsList" (the keyed archive of the list, see ticket_archive.cpp) and "lastID" (the
// last identifier handed out). Every change rewrites the whole file atomically, under the file's
// lock (FileLock). The decoded list is kept in memory and reused while the file's identity,
// size and times are unchanged, so repeated reads cost a stat and a copy. A file that cannot be
// reached or read (as opposed to one read whole that does not decode) is left untouched: the
// store notes it (noteUnreadableFile) and works on the last list it knew, in memory only (its
// changes then succeed there), until the process ends. All members are thread-safe.
class TicketManager {
 public:
  // The shared store, on documentsDirectory()/MyTicketsList.plist; never released.
  static TicketManager& getInstance();

  explicit TicketManager(std::filesystem::path file);
  ~TicketManager();
  TicketManager(const TicketManager&) = delete;
  TicketManager& operator=(const TicketManager&) = delete;

  std::string pathToPlist() const;

  // A fresh identifier: now in milliseconds since 1970, or one more than the last identifier
  // handed out (by this store, recorded in "lastID", or carried by a stored ticket) when now is
  // not larger. Recorded as "lastID" when the file exists; nothing is created otherwise.
  std::int64_t nextID();

  // Replaces the stored list, keeping the file's other keys. False (nothing written) when the
  // file is missing or unreadable, or when the write fails.
  bool saveToDisk(const std::vector<Ticket>& tickets, Error* error = nullptr);

  // Every stored ticket, latest end first. Creates the file with an empty list when there is
  // none; a file that was read but does not decode is moved aside (and logged) first, never
  // overwritten.
  std::vector<Ticket> getTickets();
  std::vector<Ticket> getTicketsActive();
  std::vector<Ticket> getTicketsDeactive();
  std::optional<Ticket> getTicketWaitingResponse() const { return std::nullopt; }

  // Stores `ticket` under a fresh identifier (written into `ticket`). False, and nothing
  // stored, when a stored ticket already carries the ticket's identifier.
  bool add(Ticket& ticket);
  // Removes every ticket with the same identifier.
  bool remove(const Ticket& ticket);
  // `identifier` is a decimal integer text; no match logs "ERROR, fila no encontrada: ..." and
  // writes the list back unchanged.
  bool removeTicketWithID(std::string_view identifier);
  // Index into getTickets(); an index past the end changes nothing and returns false.
  bool removeTicketAtIndex(std::size_t index);
  std::optional<Ticket> getTicketWithID(std::int64_t identifier);
  // Replaces the ticket with the same identifier (or adds it) at the end of the list.
  bool update(const Ticket& ticket);

 private:
  struct Snapshot;
  enum class FileState { Missing, Damaged, Ok };

  FileState loadLocked(Error* error);
  // From now on the store lives in memory and never touches the file.
  void detachLocked(const Error& why);
  // The current list, after creating or mending the file as getTickets() does.
  const std::vector<Ticket>& listLocked();
  // listLocked() for readers: the file's lock is taken only when the cache is stale.
  const std::vector<Ticket>& readLocked();
  std::vector<Ticket> getTicketsLocked();
  bool createEmptyLocked();
  bool saveLocked(const std::vector<Ticket>& tickets, std::optional<std::int64_t> lastID,
                  Error* error);
  std::int64_t nextIDLocked(bool record);
  bool writeLocked(void* dict, std::vector<Ticket> sorted, Error* error);

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  std::unique_ptr<Snapshot> cache_;
  std::optional<std::int64_t> lastIssued_;
  bool detached_ = false;
};

}  // namespace est
