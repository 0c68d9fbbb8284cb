#include "protocol/parking_protocol.h"

#include "json/value.h"
#include "platform/format.h"
#include "platform/log.h"
#include "protocol/reply.h"
#include "protocol/url_escape.h"

namespace est {
namespace {

// One "name=value" pair per entry; the value is escaped, the name is fixed text.
struct Param {
  std::string_view name;
  std::string_view value;
};

std::string callURL(std::string_view baseAddress, std::string_view call,
                    std::initializer_list<Param> params) {
  std::string url = parkingServiceAddress(baseAddress, call);
  char separator = '?';
  for (const Param& p : params) {
    url.push_back(separator);
    url.append(p.name);
    url.push_back('=');
    url.append(percentEscape(p.value));
    separator = '&';
  }
  return url;
}

const Json& replyOrNull(const std::optional<Json>& reply) {
  return reply ? *reply : Json::null();
}

// Digits only, one or two of them.
std::optional<int> smallNumber(std::string_view piece) {
  if (piece.empty() || piece.size() > 2) return std::nullopt;
  int value = 0;
  for (char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string parkingServiceAddress(std::string_view baseAddress, std::string_view call) {
  while (!baseAddress.empty() && baseAddress.back() == '/') baseAddress.remove_suffix(1);
  std::string address(baseAddress);
  address.append(kParkingServicePath);
  address.append(call);
  return address;
}

std::int32_t appTransactionIdFor(std::int64_t transactionId) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(transactionId & 0xFFFFFFFF));
}

std::string plateWithoutBlanks(std::string_view plate) {
  std::string out;
  out.reserve(plate.size());
  for (char c : plate) {
    if (c != ' ') out.push_back(c);
  }
  return out;
}

std::string validateNumberURL(std::string_view baseAddress, std::string_view phone,
                              std::string_view deviceId) {
  return callURL(baseAddress, "validateNumber", {{"phone", phone}, {"deviceId", deviceId}});
}

std::string validatePinURL(std::string_view baseAddress, std::string_view phone,
                           std::string_view deviceId, std::string_view pin) {
  return callURL(baseAddress, "validatePin",
                 {{"phone", phone}, {"deviceId", deviceId}, {"pin", pin}});
}

std::string consultarRegistroURL(std::string_view baseAddress, std::string_view phone) {
  return callURL(baseAddress, "consultarRegistro", {{"phone", phone}}) + "&";
}

std::string getPriceOf30URL(std::string_view baseAddress, std::string_view phone) {
  return callURL(baseAddress, "getPriceOf30", {{"phone", phone}});
}

std::string solicitarEstacionamientoURL(std::string_view baseAddress,
                                        const ParkingPurchase& purchase) {
  std::string id = strprintf("%i", appTransactionIdFor(purchase.transactionId));
  std::string minutes = strprintf("%i", purchase.minutes);
  std::string plate = plateWithoutBlanks(purchase.plate);
  return callURL(baseAddress, "solicitarEstacionamiento",
                 {{"phone", purchase.phone},
                  {"appTransactionId", id},
                  {"deviceId", purchase.deviceId},
                  {"plate", plate},
                  {"minutes", minutes},
                  {"hour", purchase.hour}});
}

std::string consultarEstacionamientoURL(std::string_view baseAddress, std::string_view phone,
                                        std::int64_t transactionId, std::string_view deviceId) {
  std::string id = strprintf("%i", appTransactionIdFor(transactionId));
  return callURL(baseAddress, "consultarEstacionamiento",
                 {{"phone", phone}, {"appTransactionId", id}, {"deviceId", deviceId}});
}

ValidateNumberOutcome readValidateNumberReply(const std::optional<Data>& body) {
  std::optional<Json> decoded = decodeReply(body);
  const Json& reply = replyOrNull(decoded);
  if (!replySucceeded(reply)) return ValidateNumberOutcome::NotAccepted;
  std::optional<std::string> resultado = reply["resultado"].textValue();
  if (reply["resultado"].isString() && resultado == "OK") return ValidateNumberOutcome::Accepted;
  return ValidateNumberOutcome::NoOutcome;
}

ValidatePinOutcome readValidatePinReply(const std::optional<Data>& body) {
  std::optional<Json> decoded = decodeReply(body);
  const Json& reply = replyOrNull(decoded);
  if (!replySucceeded(reply)) return ValidatePinOutcome::NotRegistered;
  return replyBool(reply["validationSucesfull"]) ? ValidatePinOutcome::Correct
                                                 : ValidatePinOutcome::WrongPin;
}

ConsultarRegistroOutcome readConsultarRegistroReply(const std::optional<Data>& body) {
  std::optional<Json> decoded = decodeReply(body);
  const Json& reply = replyOrNull(decoded);
  ConsultarRegistroOutcome outcome;
  if (!replySucceeded(reply)) return outcome;
  outcome.kind = ConsultarRegistroOutcome::Kind::Answered;
  outcome.registrado = replyBool(reply["registrado"]);
  return outcome;
}

std::optional<double> readPriceOf30Reply(const std::optional<Data>& body) {
  std::optional<Json> decoded = decodeReply(body);
  return replyOrNull(decoded)["price"].doubleValue();
}

SolicitarEstacionamientoOutcome readSolicitarEstacionamientoReply(const std::optional<Data>& body) {
  std::optional<Json> decoded = decodeReply(body);
  const Json& reply = replyOrNull(decoded);
  SolicitarEstacionamientoOutcome outcome;
  if (replySucceeded(reply)) {
    outcome.kind = SolicitarEstacionamientoOutcome::Kind::Accepted;
  } else {
    outcome.errors = reply["errors"].textValue();
  }
  return outcome;
}

ConsultarEstacionamientoOutcome readConsultarEstacionamientoReply(const std::optional<Data>& body,
                                                                  TimePoint reference) {
  using Kind = ConsultarEstacionamientoOutcome::Kind;
  std::optional<Json> decoded = decodeReply(body);
  const Json& reply = replyOrNull(decoded);
  ConsultarEstacionamientoOutcome outcome;
  const Json& status = reply["transactionStatus"];
  if (!status.isString()) return outcome;
  std::string_view text = status.stringView();
  if (text == "IN_PROGRESS") {
    outcome.kind = Kind::InProgress;
  } else if (text == "ERROR") {
    outcome.kind = Kind::Refused;
  } else if (text == "OK") {
    outcome.inicioText = reply["inicio"].textValue();
    outcome.finText = reply["fin"].textValue();
    std::optional<HourMinute> start =
        outcome.inicioText ? readHourMinute(*outcome.inicioText) : std::nullopt;
    std::optional<HourMinute> end =
        outcome.finText ? readHourMinute(*outcome.finText) : std::nullopt;
    if (!start || !end || !reply["inicio"].isString() || !reply["fin"].isString()) {
      logf("consultarEstacionamiento: confirmation with unreadable times (inicio %s, fin %s)",
           outcome.inicioText.value_or("-").c_str(), outcome.finText.value_or("-").c_str());
      return ConsultarEstacionamientoOutcome{};
    }
    outcome.kind = Kind::Confirmed;
    outcome.idTicket = reply["idTicket"].int64Value();
    outcome.inicio = todayAt(start->hour, start->minute, reference);
    outcome.fin = todayAt(end->hour, end->minute, reference);
    outcome.matricula = reply["matricula"].textValue();
    outcome.costo = reply["costo"].textValue();
  }
  return outcome;
}

std::optional<HourMinute> readHourMinute(std::string_view text) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view hourText = text.substr(0, colon);
  std::string_view rest = text.substr(colon + 1);
  std::string_view minuteText = rest;
  std::size_t second = rest.find(':');
  if (second != std::string_view::npos) {
    minuteText = rest.substr(0, second);
    std::string_view seconds = rest.substr(second + 1);
    std::optional<int> s = smallNumber(seconds);
    if (!s || *s > 59) return std::nullopt;
  }
  std::optional<int> hour = smallNumber(hourText);
  std::optional<int> minute = smallNumber(minuteText);
  if (!hour || !minute || *hour > 23 || *minute > 59) return std::nullopt;
  return HourMinute{*hour, *minute};
}

}  // namespace est
