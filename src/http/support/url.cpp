#include "http/support/url.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include "http/header_map.h"

namespace est {
namespace urls = boost::urls;

namespace {
urls::url_view view(const std::string& text) {
  // Only texts that parsed as URIs are stored, so this cannot fail.
  return urls::parse_uri(text).value();
}
}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  auto r = urls::parse_uri(urls::string_view(text.data(), text.size()));
  if (!r) return std::nullopt;
  Url u{std::string(text)};
  u.cacheHostKind();
  return u;
}

std::optional<Url> Url::resolve(const Url& base, std::string_view reference) {
  auto ref = urls::parse_uri_reference(urls::string_view(reference.data(), reference.size()));
  if (!ref) return std::nullopt;
  urls::url dest;
  auto r = urls::resolve(view(base.text_), *ref, dest);
  if (!r) return std::nullopt;
  return parse(std::string(dest.buffer()));
}

void Url::cacheHostKind() {
  auto v = view(text_);
  ipv6_ = v.host_type() == urls::host_type::ipv6;
  ipLiteral_ = ipv6_ || v.host_type() == urls::host_type::ipv4;
}

std::string Url::scheme() const {
  return toLower(std::string(view(text_).scheme()));
}

std::string Url::host() const {
  auto v = view(text_);
  if (!v.has_authority()) return {};
  if (ipv6_) return v.host_ipv6_address().to_string();
  return toLower(v.host_address());
}

std::optional<int> Url::port() const {
  auto v = view(text_);
  if (!v.has_port() || v.port().empty()) return std::nullopt;
  return static_cast<int>(v.port_number());
}

int Url::effectivePort() const {
  if (auto p = port()) return *p;
  auto s = scheme();
  if (s == "http") return 80;
  if (s == "https") return 443;
  return 0;
}

bool Url::hasUserInfo() const {
  return view(text_).has_userinfo();
}
std::string Url::user() const {
  return std::string(view(text_).user());
}
std::string Url::password() const {
  return std::string(view(text_).password());
}
std::string Url::path() const {
  return std::string(view(text_).path());
}
std::string Url::encodedPath() const {
  return std::string(view(text_).encoded_path());
}
std::string Url::encodedQuery() const {
  return std::string(view(text_).encoded_query());
}
bool Url::hasQuery() const {
  return view(text_).has_query();
}

std::string Url::requestTarget() const {
  auto v = view(text_);
  std::string target(v.encoded_path());
  if (target.empty()) target = "/";
  if (v.has_query()) {
    target += '?';
    target += v.encoded_query();
  }
  return target;
}

std::string Url::hostHeader() const {
  std::string h = ipv6_ ? "[" + host() + "]" : host();
  if (auto p = port()) h += ":" + std::to_string(*p);
  return h;
}

std::string Url::withoutFragment() const {
  auto pos = text_.find('#');
  return pos == std::string::npos ? text_ : text_.substr(0, pos);
}

std::string percentDecode(std::string_view s) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int a = hex(s[i + 1]), b = hex(s[i + 2]);
      if (a >= 0 && b >= 0) {
        out += static_cast<char>(a * 16 + b);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

}  // namespace est
