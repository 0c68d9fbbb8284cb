#pragma once

// What a request answers a challenge with, and the authentication objects that turn those
// credentials into an "Authorization" or "Proxy-Authorization" value.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/support/url.h"

namespace est {

struct Credentials {
  std::string username;
  std::string password;
  std::string domain;  // only for schemes that need an account domain
  bool operator==(const Credentials&) const = default;
};

// One challenge's scheme, made ready to answer it: built from the reply's
// "WWW-Authenticate" / "Proxy-Authenticate" headers (see authentication.h).
class HTTPAuthentication {
 public:
  virtual ~HTTPAuthentication() = default;
  virtual std::string scheme() const = 0;  // "Basic", "Digest"
  virtual std::string realm() const = 0;
  virtual bool requiresUserNameAndPassword() const { return true; }
  virtual bool requiresAccountDomain() const { return false; }
  // The server said the credentials were fine but its nonce was old.
  virtual bool isStale() const { return false; }
  // Higher answers a challenge better; the strongest challenge offered is taken.
  virtual int strength() const = 0;
  // The header value for one message; nothing when these credentials cannot be expressed in
  // this scheme (a user name with ":" in Basic, for instance).
  virtual std::optional<std::string> authorizationValue(const Credentials& credentials,
                                                        std::string_view method,
                                                        std::string_view requestTarget) = 0;
};
using HTTPAuthenticationPtr = std::shared_ptr<HTTPAuthentication>;

// An entry of the session stores. Server entries carry `url`; proxy entries `host`/`port`.
struct SessionCredentials {
  HTTPAuthenticationPtr authentication;  // null: remembered from a request's own user/password
  Credentials credentials;
  std::optional<Url> url;
  std::string host;
  int port = 0;
  std::string authenticationScheme;
  std::string authenticationRealm;
};

}  // namespace est
