#pragma once

// The purchases sent to the parking service (or about to be) that it has not decided yet. Each
// is known by its own transaction identifier from the moment it is composed, so that every
// reply can be matched to the purchase it answers, and it stays here until the service
// confirms it, refuses it or says it does not know it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/preferences.h"

namespace est {

struct PendingPurchase {
  std::int64_t transactionId = 0;  // the ticket's own identifier; travels as its low 32 bits
  std::string plate;               // as the ticket holds it (blanks kept)
  // Absent only for a purchase taken over from the old single marker, which kept neither.
  std::optional<TimePoint> start;
  std::optional<int> minutes;

  // start + minutes, when both are known.
  std::optional<TimePoint> end() const;
  bool operator==(const PendingPurchase&) const = default;
};

// The set, kept in the preference store under "pendingPurchases": an array of texts, one JSON
// object per purchase, oldest first:
//
//   {"transactionId":1772629200123,"plate":"ABC 1234","start":1772629200,"minutes":90}
//
// ("start" in whole seconds since 1970; "start" and "minutes" may be missing). Every change is
// flushed at once, so a purchase recorded before its request leaves survives a crash. An entry
// that cannot be read is kept as it is and never reported. The old single marker
// ("ticketInProcess" with "ticketInProcessLicense") is still read: the first access that finds
// it moves it into the set and removes both keys.
//
// Reads go to the store every time; nothing is cached, so two instances on the same store see
// each other's changes. Main thread (the store itself is thread-safe).
class PendingPurchases {
 public:
  static constexpr const char* kKey = "pendingPurchases";
  static constexpr const char* kLegacyKey = "ticketInProcess";
  static constexpr const char* kLegacyPlateKey = "ticketInProcessLicense";

  explicit PendingPurchases(Preferences& store = Preferences::standard());

  // Every pending purchase, oldest first.
  std::vector<PendingPurchase> all();
  std::optional<PendingPurchase> find(std::int64_t transactionId);
  bool contains(std::int64_t transactionId) { return find(transactionId).has_value(); }
  bool empty() { return all().empty(); }

  // Records `purchase` (replacing one with the same identifier) and flushes. False when the
  // store could not put it on disk: the purchase must not be sent then.
  bool add(const PendingPurchase& purchase);
  // Drops the purchase with that identifier and flushes; false when there was none.
  bool remove(std::int64_t transactionId);

  // A pending purchase for the same plate (blanks ignored, letters in any case) starting in
  // the same minute, other than `except`.
  std::optional<PendingPurchase> sameAs(std::string_view plate, TimePoint start,
                                        std::optional<std::int64_t> except = std::nullopt);

  // The text of one entry, and back (nothing when it is not one).
  static std::string encode(const PendingPurchase& purchase);
  static std::optional<PendingPurchase> decode(std::string_view text);

 private:
  // The stored texts, after moving the old marker in.
  PrefArray entries();
  bool write(const PrefArray& entries);

  Preferences& store_;
};

}  // namespace est
