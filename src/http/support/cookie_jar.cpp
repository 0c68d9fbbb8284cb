#include "http/support/cookie_jar.h"

#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <ctime>

#include "http/header_map.h"

namespace est {
namespace {

const psl_ctx_t* publicSuffixes() {
  // The system list when present (kept current by the distribution), else the built-in one.
  static const psl_ctx_t* ctx = [] {
    const psl_ctx_t* c = psl_latest(nullptr);
    return c ? c : psl_builtin();
  }();
  return ctx;
}

bool isDelimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) ||
         (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// Leading digits of a token: between `minDigits` and `maxDigits`, followed by anything.
std::optional<int> leadingNumber(std::string_view t, size_t minDigits, size_t maxDigits) {
  size_t n = 0;
  while (n < t.size() && std::isdigit(static_cast<unsigned char>(t[n]))) ++n;
  if (n < minDigits || n > maxDigits) return std::nullopt;
  int v = 0;
  for (size_t i = 0; i < n; ++i) v = v * 10 + (t[i] - '0');
  return v;
}

bool parseTime(std::string_view t, int& h, int& m, int& s) {
  int parts[3];
  size_t pos = 0;
  for (int k = 0; k < 3; ++k) {
    size_t n = 0;
    while (pos + n < t.size() && std::isdigit(static_cast<unsigned char>(t[pos + n]))) ++n;
    if (n < 1 || n > 2) return false;
    parts[k] = std::stoi(std::string(t.substr(pos, n)));
    pos += n;
    if (k < 2) {
      if (pos >= t.size() || t[pos] != ':') return false;
      ++pos;
    }
  }
  h = parts[0];
  m = parts[1];
  s = parts[2];
  return true;
}

bool isIPAddressText(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;
  return !host.empty() &&
         std::all_of(host.begin(), host.end(), [](char c) { return std::isdigit(c) || c == '.'; });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// `domain` is `other` or one of its subdomains.
bool domainWithin(const std::string& domain, const std::string& other) {
  return domain == other || (domain.size() > other.size() && domain.ends_with(other) &&
                             domain[domain.size() - other.size() - 1] == '.');
}

}  // namespace

std::optional<TimePoint> parseCookieDate(std::string_view text) {
  bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isDelimiter(static_cast<unsigned char>(text[i]))) ++i;
    size_t start = i;
    while (i < text.size() && !isDelimiter(static_cast<unsigned char>(text[i]))) ++i;
    std::string_view token = text.substr(start, i - start);
    if (token.empty()) continue;
    int h, m, s;
    if (!foundTime && parseTime(token, h, m, s)) {
      foundTime = true;
      hour = h;
      minute = m;
      second = s;
      continue;
    }
    if (!foundDay) {
      if (auto d = leadingNumber(token, 1, 2)) {
        foundDay = true;
        day = *d;
        continue;
      }
    }
    if (!foundMonth && token.size() >= 3) {
      static const char* months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                     "jul", "aug", "sep", "oct", "nov", "dec"};
      std::string prefix = toLower(token.substr(0, 3));
      bool hit = false;
      for (int k = 0; k < 12; ++k) {
        if (prefix == months[k]) {
          foundMonth = true;
          month = k + 1;
          hit = true;
          break;
        }
      }
      if (hit) continue;
    }
    if (!foundYear) {
      if (auto y = leadingNumber(token, 2, 4)) {
        foundYear = true;
        year = *y;
        continue;
      }
    }
  }
  if (foundYear && year >= 70 && year <= 99) year += 1900;
  if (foundYear && year >= 0 && year <= 69) year += 2000;
  if (!foundTime || !foundDay || !foundMonth || !foundYear) return std::nullopt;
  if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  time_t t = timegm(&tm);
  if (tm.tm_mday != day) return std::nullopt;  // 31 Feb and the like
  return std::chrono::system_clock::from_time_t(t);
}

std::string defaultCookiePath(std::string_view requestPath) {
  if (requestPath.empty() || requestPath[0] != '/') return "/";
  auto last = requestPath.rfind('/');
  if (last == 0) return "/";
  return std::string(requestPath.substr(0, last));
}

bool cookiePathMatches(std::string_view cookiePath, std::string_view requestPath) {
  if (requestPath.empty()) requestPath = "/";
  if (cookiePath == requestPath) return true;
  if (requestPath.substr(0, cookiePath.size()) != cookiePath) return false;
  return (!cookiePath.empty() && cookiePath.back() == '/') ||
         (requestPath.size() > cookiePath.size() && requestPath[cookiePath.size()] == '/');
}

bool cookieDomainMatches(const Cookie& cookie, const std::string& host, bool hostIsIP) {
  if (host == cookie.domain) return true;
  if (cookie.hostOnly || hostIsIP) return false;
  return host.size() > cookie.domain.size() &&
         host.compare(host.size() - cookie.domain.size(), cookie.domain.size(), cookie.domain) ==
             0 &&
         host[host.size() - cookie.domain.size() - 1] == '.';
}

std::optional<Cookie> CookieJar::parseSetCookie(std::string_view value, const Url& url) {
  std::string host = url.host();
  if (host.empty()) return std::nullopt;
  auto semi = value.find(';');
  std::string_view pair = value.substr(0, semi);
  auto eq = pair.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  Cookie c;
  c.name = std::string(trimWhitespace(pair.substr(0, eq)));
  c.value = std::string(trimWhitespace(pair.substr(eq + 1)));
  if (c.name.empty() || c.name.size() + c.value.size() > kMaxCookieBytes) return std::nullopt;
  for (char ch : c.name + c.value)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return std::nullopt;

  TimePoint now = Clock::current().now();
  c.creation = now;
  std::optional<TimePoint> expiresAttr, maxAgeAttr;
  std::string domainAttr;
  std::string pathAttr;
  bool havePath = false;
  std::string_view rest =
      semi == std::string_view::npos ? std::string_view{} : value.substr(semi + 1);
  while (!rest.empty()) {
    auto next = rest.find(';');
    std::string_view av = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
    auto aeq = av.find('=');
    std::string name = toLower(trimWhitespace(av.substr(0, aeq)));
    std::string_view val =
        aeq == std::string_view::npos ? std::string_view{} : trimWhitespace(av.substr(aeq + 1));
    if (val.size() > kMaxAttributeBytes) continue;
    if (name == "expires") {
      if (auto t = parseCookieDate(val)) expiresAttr = t;
    } else if (name == "max-age") {
      std::string_view digits = val;
      bool negative = !digits.empty() && digits[0] == '-';
      if (negative) digits.remove_prefix(1);
      if (digits.empty() ||
          !std::all_of(digits.begin(), digits.end(), [](char ch) { return std::isdigit(ch); }))
        continue;
      if (negative || digits.find_first_not_of('0') == std::string_view::npos) {
        maxAgeAttr = TimePoint{};  // the earliest time: delete now
      } else {
        // Ten years is plenty; longer values would overflow the clock.
        long long secs = digits.size() > 9 ? 315360000LL : std::stoll(std::string(digits));
        secs = std::min(secs, 315360000LL);
        maxAgeAttr = now + std::chrono::seconds(secs);
      }
    } else if (name == "domain") {
      std::string d = toLower(val);
      if (!d.empty() && d[0] == '.') d.erase(0, 1);
      if (!d.empty()) domainAttr = d;
    } else if (name == "path") {
      if (!val.empty() && val[0] == '/') {
        pathAttr = std::string(val);
        havePath = true;
      }
    } else if (name == "secure") {
      c.secure = true;
    } else if (name == "httponly") {
      c.httpOnly = true;
    }
  }
  if (maxAgeAttr)
    c.expires = maxAgeAttr;
  else if (expiresAttr)
    c.expires = expiresAttr;

  if (domainAttr.empty() || domainAttr == host) {
    c.domain = host;
    c.hostOnly = true;
  } else {
    if (url.hostIsIPAddress() || isIPAddressText(domainAttr)) return std::nullopt;
    if (psl_is_cookie_domain_acceptable(publicSuffixes(), host.c_str(), domainAttr.c_str()) != 1)
      return std::nullopt;
    c.domain = domainAttr;
    c.hostOnly = false;
  }
  c.path = havePath ? pathAttr : defaultCookiePath(url.path());
  c.fromSecureOrigin = url.scheme() == "https";
  // A plain-HTTP reply may come from anyone on the path: it cannot vouch for a Secure cookie.
  if (c.secure && !c.fromSecureOrigin) return std::nullopt;
  if (startsWithIgnoringCase(c.name, "__Secure-") && !c.secure) return std::nullopt;
  if (startsWithIgnoringCase(c.name, "__Host-") &&
      (!c.secure || !domainAttr.empty() || !havePath || c.path != "/"))
    return std::nullopt;
  return c;
}

std::vector<Cookie> CookieJar::cookiesWithResponseHeaderFields(
    const std::vector<std::string>& setCookieValues, const Url& url) {
  std::vector<Cookie> out;
  for (auto& v : setCookieValues)
    if (auto c = parseSetCookie(v, url)) out.push_back(std::move(*c));
  return out;
}

CookieJar& CookieJar::shared() {
  static auto* jar = new CookieJar;  // used from the network thread until the process ends
  return *jar;
}

void CookieJar::removeExpiredLocked(TimePoint now) const {
  std::erase_if(cookies_, [&](const Cookie& c) { return c.expires && *c.expires <= now; });
}

void CookieJar::setCookie(const Cookie& cookie) {
  std::lock_guard lock(mutex_);
  TimePoint now = Clock::current().now();
  if (!cookie.secure && !cookie.fromSecureOrigin) {
    bool shadowsSecure = std::any_of(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
      return c.secure && c.name == cookie.name &&
             (domainWithin(c.domain, cookie.domain) || domainWithin(cookie.domain, c.domain)) &&
             cookiePathMatches(c.path, cookie.path);
    });
    if (shadowsSecure) return;
  }
  auto it = std::find_if(cookies_.begin(), cookies_.end(),
                         [&](const Cookie& c) { return c.sameIdentity(cookie); });
  TimePoint creation = cookie.creation;
  if (it != cookies_.end()) {
    creation = it->creation;
    cookies_.erase(it);
  }
  if (cookie.expires && *cookie.expires <= now) return;
  Cookie stored = cookie;
  stored.creation = creation;
  cookies_.push_back(std::move(stored));

  auto byAge = [](const Cookie& a, const Cookie& b) { return a.creation < b.creation; };
  size_t inDomain = std::count_if(cookies_.begin(), cookies_.end(),
                                  [&](const Cookie& c) { return c.domain == cookie.domain; });
  if (inDomain > kMaxCookiesPerDomain || cookies_.size() > kMaxCookies) {
    removeExpiredLocked(now);
    while (std::count_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
             return c.domain == cookie.domain;
           }) > static_cast<long>(kMaxCookiesPerDomain)) {
      auto oldest = cookies_.end();
      for (auto i = cookies_.begin(); i != cookies_.end(); ++i)
        if (i->domain == cookie.domain && (oldest == cookies_.end() || byAge(*i, *oldest)))
          oldest = i;
      cookies_.erase(oldest);
    }
    while (cookies_.size() > kMaxCookies)
      cookies_.erase(std::min_element(cookies_.begin(), cookies_.end(), byAge));
  }
}

void CookieJar::setCookies(const std::vector<Cookie>& cookies) {
  for (auto& c : cookies) setCookie(c);
}

std::vector<Cookie> CookieJar::cookiesForURL(const Url& url) const {
  std::lock_guard lock(mutex_);
  TimePoint now = Clock::current().now();
  removeExpiredLocked(now);
  std::string host = url.host();
  bool secure = url.scheme() == "https";
  std::string path = url.encodedPath();
  std::vector<Cookie> out;
  for (auto& c : cookies_) {
    if (!cookieDomainMatches(c, host, url.hostIsIPAddress())) continue;
    if (!cookiePathMatches(c.path, path)) continue;
    if (c.secure && !secure) continue;
    out.push_back(c);
  }
  std::stable_sort(out.begin(), out.end(), [](const Cookie& a, const Cookie& b) {
    if (a.path.size() != b.path.size()) return a.path.size() > b.path.size();
    return a.creation < b.creation;
  });
  return out;
}

std::vector<Cookie> CookieJar::cookies() const {
  std::lock_guard lock(mutex_);
  return cookies_;
}

void CookieJar::deleteCookie(const Cookie& cookie) {
  std::lock_guard lock(mutex_);
  std::erase_if(cookies_, [&](const Cookie& c) { return c.sameIdentity(cookie); });
}

void CookieJar::removeAllCookies() {
  std::lock_guard lock(mutex_);
  cookies_.clear();
}

}  // namespace est
