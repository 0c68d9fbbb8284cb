#include "protocol/registry_protocol.h"

#include "json/value.h"
#include "protocol/reply.h"
#include "protocol/url_escape.h"

namespace est {

std::string registryQueryURL(std::string_view baseAddress, std::string_view patente,
                             std::string_view padron) {
  while (!baseAddress.empty() && baseAddress.back() == '/') baseAddress.remove_suffix(1);
  std::string url(baseAddress);
  url.append(kRegistryQueryPath);
  url.append("?consulta=consultaPatente&patente=");
  url.append(percentEscape(patente));
  url.append("&padron=");
  url.append(percentEscape(padron));
  return url;
}

RegistryQueryOutcome readRegistryQueryReply(const std::optional<Data>& body) {
  std::optional<Json> decoded = decodeReply(body);
  RegistryQueryOutcome outcome;
  if (!decoded) return outcome;
  const Json& response = (*decoded)["response"];
  if (!response.isObject() || !replySucceeded(response)) return outcome;
  outcome.kind = RegistryQueryOutcome::Kind::Found;
  outcome.mensaje = response["mensaje"].textValue();
  return outcome;
}

bool isRegistryPlate(std::string_view plate) {
  if (plate.size() != 7) return false;
  for (std::size_t i = 0; i < 7; ++i) {
    char c = plate[i];
    bool ok = i < 3 ? ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) : (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

}  // namespace est
