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
  u.cacheParts();
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

void Url::cacheParts() {
  auto v = view(text_);
  ipv6_ = v.host_type() == urls::host_type::ipv6;
  ipLiteral_ = ipv6_ || v.host_type() == urls::host_type::ipv4;
  scheme_ = toLower(std::string(v.scheme()));
  if (v.has_authority())
    host_ = ipv6_ ? v.host_ipv6_address().to_string() : toLower(v.host_address());
  if (v.has_port() && !v.port().empty()) port_ = static_cast<int>(v.port_number());
  hasUserInfo_ = v.has_userinfo();
  user_ = std::string(v.user());
  password_ = std::string(v.password());
  path_ = std::string(v.path());
  encodedPath_ = std::string(v.encoded_path());
  hasQuery_ = v.has_query();
  encodedQuery_ = std::string(v.encoded_query());
}

int Url::effectivePort() const {
  if (port_) return *port_;
  if (scheme_ == "http") return 80;
  if (scheme_ == "https") return 443;
  return 0;
}

std::string Url::requestTarget() const {
  std::string target = encodedPath_.empty() ? std::string("/") : encodedPath_;
  if (hasQuery_) {
    target += '?';
    target += encodedQuery_;
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
