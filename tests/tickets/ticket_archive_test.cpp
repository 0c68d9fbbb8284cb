#include "tickets/ticket_archive.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <chrono>
#include <functional>
#include <string>

#include "tickets/store_test_support.h"

namespace est {
namespace {

using namespace std::chrono_literals;
using testing::toBinaryPlist;
using testing::wednesdayAt;

void expectSameTicket(const Ticket& a, const Ticket& b) {
  EXPECT_EQ(a.license, b.license);
  EXPECT_EQ(a.transactionId, b.transactionId);
  EXPECT_EQ(a.timeStart, b.timeStart);
  EXPECT_EQ(a.timeEnd, b.timeEnd);
  EXPECT_EQ(a.minutes, b.minutes);
}

std::vector<Ticket> sampleTickets() {
  testing::ScopedEnv zone("TZ", testing::kFixedZone);
  return {
      {"ABC 1234", 1772643600000, wednesdayAt(14, 0), wednesdayAt(15, 30), 90},
      {"ÑANDÚ 77", 1, wednesdayAt(9, 5) + 123ms, wednesdayAt(9, 35) + 999ms, std::nullopt},
      {"", std::nullopt, TimePoint(978307198250ms), std::nullopt, 30},  // before 2001
      {"ZX987", 9000000000000000000, std::nullopt, TimePoint(2840140800500ms), -30},
  };
}

std::optional<std::vector<Ticket>> decode(const Data& bytes, Error* error = nullptr) {
  return decodeTicketArchive(bytes.data(), bytes.size(), error);
}

// Re-encodes a valid archive after `change` has edited its tree.
Data editedArchive(const std::function<void(plist_t root, plist_t objects)>& change) {
  std::optional<Data> bytes = encodeTicketArchive(sampleTickets());
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes->data()), bytes->size(), &root);
  change(root, plist_dict_get_item(root, "$objects"));
  return toBinaryPlist(root);
}

// A binary property list made of raw objects, 4-byte offsets and references.
Data craftedPlist(const std::vector<Data>& objects) {
  Data out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<std::uint32_t> offsets;
  for (const Data& o : objects) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), o.begin(), o.end());
  }
  auto be = [&](std::uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const std::uint64_t table = out.size();
  for (std::uint32_t o : offsets) be(o, 4);
  out.insert(out.end(), {0, 0, 0, 0, 0, 0, 4, 4});
  be(objects.size(), 8);
  be(0, 8);
  be(table, 8);
  return out;
}

Data arrayOf(std::initializer_list<std::uint32_t> refs, std::size_t repeat = 1) {
  Data o = {0xAF, 0x12};
  const std::uint32_t n = static_cast<std::uint32_t>(refs.size() * repeat);
  o.insert(o.end(),
           {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
  for (std::size_t r = 0; r < repeat; ++r)
    for (std::uint32_t ref : refs)
      o.insert(o.end(), {std::uint8_t(ref >> 24), std::uint8_t(ref >> 16), std::uint8_t(ref >> 8),
                         std::uint8_t(ref)});
  return o;
}

TEST(TicketArchive, RoundTripsEveryFieldToTheMillisecond) {
  const std::vector<Ticket> tickets = sampleTickets();
  std::optional<Data> bytes = encodeTicketArchive(tickets);
  ASSERT_TRUE(bytes);
  auto back = decode(*bytes);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), tickets.size());
  for (std::size_t i = 0; i < tickets.size(); ++i) {
    SCOPED_TRACE(i);
    expectSameTicket((*back)[i], tickets[i]);
  }
  auto empty = decode(*encodeTicketArchive({}));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  // The file's dates count seconds from 2001 in 32 bits: 2100 cannot be written.
  Error error;
  Ticket far{"F1", 3, std::nullopt, fromUnixSeconds(4102444800.0), 30};
  EXPECT_FALSE(encodeTicketArchive({far}, &error));
  EXPECT_EQ(error.domain, kTicketArchiveErrorDomain);
}

TEST(TicketArchive, IsAKeyedObjectGraphWithExactlyTheTicketKeys) {
  std::optional<Data> bytes = encodeTicketArchive(sampleTickets());
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(bytes->data()), bytes->size(), &root);
  ASSERT_TRUE(root);
  plist_t objects = plist_dict_get_item(root, "$objects");
  auto follow = [&](plist_t uidNode) {
    std::uint64_t uid = 0;
    plist_get_uid_val(uidNode, &uid);
    return plist_array_get_item(objects, static_cast<std::uint32_t>(uid));
  };
  plist_t list = follow(plist_dict_get_item(plist_dict_get_item(root, "$top"), "root"));
  plist_t refs = plist_dict_get_item(list, "objects");
  ASSERT_EQ(plist_array_get_size(refs), 4u);
  const std::vector<std::vector<const char*>> expected = {
      {"id", "start", "end", "minutes", "license"},
      {"id", "start", "end", "license"},  // no minutes: no key
      {"start", "minutes", "license"}};
  for (std::uint32_t i = 0; i < expected.size(); ++i) {
    plist_t rec = follow(plist_array_get_item(refs, i));
    plist_t cls = follow(plist_dict_get_item(rec, "$class"));
    EXPECT_STREQ(plist_get_string_ptr(plist_dict_get_item(cls, "$classname"), nullptr), "Ticket");
    EXPECT_EQ(plist_dict_get_size(rec), expected[i].size() + 1) << "keys of ticket " << i;
    for (const char* key : expected[i]) EXPECT_TRUE(plist_dict_get_item(rec, key)) << key;
  }
  plist_free(root);
}

TEST(TicketArchive, RefusesWrongTypesAndBrokenReferences) {
  auto set = [](std::uint32_t object, const char* key, plist_t value) {
    return editedArchive([=](plist_t, plist_t objects) {
      plist_dict_set_item(plist_array_get_item(objects, object), key, value);
    });
  };
  auto listRef = [](std::uint64_t uid) {
    return editedArchive([=](plist_t, plist_t objects) {
      plist_t refs = plist_dict_get_item(plist_array_get_item(objects, 1), "objects");
      plist_array_set_item(refs, plist_new_uid(uid), 0);
    });
  };
  const std::pair<const char*, Data> cases[] = {
      {"id as text", set(4, "id", plist_new_string("1772643600000"))},
      {"start as integer", set(4, "start", plist_new_uint(5))},
      {"minutes beyond int", set(4, "minutes", plist_new_uint(1ull << 40))},
      {"license as data", set(4, "license", plist_new_data("x", 1))},
      {"class UID out of range", set(4, "$class", plist_new_uid(4000))},
      {"record of the list class", set(4, "$class", plist_new_uid(2))},
      {"list element out of range", listRef(77)},
      {"list element is the list", listRef(1)},
      {"list element is $null", listRef(0)},
      {"root UID out of range", editedArchive([](plist_t root, plist_t) {
         plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(1u << 31));
       })},
      {"no $objects",
       editedArchive([](plist_t root, plist_t) { plist_dict_remove_item(root, "$objects"); })},
      {"list without objects", set(1, "objects", plist_new_string("none"))},
      {"root is an array", toBinaryPlist(plist_new_array())},
  };
  for (const auto& [name, bytes] : cases) {
    Error error;
    EXPECT_FALSE(decode(bytes, &error)) << name;
    EXPECT_EQ(error.domain, kTicketArchiveErrorDomain) << name;
  }
}

TEST(TicketArchive, SurvivesDamagedBytes) {
  const Data good = *encodeTicketArchive(sampleTickets());
  EXPECT_FALSE(decode(toData("not a property list at all, just text")));
  EXPECT_FALSE(decode(Data{}));
  for (std::size_t n = 0; n < good.size(); ++n) {
    Data cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(decode(cut)) << "cut at " << n;
  }
  // Every byte flipped to a few values: a decode either fails with an error or yields at most
  // the records that were there; it never crashes (the sanitizer build watches this loop).
  int refused = 0;
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (std::uint8_t v : {std::uint8_t(good[i] ^ 0xFF), std::uint8_t(0), std::uint8_t(0x0F),
                           std::uint8_t(good[i] + 1)}) {
      Data bad = good;
      bad[i] = v;
      Error error;
      auto tickets = decode(bad, &error);
      if (tickets) {
        EXPECT_LE(tickets->size(), 4u);
      } else {
        EXPECT_FALSE(error.description.empty());
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, 0);
}

TEST(TicketArchive, RefusesHostileNestingBeforeTheLibrarySeesIt) {
  // A chain of 200,000 nested arrays overflows the library's recursive reader.
  std::vector<Data> chain;
  for (std::uint32_t i = 0; i < 200000; ++i) chain.push_back(arrayOf({i + 1}));
  chain.push_back({0xA0});
  Error error;
  EXPECT_FALSE(decode(craftedPlist(chain), &error));
  EXPECT_NE(error.description.find("deep"), std::string::npos) << error.description;

  // Seven levels of 15 references to the next level expand to 15^7 copies.
  std::vector<Data> bomb;
  for (std::uint32_t i = 0; i < 7; ++i) bomb.push_back(arrayOf({i + 1}, 15));
  bomb.push_back({0xA0});
  EXPECT_FALSE(decode(craftedPlist(bomb), &error));
  EXPECT_NE(error.description.find("expands"), std::string::npos) << error.description;

  // An array that holds itself.
  EXPECT_FALSE(decode(craftedPlist({arrayOf({0})}), &error));
}

}  // namespace
}  // namespace est
