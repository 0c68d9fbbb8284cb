#pragma once

// Reading "WWW-Authenticate" / "Proxy-Authenticate" challenges (RFC 7235) and building the
// authentication object that answers the strongest one offered.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/credentials.h"
#include "http/header_map.h"
#include "platform/data.h"
#include "platform/error.h"

namespace est {

struct AuthChallenge {
  std::string scheme;                         // as written
  std::map<std::string, std::string> params;  // names lower-cased, values unquoted
  std::string token68;
  const std::string* param(std::string_view name) const;
};

// Splits a header value (several headers already joined with ", ") into challenges; nothing
// when the text breaks the grammar (unterminated quotes, a missing comma, a repeated
// parameter...).
std::optional<std::vector<AuthChallenge>> parseAuthChallenges(std::string_view headerValue);

// The object answering the strongest supported challenge of a reply. Fails with code 7
// "Failed to get authentication object from response headers" when there is no challenge or
// only malformed ones, and with code 3 "Authentication needed" when every challenge is
// well-formed but none can be answered here (NTLM, Negotiate, Bearer, Digest auth-int...).
HTTPAuthenticationPtr authenticationFromResponseHeaders(const HeaderMap& headers, bool proxy,
                                                        Error* error = nullptr);

class BasicAuthentication : public HTTPAuthentication {
 public:
  explicit BasicAuthentication(std::string realm) : realm_(std::move(realm)) {}
  std::string scheme() const override { return "Basic"; }
  std::string realm() const override { return realm_; }
  int strength() const override { return 1; }
  std::optional<std::string> authorizationValue(const Credentials& credentials, std::string_view,
                                                std::string_view) override {
    return basicAuthorizationValue(credentials.username, credentials.password);
  }
  // "Basic " and the Base64 of "user:password"; nothing when the user name holds ":" or
  // either part holds a control character.
  static std::optional<std::string> basicAuthorizationValue(std::string_view username,
                                                            std::string_view password);

 private:
  std::string realm_;
};

// Standard Base64 with padding.
std::string base64Encode(const Data& bytes);
std::string base64Encode(std::string_view bytes);

}  // namespace est
