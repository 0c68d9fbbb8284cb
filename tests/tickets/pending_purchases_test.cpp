// The stored set of pending purchases: what a crash leaves on disk, the old single marker, and
// entries it cannot read.
#include "tickets/pending_purchases.h"

#include <gtest/gtest.h>

#include "tickets/store_test_support.h"

namespace est::testing {
namespace {

class PendingPurchasesTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return dir.path() / "preferences.plist"; }

  static PendingPurchase purchase(std::int64_t id, std::string plate, int h, int m, int minutes) {
    PendingPurchase p;
    p.transactionId = id;
    p.plate = std::move(plate);
    p.start = wednesdayAt(h, m);
    p.minutes = minutes;
    return p;
  }

  TempDir dir;
  ScopedEnv zone{"TZ", kFixedZone};
};

TEST_F(PendingPurchasesTest, EveryChangeIsOnDiskAtOnce) {
  Preferences store(file());
  PendingPurchases set(store);
  EXPECT_TRUE(set.empty());
  PendingPurchase a = purchase(1772629200123LL, "ABC 1234", 14, 0, 90);
  PendingPurchase b = purchase(1772629200124LL, "SBA4321", 14, 30, 30);
  ASSERT_TRUE(set.add(a));
  ASSERT_TRUE(set.add(b));
  // Another process (or the same one after a crash) reads both, in order, from the file.
  {
    Preferences reopened(file());
    EXPECT_EQ(PendingPurchases(reopened).all(), (std::vector<PendingPurchase>{a, b}));
  }
  EXPECT_EQ(a.end(), wednesdayAt(15, 30));
  // Adding the same purchase again replaces it rather than listing it twice.
  a.minutes = 60;
  ASSERT_TRUE(set.add(a));
  EXPECT_EQ(set.all(), (std::vector<PendingPurchase>{a, b}));
  EXPECT_TRUE(set.remove(a.transactionId));
  EXPECT_FALSE(set.remove(a.transactionId));
  {
    Preferences reopened(file());
    EXPECT_EQ(PendingPurchases(reopened).all(), std::vector<PendingPurchase>{b});
  }
  EXPECT_TRUE(set.remove(b.transactionId));
  EXPECT_FALSE(store.objectForKey(PendingPurchases::kKey));  // no empty array left behind
}

TEST_F(PendingPurchasesTest, TheOldSingleMarkerIsTakenOverOnce) {
  {
    Preferences old(file());
    old.setObject("ticketInProcess", PrefValue(std::int64_t{5000000000LL}));
    old.setObject("ticketInProcessLicense", PrefValue("ABC 1234"));
    old.flush();
  }
  Preferences store(file());
  PendingPurchases set(store);
  std::vector<PendingPurchase> all = set.all();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].transactionId, 5000000000LL);
  EXPECT_EQ(all[0].plate, "ABC 1234");
  EXPECT_FALSE(all[0].start);  // the old marker never knew
  EXPECT_FALSE(all[0].end());
  EXPECT_FALSE(store.objectForKey("ticketInProcess"));
  EXPECT_FALSE(store.objectForKey("ticketInProcessLicense"));
  Preferences reopened(file());
  EXPECT_EQ(PendingPurchases(reopened).all(), all);
  EXPECT_FALSE(reopened.objectForKey("ticketInProcess"));

  // A marker written again beside a set that already holds it does not double it.
  store.setObject("ticketInProcess", PrefValue(std::int64_t{5000000000LL}));
  EXPECT_EQ(set.all().size(), 1u);
}

TEST_F(PendingPurchasesTest, APurchaseThatCannotBeWrittenIsNotPendingEither) {
  writeText(dir / "blocked", "a file where the store's folder should be");
  Preferences store(dir / "blocked" / "preferences.plist");
  PendingPurchases set(store);
  EXPECT_FALSE(set.add(purchase(1, "ABC 1234", 14, 0, 30)));
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(store.objectForKey(PendingPurchases::kKey));
}

TEST_F(PendingPurchasesTest, UnreadableEntriesAreKeptAndSkipped) {
  Preferences store(file());
  PendingPurchase a = purchase(7, "ABC 1234", 10, 0, 30);
  store.setObject(PendingPurchases::kKey,
                  PrefValue(PrefArray{"not json", PendingPurchases::encode(a), R"({"plate":"X"})",
                                      R"({"transactionId":"8","plate":"X"})"}));
  PendingPurchases set(store);
  EXPECT_EQ(set.all(), std::vector<PendingPurchase>{a});
  ASSERT_TRUE(set.add(purchase(9, "SBA4321", 11, 0, 60)));
  EXPECT_EQ(store.objectForKey(PendingPurchases::kKey)->array()->size(), 5u);
  EXPECT_EQ(PendingPurchases::decode(PendingPurchases::encode(a)), a);
  // Out-of-range minutes read as unknown rather than as a ticket of days.
  std::optional<PendingPurchase> odd =
      PendingPurchases::decode(R"({"transactionId":1,"plate":"A1","minutes":-30})");
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->minutes);
}

TEST_F(PendingPurchasesTest, LookAlikesAreTheSamePlateStartingInTheSameMinute) {
  Preferences store(file());
  PendingPurchases set(store);
  ASSERT_TRUE(set.add(purchase(1, "ABC 1234", 14, 0, 90)));
  EXPECT_TRUE(set.sameAs("abc1234", wednesdayAt(14, 0, 40)));
  EXPECT_EQ(set.sameAs("ABC 1234", wednesdayAt(14, 0))->transactionId, 1);
  EXPECT_FALSE(set.sameAs("ABC 1234", wednesdayAt(14, 0), 1));  // itself
  EXPECT_FALSE(set.sameAs("ABC 1234", wednesdayAt(14, 1)));
  EXPECT_FALSE(set.sameAs("SBA4321", wednesdayAt(14, 0)));
}

}  // namespace
}  // namespace est::testing
