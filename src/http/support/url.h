#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace est {

// An absolute URL, parsed strictly (RFC 3986): text that is not a URI, such as one holding a
// blank, never becomes a Url.
class Url {
 public:
  static std::optional<Url> parse(std::string_view text);
  // Resolves `reference` (absolute or relative, as found in a "Location" header) against
  // `base`; nothing when the reference is not a URI reference.
  static std::optional<Url> resolve(const Url& base, std::string_view reference);

  const std::string& absoluteString() const { return text_; }
  std::string scheme() const;  // lower-cased
  std::string host() const;    // decoded, lower-cased, without IPv6 brackets; empty when none
  bool hostIsIPv6() const { return ipv6_; }
  bool hostIsIPAddress() const { return ipLiteral_; }
  std::optional<int> port() const;  // only when written in the URL
  int effectivePort() const;        // written port, else 80 / 443 by scheme, else 0
  std::string user() const;         // decoded
  std::string password() const;     // decoded
  bool hasUserInfo() const;
  std::string path() const;         // decoded
  std::string encodedPath() const;  // as written
  std::string encodedQuery() const;
  bool hasQuery() const;
  // Origin-form target of a request: path ("/" when empty) and query.
  std::string requestTarget() const;
  // Value of the "Host" header: host, bracketed for IPv6, with the port when written.
  std::string hostHeader() const;
  // The URL's text without a fragment.
  std::string withoutFragment() const;

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  void cacheHostKind();
  std::string text_;
  bool ipv6_ = false;
  bool ipLiteral_ = false;
};

// Percent-decodes `s`; malformed escapes stay as written.
std::string percentDecode(std::string_view s);

}  // namespace est
