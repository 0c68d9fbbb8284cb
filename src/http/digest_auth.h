#pragma once

// Digest access authentication (RFC 7616): MD5, SHA-256 and SHA-512-256, their "-sess"
// forms, qop "auth" (or no qop, for old servers), nonce counting and user-name hashing.

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "http/auth_challenge.h"

namespace est {

class DigestAuthentication : public HTTPAuthentication {
 public:
  enum class Algorithm { MD5, SHA256, SHA512_256 };

  // Nothing, with code 7, when realm or nonce is missing; nothing, with code 3, when the
  // challenge asks for what is not answered here (an unknown algorithm, auth-int only).
  static std::shared_ptr<DigestAuthentication> fromChallenge(const AuthChallenge& challenge,
                                                             Error* error = nullptr);

  std::string scheme() const override { return "Digest"; }
  std::string realm() const override { return realm_; }
  bool isStale() const override { return stale_; }
  int strength() const override;
  std::optional<std::string> authorizationValue(const Credentials& credentials,
                                                std::string_view method,
                                                std::string_view requestTarget) override;

  Algorithm algorithm() const { return algorithm_; }
  bool sessionVariant() const { return session_; }
  const std::string& nonce() const { return nonce_; }

  // Client nonces come from the system's random source; tests may pin them.
  static void setClientNonceSource(std::function<std::string()> source);
  static std::string hexDigest(Algorithm algorithm, std::string_view text);

 private:
  std::string realm_, nonce_, opaque_, algorithmName_;
  Algorithm algorithm_ = Algorithm::MD5;
  bool session_ = false;
  bool qopAuth_ = false;
  bool stale_ = false;
  bool userhash_ = false;
  bool hasOpaque_ = false;
  std::mutex lock_;
  unsigned nonceCount_ = 0;
  std::string sessionCnonce_;  // the "-sess" forms fix H(A1) with the first client nonce
};

}  // namespace est
