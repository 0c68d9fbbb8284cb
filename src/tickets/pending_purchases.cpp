#include "tickets/pending_purchases.h"

#include <algorithm>
#include <cctype>

#include "json/json.h"
#include "platform/log.h"

namespace est {
namespace {

std::int64_t secondsSinceEpoch(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// Blanks left out, letters in upper case: "abc 1234" and "ABC1234" are one plate.
std::string plateKey(std::string_view plate) {
  std::string out;
  for (char c : plate) {
    if (c == ' ' || c == '\t') continue;
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

std::int64_t minuteOf(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::minutes>(t.time_since_epoch()).count();
}

// Whether the stored text `entry` is the purchase `transactionId`.
bool isEntryOf(const std::string& entry, std::int64_t transactionId) {
  std::optional<PendingPurchase> p = PendingPurchases::decode(entry);
  return p && p->transactionId == transactionId;
}

}  // namespace

std::optional<TimePoint> PendingPurchase::end() const {
  if (!start || !minutes) return std::nullopt;
  return *start + std::chrono::minutes(*minutes);
}

PendingPurchases::PendingPurchases(Preferences& store) : store_(store) {}

std::string PendingPurchases::encode(const PendingPurchase& purchase) {
  JsonObject object{{"transactionId", Json(purchase.transactionId)},
                    {"plate", Json(purchase.plate)}};
  if (purchase.start) object.set("start", Json(secondsSinceEpoch(*purchase.start)));
  if (purchase.minutes) object.set("minutes", Json(*purchase.minutes));
  return JSONRepresentation(Json(std::move(object))).value_or("");
}

std::optional<PendingPurchase> PendingPurchases::decode(std::string_view text) {
  std::optional<Json> value = JSONValue(text);
  if (!value || !value->isObject()) return std::nullopt;
  const Json& v = *value;
  std::optional<std::int64_t> id =
      v["transactionId"].isNumber() ? v["transactionId"].int64Value() : std::nullopt;
  if (!id || !v["plate"].isString()) return std::nullopt;
  PendingPurchase out;
  out.transactionId = *id;
  out.plate = std::string(v["plate"].stringView());
  if (v["start"].isNumber()) {
    if (std::optional<std::int64_t> s = v["start"].int64Value())
      out.start = TimePoint(std::chrono::seconds(*s));
  }
  if (v["minutes"].isNumber()) {
    std::optional<std::int64_t> m = v["minutes"].int64Value();
    if (m && *m > 0 && *m <= 24 * 60) out.minutes = static_cast<int>(*m);
  }
  return out;
}

PrefArray PendingPurchases::entries() {
  PrefArray stored;
  if (std::optional<PrefValue> value = store_.objectForKey(kKey)) {
    if (const PrefArray* array = value->array()) stored = *array;
  }
  std::optional<PrefValue> legacy = store_.objectForKey(kLegacyKey);
  if (!legacy) return stored;
  // A purchase left by a version that kept one marker: it joins the set, with what is known.
  PendingPurchase old;
  old.transactionId = legacy->integerValue();
  if (std::optional<PrefValue> plate = store_.objectForKey(kLegacyPlateKey)) {
    if (const std::string* text = plate->text()) old.plate = *text;
  }
  bool known = std::any_of(stored.begin(), stored.end(), [&](const std::string& entry) {
    return isEntryOf(entry, old.transactionId);
  });
  if (!known) stored.push_back(encode(old));
  if (write(stored)) {
    store_.removeObject(kLegacyKey);
    store_.removeObject(kLegacyPlateKey);
    store_.flush();
    logf("pending purchase %lld taken over from the old marker",
         static_cast<long long>(old.transactionId));
  }
  return stored;
}

bool PendingPurchases::write(const PrefArray& entries) {
  bool set = entries.empty() ? store_.setObject(kKey, std::nullopt)
                             : store_.setObject(kKey, PrefValue(entries));
  if (!set) return false;
  Error error;
  if (!store_.flush(&error)) {
    logf("pending purchases not saved: %s", error.description.c_str());
    return false;
  }
  return true;
}

std::vector<PendingPurchase> PendingPurchases::all() {
  std::vector<PendingPurchase> out;
  for (const std::string& entry : entries()) {
    if (std::optional<PendingPurchase> p = decode(entry)) out.push_back(std::move(*p));
  }
  return out;
}

std::optional<PendingPurchase> PendingPurchases::find(std::int64_t transactionId) {
  for (PendingPurchase& p : all()) {
    if (p.transactionId == transactionId) return std::move(p);
  }
  return std::nullopt;
}

bool PendingPurchases::add(const PendingPurchase& purchase) {
  const PrefArray before = entries();
  PrefArray stored = before;
  std::string text = encode(purchase);
  auto same = std::find_if(stored.begin(), stored.end(), [&](const std::string& entry) {
    return isEntryOf(entry, purchase.transactionId);
  });
  if (same != stored.end()) {
    *same = text;
  } else {
    stored.push_back(text);
  }
  if (write(stored)) return true;
  // Not on disk: it must not look pending in memory either, since it will not be sent.
  if (before.empty()) {
    store_.setObject(kKey, std::nullopt);
  } else {
    store_.setObject(kKey, PrefValue(before));
  }
  return false;
}

bool PendingPurchases::remove(std::int64_t transactionId) {
  PrefArray stored = entries();
  std::size_t before = stored.size();
  std::erase_if(stored, [&](const std::string& entry) { return isEntryOf(entry, transactionId); });
  if (stored.size() == before) return false;
  write(stored);
  return true;
}

std::optional<PendingPurchase> PendingPurchases::sameAs(std::string_view plate, TimePoint start,
                                                        std::optional<std::int64_t> except) {
  std::string key = plateKey(plate);
  for (PendingPurchase& p : all()) {
    if (except && p.transactionId == *except) continue;
    if (p.start && plateKey(p.plate) == key && minuteOf(*p.start) == minuteOf(start))
      return std::move(p);
  }
  return std::nullopt;
}

}  // namespace est
