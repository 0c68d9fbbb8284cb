#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"

struct sqlite3;

namespace est {

struct PhoneRecord {
  std::string pin;                 // last PIN sent; empty when none is kept
  std::string pinDevice;           // the device that asked for it
  int failedAttempts = 0;          // wrong PINs since the last right one, across re-sent PINs
  int lockouts = 0;                // times guessing was stopped since the last right PIN
  std::int64_t lockedUntilMs = 0;  // wall time, milliseconds since the epoch
  std::string device;              // the device that verified the phone; empty until then
};

enum class PurchaseState { Pending, Confirmed, Refused };

struct PurchaseRecord {
  std::string phone;
  std::int32_t id = 0;
  std::string device;
  std::string plate;
  int minutes = 0;
  std::string hour;  // "HH:mm"
  int polls = 0;
  PurchaseState state = PurchaseState::Pending;
  std::int64_t idTicket = 0;
  std::string fin;
  double costo = 0;
};

std::string purchaseKey(const std::string& phone, std::int32_t id);

struct ServiceState {
  std::int64_t nextTicket = 1001;
  std::set<std::string, std::less<>> accounts;
  std::map<std::string, PhoneRecord, std::less<>> phones;
  std::map<std::string, PurchaseRecord, std::less<>> purchases;  // by purchaseKey()
  std::deque<std::string> purchaseOrder;                         // oldest first, for the cap
};

// What one request changed, so only those rows are written.
struct StateChanges {
  std::set<std::string> phones;
  std::set<std::string> purchases;
  std::vector<std::string> droppedPurchases;
  std::set<std::string> accounts;
  bool nextTicket = false;

  bool empty() const {
    return phones.empty() && purchases.empty() && droppedPurchases.empty() && accounts.empty() &&
           !nextTicket;
  }
};

// The service's state in an SQLite database (write-ahead log, one transaction per change).
// A state file in the former JSON form is imported once: the database takes its place and the
// JSON text is kept beside it as FILE.imported.json.
class StateStore {
 public:
  ~StateStore();
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  // Opens or creates the database at `path` and reads it into `state`.
  static std::unique_ptr<StateStore> open(const std::string& path, ServiceState& state,
                                          Error* error);

  bool write(const ServiceState& state, const StateChanges& changes, Error* error);

 private:
  StateStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  bool exec(const char* sql, Error* error);
  bool fail(Error* error, const std::string& what);
  bool read(ServiceState& state, Error* error);
  bool writeAll(const ServiceState& state, Error* error);
  bool apply(const ServiceState& state, const StateChanges& changes, Error* error);
  bool finish(bool ok, Error* error);
  bool writePhone(const std::string& number, const PhoneRecord& phone, Error* error);
  bool writePurchase(const PurchaseRecord& purchase, Error* error);

  sqlite3* db_;
  std::string path_;
};

}  // namespace est
