#pragma once

// What a request keeps for its authenticator between attempts, and the few ways the
// authenticator may steer the transfer. Internal to the client: the request owns it, and the
// authenticator reaches it through HTTPRequest::authenticationState(), on the thread that
// drives the request with the request's lock held.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/auth_challenge.h"
#include "http/credentials.h"
#include "http/http_request.h"
#include "platform/error.h"

namespace est {

struct HTTPRequest::AuthenticationState {
  explicit AuthenticationState(HTTPRequest& owner) : r(owner) {}

  // What went out in an attempt, to tell rejected credentials from a new challenge.
  struct SentCredentials {
    std::optional<Credentials> credentials;
    std::string realm;
  };

  // The server or the proxy half: the request's credentials (copied), the fields the
  // authenticator keeps up to date (referenced), and what it remembers between attempts.
  struct Side {
    bool proxy;
    std::string username;
    std::string password;
    std::string domain;
    HTTPAuthenticationPtr& authentication;
    std::optional<Credentials>& credentials;
    std::string& scheme;
    std::string& realm;
    int& retryCount;
    SentCredentials& sent;
    std::vector<Credentials>& rejected;
    const char* header;
    const char* applyFailed;
  };
  Side side(bool proxy);

  SentCredentials sentCredentials, sentProxyCredentials;
  std::vector<Credentials> rejectedCredentials, rejectedProxyCredentials;
  int automaticRetries = 0;       // challenges answered in a row without asking anyone
  int waitingForCredentials = 0;  // 1 server, 2 proxy: the delegate or dialog was asked

  // The message of this attempt.
  void setMessageHeader(std::string_view name, std::string_view value);
  bool messageHasHeader(std::string_view name) const;
  // The transfer: drop this attempt's exchange, send the message again, begin a whole new
  // attempt (the message is rebuilt), fail the request (first error wins), or hold it in
  // progress while someone is asked.
  void tearDown();
  void restartTransfer();
  void startNewAttempt();
  void fail(const Error& error);
  void waitForCredentials();
  // Who answers a request for credentials: the delegate that wants the question, else (with
  // no delegate) the queue that does, else the closure; nothing when none would.
  std::function<void(HTTPRequest&)> credentialsAnswerer(bool proxy) const;

 private:
  HTTPRequest& r;
};

}  // namespace est
