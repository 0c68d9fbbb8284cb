#include "http/support/url.h"

#include <idn2.h>

#include <boost/url/ipv4_address.hpp>
#include <boost/url/ipv6_address.hpp>
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

// A non-ASCII name in its A-label form (IDNA 2008, UTS #46 non-transitional), as curl sends it.
std::optional<std::string> asciiHostName(const std::string& name) {
  char* out = nullptr;
  int rc = idn2_to_ascii_8z(name.c_str(), &out,
                            IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL | IDN2_USE_STD3_ASCII_RULES);
  if (rc != IDN2_OK || !out) return std::nullopt;
  std::string ascii(out);
  idn2_free(out);
  return toLower(ascii);
}

// The host a URL names once decoded, in the one form used for lookups, "Host" fields, proxy
// lines and cookies; nothing when it is not a host name.
std::optional<std::string> canonicalHostName(const std::string& decoded) {
  bool ascii = true;
  for (char c : decoded) {
    auto byte = static_cast<unsigned char>(c);
    // Checked before the name becomes a C string: a NUL would cut it short.
    if (byte <= 0x20 || byte == 0x7F) return std::nullopt;
    ascii = ascii && byte < 0x80;
  }
  std::optional<std::string> name =
      ascii ? std::optional(toLower(decoded)) : asciiHostName(decoded);
  if (!name || !isValidHostName(*name)) return std::nullopt;
  return name;
}
}  // namespace

bool isValidHostName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);  // fully qualified
  if (name.empty() || name.size() > 253) return false;
  std::size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_';
    if (!allowed || ++label > 63) return false;
  }
  return label != 0;
}

std::optional<std::string> canonicalHost(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  urls::string_view text(host.data(), host.size());
  if (host.find(':') != std::string_view::npos) {
    if (auto v6 = urls::parse_ipv6_address(text)) return v6->to_string();
    return std::nullopt;
  }
  if (auto v4 = urls::parse_ipv4_address(text)) return v4->to_string();
  return canonicalHostName(std::string(host));
}

std::optional<Url> Url::parse(std::string_view text) {
  auto r = urls::parse_uri(urls::string_view(text.data(), text.size()));
  if (!r) return std::nullopt;
  if (r->has_authority()) {
    switch (r->host_type()) {
      case urls::host_type::ipv4:
      case urls::host_type::ipv6:
        break;
      case urls::host_type::name: {
        std::string decoded = r->host_address();
        if (decoded.empty()) break;
        std::optional<std::string> name = canonicalHostName(decoded);
        if (!name) return std::nullopt;
        // An escaped or non-ASCII name is written in its canonical form, so the URL's own text
        // (proxy request lines, redirects, cache keys) says the same as its host.
        if (r->encoded_host().find('%') != urls::string_view::npos) {
          urls::url rewritten(*r);
          rewritten.set_encoded_host(*name);
          return parse(std::string(rewritten.buffer()));
        }
        break;
      }
      default:
        return std::nullopt;
    }
  }
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
