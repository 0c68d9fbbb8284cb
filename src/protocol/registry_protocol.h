#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"

namespace est {

// The vehicle registry query: request and reply.

inline constexpr std::string_view kRegistryQueryPath = "/halvaro/meridel/sucive";

// baseAddress + "/halvaro/meridel/sucive?consulta=consultaPatente&patente=..&padron=..", with
// both values percent-escaped (a plate typed in lower case stays in lower case).
std::string registryQueryURL(std::string_view baseAddress, std::string_view patente,
                             std::string_view padron);

// Found when "response"/"status" reads "0", with "response"/"mensaje"; NoResult for anything
// else, including replies without "response" and replies that do not decode.
struct RegistryQueryOutcome {
  enum class Kind { Found, NoResult };
  Kind kind = Kind::NoResult;
  std::optional<std::string> mensaje;
};
RegistryQueryOutcome readRegistryQueryReply(const std::optional<Data>& body);

// The registry's plate form: exactly three letters a to z (either case) then four digits.
bool isRegistryPlate(std::string_view plate);

}  // namespace est
