#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace est {

// An absolute URL, parsed strictly (RFC 3986): text that is not a URI, such as one holding a
// blank, never becomes a Url, nor one whose host, once decoded, is not a host name or an IP
// address. Non-ASCII host names are held in their A-label (IDNA) form.
class Url {
 public:
  static std::optional<Url> parse(std::string_view text);
  // Resolves `reference` (absolute or relative, as found in a "Location" header) against
  // `base`; nothing when the reference is not a URI reference.
  static std::optional<Url> resolve(const Url& base, std::string_view reference);

  const std::string& absoluteString() const { return text_; }
  const std::string& scheme() const { return scheme_; }  // lower-cased
  // Decoded, lower-cased, without IPv6 brackets; empty when none.
  const std::string& host() const { return host_; }
  bool hostIsIPv6() const { return ipv6_; }
  bool hostIsIPAddress() const { return ipLiteral_; }
  std::optional<int> port() const { return port_; }  // only when written in the URL
  int effectivePort() const;  // written port, else 80 / 443 by scheme, else 0
  const std::string& user() const { return user_; }          // decoded
  const std::string& password() const { return password_; }  // decoded
  bool hasUserInfo() const { return hasUserInfo_; }
  const std::string& path() const { return path_; }                // decoded
  const std::string& encodedPath() const { return encodedPath_; }  // as written
  const std::string& encodedQuery() const { return encodedQuery_; }
  bool hasQuery() const { return hasQuery_; }
  // Origin-form target of a request: path ("/" when empty) and query.
  std::string requestTarget() const;
  // Value of the "Host" header: host, bracketed for IPv6, with the port when written.
  std::string hostHeader() const;
  // The URL's text without a fragment.
  std::string withoutFragment() const;

  bool operator==(const Url& other) const { return text_ == other.text_; }

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  // Requests ask for the parts many times: split the text once.
  void cacheParts();
  std::string text_;
  std::string scheme_, host_, user_, password_, path_, encodedPath_, encodedQuery_;
  std::optional<int> port_;
  bool ipv6_ = false;
  bool ipLiteral_ = false;
  bool hasUserInfo_ = false;
  bool hasQuery_ = false;
};

// Letters, digits, "-" and "_" in dot-separated labels of 1 to 63 (253 in all), an optional
// final dot: what may stand for a host in a lookup and in a message.
bool isValidHostName(std::string_view name);

// A host given on its own, as a proxy's is, checked as a URL's host is: an IP address (IPv6
// with or without brackets; given back without them) or a host name in its canonical form.
// Nothing for anything else, such as text holding a blank, a control, '/' or '@'.
std::optional<std::string> canonicalHost(std::string_view host);

// Percent-decodes `s`; malformed escapes stay as written.
std::string percentDecode(std::string_view s);

}  // namespace est
