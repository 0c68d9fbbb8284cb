// Arbitrary text as a URL, as a host and as a redirect's Location: whatever parses must name a
// host that can go into a lookup and a header as it is, and say the same when parsed again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/support/url.h"

namespace {

void check(const std::optional<est::Url>& url) {
  if (!url) return;
  const std::string& host = url->host();
  if (!host.empty() && !url->hostIsIPAddress() && !est::isValidHostName(host)) std::abort();
  std::string header = url->hostHeader();
  if (header.find_first_of(std::string("\r\n\0 %@/\\", 8)) != std::string::npos) std::abort();
  auto again = est::Url::parse(url->absoluteString());
  if (!again || again->host() != host) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check(est::Url::parse(text));
  check(est::Url::parse("http://" + text + "/"));
  static const est::Url base = *est::Url::parse("http://example.com/a/b?q");
  check(est::Url::resolve(base, text));
  check(est::Url::resolve(base, "//" + text));
  return 0;
}
