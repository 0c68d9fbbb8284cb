// Arbitrary text as a challenge header: building the answer must neither crash nor let a
// line break into the header the client sends back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/auth_challenge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (bool proxy : {false, true}) {
    est::HeaderMap headers;
    headers.append(proxy ? "Proxy-Authenticate" : "WWW-Authenticate", text);
    auto auth = est::authenticationFromResponseHeaders(headers, proxy);
    if (!auth) continue;
    auto value = auth->authorizationValue({"user\r\n", "pass", ""}, "GET", "/p?q=1");
    if (value && value->find_first_of("\r\n", 0) != std::string::npos) std::abort();
  }
  return 0;
}
