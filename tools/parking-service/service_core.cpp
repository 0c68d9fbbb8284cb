#include "service_core.h"

#include <charconv>
#include <filesystem>

#include "json/json.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/log.h"
#include "protocol/parking_protocol.h"
#include "protocol/registry_protocol.h"
#include "protocol/url_escape.h"

namespace est {
namespace {

constexpr int kMaxPinAttempts = 5;
constexpr std::size_t kMaxPhones = 100000;
constexpr std::size_t kMaxPurchases = 10000;
constexpr int kFirstPaidHour = 10;
constexpr int kEndOfPaidHours = 18;

struct Vehicle {
  const char* plate;
  const char* padron;
  const char* mensaje;
};

// The registry's vehicles. Plates are matched without regard to case.
constexpr Vehicle kVehicles[] = {
    {"ABC1234", "123456", "Volkswagen Gol 2014, gris. Patente al día; sin multas pendientes."},
    {"SBA4321", "884422",
     "Chevrolet Onix 2019, blanco. Adeuda la cuota 2 de la patente 2026 ($ 4.850)."},
    {"MAT2020", "100200",
     "Fiat Uno 2008, rojo. Patente al día; registra 1 multa impaga por estacionamiento "
     "($ 1.200)."},
    {"SCD7788", "556677", "Renault Kwid 2022, azul. Patente al día; sin multas pendientes."},
    {"IMM0001", "1", "Toyota Hilux 2020, blanco. Vehículo oficial; exonerado del pago de patente."},
};

bool isDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool isPhone(std::string_view s) {
  return s.size() == 9 && isDigits(s);
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Canonical UUID text, 8-4-4-4-12 hexadecimal digits.
bool isDeviceId(std::string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !isHex(s[i])) return false;
  }
  return true;
}

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// One to four letters, any white space, one to eight digits.
bool isPlate(std::string_view s) {
  std::size_t i = 0, letters = 0, digits = 0;
  while (i < s.size() && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) {
    ++i;
    ++letters;
  }
  while (i < s.size() && isAsciiSpace(s[i])) ++i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    ++i;
    ++digits;
  }
  return i == s.size() && letters >= 1 && letters <= 4 && digits >= 1 && digits <= 8;
}

// Plates compare without blanks and case.
std::string plateKey(std::string_view plate) {
  std::string out;
  for (char c : plate) {
    if (isAsciiSpace(c)) continue;
    out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return out;
}

template <class T>
std::optional<T> parseInt(std::string_view s) {
  T value{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

std::string hourText(int minutesOfDay) {
  return strprintf("%02d:%02d", minutesOfDay / 60, minutesOfDay % 60);
}

const std::string* param(const std::map<std::string, std::string, std::less<>>& params,
                         std::string_view name) {
  auto it = params.find(name);
  return it == params.end() ? nullptr : &it->second;
}

std::string purchaseKey(std::string_view phone, std::int32_t id) {
  return std::string(phone) + "/" + std::to_string(id);
}

}  // namespace

ServiceCore::ServiceCore(const ParkingServiceOptions& options) : options_(options) {
  if (options_.seed) {
    random_.seed(*options_.seed);
  } else {
    std::random_device device;
    random_.seed((static_cast<std::uint64_t>(device()) << 32) ^ device());
  }
  for (const std::string& phone : options_.accounts) accounts_.insert(phone);
}

double ServiceCore::draw() {
  std::lock_guard lock(mutex_);
  return std::uniform_real_distribution<double>(0.0, 1.0)(random_);
}

std::optional<std::string> ServiceCore::pinFor(std::string_view phone) const {
  std::lock_guard lock(mutex_);
  auto it = phones_.find(phone);
  if (it == phones_.end() || it->second.pin.empty()) return std::nullopt;
  return it->second.pin;
}

Json ServiceCore::status(int code) const {
  if (options_.statusAsText) return Json(std::to_string(code));
  return Json(code);
}

ServiceReply ServiceCore::failure(std::string_view errors, int httpStatus) const {
  return {httpStatus, JsonObject{{"status", status(1)}, {"errors", Json(errors)}}};
}

ServiceReply ServiceCore::handle(std::string_view target) {
  std::size_t question = target.find('?');
  std::string_view path = target.substr(0, question);
  std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

  Params params;
  bool malformed = false;
  while (!query.empty() && !malformed) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;  // "phone=1&" ends with an empty pair
    std::size_t eq = pair.find('=');
    std::optional<std::string> name = percentUnescape(pair.substr(0, eq));
    std::optional<std::string> value =
        percentUnescape(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    // A repeated parameter is refused: it is what an injected "&phone=" looks like.
    if (!name || !value || !params.emplace(std::move(*name), std::move(*value)).second)
      malformed = true;
  }

  ServiceReply reply;
  std::optional<SentPin> sent;
  {
    std::lock_guard lock(mutex_);
    if (malformed) {
      bool known = path.starts_with(kParkingServicePath) || path == kRegistryQueryPath;
      reply = known ? failure("Parámetros mal formados en la consulta.")
                    : failure("Recurso no encontrado.", 404);
      if (known && path == kRegistryQueryPath) reply.body = JsonObject{{"response", reply.body}};
    } else {
      reply = route(path, params, sent);
    }
    if (dirty_ && !options_.stateFile.empty()) {
      Error error;
      if (!saveLocked(&error))
        logf("parking-service: state not saved: %s", error.description.c_str());
    }
    dirty_ = false;
  }
  if (sent) {
    logf("PIN for %s: %s", sent->phone.c_str(), sent->pin.c_str());
    if (options_.pinObserver) options_.pinObserver(sent->phone, sent->pin);
  }
  return reply;
}

ServiceReply ServiceCore::route(std::string_view path, const Params& params,
                                std::optional<SentPin>& sent) {
  if (path == kRegistryQueryPath) return registryQuery(params);
  if (!path.starts_with(kParkingServicePath)) return failure("Recurso no encontrado.", 404);
  std::string_view call = path.substr(kParkingServicePath.size());
  if (call == "validateNumber") return validateNumber(params, sent);
  if (call == "validatePin") return validatePin(params);
  if (call == "consultarRegistro") return consultarRegistro(params);
  if (call == "getPriceOf30") return getPriceOf30(params);
  if (call == "solicitarEstacionamiento") return solicitarEstacionamiento(params);
  if (call == "consultarEstacionamiento") return consultarEstacionamiento(params);
  return failure("Recurso no encontrado.", 404);
}

ServiceReply ServiceCore::validateNumber(const Params& params, std::optional<SentPin>& sent) {
  const std::string* phone = param(params, "phone");
  const std::string* device = param(params, "deviceId");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  auto it = phones_.find(*phone);
  if (it == phones_.end()) {
    if (phones_.size() >= kMaxPhones)
      return failure("El servicio no puede registrar más números en este momento.");
    it = phones_.emplace(*phone, Phone{}).first;
  }
  std::uniform_int_distribution<int> digits(0, 9999);
  it->second.pin = strprintf("%04d", digits(random_));
  it->second.pinDevice = *device;
  it->second.failedAttempts = 0;
  dirty_ = true;
  sent = SentPin{*phone, it->second.pin};
  return {200, JsonObject{{"status", status(0)}, {"resultado", "OK"}}};
}

ServiceReply ServiceCore::validatePin(const Params& params) {
  const std::string* phone = param(params, "phone");
  const std::string* device = param(params, "deviceId");
  const std::string* pin = param(params, "pin");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  if (!pin) return failure("Falta el PIN.");
  auto it = phones_.find(*phone);
  if (it == phones_.end() || it->second.pin.empty())
    return failure("No se envió un PIN a este número. Solicite uno nuevo.");
  Phone& entry = it->second;
  if (*pin != entry.pin || *device != entry.pinDevice) {
    dirty_ = true;
    if (++entry.failedAttempts >= kMaxPinAttempts) {
      // Guessing is cut short: the PIN is forgotten and a new one must be asked for.
      entry.pin.clear();
      return failure("Demasiados intentos fallidos. Solicite un nuevo PIN.");
    }
    return {200, JsonObject{{"status", status(0)}, {"validationSucesfull", false}}};
  }
  // The PIN is kept: the app checks it again when its registration query fails.
  if (entry.failedAttempts != 0 || entry.device != *device) dirty_ = true;
  entry.failedAttempts = 0;
  entry.device = *device;
  return {200, JsonObject{{"status", status(0)}, {"validationSucesfull", true}}};
}

ServiceReply ServiceCore::consultarRegistro(const Params& params) {
  const std::string* phone = param(params, "phone");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  return {200, JsonObject{{"status", status(0)}, {"registrado", accounts_.contains(*phone)}}};
}

ServiceReply ServiceCore::getPriceOf30(const Params& params) {
  const std::string* phone = param(params, "phone");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  return {200, JsonObject{{"status", status(0)}, {"price", Json(options_.price)}}};
}

ServiceReply ServiceCore::solicitarEstacionamiento(const Params& params) {
  const std::string* phone = param(params, "phone");
  const std::string* idText = param(params, "appTransactionId");
  const std::string* device = param(params, "deviceId");
  const std::string* plate = param(params, "plate");
  const std::string* minutesText = param(params, "minutes");
  const std::string* hour = param(params, "hour");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  std::optional<std::int32_t> id = idText ? parseInt<std::int32_t>(*idText) : std::nullopt;
  if (!id) return failure("Identificador de compra inválido.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  if (!plate || !isPlate(*plate))
    return failure("Matrícula inválida: use de 1 a 4 letras seguidas de 1 a 8 números.");
  std::optional<int> minutes = minutesText ? parseInt<int>(*minutesText) : std::nullopt;
  if (!minutes || *minutes <= 0 || *minutes % 30 != 0 || *minutes > 24 * 60)
    return failure("La duración debe ser un múltiplo positivo de 30 minutos.");
  std::optional<HourMinute> start = hour ? readHourMinute(*hour) : std::nullopt;
  if (!start) return failure("Hora de inicio inválida: use el formato HH:mm.");

  auto phoneEntry = phones_.find(*phone);
  if (phoneEntry == phones_.end() || phoneEntry->second.device.empty())
    return failure("El número no está registrado. Valide su número con el PIN antes de comprar.");
  if (phoneEntry->second.device != *device)
    return failure(
        "Este dispositivo no está registrado para el número. Valide su número "
        "nuevamente.");

  if (!options_.anyHour) {
    LocalTime today = toLocal(Clock::current().now());
    bool weekend = today.weekday == 1 || today.weekday == 7;
    if (weekend || start->hour < kFirstPaidHour || start->hour >= kEndOfPaidHours)
      return failure(
          "El estacionamiento es gratuito en el horario seleccionado: se paga de "
          "lunes a viernes, de 10:00 a 18:00.");
  }
  int startMinute = start->hour * 60 + start->minute;
  if (startMinute + *minutes > 23 * 60 + 59)
    return failure("El estacionamiento no puede extenderse más allá de la medianoche.");

  std::string key = purchaseKey(*phone, *id);
  auto existing = purchases_.find(key);
  std::string startText = hourText(startMinute);
  if (existing != purchases_.end()) {
    const Purchase& p = existing->second;
    // A repeated request for the same purchase is answered again; another purchase may not
    // reuse the identifier.
    if (p.device == *device && p.plate == *plate && p.minutes == *minutes && p.hour == startText)
      return {200, JsonObject{{"status", status(0)}}};
    return failure("El identificador de compra ya fue utilizado.");
  }
  Purchase purchase;
  purchase.phone = *phone;
  purchase.id = *id;
  purchase.device = *device;
  purchase.plate = *plate;
  purchase.minutes = *minutes;
  purchase.hour = startText;
  purchase.fin = hourText(startMinute + *minutes);
  purchase.costo = options_.price * (*minutes / 30);
  remember(std::move(purchase));
  return {200, JsonObject{{"status", status(0)}}};
}

void ServiceCore::remember(Purchase purchase) {
  std::string key = purchaseKey(purchase.phone, purchase.id);
  purchases_.emplace(key, std::move(purchase));
  purchaseOrder_.push_back(std::move(key));
  while (purchaseOrder_.size() > kMaxPurchases) {
    purchases_.erase(purchaseOrder_.front());
    purchaseOrder_.pop_front();
  }
  dirty_ = true;
}

ServiceReply ServiceCore::consultarEstacionamiento(const Params& params) {
  const std::string* phone = param(params, "phone");
  const std::string* idText = param(params, "appTransactionId");
  const std::string* device = param(params, "deviceId");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  std::optional<std::int32_t> id = idText ? parseInt<std::int32_t>(*idText) : std::nullopt;
  if (!id) return failure("Identificador de compra inválido.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  auto it = purchases_.find(purchaseKey(*phone, *id));
  if (it == purchases_.end() || it->second.device != *device) {
    // Unknown to the service: a final answer, so the app stops waiting for it.
    return {200, JsonObject{{"status", status(1)},
                            {"transactionStatus", "ERROR"},
                            {"errors", "No existe una compra con ese identificador."}}};
  }
  Purchase& p = it->second;
  if (p.state == PurchaseState::Pending) {
    dirty_ = true;
    if (p.polls++ >= options_.confirmAfter) {
      bool refused = false;
      for (const std::string& plate : options_.refusePlates)
        refused = refused || plateKey(plate) == plateKey(p.plate);
      if (refused) {
        p.state = PurchaseState::Refused;
      } else {
        p.state = PurchaseState::Confirmed;
        p.idTicket = nextTicket_++;
        accounts_.insert(p.phone);
      }
    }
  }
  return purchaseReply(p);
}

ServiceReply ServiceCore::purchaseReply(const Purchase& p) const {
  switch (p.state) {
    case PurchaseState::Pending:
      return {200, JsonObject{{"status", status(0)}, {"transactionStatus", "IN_PROGRESS"}}};
    case PurchaseState::Refused:
      return {200, JsonObject{{"status", status(0)},
                              {"transactionStatus", "ERROR"},
                              {"errors",
                               Json("El pago fue rechazado para la matrícula " + p.plate + ".")}}};
    case PurchaseState::Confirmed:
      break;
  }
  return {200, JsonObject{{"status", status(0)},
                          {"transactionStatus", "OK"},
                          {"idTicket", Json(p.idTicket)},
                          {"inicio", Json(p.hour)},
                          {"fin", Json(p.fin)},
                          {"matricula", Json(p.plate)},
                          {"costo", Json(p.costo)}}};
}

ServiceReply ServiceCore::registryQuery(const Params& params) {
  auto answer = [this](int code, std::string_view key, std::string_view text) {
    return ServiceReply{
        200, JsonObject{{"response", JsonObject{{"status", status(code)}, {key, Json(text)}}}}};
  };
  const std::string* consulta = param(params, "consulta");
  const std::string* patente = param(params, "patente");
  const std::string* padron = param(params, "padron");
  if (!consulta || *consulta != "consultaPatente")
    return answer(1, "errors", "Consulta desconocida.");
  if (!patente || !isRegistryPlate(*patente))
    return answer(1, "errors", "Matrícula inválida: tres letras seguidas de cuatro números.");
  if (!padron || padron->empty() || padron->size() > 16)
    return answer(1, "errors", "Número de padrón inválido.");
  std::string plate = plateKey(*patente);
  for (const Vehicle& v : kVehicles) {
    if (plate == v.plate && *padron == v.padron)
      return answer(0, "mensaje",
                    strprintf("Matrícula %s, padrón %s: %s", v.plate, v.padron, v.mensaje));
  }
  return answer(1, "errors", "No se encontró un vehículo con esa matrícula y ese padrón.");
}

// State file ------------------------------------------------------------------------------

Json ServiceCore::stateJson() const {
  JsonArray accounts;
  for (const std::string& a : accounts_) accounts.emplace_back(a);
  JsonObject phones;
  for (const auto& [number, p] : phones_) {
    phones.set(number, JsonObject{{"pin", Json(p.pin)},
                                  {"pinDevice", Json(p.pinDevice)},
                                  {"failedAttempts", Json(p.failedAttempts)},
                                  {"device", Json(p.device)}});
  }
  JsonArray purchases;
  for (const std::string& key : purchaseOrder_) {
    const Purchase& p = purchases_.at(key);
    const char* state = p.state == PurchaseState::Pending     ? "pending"
                        : p.state == PurchaseState::Confirmed ? "confirmed"
                                                              : "refused";
    purchases.emplace_back(JsonObject{{"phone", Json(p.phone)},
                                      {"appTransactionId", Json(p.id)},
                                      {"deviceId", Json(p.device)},
                                      {"plate", Json(p.plate)},
                                      {"minutes", Json(p.minutes)},
                                      {"hour", Json(p.hour)},
                                      {"fin", Json(p.fin)},
                                      {"costo", Json(p.costo)},
                                      {"polls", Json(p.polls)},
                                      {"state", state},
                                      {"idTicket", Json(p.idTicket)}});
  }
  return JsonObject{{"version", 1},
                    {"nextTicket", Json(nextTicket_)},
                    {"accounts", std::move(accounts)},
                    {"phones", std::move(phones)},
                    {"purchases", std::move(purchases)}};
}

bool ServiceCore::readState(const Json& state, Error* error) {
  auto bad = [&](const std::string& what) {
    Error::assign(error, Error(ParkingServiceErrorDomain, 2,
                               "state file " + options_.stateFile + ": " + what));
    return false;
  };
  if (state["version"].int64Value() != 1) return bad("unknown version");
  std::optional<std::int64_t> next = state["nextTicket"].int64Value();
  if (!next) return bad("no nextTicket");
  const JsonArray* accounts = state["accounts"].array();
  const JsonObject* phones = state["phones"].object();
  const JsonArray* purchases = state["purchases"].array();
  if (!accounts || !phones || !purchases) return bad("missing accounts, phones or purchases");

  std::set<std::string, std::less<>> readAccounts;
  for (const Json& a : *accounts) {
    if (!a.isString() || !isPhone(a.stringView())) return bad("bad account");
    readAccounts.emplace(a.stringView());
  }
  std::map<std::string, Phone, std::less<>> readPhones;
  for (const JsonMember& m : *phones) {
    Phone p;
    const Json& v = m.value;
    if (!isPhone(m.key()) || !v["pin"].isString() || !v["pinDevice"].isString() ||
        !v["device"].isString() || !v["failedAttempts"].int64Value())
      return bad("bad phone entry");
    p.pin = v["pin"].stringView();
    p.pinDevice = v["pinDevice"].stringView();
    p.device = v["device"].stringView();
    p.failedAttempts = static_cast<int>(*v["failedAttempts"].int64Value());
    readPhones.emplace(m.key(), std::move(p));
  }
  std::map<std::string, Purchase, std::less<>> readPurchases;
  std::deque<std::string> readOrder;
  for (const Json& v : *purchases) {
    Purchase p;
    std::optional<std::int64_t> id = v["appTransactionId"].int64Value();
    std::optional<std::int64_t> minutes = v["minutes"].int64Value();
    std::optional<std::int64_t> polls = v["polls"].int64Value();
    std::optional<std::int64_t> ticket = v["idTicket"].int64Value();
    std::optional<double> costo = v["costo"].doubleValue();
    std::string_view state = v["state"].stringView();
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
    if (state == "pending")
      p.state = PurchaseState::Pending;
    else if (state == "confirmed")
      p.state = PurchaseState::Confirmed;
    else if (state == "refused")
      p.state = PurchaseState::Refused;
    else
      return bad("bad purchase state");
    std::string key = purchaseKey(p.phone, p.id);
    if (readPurchases.emplace(key, std::move(p)).second) readOrder.push_back(std::move(key));
  }
  nextTicket_ = *next;
  for (const std::string& a : options_.accounts) readAccounts.insert(a);
  accounts_ = std::move(readAccounts);
  phones_ = std::move(readPhones);
  purchases_ = std::move(readPurchases);
  purchaseOrder_ = std::move(readOrder);
  return true;
}

bool ServiceCore::load(Error* error) {
  if (options_.stateFile.empty()) return true;
  std::error_code ec;
  if (!std::filesystem::exists(options_.stateFile, ec) && !ec) return true;
  std::optional<Data> bytes = readFile(options_.stateFile, error, size_t(64) << 20);
  if (!bytes) return false;
  std::optional<Json> state =
      JSONValue(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!state || !state->isObject()) {
    Error::assign(error, Error(ParkingServiceErrorDomain, 2,
                               "state file " + options_.stateFile + " is not a JSON object"));
    return false;
  }
  std::lock_guard lock(mutex_);
  return readState(*state, error);
}

bool ServiceCore::save(Error* error) {
  std::lock_guard lock(mutex_);
  return options_.stateFile.empty() || saveLocked(error);
}

bool ServiceCore::saveLocked(Error* error) {
  std::optional<std::string> text = JSONRepresentation(stateJson());
  if (!text) {
    Error::assign(error, Error(ParkingServiceErrorDomain, 3, "state could not be written as JSON"));
    return false;
  }
  return writeFileAtomically(options_.stateFile, *text, error);
}

}  // namespace est
