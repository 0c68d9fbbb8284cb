#pragma once

// The authenticator every HTTPRequest uses unless another is installed: answers 401 and 407
// replies with Basic or Digest credentials found in the URL, on the request (or its main
// request), in the session stores or in the credential storage, presents credentials before
// a challenge when they are known to work, and otherwise asks the delegate or the login
// dialog and waits.

#include <memory>
#include <optional>

#include "http/auth_challenge.h"
#include "http/credentials.h"
#include "http/request_seams.h"

namespace est {

class StandardAuthenticator : public HTTPRequestAuthenticator {
 public:
  void applyAuthorizationHeader(HTTPRequest& r) override;
  void responseHeadersReceived(HTTPRequest& r) override;
  bool attemptToApplyCredentialsAndResume(HTTPRequest& r, bool proxy) override;

  // Called on the request's thread, with its lock held, once a delegate or the dialog
  // answered.
  static void retryUsingSuppliedCredentials(HTTPRequest& r);
  static void failAuthentication(HTTPRequest& r);

  // The credentials a challenge could be answered with, first hit wins: the URL's, the main
  // request's, the request's own, then (with useCredentialStorage) the storage's. For a
  // scheme that needs an account domain, a user name "DOMAIN\user" is split when the request
  // names no domain.
  static std::optional<Credentials> findCredentials(HTTPRequest& r, const HTTPAuthentication& auth);
  static std::optional<Credentials> findProxyCredentials(HTTPRequest& r,
                                                         const HTTPAuthentication& auth);
  static std::optional<SessionCredentials> findSessionAuthenticationCredentials(HTTPRequest& r);
  static std::optional<SessionCredentials> findSessionProxyAuthenticationCredentials(
      HTTPRequest& r);

 private:
  struct Steps;
};

std::shared_ptr<HTTPRequestAuthenticator> makeStandardAuthenticator();

// Same scheme, host and port (the port the URL means, written or not).
bool sameOrigin(const Url& a, const Url& b);

}  // namespace est
