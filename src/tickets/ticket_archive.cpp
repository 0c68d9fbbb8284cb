#include "tickets/ticket_archive.h"

#include <plist/plist.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "platform/format.h"
#include "tickets/bplist_guard.h"
#include "tickets/plist_node.h"

namespace est {

// Keyed archive of the ticket list: an object graph in a binary property list.
//
//   {
//     "$archiver": "EstKeyedArchiver",  "$version": 1,
//     "$top":      { "root": UID(1) },
//     "$objects":  [
//       "$null",                                                    // UID 0, by convention
//       { "$class": UID(2), "objects": [ UID(4), UID(5), ... ] },   // the list, in order
//       { "$classname": "MutableArray", "$classes": ["MutableArray", "Array", "Object"] },
//       { "$classname": "Ticket", "$classes": ["Ticket", "Object"] },
//       { "$class": UID(3), "id": int, "start": date, "end": date, "minutes": int,
//         "license": string },                                      // one per ticket
//       ...
//     ]
//   }
//
// A ticket's empty field is left out of its record. Dates are kept to the millisecond (the
// property-list date counts seconds from 2001-01-01 UTC). Objects refer to each other only by
// UID (index into "$objects"), so the reader resolves every UID against that array and checks
// the class of what it finds; a reference that loops back lands on a record of the wrong class.

namespace {

constexpr const char* kArchiver = "EstKeyedArchiver";
constexpr std::uint64_t kVersion = 1;
constexpr const char* kListClass = "MutableArray";
constexpr const char* kTicketClass = "Ticket";
constexpr std::uint64_t kListUid = 1;
constexpr std::uint64_t kListClassUid = 2;
constexpr std::uint64_t kTicketClassUid = 3;
constexpr std::uint64_t kFirstTicketUid = 4;
// Deepest path written: archive, "$objects", class record, "$classes", class name.
constexpr unsigned kMaxArchiveDepth = 8;

// 2001-01-01 00:00:00 UTC in Unix milliseconds.
constexpr std::int64_t kPlistEpochMs = 978307200000LL;

using Millis = std::chrono::milliseconds;

bool encodeDate(TimePoint t, plist_t* out) {
  const std::int64_t unixMs = std::chrono::floor<Millis>(t.time_since_epoch()).count();
  const std::int64_t ms = unixMs - kPlistEpochMs;
  std::int64_t sec = ms / 1000;
  std::int64_t rem = ms % 1000;
  if (rem < 0) {
    rem += 1000;
    sec -= 1;
  }
  if (sec < std::numeric_limits<std::int32_t>::min() ||
      sec > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  *out = plist_new_date(static_cast<std::int32_t>(sec), static_cast<std::int32_t>(rem * 1000));
  return true;
}

TimePoint decodeDate(plist_t node) {
  std::int32_t sec = 0;
  std::int32_t usec = 0;
  plist_get_date_val(node, &sec, &usec);
  // The library splits the stored double toward zero, so the fraction of a date before 2001
  // belongs on the negative side.
  std::int64_t micros = static_cast<std::int64_t>(sec) * 1000000;
  micros += sec < 0 ? -static_cast<std::int64_t>(usec) : static_cast<std::int64_t>(usec);
  // The double loses the last microsecond now and then; the writer keeps milliseconds only.
  const std::int64_t ms = micros >= 0 ? (micros + 500) / 1000 : -((-micros + 500) / 1000);
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(Millis(ms + kPlistEpochMs)));
}

plist_t classRecord(const char* name, std::initializer_list<const char*> chain) {
  plist_t cls = plist_new_dict();
  plist_dict_set_item(cls, "$classname", plist_new_string(name));
  plist_t classes = plist_new_array();
  for (const char* c : chain) plist_array_append_item(classes, plist_new_string(c));
  plist_dict_set_item(cls, "$classes", classes);
  return cls;
}

Error archiveError(int code, std::string description) {
  return Error(kTicketArchiveErrorDomain, code, std::move(description));
}

}  // namespace

std::optional<Data> encodeTicketArchive(const std::vector<Ticket>& tickets, Error* error) {
  PlistNode root(plist_new_dict());
  plist_dict_set_item(root.get(), "$archiver", plist_new_string(kArchiver));
  plist_dict_set_item(root.get(), "$version", plist_new_uint(kVersion));
  plist_t top = plist_new_dict();
  plist_dict_set_item(top, "root", plist_new_uid(kListUid));
  plist_dict_set_item(root.get(), "$top", top);

  plist_t objects = plist_new_array();
  plist_dict_set_item(root.get(), "$objects", objects);
  plist_array_append_item(objects, plist_new_string("$null"));
  plist_t list = plist_new_dict();
  plist_dict_set_item(list, "$class", plist_new_uid(kListClassUid));
  plist_t refs = plist_new_array();
  plist_dict_set_item(list, "objects", refs);
  plist_array_append_item(objects, list);
  plist_array_append_item(objects, classRecord(kListClass, {kListClass, "Array", "Object"}));
  plist_array_append_item(objects, classRecord(kTicketClass, {kTicketClass, "Object"}));

  std::uint64_t uid = kFirstTicketUid;
  for (const Ticket& t : tickets) {
    plist_t rec = plist_new_dict();
    plist_array_append_item(objects, rec);
    plist_array_append_item(refs, plist_new_uid(uid++));
    plist_dict_set_item(rec, "$class", plist_new_uid(kTicketClassUid));
    if (t.transactionId) {
      plist_dict_set_item(rec, "id", plist_new_uint(static_cast<std::uint64_t>(*t.transactionId)));
    }
    for (auto [key, value] : {std::pair{"start", &t.timeStart}, std::pair{"end", &t.timeEnd}}) {
      if (!*value) continue;
      plist_t date = nullptr;
      if (!encodeDate(**value, &date)) {
        Error::assign(error, archiveError(1, strprintf("ticket %s: %s date out of range",
                                                       t.description().c_str(), key)));
        return std::nullopt;
      }
      plist_dict_set_item(rec, key, date);
    }
    if (t.minutes) {
      plist_dict_set_item(rec, "minutes",
                          plist_new_uint(static_cast<std::uint64_t>(std::int64_t{*t.minutes})));
    }
    plist_dict_set_item(rec, "license", plist_new_string(t.license.c_str()));
  }

  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  if (!bytes) {
    Error::assign(error, archiveError(2, "the ticket list could not be encoded"));
    return std::nullopt;
  }
  Data out(reinterpret_cast<const std::uint8_t*>(bytes),
           reinterpret_cast<const std::uint8_t*>(bytes) + length);
  plist_to_bin_free(bytes);
  return out;
}

namespace {

class Decoder {
 public:
  // The library's arrays are linked lists: index them once instead of walking per UID.
  explicit Decoder(plist_t objects) : objects_(arrayItems(objects)) {}

  static std::vector<plist_t> arrayItems(plist_t array) {
    std::vector<plist_t> items;
    items.reserve(plist_array_get_size(array));
    plist_array_iter it = nullptr;
    plist_array_new_iter(array, &it);
    for (;;) {
      plist_t item = nullptr;
      plist_array_next_item(array, it, &item);
      if (!item) break;
      items.push_back(item);
    }
    std::free(it);
    return items;
  }

  // The object a UID node names, or null when the node is no UID or points outside.
  plist_t resolve(plist_t uidNode) const {
    if (!uidNode || plist_get_node_type(uidNode) != PLIST_UID) return nullptr;
    std::uint64_t index = 0;
    plist_get_uid_val(uidNode, &index);
    return index < objects_.size() ? objects_[static_cast<std::size_t>(index)] : nullptr;
  }

  // Whether `record` is a dictionary whose "$class" names `name`.
  bool hasClass(plist_t record, std::string_view name) {
    if (!record || plist_get_node_type(record) != PLIST_DICT) return false;
    plist_t classUid = plist_dict_get_item(record, "$class");
    if (!classUid || plist_get_node_type(classUid) != PLIST_UID) return false;
    std::uint64_t index = 0;
    plist_get_uid_val(classUid, &index);
    // Every record of a list shares its class; look the name up once.
    if (index == lastClassIndex_) return lastClassMatched_ && name == lastClassName_;
    plist_t cls = resolve(classUid);
    plist_t nameNode = plistChild(cls, "$classname", PLIST_STRING);
    if (!nameNode) return false;
    std::uint64_t len = 0;
    const char* ptr = plist_get_string_ptr(nameNode, &len);
    lastClassIndex_ = index;
    lastClassName_ = std::string_view(ptr, static_cast<std::size_t>(len));
    lastClassMatched_ = true;
    return name == lastClassName_;
  }

 private:
  std::vector<plist_t> objects_;
  std::uint64_t lastClassIndex_ = std::numeric_limits<std::uint64_t>::max();
  std::string_view lastClassName_;
  bool lastClassMatched_ = false;
};

bool decodeTicket(plist_t rec, Ticket& t, std::string& why) {
  if (plist_t node = plist_dict_get_item(rec, "id")) {
    if (plist_get_node_type(node) != PLIST_UINT) return why = "\"id\" is not an integer", false;
    std::uint64_t v = 0;
    plist_get_uint_val(node, &v);
    t.transactionId = static_cast<std::int64_t>(v);
  }
  for (auto [key, field] : {std::pair{"start", &t.timeStart}, std::pair{"end", &t.timeEnd}}) {
    plist_t node = plist_dict_get_item(rec, key);
    if (!node) continue;
    if (plist_get_node_type(node) != PLIST_DATE) {
      return why = strprintf("\"%s\" is not a date", key), false;
    }
    *field = decodeDate(node);
  }
  if (plist_t node = plist_dict_get_item(rec, "minutes")) {
    if (plist_get_node_type(node) != PLIST_UINT) {
      return why = "\"minutes\" is not an integer", false;
    }
    std::uint64_t raw = 0;
    plist_get_uint_val(node, &raw);
    const auto v = static_cast<std::int64_t>(raw);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) {
      return why = "\"minutes\" is out of range", false;
    }
    t.minutes = static_cast<int>(v);
  }
  if (plist_t node = plist_dict_get_item(rec, "license")) {
    if (plist_get_node_type(node) != PLIST_STRING) {
      return why = "\"license\" is not a text", false;
    }
    std::uint64_t len = 0;
    const char* ptr = plist_get_string_ptr(node, &len);
    t.license.assign(ptr, static_cast<std::size_t>(len));
  }
  return true;
}

}  // namespace

std::optional<std::vector<Ticket>> decodeTicketArchive(const void* bytes, std::size_t length,
                                                       Error* error) {
  auto fail = [&](int code, const std::string& why) -> std::optional<std::vector<Ticket>> {
    Error::assign(error, archiveError(code, "the ticket archive is unreadable: " + why));
    return std::nullopt;
  };
  if (!bytes || length < 8 || length > std::numeric_limits<std::uint32_t>::max()) {
    return fail(10, "not a binary property list");
  }
  std::string why;
  if (!binaryPlistIsBounded(bytes, length, kMaxArchiveDepth, &why)) return fail(10, why);
  plist_t parsed = nullptr;
  plist_from_bin(static_cast<const char*>(bytes), static_cast<std::uint32_t>(length), &parsed);
  PlistNode root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
    return fail(11, "damaged property list");
  }
  plist_t objects = plistChild(root.get(), "$objects", PLIST_ARRAY);
  plist_t top = plistChild(root.get(), "$top", PLIST_DICT);
  if (!objects || !top) return fail(12, "no \"$objects\" or \"$top\"");
  Decoder decoder(objects);

  plist_t list = decoder.resolve(plist_dict_get_item(top, "root"));
  if (!decoder.hasClass(list, kListClass)) return fail(13, "the root is not a ticket list");
  plist_t refs = plistChild(list, "objects", PLIST_ARRAY);
  if (!refs) return fail(14, "the list has no \"objects\"");

  const std::vector<plist_t> items = Decoder::arrayItems(refs);
  std::vector<Ticket> tickets;
  tickets.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    plist_t rec = decoder.resolve(items[i]);
    if (!decoder.hasClass(rec, kTicketClass)) {
      return fail(15, strprintf("element %zu is not a ticket", i));
    }
    Ticket& t = tickets.emplace_back();
    if (!decodeTicket(rec, t, why)) return fail(16, strprintf("ticket %zu: %s", i, why.c_str()));
  }
  return tickets;
}

}  // namespace est
