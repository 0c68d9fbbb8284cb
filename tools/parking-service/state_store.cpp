#include "state_store.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "json/json.h"
#include "parking_service.h"
#include "platform/files.h"

namespace est {
namespace {

constexpr int kSchemaVersion = 1;
constexpr std::size_t kMaxJsonState = std::size_t(64) << 20;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS accounts(phone TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS phones(phone TEXT PRIMARY KEY, pin TEXT NOT NULL,
  pin_device TEXT NOT NULL, failed_attempts INTEGER NOT NULL, lockouts INTEGER NOT NULL,
  locked_until INTEGER NOT NULL, device TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS purchases(seq INTEGER PRIMARY KEY AUTOINCREMENT,
  key TEXT NOT NULL UNIQUE, phone TEXT NOT NULL, id INTEGER NOT NULL, device TEXT NOT NULL,
  plate TEXT NOT NULL, minutes INTEGER NOT NULL, hour TEXT NOT NULL, fin TEXT NOT NULL,
  costo REAL NOT NULL, polls INTEGER NOT NULL, state INTEGER NOT NULL,
  id_ticket INTEGER NOT NULL);
)";

bool isPhoneText(std::string_view s) {
  if (s.size() != 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  explicit operator bool() const { return stmt_ != nullptr; }
  Statement& text(int i, const std::string& value) {
    sqlite3_bind_text(stmt_, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& integer(int i, std::int64_t value) {
    sqlite3_bind_int64(stmt_, i, value);
    return *this;
  }
  Statement& real(int i, double value) {
    sqlite3_bind_double(stmt_, i, value);
    return *this;
  }
  // SQLITE_ROW or SQLITE_DONE on success.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  bool run() { return step() == SQLITE_DONE; }
  std::string textAt(int i) const {
    const unsigned char* t = sqlite3_column_text(stmt_, i);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
             : std::string();
  }
  std::int64_t integerAt(int i) const { return sqlite3_column_int64(stmt_, i); }
  double realAt(int i) const { return sqlite3_column_double(stmt_, i); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

Error stateError(const std::string& path, const std::string& what) {
  return Error(ParkingServiceErrorDomain, 2, "state file " + path + ": " + what);
}

// The state as the service wrote it before it kept a database.
bool readJsonState(const Json& json, ServiceState& out, std::string& why) {
  auto bad = [&](const char* what) {
    why = what;
    return false;
  };
  if (json["version"].int64Value() != 1) return bad("unknown version");
  std::optional<std::int64_t> next = json["nextTicket"].int64Value();
  if (!next) return bad("no nextTicket");
  const JsonArray* accounts = json["accounts"].array();
  const JsonObject* phones = json["phones"].object();
  const JsonArray* purchases = json["purchases"].array();
  if (!accounts || !phones || !purchases) return bad("missing accounts, phones or purchases");

  ServiceState state;
  state.nextTicket = *next;
  for (const Json& a : *accounts) {
    if (!a.isString() || !isPhoneText(a.stringView())) return bad("bad account");
    state.accounts.emplace(a.stringView());
  }
  for (const JsonMember& m : *phones) {
    PhoneRecord p;
    const Json& v = m.value;
    if (!isPhoneText(m.key()) || !v["pin"].isString() || !v["pinDevice"].isString() ||
        !v["device"].isString() || !v["failedAttempts"].int64Value())
      return bad("bad phone entry");
    p.pin = v["pin"].stringView();
    p.pinDevice = v["pinDevice"].stringView();
    p.device = v["device"].stringView();
    p.failedAttempts = static_cast<int>(*v["failedAttempts"].int64Value());
    state.phones.emplace(m.key(), std::move(p));
  }
  for (const Json& v : *purchases) {
    PurchaseRecord p;
    std::optional<std::int64_t> id = v["appTransactionId"].int64Value();
    std::optional<std::int64_t> minutes = v["minutes"].int64Value();
    std::optional<std::int64_t> polls = v["polls"].int64Value();
    std::optional<std::int64_t> ticket = v["idTicket"].int64Value();
    std::optional<double> costo = v["costo"].doubleValue();
    std::string_view kind = v["state"].stringView();
    if (!v["phone"].isString() || !id || *id < INT32_MIN || *id > INT32_MAX || !minutes || !polls ||
        !ticket || !costo || !v["hour"].isString() || !v["fin"].isString() ||
        !v["plate"].isString() || !v["deviceId"].isString())
      return bad("bad purchase");
    p.phone = v["phone"].stringView();
    p.id = static_cast<std::int32_t>(*id);
    p.device = v["deviceId"].stringView();
    p.plate = v["plate"].stringView();
    p.minutes = static_cast<int>(*minutes);
    p.hour = v["hour"].stringView();
    p.fin = v["fin"].stringView();
    p.costo = *costo;
    p.polls = static_cast<int>(*polls);
    p.idTicket = *ticket;
    if (kind == "pending")
      p.state = PurchaseState::Pending;
    else if (kind == "confirmed")
      p.state = PurchaseState::Confirmed;
    else if (kind == "refused")
      p.state = PurchaseState::Refused;
    else
      return bad("bad purchase state");
    std::string key = purchaseKey(p.phone, p.id);
    if (state.purchases.emplace(key, std::move(p)).second)
      state.purchaseOrder.push_back(std::move(key));
  }
  out = std::move(state);
  return true;
}

enum class FileKind { Missing, Database, Other, Unreadable };

FileKind kindOf(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return ec ? FileKind::Unreadable : FileKind::Missing;
  std::ifstream in(path, std::ios::binary);
  if (!in) return FileKind::Unreadable;
  char head[16] = {};
  in.read(head, sizeof head);
  if (in.gcount() == 0) return FileKind::Database;  // SQLite takes an empty file as new
  return in.gcount() == 16 &&
                 std::string_view(head, 16) == std::string_view("SQLite format 3\0", 16)
             ? FileKind::Database
             : FileKind::Other;
}

sqlite3* openDatabase(const std::string& path, Error* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    Error::assign(error, stateError(path, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  return db;
}

}  // namespace

std::string purchaseKey(const std::string& phone, std::int32_t id) {
  return phone + "/" + std::to_string(id);
}

StateStore::~StateStore() {
  sqlite3_close(db_);
}

bool StateStore::fail(Error* error, const std::string& what) {
  Error::assign(error, stateError(path_, what + ": " + sqlite3_errmsg(db_)));
  return false;
}

bool StateStore::exec(const char* sql, Error* error) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  return fail(error, "cannot update");
}

std::unique_ptr<StateStore> StateStore::open(const std::string& path, ServiceState& state,
                                             Error* error) {
  FileKind kind = kindOf(path);
  if (kind == FileKind::Unreadable) {
    Error::assign(error, stateError(path, "cannot be read"));
    return nullptr;
  }
  if (kind == FileKind::Other) {
    // The former JSON state: read it whole, write the database beside it, then swap them.
    std::optional<Data> bytes = readFile(path, error, kMaxJsonState);
    if (!bytes) return nullptr;
    std::string text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    std::optional<Json> json = JSONValue(text);
    std::string why = "is not a JSON object";
    ServiceState imported;
    if (!json || !json->isObject() || !readJsonState(*json, imported, why)) {
      Error::assign(error, stateError(path, why));
      return nullptr;
    }
    std::string temporary = path + ".importing";
    std::filesystem::remove(temporary);
    {
      sqlite3* db = openDatabase(temporary, error);
      if (!db) return nullptr;
      std::unique_ptr<StateStore> fresh(new StateStore(db, temporary));
      if (!fresh->exec(kSchema, error) || !fresh->writeAll(imported, error)) {
        fresh.reset();
        std::filesystem::remove(temporary);
        return nullptr;
      }
    }
    std::error_code ec;
    if (!writeFileAtomically(path + ".imported.json", text, error)) return nullptr;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
      Error::assign(error, stateError(path, "cannot replace: " + ec.message()));
      return nullptr;
    }
  }

  sqlite3* db = openDatabase(path, error);
  if (!db) return nullptr;
  std::unique_ptr<StateStore> store(new StateStore(db, path));
  if (!store->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", error) ||
      !store->exec(kSchema, error) ||
      !store->exec("INSERT OR IGNORE INTO meta VALUES('version', 1)", error) ||
      !store->read(state, error))
    return nullptr;
  return store;
}

bool StateStore::read(ServiceState& out, Error* error) {
  ServiceState state;
  {
    Statement version(db_, "SELECT value FROM meta WHERE key='version'");
    int rc = version.step();
    if (rc == SQLITE_ROW && version.integerAt(0) != kSchemaVersion)
      return fail(error, "unknown version");
    Statement next(db_, "SELECT value FROM meta WHERE key='nextTicket'");
    if (next.step() == SQLITE_ROW) state.nextTicket = next.integerAt(0);
  }
  Statement accounts(db_, "SELECT phone FROM accounts");
  while (accounts.step() == SQLITE_ROW) state.accounts.insert(accounts.textAt(0));
  Statement phones(db_,
                   "SELECT phone, pin, pin_device, failed_attempts, lockouts, locked_until, device "
                   "FROM phones");
  while (phones.step() == SQLITE_ROW) {
    PhoneRecord p;
    p.pin = phones.textAt(1);
    p.pinDevice = phones.textAt(2);
    p.failedAttempts = static_cast<int>(phones.integerAt(3));
    p.lockouts = static_cast<int>(phones.integerAt(4));
    p.lockedUntilMs = phones.integerAt(5);
    p.device = phones.textAt(6);
    state.phones.emplace(phones.textAt(0), std::move(p));
  }
  Statement purchases(db_,
                      "SELECT phone, id, device, plate, minutes, hour, fin, costo, polls, state, "
                      "id_ticket FROM purchases ORDER BY seq");
  int rc;
  while ((rc = purchases.step()) == SQLITE_ROW) {
    PurchaseRecord p;
    p.phone = purchases.textAt(0);
    p.id = static_cast<std::int32_t>(purchases.integerAt(1));
    p.device = purchases.textAt(2);
    p.plate = purchases.textAt(3);
    p.minutes = static_cast<int>(purchases.integerAt(4));
    p.hour = purchases.textAt(5);
    p.fin = purchases.textAt(6);
    p.costo = purchases.realAt(7);
    p.polls = static_cast<int>(purchases.integerAt(8));
    std::int64_t kind = purchases.integerAt(9);
    if (kind < 0 || kind > 2) return fail(error, "bad purchase state");
    p.state = static_cast<PurchaseState>(kind);
    p.idTicket = purchases.integerAt(10);
    std::string key = purchaseKey(p.phone, p.id);
    state.purchases.emplace(key, std::move(p));
    state.purchaseOrder.push_back(std::move(key));
  }
  if (rc != SQLITE_DONE) return fail(error, "cannot read");
  out = std::move(state);
  return true;
}

bool StateStore::writePhone(const std::string& number, const PhoneRecord& p, Error* error) {
  Statement s(db_,
              "INSERT OR REPLACE INTO phones(phone, pin, pin_device, failed_attempts, lockouts, "
              "locked_until, device) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  s.text(1, number).text(2, p.pin).text(3, p.pinDevice).integer(4, p.failedAttempts);
  s.integer(5, p.lockouts).integer(6, p.lockedUntilMs).text(7, p.device);
  return s.run() || fail(error, "cannot write a phone");
}

bool StateStore::writePurchase(const PurchaseRecord& p, Error* error) {
  // An update keeps the row's place in the order of purchases.
  Statement s(db_,
              "INSERT INTO purchases(key, phone, id, device, plate, minutes, hour, fin, costo, "
              "polls, state, id_ticket) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12) "
              "ON CONFLICT(key) DO UPDATE SET polls=excluded.polls, state=excluded.state, "
              "id_ticket=excluded.id_ticket");
  s.text(1, purchaseKey(p.phone, p.id)).text(2, p.phone).integer(3, p.id).text(4, p.device);
  s.text(5, p.plate).integer(6, p.minutes).text(7, p.hour).text(8, p.fin).real(9, p.costo);
  s.integer(10, p.polls).integer(11, static_cast<int>(p.state)).integer(12, p.idTicket);
  return s.run() || fail(error, "cannot write a purchase");
}

bool StateStore::writeAll(const ServiceState& state, Error* error) {
  StateChanges rest;
  rest.nextTicket = true;
  for (const std::string& a : state.accounts) rest.accounts.insert(a);
  for (const auto& [number, p] : state.phones) rest.phones.insert(number);
  if (!exec("BEGIN IMMEDIATE", error)) return false;
  bool ok = true;
  // Inserted in their order, so the cap still drops the oldest first.
  for (const std::string& key : state.purchaseOrder)
    ok = ok && writePurchase(state.purchases.at(key), error);
  return finish(ok && apply(state, rest, error), error);
}

bool StateStore::write(const ServiceState& state, const StateChanges& changes, Error* error) {
  if (changes.empty()) return true;
  if (!exec("BEGIN IMMEDIATE", error)) return false;
  return finish(apply(state, changes, error), error);
}

bool StateStore::finish(bool ok, Error* error) {
  ok = ok && exec("COMMIT", error);
  if (!ok) exec("ROLLBACK", nullptr);
  return ok;
}

bool StateStore::apply(const ServiceState& state, const StateChanges& changes, Error* error) {
  bool ok = true;
  if (changes.nextTicket) {
    Statement s(db_, "INSERT OR REPLACE INTO meta VALUES('nextTicket', ?1)");
    ok = s.integer(1, state.nextTicket).run() || fail(error, "cannot write the ticket counter");
  }
  for (const std::string& a : changes.accounts) {
    Statement s(db_, "INSERT OR IGNORE INTO accounts VALUES(?1)");
    ok = ok && (s.text(1, a).run() || fail(error, "cannot write an account"));
  }
  for (const std::string& number : changes.phones) {
    auto it = state.phones.find(number);
    if (ok && it != state.phones.end()) ok = writePhone(number, it->second, error);
  }
  for (const std::string& key : changes.droppedPurchases) {
    Statement s(db_, "DELETE FROM purchases WHERE key=?1");
    ok = ok && (s.text(1, key).run() || fail(error, "cannot drop a purchase"));
  }
  for (const std::string& key : changes.purchases) {
    auto it = state.purchases.find(key);
    if (ok && it != state.purchases.end()) ok = writePurchase(it->second, error);
  }
  return ok;
}

}  // namespace est
