#include "service_core.h"

#include <algorithm>
#include <charconv>

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

// Guessing a PIN: every kMaxPinAttempts wrong ones in a row for a phone, and every
// kMaxAddressAttempts from one address, stop further tries for a wait that doubles each time,
// from kFirstWait up to kLongestWait. Re-sending a PIN does not start the count over.
constexpr int kMaxPinAttempts = 5;
constexpr int kMaxAddressAttempts = 20;
constexpr std::int64_t kFirstWaitMs = 60 * 1000;
constexpr std::int64_t kLongestWaitMs = 60 * 60 * 1000;
constexpr std::int64_t kForgetGuesserMs = 60 * 60 * 1000;  // an hour without a wrong PIN
constexpr std::size_t kMaxGuessers = 100000;
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

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             Clock::current().now().time_since_epoch())
      .count();
}

std::int64_t waitAfter(int lockouts) {
  std::int64_t wait = kFirstWaitMs;
  for (int i = 1; i < lockouts && wait < kLongestWaitMs; ++i) wait *= 2;
  return std::min(wait, kLongestWaitMs);
}

std::string waitText(std::int64_t ms) {
  std::int64_t minutes = std::max<std::int64_t>(1, (ms + 59999) / 60000);
  return minutes == 1 ? std::string("1 minuto") : std::to_string(minutes) + " minutos";
}

}  // namespace

ServiceCore::ServiceCore(const ParkingServiceOptions& options) : options_(options) {
  if (options_.seed) {
    random_.seed(*options_.seed);
  } else {
    std::random_device device;
    random_.seed((static_cast<std::uint64_t>(device()) << 32) ^ device());
  }
  for (const std::string& phone : options_.accounts) state_.accounts.insert(phone);
}

ServiceCore::~ServiceCore() = default;

double ServiceCore::draw() {
  std::lock_guard lock(mutex_);
  return std::uniform_real_distribution<double>(0.0, 1.0)(random_);
}

std::optional<std::string> ServiceCore::pinFor(std::string_view phone) const {
  std::lock_guard lock(mutex_);
  auto it = state_.phones.find(phone);
  if (it == state_.phones.end() || it->second.pin.empty()) return std::nullopt;
  return it->second.pin;
}

Json ServiceCore::status(int code) const {
  if (options_.statusAsText) return Json(std::to_string(code));
  return Json(code);
}

ServiceReply ServiceCore::failure(std::string_view errors, int httpStatus) const {
  return {httpStatus, JsonObject{{"status", status(1)}, {"errors", Json(errors)}}};
}

ServiceReply ServiceCore::handle(std::string_view target, std::string_view client) {
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
      reply = route(path, params, client, sent);
    }
    Error error;
    if (store_ && !store_->write(state_, changes_, &error))
      logf("parking-service: state not saved: %s", error.description.c_str());
    changes_ = {};
  }
  if (sent) {
    logf("PIN for %s: %s", sent->phone.c_str(), sent->pin.c_str());
    if (options_.pinObserver) options_.pinObserver(sent->phone, sent->pin);
  }
  return reply;
}

ServiceReply ServiceCore::route(std::string_view path, const Params& params,
                                std::string_view client, std::optional<SentPin>& sent) {
  if (path == kRegistryQueryPath) return registryQuery(params);
  if (!path.starts_with(kParkingServicePath)) return failure("Recurso no encontrado.", 404);
  std::string_view call = path.substr(kParkingServicePath.size());
  if (call == "validateNumber") return validateNumber(params, client, sent);
  if (call == "validatePin") return validatePin(params, client);
  if (call == "consultarRegistro") return consultarRegistro(params);
  if (call == "getPriceOf30") return getPriceOf30(params);
  if (call == "solicitarEstacionamiento") return solicitarEstacionamiento(params);
  if (call == "consultarEstacionamiento") return consultarEstacionamiento(params);
  return failure("Recurso no encontrado.", 404);
}

ServiceReply ServiceCore::validateNumber(const Params& params, std::string_view client,
                                         std::optional<SentPin>& sent) {
  const std::string* phone = param(params, "phone");
  const std::string* device = param(params, "deviceId");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  auto it = state_.phones.find(*phone);
  std::int64_t now = nowMs();
  // A new PIN would not help while guessing is stopped.
  if (std::optional<ServiceReply> wait =
          lockedOut(it == state_.phones.end() ? nullptr : &it->second, client, now))
    return *wait;
  if (it == state_.phones.end()) {
    if (state_.phones.size() >= kMaxPhones)
      return failure("El servicio no puede registrar más números en este momento.");
    it = state_.phones.emplace(*phone, PhoneRecord{}).first;
  }
  std::uniform_int_distribution<int> digits(0, 9999);
  it->second.pin = strprintf("%04d", digits(random_));
  it->second.pinDevice = *device;
  changes_.phones.insert(*phone);
  sent = SentPin{*phone, it->second.pin};
  return {200, JsonObject{{"status", status(0)}, {"resultado", "OK"}}};
}

std::optional<ServiceReply> ServiceCore::lockedOut(const PhoneRecord* phone,
                                                   std::string_view client, std::int64_t now) {
  std::int64_t until = phone ? phone->lockedUntilMs : 0;
  auto guesser = guessers_.find(client);
  if (guesser != guessers_.end()) until = std::max(until, guesser->second.lockedUntilMs);
  if (until <= now) return std::nullopt;
  return failure("Demasiados intentos fallidos. Intente nuevamente en " + waitText(until - now) +
                 ".");
}

std::optional<ServiceReply> ServiceCore::countWrongPin(PhoneRecord& phone, std::string_view client,
                                                       std::int64_t now) {
  std::int64_t wait = 0;
  if (++phone.failedAttempts % kMaxPinAttempts == 0) {
    // The PIN is forgotten and a new one may only be asked for after the wait.
    phone.pin.clear();
    wait = waitAfter(++phone.lockouts);
    phone.lockedUntilMs = now + wait;
  }
  if (!client.empty()) {
    if (guessers_.size() >= kMaxGuessers) {
      std::erase_if(guessers_, [now](const auto& entry) {
        return entry.second.lockedUntilMs <= now &&
               now - entry.second.lastFailureMs > kForgetGuesserMs;
      });
    }
    auto it = guessers_.find(client);
    if (it != guessers_.end() && now - it->second.lastFailureMs > kForgetGuesserMs &&
        it->second.lockedUntilMs <= now)
      it->second = Guesser{};
    if (it == guessers_.end() && guessers_.size() < kMaxGuessers)
      it = guessers_.emplace(std::string(client), Guesser{}).first;
    if (it != guessers_.end()) {
      Guesser& g = it->second;
      g.lastFailureMs = now;
      if (++g.failures % kMaxAddressAttempts == 0) {
        std::int64_t addressWait = waitAfter(++g.lockouts);
        g.lockedUntilMs = now + addressWait;
        wait = std::max(wait, addressWait);
      }
    }
  }
  if (wait == 0) return std::nullopt;
  return failure("Demasiados intentos fallidos. Solicite un nuevo PIN en " + waitText(wait) + ".");
}

ServiceReply ServiceCore::validatePin(const Params& params, std::string_view client) {
  const std::string* phone = param(params, "phone");
  const std::string* device = param(params, "deviceId");
  const std::string* pin = param(params, "pin");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  if (!pin) return failure("Falta el PIN.");
  auto it = state_.phones.find(*phone);
  std::int64_t now = nowMs();
  if (std::optional<ServiceReply> wait =
          lockedOut(it == state_.phones.end() ? nullptr : &it->second, client, now))
    return *wait;
  if (it == state_.phones.end() || it->second.pin.empty())
    return failure("No se envió un PIN a este número. Solicite uno nuevo.");
  PhoneRecord& entry = it->second;
  if (*pin != entry.pin || *device != entry.pinDevice) {
    changes_.phones.insert(*phone);
    if (std::optional<ServiceReply> wait = countWrongPin(entry, client, now)) return *wait;
    return {200, JsonObject{{"status", status(0)}, {"validationSucesfull", false}}};
  }
  // The PIN is kept: the app checks it again when its registration query fails.
  if (entry.failedAttempts != 0 || entry.lockouts != 0 || entry.device != *device)
    changes_.phones.insert(*phone);
  entry.failedAttempts = 0;
  entry.lockouts = 0;
  entry.device = *device;
  return {200, JsonObject{{"status", status(0)}, {"validationSucesfull", true}}};
}

ServiceReply ServiceCore::consultarRegistro(const Params& params) {
  const std::string* phone = param(params, "phone");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  return {200, JsonObject{{"status", status(0)}, {"registrado", state_.accounts.contains(*phone)}}};
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

  auto phoneEntry = state_.phones.find(*phone);
  if (phoneEntry == state_.phones.end() || phoneEntry->second.device.empty())
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
  auto existing = state_.purchases.find(key);
  std::string startText = hourText(startMinute);
  if (existing != state_.purchases.end()) {
    const PurchaseRecord& p = existing->second;
    // A repeated request for the same purchase is answered again; another purchase may not
    // reuse the identifier.
    if (p.device == *device && p.plate == *plate && p.minutes == *minutes && p.hour == startText)
      return {200, JsonObject{{"status", status(0)}}};
    return failure("El identificador de compra ya fue utilizado.");
  }
  PurchaseRecord purchase;
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

void ServiceCore::remember(PurchaseRecord purchase) {
  std::string key = purchaseKey(purchase.phone, purchase.id);
  state_.purchases.emplace(key, std::move(purchase));
  state_.purchaseOrder.push_back(key);
  changes_.purchases.insert(std::move(key));
  while (state_.purchaseOrder.size() > kMaxPurchases) {
    state_.purchases.erase(state_.purchaseOrder.front());
    changes_.droppedPurchases.push_back(std::move(state_.purchaseOrder.front()));
    state_.purchaseOrder.pop_front();
  }
}

ServiceReply ServiceCore::consultarEstacionamiento(const Params& params) {
  const std::string* phone = param(params, "phone");
  const std::string* idText = param(params, "appTransactionId");
  const std::string* device = param(params, "deviceId");
  if (!phone || !isPhone(*phone)) return failure("El número de celular debe tener 9 dígitos.");
  std::optional<std::int32_t> id = idText ? parseInt<std::int32_t>(*idText) : std::nullopt;
  if (!id) return failure("Identificador de compra inválido.");
  if (!device || !isDeviceId(*device)) return failure("Identificador de dispositivo inválido.");
  auto it = state_.purchases.find(purchaseKey(*phone, *id));
  if (it == state_.purchases.end() || it->second.device != *device) {
    // Unknown to the service: a final answer, so the app stops waiting for it.
    return {200, JsonObject{{"status", status(1)},
                            {"transactionStatus", "ERROR"},
                            {"errors", "No existe una compra con ese identificador."}}};
  }
  PurchaseRecord& p = it->second;
  if (p.state == PurchaseState::Pending) {
    changes_.purchases.insert(it->first);
    if (p.polls++ >= options_.confirmAfter) {
      bool refused = false;
      for (const std::string& plate : options_.refusePlates)
        refused = refused || plateKey(plate) == plateKey(p.plate);
      if (refused) {
        p.state = PurchaseState::Refused;
      } else {
        p.state = PurchaseState::Confirmed;
        p.idTicket = state_.nextTicket++;
        changes_.nextTicket = true;
        state_.accounts.insert(p.phone);
        changes_.accounts.insert(p.phone);
      }
    }
  }
  return purchaseReply(p);
}

ServiceReply ServiceCore::purchaseReply(const PurchaseRecord& p) const {
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

// State ----------------------------------------------------------------------------------

bool ServiceCore::load(Error* error) {
  if (options_.stateFile.empty()) return true;
  std::lock_guard lock(mutex_);
  ServiceState state;
  std::unique_ptr<StateStore> store = StateStore::open(options_.stateFile, state, error);
  if (!store) return false;
  for (const std::string& a : options_.accounts) state.accounts.insert(a);
  state_ = std::move(state);
  store_ = std::move(store);
  return true;
}

bool ServiceCore::save(Error* error) {
  std::lock_guard lock(mutex_);
  bool ok = !store_ || store_->write(state_, changes_, error);
  changes_ = {};
  return ok;
}

}  // namespace est
