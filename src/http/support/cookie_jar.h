#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/support/url.h"
#include "platform/clock.h"

namespace est {

struct Cookie {
  std::string name;
  std::string value;
  std::string domain;  // lower-case, without a leading dot
  std::string path;
  std::optional<TimePoint> expires;  // absent for a session cookie
  bool secure = false;
  bool httpOnly = false;
  bool hostOnly = true;  // sent to `domain` alone, not to its subdomains
  TimePoint creation{};
  // False when a plain-HTTP reply set it: such a cookie never replaces a Secure one.
  bool fromSecureOrigin = true;

  bool isSessionOnly() const { return !expires.has_value(); }
  // Same cookie slot: one replaces the other.
  bool sameIdentity(const Cookie& o) const {
    return name == o.name && domain == o.domain && path == o.path;
  }
  bool operator==(const Cookie&) const = default;
};

// The process-wide cookie store of the HTTP client (RFC 6265, with the mends of RFC 6265bis:
// "Secure" only from https replies, no plain-HTTP cookie shadowing a Secure one, the
// "__Secure-" and "__Host-" name prefixes, bounded attributes). Cookies that name a public
// suffix (per the public suffix list) as their domain are refused.
class CookieJar {
 public:
  static CookieJar& shared();

  // Parses the values of the reply's "Set-Cookie" fields for the URL that answered,
  // keeping only cookies that URL may set.
  static std::vector<Cookie> cookiesWithResponseHeaderFields(
      const std::vector<std::string>& setCookieValues, const Url& url);
  static std::optional<Cookie> parseSetCookie(std::string_view value, const Url& url);

  // Stores cookies (a cookie already expired removes its stored twin).
  void setCookies(const std::vector<Cookie>& cookies);
  void setCookie(const Cookie& cookie);
  // The cookies to send to `url`, longest path first, then oldest first.
  std::vector<Cookie> cookiesForURL(const Url& url) const;
  std::vector<Cookie> cookies() const;
  void deleteCookie(const Cookie& cookie);
  void removeAllCookies();

  // Limits that keep a hostile server from growing the store without end.
  static constexpr size_t kMaxCookieBytes = 4096;     // name and value together
  static constexpr size_t kMaxAttributeBytes = 1024;  // a longer attribute is ignored
  static constexpr size_t kMaxCookiesPerDomain = 50;
  static constexpr size_t kMaxCookies = 3000;

 private:
  void removeExpiredLocked(TimePoint now) const;
  mutable std::mutex mutex_;
  mutable std::vector<Cookie> cookies_;
};

// RFC 6265 date text ("Wed, 09 Jun 2021 10:18:14 GMT" and the looser forms it allows).
std::optional<TimePoint> parseCookieDate(std::string_view text);
bool cookieDomainMatches(const Cookie& cookie, const std::string& host, bool hostIsIP);
bool cookiePathMatches(std::string_view cookiePath, std::string_view requestPath);
std::string defaultCookiePath(std::string_view requestPath);

}  // namespace est
