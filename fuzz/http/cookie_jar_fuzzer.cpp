// Arbitrary Set-Cookie values from a plain and a secure reply, into one jar: what it keeps
// must respect the sizes, the Secure rules and the name prefixes whatever the bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/header_map.h"
#include "http/support/cookie_jar.h"

namespace {

bool hasPrefix(const std::string& name, std::string_view prefix) {
  return name.size() >= prefix.size() &&
         est::equalsIgnoringCase(name.substr(0, prefix.size()), prefix);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> values;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    values.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  static const est::Url plain = *est::Url::parse("http://www.example.com/a/b");
  static const est::Url secure = *est::Url::parse("https://www.example.com/a/b");
  est::CookieJar jar;
  for (size_t i = 0; i < values.size(); ++i) {
    const est::Url& from = i % 2 ? secure : plain;
    jar.setCookies(est::CookieJar::cookiesWithResponseHeaderFields({values[i]}, from));
  }
  for (const est::Cookie& c : jar.cookies()) {
    if (c.name.size() + c.value.size() > est::CookieJar::kMaxCookieBytes) std::abort();
    if (c.path.size() > est::CookieJar::kMaxAttributeBytes) std::abort();
    if (c.secure && !c.fromSecureOrigin) std::abort();
    if (hasPrefix(c.name, "__Secure-") && !c.secure) std::abort();
    if (hasPrefix(c.name, "__Host-") && (!c.secure || !c.hostOnly || c.path != "/")) std::abort();
    for (char ch : c.name + c.value)
      if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) std::abort();
  }
  for (const est::Cookie& c : jar.cookiesForURL(plain))
    if (c.secure) std::abort();
  return 0;
}
