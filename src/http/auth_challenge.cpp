#include "http/auth_challenge.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "http/digest_auth.h"
#include "http/http_errors.h"

namespace est {

namespace {

bool isTChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (std::isalnum(u)) return true;
  return u < 0x80 && std::strchr("!#$%&'*+-.^_`|~", c) && c != 0;
}

bool isToken68Char(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x80 && (std::isalnum(u) || std::strchr("-._~+/", c)) && c != 0;
}

class ChallengeParser {
 public:
  explicit ChallengeParser(std::string_view s) : s_(s) {}

  std::optional<std::vector<AuthChallenge>> parse() {
    std::vector<AuthChallenge> out;
    skipListSeparators();
    while (!atEnd()) {
      AuthChallenge c;
      c.scheme = std::string(token());
      if (c.scheme.empty()) return std::nullopt;
      bool sawSpace = skipSpaces();
      if (!atEnd() && peek() != ',') {
        if (!sawSpace) return std::nullopt;
        if (!parseParamsOrToken68(c)) return std::nullopt;
      }
      out.push_back(std::move(c));
      skipListSeparators();
    }
    return out;
  }

 private:
  bool atEnd() const { return pos_ >= s_.size(); }
  char peek() const { return s_[pos_]; }
  bool skipSpaces() {
    size_t start = pos_;
    while (!atEnd() && (peek() == ' ' || peek() == '\t')) ++pos_;
    return pos_ > start;
  }
  void skipListSeparators() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == ',')) ++pos_;
  }
  std::string_view token() {
    size_t start = pos_;
    while (!atEnd() && isTChar(peek())) ++pos_;
    return s_.substr(start, pos_ - start);
  }

  // After `name`, is this "name=" a parameter (true) or the start of a token68 / next scheme?
  bool looksLikeParam(size_t at) const {
    size_t p = at;
    while (p < s_.size() && isTChar(s_[p])) ++p;
    if (p == at) return false;
    while (p < s_.size() && (s_[p] == ' ' || s_[p] == '\t')) ++p;
    if (p >= s_.size() || s_[p] != '=') return false;
    ++p;
    while (p < s_.size() && (s_[p] == ' ' || s_[p] == '\t')) ++p;
    return p < s_.size() && (s_[p] == '"' || isTChar(s_[p])) && s_[p] != '=';
  }

  bool parseParamsOrToken68(AuthChallenge& c) {
    if (!looksLikeParam(pos_)) {
      size_t start = pos_;
      while (!atEnd() && isToken68Char(peek())) ++pos_;
      if (pos_ == start) return false;
      while (!atEnd() && peek() == '=') ++pos_;
      c.token68 = std::string(s_.substr(start, pos_ - start));
      skipSpaces();
      return atEnd() || peek() == ',';
    }
    for (;;) {
      std::string name = toLower(token());
      skipSpaces();
      if (atEnd() || peek() != '=') return false;
      ++pos_;
      skipSpaces();
      std::string value;
      if (!atEnd() && peek() == '"') {
        if (!quoted(value)) return false;
      } else {
        value = std::string(token());
        if (value.empty()) return false;
      }
      if (!c.params.emplace(name, value).second) return false;  // a repeated parameter
      skipSpaces();
      if (atEnd()) return true;
      if (peek() != ',') return false;
      // The list goes on: with this challenge's next parameter, or with the next challenge.
      size_t save = pos_;
      skipListSeparators();
      if (atEnd()) return true;
      if (!looksLikeParam(pos_)) {
        pos_ = save;
        return true;
      }
    }
  }

  bool quoted(std::string& out) {
    ++pos_;  // opening quote
    while (!atEnd()) {
      char c = peek();
      ++pos_;
      if (c == '"') return true;
      if (c == '\\') {
        if (atEnd()) return false;
        c = peek();
        ++pos_;
      }
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return false;
      out += c;
    }
    return false;  // unterminated
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

const std::string* AuthChallenge::param(std::string_view name) const {
  auto it = params.find(toLower(name));
  return it == params.end() ? nullptr : &it->second;
}

std::optional<std::vector<AuthChallenge>> parseAuthChallenges(std::string_view headerValue) {
  return ChallengeParser(headerValue).parse();
}

HTTPAuthenticationPtr authenticationFromResponseHeaders(const HeaderMap& headers, bool proxy,
                                                        Error* error) {
  const Error malformed(NetworkRequestErrorDomain, InternalErrorWhileApplyingCredentialsType,
                        "Failed to get authentication object from response headers");
  const std::string* value = headers.find(proxy ? "Proxy-Authenticate" : "WWW-Authenticate");
  if (!value || trimWhitespace(*value).empty()) {
    Error::assign(error, malformed);
    return nullptr;
  }
  auto challenges = parseAuthChallenges(*value);
  if (!challenges) {
    // Once the grammar breaks, nothing after it can be told apart safely.
    Error::assign(error, malformed);
    return nullptr;
  }
  HTTPAuthenticationPtr best;
  bool sawMalformed = false;
  for (auto& c : *challenges) {
    HTTPAuthenticationPtr candidate;
    if (equalsIgnoringCase(c.scheme, "Basic")) {
      if (!c.token68.empty()) {
        sawMalformed = true;
        continue;
      }
      const std::string* realm = c.param("realm");
      candidate = std::make_shared<BasicAuthentication>(realm ? *realm : std::string());
    } else if (equalsIgnoringCase(c.scheme, "Digest")) {
      Error e;
      candidate = DigestAuthentication::fromChallenge(c, &e);
      if (!candidate && e.code == InternalErrorWhileApplyingCredentialsType) sawMalformed = true;
    }
    if (candidate && (!best || candidate->strength() > best->strength())) best = candidate;
  }
  if (best) return best;
  Error::assign(error, sawMalformed ? malformed : AuthenticationError());
  return nullptr;
}

std::optional<std::string> BasicAuthentication::basicAuthorizationValue(std::string_view username,
                                                                        std::string_view password) {
  if (username.find(':') != std::string_view::npos) return std::nullopt;
  for (std::string_view part : {username, password})
    for (unsigned char c : part)
      if (c < 0x20 || c == 0x7F) return std::nullopt;
  std::string joined;
  joined.reserve(username.size() + password.size() + 1);
  joined.append(username).append(":").append(password);
  return "Basic " + base64Encode(joined);
}

std::string base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

std::string base64Encode(const Data& bytes) {
  return base64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace est
