#include "tickets/ticket_manager.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>

#include "platform/files.h"
#include "platform/log.h"
#include "tickets/store_test_support.h"
#include "tickets/ticket_archive.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using testing::readBytes;
using testing::ScopedEnv;
using testing::wednesdayAt;
using testing::writeBytes;

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

class TicketManagerTest : public ::testing::Test {
 protected:
  ScopedEnv zone_{"TZ", testing::kFixedZone};
  testing::TempDir dir_;
  std::filesystem::path file_ = dir_ / "MyTicketsList.plist";
  ManualClock clock_{wednesdayAt(14, 0)};
  ScopedClock scoped_{clock_};
  LogCapture log_;

  static Ticket ticket(const char* plate, TimePoint start, TimePoint end, int minutes) {
    return Ticket{plate, std::nullopt, start, end, minutes};
  }

  Plist fileDict() const {
    Data bytes = readBytes(file_);
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &root);
    return Plist(root);
  }

  std::optional<std::int64_t> fileLastID() const {
    Plist dict = fileDict();
    plist_t node = plist_dict_get_item(dict.get(), "lastID");
    if (!node) return std::nullopt;
    std::uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<std::int64_t>(v);
  }

  std::vector<std::string> endTimes(const std::vector<Ticket>& tickets) const {
    std::vector<std::string> out;
    for (const Ticket& t : tickets) out.push_back(t.endTimeString());
    return out;
  }
};

TEST_F(TicketManagerTest, FirstUseCreatesAnEmptyStoreWithoutLastID) {
  TicketManager store(file_);
  EXPECT_EQ(store.pathToPlist(), file_.string());
  const std::int64_t id = store.nextID();
  EXPECT_EQ(id, testing::unixMillis(wednesdayAt(14, 0)));
  EXPECT_FALSE(std::filesystem::exists(file_)) << "nextID creates no file";
  Error error;
  EXPECT_FALSE(
      store.saveToDisk({ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60)}, &error));
  EXPECT_FALSE(std::filesystem::exists(file_)) << "saveToDisk creates no file";

  EXPECT_TRUE(store.getTickets().empty());
  ASSERT_TRUE(std::filesystem::exists(file_));
  Plist dict = fileDict();
  plist_t list = plist_dict_get_item(dict.get(), "MyTicketsList");
  ASSERT_TRUE(list);
  ASSERT_EQ(plist_get_node_type(list), PLIST_DATA);
  std::uint64_t length = 0;
  const char* bytes = plist_get_data_ptr(list, &length);
  auto decoded = decodeTicketArchive(bytes, length);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->empty());
  EXPECT_FALSE(fileLastID());

  clock_.advance(5s);
  const std::int64_t second = store.nextID();
  EXPECT_EQ(fileLastID(), second) << "with a file, nextID records lastID";
}

TEST_F(TicketManagerTest, ListsLatestEndFirstAndSharesChangesAcrossInstances) {
  TicketManager store(file_);
  TicketManager other(file_);
  EXPECT_TRUE(other.getTickets().empty());
  for (auto [h, m] : {std::pair{11, 0}, {12, 30}, {10, 15}}) {
    Ticket t = ticket("ABC 1234", wednesdayAt(10, 0), wednesdayAt(h, m), 30);
    ASSERT_TRUE(store.add(t));
    clock_.advance(1ms);
  }
  EXPECT_EQ(endTimes(store.getTickets()), (std::vector<std::string>{"12:30", "11:00", "10:15"}));
  // The other instance read the file before and must notice that it changed.
  std::vector<Ticket> tickets = other.getTickets();
  ASSERT_EQ(endTimes(tickets), (std::vector<std::string>{"12:30", "11:00", "10:15"}));
  EXPECT_EQ(tickets[0].license, "ABC 1234");
  EXPECT_EQ(tickets[0].minutes, 30);
  EXPECT_EQ(tickets[0].timeStart, wednesdayAt(10, 0));
  EXPECT_EQ(tickets[0].transactionId, testing::unixMillis(wednesdayAt(14, 0)) + 1);
  EXPECT_EQ(other.nextID(), testing::unixMillis(wednesdayAt(14, 0)) + 3);
  ASSERT_TRUE(other.remove(tickets[0]));
  EXPECT_EQ(store.getTickets().size(), 2u);
}

TEST_F(TicketManagerTest, SplitsRunningFromExpiredAtTheEndInstant) {
  TicketManager store(file_);
  for (auto [h, m] : {std::pair{12, 0}, {16, 0}, {9, 30}, {17, 0}, {14, 0}}) {
    Ticket t = ticket("P1", wednesdayAt(9, 0), wednesdayAt(h, m), 30);
    ASSERT_TRUE(store.add(t));
  }
  EXPECT_EQ(endTimes(store.getTicketsActive()), (std::vector<std::string>{"17:00", "16:00"}));
  EXPECT_EQ(endTimes(store.getTicketsDeactive()),
            (std::vector<std::string>{"14:00", "12:00", "09:30"}))
      << "a ticket ending now has expired";
  EXPECT_FALSE(store.getTicketWaitingResponse());
}

TEST_F(TicketManagerTest, AddGivesAFreshIdentifierAndRefusesAStoredOne) {
  TicketManager store(file_);
  Ticket first = ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
  first.transactionId = 42;
  ASSERT_TRUE(store.add(first));
  EXPECT_EQ(first.transactionId, testing::unixMillis(wednesdayAt(14, 0)));
  EXPECT_EQ(fileLastID(), first.transactionId);

  Ticket copy = ticket("B2", wednesdayAt(16, 0), wednesdayAt(17, 0), 60);
  copy.transactionId = first.transactionId;
  EXPECT_FALSE(store.add(copy));
  EXPECT_EQ(copy.transactionId, first.transactionId) << "a refused ticket is not changed";
  EXPECT_EQ(store.getTickets().size(), 1u);

  auto found = store.getTicketWithID(*first.transactionId);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->license, "A1");
  EXPECT_FALSE(store.getTicketWithID(42));
}

TEST_F(TicketManagerTest, NeverHandsOutTheSameIdentifierTwice) {
  TicketManager store(file_);
  store.getTickets();
  const std::int64_t t0 = testing::unixMillis(wednesdayAt(14, 0));
  EXPECT_EQ(store.nextID(), t0);
  EXPECT_EQ(store.nextID(), t0 + 1) << "same millisecond";
  clock_.set(wednesdayAt(13, 0));
  EXPECT_EQ(store.nextID(), t0 + 2) << "clock stepped back";
  EXPECT_EQ(fileLastID(), t0 + 2);

  // A new process reads "lastID" back.
  TicketManager reopened(file_);
  EXPECT_EQ(reopened.nextID(), t0 + 3);
  clock_.set(wednesdayAt(15, 0));
  EXPECT_EQ(reopened.nextID(), testing::unixMillis(wednesdayAt(15, 0)));

  // Stored identifiers count too, even when "lastID" was lost.
  Ticket t = ticket("A1", wednesdayAt(15, 0), wednesdayAt(16, 0), 60);
  ASSERT_TRUE(reopened.add(t));
  Plist dict = fileDict();
  plist_dict_remove_item(dict.get(), "lastID");
  writeBytes(file_, testing::toBinaryPlist(plist_copy(dict.get())));
  clock_.set(wednesdayAt(14, 0));
  TicketManager third(file_);
  EXPECT_EQ(third.nextID(), *t.transactionId + 1);
}

TEST_F(TicketManagerTest, RemovesByIdentifierAndIndexAndUpdates) {
  TicketManager store(file_);
  std::vector<Ticket> added;
  for (int h : {11, 12, 13}) {
    Ticket t = ticket("P", wednesdayAt(10, 0), wednesdayAt(h, 0), 30);
    ASSERT_TRUE(store.add(t));
    added.push_back(t);
  }
  auto inode = [&] {
    struct stat st {};
    ::stat(file_.c_str(), &st);
    return st.st_ino;
  };
  const ino_t before = inode();
  EXPECT_TRUE(store.removeTicketWithID("12345"));
  EXPECT_TRUE(log_.contains("ERROR, fila no encontrada: 12345"));
  EXPECT_NE(inode(), before) << "the list is written back (a new file renamed over the old)";
  EXPECT_EQ(endTimes(TicketManager(file_).getTickets()),
            (std::vector<std::string>{"13:00", "12:00", "11:00"}));
  EXPECT_TRUE(store.removeTicketWithID(" " + std::to_string(*added[1].transactionId)));
  EXPECT_EQ(endTimes(store.getTickets()), (std::vector<std::string>{"13:00", "11:00"}));

  EXPECT_FALSE(store.removeTicketAtIndex(2)) << "past the end: nothing happens";
  EXPECT_EQ(store.getTickets().size(), 2u);
  EXPECT_TRUE(store.removeTicketAtIndex(0));
  EXPECT_EQ(endTimes(store.getTickets()), (std::vector<std::string>{"11:00"}));

  Ticket changed = added[0];
  changed.timeEnd = wednesdayAt(17, 45);
  EXPECT_TRUE(store.update(changed));
  ASSERT_EQ(store.getTickets().size(), 1u);
  EXPECT_EQ(store.getTickets()[0].endTimeString(), "17:45");
}

TEST_F(TicketManagerTest, KeepsOtherKeysAndReadsAFileWithoutAList) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "lastID", plist_new_uint(5));
  plist_dict_set_item(dict, "note", plist_new_string("kept"));
  writeBytes(file_, testing::toBinaryPlist(dict));
  const Data before = readBytes(file_);

  TicketManager store(file_);
  EXPECT_TRUE(store.getTickets().empty());
  EXPECT_EQ(readBytes(file_), before) << "a file without a list is left alone";
  ASSERT_TRUE(store.saveToDisk({ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60)}));
  Plist after = fileDict();
  EXPECT_STREQ(plist_get_string_ptr(plist_dict_get_item(after.get(), "note"), nullptr), "kept");
  EXPECT_EQ(fileLastID(), 5);
  EXPECT_EQ(store.getTickets().size(), 1u);
}

// A case described in words, as a test name.
std::string testName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (c == ' ') c = '_';
  return name;
}

// Each damaged file must end up beside the new empty store, byte for byte, and be logged.
class DamagedStoreTest : public TicketManagerTest,
                         public ::testing::WithParamInterface<std::string> {
 protected:
  Data damaged() {
    const std::string kind = GetParam();
    if (kind == "garbage") return toData("\x01\x02 not a plist \xff\xfe");
    if (kind == "xml") return toData("<?xml version=\"1.0\"?><plist><dict></dict></plist>");
    // Start from a real store with one ticket.
    {
      TicketManager store(file_);
      Ticket t = ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
      EXPECT_TRUE(store.add(t));
    }
    Data good = readBytes(file_);
    if (kind == "truncated") return Data(good.begin(), good.end() - 20);
    Plist dict = fileDict();
    if (kind == "list as text") {
      plist_dict_set_item(dict.get(), "MyTicketsList", plist_new_string("tickets"));
    } else if (kind == "root is an array") {
      return testing::toBinaryPlist(plist_new_array());
    } else if (kind == "archive with a bad UID") {
      std::uint64_t length = 0;
      const char* bytes =
          plist_get_data_ptr(plist_dict_get_item(dict.get(), "MyTicketsList"), &length);
      plist_t archive = nullptr;
      plist_from_bin(bytes, static_cast<std::uint32_t>(length), &archive);
      plist_dict_set_item(plist_dict_get_item(archive, "$top"), "root", plist_new_uid(99));
      Data edited = testing::toBinaryPlist(archive);
      plist_dict_set_item(
          dict.get(), "MyTicketsList",
          plist_new_data(reinterpret_cast<const char*>(edited.data()), edited.size()));
    }
    return testing::toBinaryPlist(plist_copy(dict.get()));
  }
};

TEST_P(DamagedStoreTest, IsMovedAsideAndLoggedNeverOverwritten) {
  const Data bad = damaged();
  writeBytes(file_, bad);
  TicketManager store(file_);

  EXPECT_FALSE(store.saveToDisk({ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60)}));
  store.nextID();
  EXPECT_EQ(readBytes(file_), bad) << "saveToDisk and nextID leave a damaged file alone";

  clock_.set(wednesdayAt(14, 30, 5));
  EXPECT_TRUE(store.getTickets().empty());
  const auto aside = dir_ / "MyTicketsList.plist.corrupt-20260304-143005";
  ASSERT_TRUE(std::filesystem::exists(aside));
  EXPECT_EQ(readBytes(aside), bad);
  EXPECT_TRUE(log_.contains("moved aside as " + aside.string()));

  // The new store works and the kept copy survives a second damage in the same second.
  Ticket t = ticket("B2", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
  ASSERT_TRUE(store.add(t));
  EXPECT_EQ(TicketManager(file_).getTickets().size(), 1u);
  writeBytes(file_, toData("junk"));
  EXPECT_TRUE(store.getTickets().empty());
  EXPECT_EQ(readBytes(aside), bad);
  EXPECT_EQ(readBytes(dir_ / "MyTicketsList.plist.corrupt-20260304-143005-2"), toData("junk"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedStoreTest,
                         ::testing::Values("garbage", "xml", "truncated", "list as text",
                                           "root is an array", "archive with a bad UID"),
                         testName);

TEST_F(TicketManagerTest, AFailedWriteLeavesTheOldFileWhole) {
  TicketManager store(file_);
  Ticket first = ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
  ASSERT_TRUE(store.add(first));
  const Data before = readBytes(file_);

  // A file-size limit below the next file makes the write itself fail half-way.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = before.size();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Ticket second = ticket("B2", wednesdayAt(16, 0), wednesdayAt(17, 0), 60);
  const bool added = store.add(second);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);

  EXPECT_FALSE(added);
  EXPECT_EQ(readBytes(file_), before);
  EXPECT_EQ(testing::listFolder(dir_.path()), std::vector<std::string>{"MyTicketsList.plist"})
      << "no temporary file is left behind";
  ASSERT_EQ(store.getTickets().size(), 1u);
  EXPECT_EQ(store.getTickets()[0].license, "A1");
  EXPECT_TRUE(store.add(second)) << "works again once the disk allows it";
  EXPECT_EQ(TicketManager(file_).getTickets().size(), 2u);
}

TEST_F(TicketManagerTest, ALastIDMissingOrOfAnotherKindIsIgnored) {
  Ticket stored = ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
  {
    TicketManager store(file_);
    ASSERT_TRUE(store.add(stored));
  }
  for (plist_t odd : {plist_new_string("99999999999999"), plist_new_real(1e300), plist_new_bool(1),
                      static_cast<plist_t>(nullptr)}) {
    Plist dict = fileDict();
    if (odd)
      plist_dict_set_item(dict.get(), "lastID", odd);
    else
      plist_dict_remove_item(dict.get(), "lastID");
    const Data edited = testing::toBinaryPlist(plist_copy(dict.get()));
    writeBytes(file_, edited);

    clock_.set(wednesdayAt(13, 0));  // behind the stored identifier
    TicketManager store(file_);
    std::vector<Ticket> tickets = store.getTickets();
    ASSERT_EQ(tickets.size(), 1u);
    EXPECT_EQ(tickets[0].transactionId, stored.transactionId);
    EXPECT_EQ(readBytes(file_), edited) << "reading changes nothing";
    EXPECT_EQ(store.nextID(), *stored.transactionId + 1) << "stored identifiers stay the floor";
    EXPECT_EQ(fileLastID(), *stored.transactionId + 1) << "and the counter is an integer again";
    EXPECT_EQ(testing::listFolder(dir_.path()), std::vector<std::string>{"MyTicketsList.plist"});
  }
}

// Failing to reach or read the file is no damage: it is never moved or written over, the
// store goes on in memory, and the next process reads the file as it was.
class UnreadableStoreTest : public TicketManagerTest,
                            public ::testing::WithParamInterface<std::string> {
 protected:
  void TearDown() override { setFileFaultHook({}); }

  // Makes the next read of the file fail the way the parameter says; undone by `restore`.
  void breakReads() {
    const std::string kind = GetParam();
    if (kind == "no descriptors left") {
      ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit_), 0);
      int lowestFree = ::dup(0);
      ASSERT_GE(lowestFree, 0);
      ::close(lowestFree);
      struct rlimit none = limit_;
      none.rlim_cur = static_cast<rlim_t>(lowestFree);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
      limited_ = true;
      return;
    }
    const int err = kind == "read error" ? EIO : EACCES;
    const std::string operation = kind == "read error" ? "read" : "open";
    setFileFaultHook([this, err, operation](std::string_view op, const std::filesystem::path& p) {
      return op == operation && p == file_ ? err : 0;
    });
  }
  void restore() {
    if (limited_) setrlimit(RLIMIT_NOFILE, &limit_);
    limited_ = false;
    setFileFaultHook({});
  }

  struct rlimit limit_ {};
  bool limited_ = false;
};

TEST_P(UnreadableStoreTest, LeavesTheFileAloneAndWorksInMemory) {
  Ticket first = ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
  ASSERT_TRUE(TicketManager(file_).add(first));
  const Data before = readBytes(file_);

  TicketManager store(file_);
  breakReads();
  const std::vector<Ticket> seen = store.getTickets();
  Ticket second = ticket("B2", wednesdayAt(16, 0), wednesdayAt(17, 0), 60);
  const bool added = store.add(second);
  const std::int64_t next = store.nextID();
  const bool saved = store.saveToDisk(store.getTickets());
  const std::vector<Ticket> after = store.getTickets();
  restore();

  EXPECT_TRUE(seen.empty()) << "nothing was known before the failing read";
  EXPECT_TRUE(added);
  EXPECT_TRUE(saved);
  EXPECT_GT(next, *second.transactionId);
  ASSERT_EQ(after.size(), 1u) << "the session's purchase is kept in memory";
  EXPECT_EQ(after[0].license, "B2");
  EXPECT_EQ(readBytes(file_), before) << "never written over";
  EXPECT_EQ(testing::listFolder(dir_.path()), std::vector<std::string>{"MyTicketsList.plist"})
      << "nothing moved aside";
  const auto noted = unreadableFiles();
  EXPECT_NE(std::find(noted.begin(), noted.end(), file_), noted.end());
  EXPECT_TRUE(log_.contains("cannot be read"));

  EXPECT_EQ(store.getTickets().size(), 1u) << "stays in memory once the disk answers again";
  EXPECT_EQ(readBytes(file_), before);
  std::vector<Ticket> nextStart = TicketManager(file_).getTickets();
  ASSERT_EQ(nextStart.size(), 1u);
  EXPECT_EQ(nextStart[0].license, "A1");
}

INSTANTIATE_TEST_SUITE_P(Faults, UnreadableStoreTest,
                         ::testing::Values("no descriptors left", "read error", "access denied"),
                         testName);

TEST_F(TicketManagerTest, AFolderWhereTheFileShouldBeIsLeftAlone) {
  std::filesystem::create_directory(file_);
  TicketManager store(file_);
  EXPECT_TRUE(store.getTickets().empty());
  Ticket t = ticket("A1", wednesdayAt(14, 0), wednesdayAt(15, 0), 60);
  EXPECT_TRUE(store.add(t));
  EXPECT_EQ(store.getTickets().size(), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(file_));
  EXPECT_EQ(testing::listFolder(dir_.path()), std::vector<std::string>{"MyTicketsList.plist"});
  forgetUnreadableFiles();
}

TEST_F(TicketManagerTest, SharedStoreLivesInTheDocumentsFolder) {
  ScopedEnv docs("EST_DOCUMENTS_DIR", (dir_ / "Documents").string());
  TicketManager& shared = TicketManager::getInstance();
  EXPECT_EQ(&shared, &TicketManager::getInstance());
  EXPECT_EQ(shared.pathToPlist(), (dir_ / "Documents" / "MyTicketsList.plist").string());
  EXPECT_TRUE(shared.getTickets().empty());
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Documents" / "MyTicketsList.plist"));
}

}  // namespace
}  // namespace est
