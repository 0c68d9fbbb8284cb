#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/data.h"

namespace est {

// Requests to the parking service and the outcomes of its replies. Builders give the URL text
// of a call; every parameter value is percent-escaped (see percentEscape). Readers take the raw
// reply bytes; absent bytes, a non-ASCII byte, or a reply that is not a JSON object give the
// last outcome of each enum.

inline constexpr std::string_view kParkingServicePath = "/qorvix/json/";

// baseAddress + "/qorvix/json/" + call; trailing slashes of the base are dropped so that a
// configured "http://host/" does not give "//qorvix".
std::string parkingServiceAddress(std::string_view baseAddress, std::string_view call);

// The purchase identifier as it travels: the low 32 bits read as a signed integer.
std::int32_t appTransactionIdFor(std::int64_t transactionId);
// The plate as it travels: every blank (U+0020) removed.
std::string plateWithoutBlanks(std::string_view plate);

std::string validateNumberURL(std::string_view baseAddress, std::string_view phone,
                              std::string_view deviceId);
std::string validatePinURL(std::string_view baseAddress, std::string_view phone,
                           std::string_view deviceId, std::string_view pin);
// The query ends with "&" and carries no deviceId, as the service has always received it.
std::string consultarRegistroURL(std::string_view baseAddress, std::string_view phone);
std::string getPriceOf30URL(std::string_view baseAddress, std::string_view phone);

struct ParkingPurchase {
  std::string phone;
  std::int64_t transactionId = 0;  // the ticket's own identifier; travels as its low 32 bits
  std::string deviceId;            // upper-case canonical UUID text
  std::string plate;               // as the ticket holds it; blanks are removed on the way
  int minutes = 0;
  std::string hour;  // start, "HH:mm"
};
std::string solicitarEstacionamientoURL(std::string_view baseAddress,
                                        const ParkingPurchase& purchase);
std::string consultarEstacionamientoURL(std::string_view baseAddress, std::string_view phone,
                                        std::int64_t transactionId, std::string_view deviceId);

// validateNumber: "status" "0" with "resultado" "OK"; "status" "0" otherwise; anything else.
enum class ValidateNumberOutcome { Accepted, NoOutcome, NotAccepted };
ValidateNumberOutcome readValidateNumberReply(const std::optional<Data>& body);

// validatePin: "status" "0" and "validationSucesfull" true; "status" "0" otherwise; anything
// else ("Numero no registrado").
enum class ValidatePinOutcome { Correct, WrongPin, NotRegistered };
ValidatePinOutcome readValidatePinReply(const std::optional<Data>& body);

// consultarRegistro: Answered when "status" is "0", with "registrado" read as a boolean
// (absent is false); NotRegistered otherwise.
struct ConsultarRegistroOutcome {
  enum class Kind { Answered, NotRegistered };
  Kind kind = Kind::NotRegistered;
  bool registrado = false;
};
ConsultarRegistroOutcome readConsultarRegistroReply(const std::optional<Data>& body);

// getPriceOf30: "price" from a JSON number or a numeric text; nothing when absent or unreadable.
// No status is read.
std::optional<double> readPriceOf30Reply(const std::optional<Data>& body);

// solicitarEstacionamiento: Accepted when "status" is "0"; Refused otherwise, with the text of
// "errors" when the reply has one.
struct SolicitarEstacionamientoOutcome {
  enum class Kind { Accepted, Refused };
  Kind kind = Kind::Refused;
  std::optional<std::string> errors;
};
SolicitarEstacionamientoOutcome readSolicitarEstacionamientoReply(const std::optional<Data>& body);

// consultarEstacionamiento, by "transactionStatus": "OK" Confirmed, "IN_PROGRESS" InProgress,
// "ERROR" Refused, anything else NoDecision. A confirmed reply whose "inicio" or "fin" does not
// read as hour:minute is NoDecision too: the purchase stays pending rather than becoming a
// ticket with invented times.
struct ConsultarEstacionamientoOutcome {
  enum class Kind { Confirmed, InProgress, Refused, NoDecision };
  Kind kind = Kind::NoDecision;
  // Confirmed only.
  std::optional<std::int64_t> idTicket;  // a number, or a text holding one; nothing otherwise
  TimePoint inicio{};                    // today (per the reference) at "inicio"
  TimePoint fin{};                       // today at "fin", even when earlier than inicio
  // Text forms, verbatim, for the purchase message; nothing when absent.
  std::optional<std::string> inicioText;
  std::optional<std::string> finText;
  std::optional<std::string> matricula;
  std::optional<std::string> costo;
};
ConsultarEstacionamientoOutcome readConsultarEstacionamientoReply(
    const std::optional<Data>& body, TimePoint reference = Clock::current().now());

// Hours and minutes of an "H:mm" or "HH:mm" text (a trailing ":ss" is ignored): hour 0..23,
// minute 0..59, digits only. Nothing for any other form.
struct HourMinute {
  int hour = 0;
  int minute = 0;
};
std::optional<HourMinute> readHourMinute(std::string_view text);

}  // namespace est
