#include "tickets/ticket_manager.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "tickets/bplist_guard.h"
#include "tickets/plist_node.h"
#include "tickets/ticket_archive.h"

namespace est {
namespace {

constexpr const char* kFileName = "MyTicketsList.plist";
constexpr const char* kListKey = "MyTicketsList";
constexpr const char* kLastIDKey = "lastID";
// The outer file is a dictionary of a data blob and an integer.
constexpr unsigned kMaxFileDepth = 4;

// What tells one version of the file from another without reading it.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};

  bool operator==(const FileId& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

std::optional<FileId> identify(const std::filesystem::path& path, int* err = nullptr) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (err) *err = errno;
    return std::nullopt;
  }
  if (err) *err = S_ISREG(st.st_mode) ? 0 : EINVAL;
  return FileId{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// Latest end first; tickets without an end go last. Stable, so equal ends keep the file order.
void sortByEndDescending(std::vector<Ticket>& tickets) {
  std::stable_sort(tickets.begin(), tickets.end(),
                   [](const Ticket& a, const Ticket& b) { return a.timeEnd > b.timeEnd; });
}

std::optional<std::int64_t> maxIdentifier(const std::vector<Ticket>& tickets) {
  std::optional<std::int64_t> best;
  for (const Ticket& t : tickets) {
    if (t.transactionId && (!best || *t.transactionId > *best)) best = t.transactionId;
  }
  return best;
}

// A decimal integer, blanks around it allowed; anything else is no number.
std::optional<std::int64_t> parseIdentifier(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

Error storeError(int code, std::string description) {
  return Error(kTicketStoreErrorDomain, code, std::move(description));
}

}  // namespace

struct TicketManager::Snapshot {
  std::optional<FileId> id;  // none: do not trust for the next read
  PlistNode dict;
  std::vector<Ticket> sorted;
  std::optional<std::int64_t> lastID;
  std::optional<std::int64_t> maxId;
};

TicketManager& TicketManager::getInstance() {
  static TicketManager* shared = new TicketManager(documentsDirectory() / kFileName);
  return *shared;
}

TicketManager::TicketManager(std::filesystem::path file) : file_(std::move(file)) {}

TicketManager::~TicketManager() = default;

std::string TicketManager::pathToPlist() const {
  return file_.string();
}

void TicketManager::detachLocked(const Error& why) {
  detached_ = true;
  noteUnreadableFile(file_, why);
  if (cache_) {
    cache_->id.reset();
    return;
  }
  auto snap = std::make_unique<Snapshot>();
  snap->dict.reset(plist_new_dict());
  cache_ = std::move(snap);
}

TicketManager::FileState TicketManager::loadLocked(Error* error) {
  if (detached_) return FileState::Ok;
  int err = 0;
  std::optional<FileId> before = identify(file_, &err);
  if (!before && (err == ENOENT || err == ENOTDIR)) {
    cache_.reset();
    Error::assign(error, posixError(err, "stat", file_));
    return FileState::Missing;
  }
  if (before && cache_ && cache_->id && *cache_->id == *before) return FileState::Ok;

  auto damaged = [&](const std::string& why) {
    cache_.reset();
    Error::assign(error, storeError(kTicketStoreUnreadable, strprintf("%s cannot be read: %s",
                                                                      file_.c_str(), why.c_str())));
    return FileState::Damaged;
  };
  // A folder or device where the file should be cannot be read whole: not damage either.
  Error readError = posixError(err, before ? "read" : "stat", file_);
  std::optional<Data> bytes;
  if (before && err == 0) bytes = readFile(file_, &readError);
  if (!bytes) {
    if (readError.code == ENOENT) {
      cache_.reset();
      return FileState::Missing;
    }
    // Not being able to read says nothing about what the file holds.
    detachLocked(readError);
    return FileState::Ok;
  }
  std::string why;
  if (!binaryPlistIsBounded(bytes->data(), bytes->size(), kMaxFileDepth, &why)) {
    return damaged(why);
  }
  plist_t parsed = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes->data()),
                 static_cast<std::uint32_t>(bytes->size()), &parsed);
  auto snap = std::make_unique<Snapshot>();
  snap->dict.reset(parsed);
  if (!parsed || plist_get_node_type(parsed) != PLIST_DICT) {
    return damaged("not a property-list dictionary");
  }
  // "lastID" is only a floor for new identifiers; one of another kind is ignored.
  if (plist_t last = plistChild(parsed, kLastIDKey, PLIST_UINT)) {
    std::uint64_t v = 0;
    plist_get_uint_val(last, &v);
    snap->lastID = static_cast<std::int64_t>(v);
  }
  if (plist_t list = plist_dict_get_item(parsed, kListKey)) {
    if (plist_get_node_type(list) != PLIST_DATA) {
      return damaged("\"MyTicketsList\" is not data");
    }
    std::uint64_t length = 0;
    const char* data = plist_get_data_ptr(list, &length);
    Error decodeError;
    auto tickets = decodeTicketArchive(data, static_cast<std::size_t>(length), &decodeError);
    if (!tickets) return damaged(decodeError.description);
    snap->sorted = std::move(*tickets);
  }
  sortByEndDescending(snap->sorted);
  snap->maxId = maxIdentifier(snap->sorted);
  // Trust the copy only if nobody replaced the file while it was being read.
  std::optional<FileId> after = identify(file_);
  if (after && *after == *before) snap->id = after;
  cache_ = std::move(snap);
  return FileState::Ok;
}

bool TicketManager::writeLocked(void* dictNode, std::vector<Ticket> sorted, Error* error) {
  PlistNode dict(dictNode);
  if (!detached_) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(dict.get(), &bytes, &length);
    if (!bytes) {
      Error::assign(error, storeError(kTicketStoreEncode, "the ticket file could not be encoded"));
      return false;
    }
    const bool written = writeFileAtomically(file_, std::string_view(bytes, length), error);
    plist_to_bin_free(bytes);
    if (!written) {
      cache_.reset();
      return false;
    }
  }
  auto snap = std::make_unique<Snapshot>();
  if (!detached_) snap->id = identify(file_);
  if (plist_t last = plistChild(dict.get(), kLastIDKey, PLIST_UINT)) {
    std::uint64_t v = 0;
    plist_get_uint_val(last, &v);
    snap->lastID = static_cast<std::int64_t>(v);
  }
  snap->dict = std::move(dict);
  snap->maxId = maxIdentifier(sorted);
  snap->sorted = std::move(sorted);
  cache_ = std::move(snap);
  return true;
}

bool TicketManager::createEmptyLocked() {
  Error error;
  const std::filesystem::path folder = file_.parent_path();
  if (!folder.empty() && !createDirectories(folder, &error)) {
    logLine("Ticket store: " + error.description);
    return false;
  }
  std::optional<Data> archive = encodeTicketArchive({}, &error);
  if (!archive) return false;
  plist_t dict = plist_new_dict();
  plist_dict_set_item(
      dict, kListKey,
      plist_new_data(reinterpret_cast<const char*>(archive->data()), archive->size()));
  if (!writeLocked(dict, {}, &error)) {
    logLine("Ticket store: " + error.description);
    return false;
  }
  return true;
}

const std::vector<Ticket>& TicketManager::listLocked() {
  static const std::vector<Ticket> kEmpty;
  Error error;
  switch (loadLocked(&error)) {
    case FileState::Ok:
      return cache_->sorted;
    case FileState::Missing:
      createEmptyLocked();
      return cache_ ? cache_->sorted : kEmpty;
    case FileState::Damaged:
      break;
  }
  // Replacing an unreadable file would lose every ticket in it; keep it beside the new one.
  Error moveError;
  std::optional<std::filesystem::path> aside = moveAsideCorrupt(file_, &moveError);
  if (!aside) {
    logLine(strprintf("Ticket store: %s; it could not be moved aside (%s), so nothing is written",
                      error.description.c_str(), moveError.description.c_str()));
    return kEmpty;
  }
  logLine(strprintf("Ticket store: %s; moved aside as %s and started empty",
                    error.description.c_str(), aside->c_str()));
  createEmptyLocked();
  return cache_ ? cache_->sorted : kEmpty;
}

std::vector<Ticket> TicketManager::getTicketsLocked() {
  return listLocked();
}

bool TicketManager::saveLocked(const std::vector<Ticket>& tickets,
                               std::optional<std::int64_t> lastID, Error* error) {
  if (loadLocked(error) != FileState::Ok) return false;
  std::optional<Data> archive = encodeTicketArchive(tickets, error);
  if (!archive) return false;
  plist_t dict = plist_copy(cache_->dict.get());
  plist_dict_set_item(
      dict, kListKey,
      plist_new_data(reinterpret_cast<const char*>(archive->data()), archive->size()));
  if (lastID) {
    plist_dict_set_item(dict, kLastIDKey, plist_new_uint(static_cast<std::uint64_t>(*lastID)));
  }
  std::vector<Ticket> sorted = tickets;
  sortByEndDescending(sorted);
  return writeLocked(dict, std::move(sorted), error);
}

std::int64_t TicketManager::nextIDLocked(bool record) {
  const double ms = toUnixSeconds(Clock::current().now()) * 1000.0;
  std::int64_t id = 0;
  if (std::isfinite(ms) && std::fabs(ms) < 9.2e18) id = static_cast<std::int64_t>(ms);

  std::optional<std::int64_t> floor = lastIssued_;
  const bool fileOk = loadLocked(nullptr) == FileState::Ok;
  if (fileOk) {
    for (auto seen : {cache_->lastID, cache_->maxId}) {
      if (seen && (!floor || *seen > *floor)) floor = seen;
    }
  }
  // The clock may stand still within a millisecond or step back; identifiers must not.
  if (floor && id <= *floor) {
    id = *floor < std::numeric_limits<std::int64_t>::max() ? *floor + 1 : *floor;
  }
  lastIssued_ = id;

  if (record && fileOk) {
    plist_t dict = plist_copy(cache_->dict.get());
    plist_dict_set_item(dict, kLastIDKey, plist_new_uint(static_cast<std::uint64_t>(id)));
    Error error;
    if (!writeLocked(dict, cache_->sorted, &error)) {
      logLine("Ticket store: lastID not recorded: " + error.description);
    }
  }
  return id;
}

std::int64_t TicketManager::nextID() {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  return nextIDLocked(true);
}

bool TicketManager::saveToDisk(const std::vector<Ticket>& tickets, Error* error) {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  return saveLocked(tickets, std::nullopt, error);
}

const std::vector<Ticket>& TicketManager::readLocked() {
  // Writers replace the file atomically, so a cached list that still matches it needs no lock.
  if (detached_ && cache_) return cache_->sorted;
  if (cache_ && cache_->id && identify(file_) == cache_->id) return cache_->sorted;
  FileLock fileLock(file_);
  return listLocked();
}

std::vector<Ticket> TicketManager::getTickets() {
  std::lock_guard lock(mutex_);
  return readLocked();
}

std::vector<Ticket> TicketManager::getTicketsActive() {
  const TimePoint now = Clock::current().now();
  std::vector<Ticket> out = getTickets();
  std::erase_if(out, [&](const Ticket& t) { return !t.isActive(now); });
  return out;
}

std::vector<Ticket> TicketManager::getTicketsDeactive() {
  const TimePoint now = Clock::current().now();
  std::vector<Ticket> out = getTickets();
  std::erase_if(out, [&](const Ticket& t) { return t.isActive(now); });
  return out;
}

bool TicketManager::add(Ticket& ticket) {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  const std::vector<Ticket>& stored = listLocked();
  for (const Ticket& t : stored) {
    if (t.isEqual(ticket)) return false;
  }
  std::vector<Ticket> tickets = stored;
  // One write carries both the new identifier and the list.
  const std::int64_t id = nextIDLocked(false);
  ticket.transactionId = id;
  tickets.push_back(ticket);
  return saveLocked(tickets, id, nullptr);
}

bool TicketManager::remove(const Ticket& ticket) {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  std::vector<Ticket> tickets = getTicketsLocked();
  std::erase_if(tickets, [&](const Ticket& t) { return t.isEqual(ticket); });
  return saveLocked(tickets, std::nullopt, nullptr);
}

bool TicketManager::removeTicketWithID(std::string_view identifier) {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  const std::optional<std::int64_t> id = parseIdentifier(identifier);
  std::vector<Ticket> tickets = getTicketsLocked();
  auto it = std::find_if(tickets.begin(), tickets.end(),
                         [&](const Ticket& t) { return id && t.transactionId == id; });
  if (it == tickets.end()) {
    logLine("ERROR, fila no encontrada: " + std::string(identifier));
  } else {
    tickets.erase(it);
  }
  return saveLocked(tickets, std::nullopt, nullptr);
}

bool TicketManager::removeTicketAtIndex(std::size_t index) {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  std::vector<Ticket> tickets = getTicketsLocked();
  if (index >= tickets.size()) {
    logLine(strprintf("Ticket store: no ticket at index %zu of %zu", index, tickets.size()));
    return false;
  }
  tickets.erase(tickets.begin() + static_cast<std::ptrdiff_t>(index));
  return saveLocked(tickets, std::nullopt, nullptr);
}

std::optional<Ticket> TicketManager::getTicketWithID(std::int64_t identifier) {
  std::lock_guard lock(mutex_);
  for (const Ticket& t : readLocked()) {
    if (t.transactionId == identifier) return t;
  }
  return std::nullopt;
}

bool TicketManager::update(const Ticket& ticket) {
  std::lock_guard lock(mutex_);
  FileLock fileLock(file_);
  std::vector<Ticket> tickets = getTicketsLocked();
  std::erase_if(tickets, [&](const Ticket& t) { return t.isEqual(ticket); });
  tickets.push_back(ticket);
  return saveLocked(tickets, std::nullopt, nullptr);
}

}  // namespace est
