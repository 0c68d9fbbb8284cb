#include "http/authentication.h"

#include <algorithm>
#include <mutex>
#include <tuple>
#include <vector>

#include "http/credential_storage.h"
#include "http/http_request.h"
#include "platform/run_loop.h"

namespace est {

namespace {

struct AuthGlobals {
  std::recursive_mutex sessionCredentialsLock;
  std::vector<SessionCredentials> sessionCredentialsStore;
  std::vector<SessionCredentials> sessionProxyCredentialsStore;
  // Held while a request looks for credentials or asks for them, so that requests
  // challenged together search and ask one at a time.
  std::recursive_mutex delegateAuthenticationLock;
  std::mutex dialogLock;
  HTTPRequest::AuthenticationDialogPresenter dialog;
};

AuthGlobals& authGlobals() {
  static auto* g = new AuthGlobals;  // used by the network thread until the process ends
  return *g;
}

void onMainLoop(std::function<void()> task) {
  RunLoop* main = RunLoop::main();
  if (!main || main->isLoopThread())
    task();
  else
    main->post(std::move(task));
}

bool contains(const std::vector<Credentials>& list, const Credentials& c) {
  return std::find(list.begin(), list.end(), c) != list.end();
}

bool complete(const std::string& user, const std::string& password) {
  return !user.empty() && !password.empty();
}

// Challenges answered in a row without anyone being asked: a server that keeps calling its
// nonce stale, or keeps switching realms, would otherwise be answered for ever.
constexpr int kMaxAutomaticRetries = 4;

}  // namespace

bool sameOrigin(const Url& a, const Url& b) {
  return a.scheme() == b.scheme() && a.host() == b.host() && a.effectivePort() == b.effectivePort();
}

std::shared_ptr<HTTPRequestAuthenticator> makeStandardAuthenticator() {
  return std::make_shared<StandardAuthenticator>();
}

// ---- the steps, with access to the request's fields ----

struct StandardAuthenticator::Steps {
  // The server or the proxy half of a request's authentication fields.
  struct Side {
    bool proxy;
    std::string& username;
    std::string& password;
    std::string& domain;
    HTTPAuthenticationPtr& authentication;
    std::optional<Credentials>& credentials;
    std::string& scheme;
    std::string& realm;
    int& retryCount;
    HTTPRequest::SentCredentials& sent;
    std::vector<Credentials>& rejected;
    const char* header;
    const char* applyFailed;
  };

  static Side side(HTTPRequest& r, bool proxy) {
    if (!proxy)
      return {false,
              r.username_,
              r.password_,
              r.domain_,
              r.requestAuthentication_,
              r.requestCredentials_,
              r.authenticationScheme_,
              r.authenticationRealm_,
              r.authenticationRetryCount_,
              r.sentCredentials_,
              r.rejectedCredentials_,
              "Authorization",
              "Failed to apply credentials to request"};
    return {true,
            r.proxyUsername_,
            r.proxyPassword_,
            r.proxyDomain_,
            r.proxyAuthentication_,
            r.proxyCredentials_,
            r.proxyAuthenticationScheme_,
            r.proxyAuthenticationRealm_,
            r.proxyAuthenticationRetryCount_,
            r.sentProxyCredentials_,
            r.rejectedProxyCredentials_,
            "Proxy-Authorization",
            "Failed to apply proxy credentials to request"};
  }

  // A side that asked for Digest, or has answered a Digest challenge, never sends a password
  // in the clear: a Basic challenge after that is a downgrade.
  static bool asksForDigest(const Side& s) { return equalsIgnoringCase(s.scheme, "Digest"); }

  static HTTPRequestPtr self(HTTPRequest& r) {
    return std::static_pointer_cast<HTTPRequest>(r.shared_from_this());
  }

  // The request's own user name and password belong to the server the caller addressed:
  // after a redirect to another scheme, host or port they are not offered.
  static bool atOwnOrigin(const HTTPRequest& r) {
    if (!r.url_) return false;
    const std::optional<Url>& base = r.redirectCount_ == 0 ? r.url_ : r.originalURL_;
    return base && sameOrigin(*base, *r.url_);
  }

  static std::string target(const HTTPRequest& r) { return r.url_ ? r.url_->requestTarget() : "/"; }

  // Who asked for proxy credentials: the proxy in use, or else the server itself that
  // answered 407, so that such credentials are never offered to anyone else.
  static std::pair<std::string, int> proxyIdentity(const HTTPRequest& r) {
    if (!r.proxyHost_.empty() || !r.url_) return {r.proxyHost_, r.proxyPort_};
    return {r.url_->host(), r.url_->effectivePort()};
  }

  static CredentialKey storageKey(const HTTPRequest& r, bool proxy, const std::string& realm) {
    if (proxy) {
      auto [host, port] = proxyIdentity(r);
      return {host, port, "", realm, true};
    }
    return {r.url_->host(), r.url_->effectivePort(), r.url_->scheme(), realm, false};
  }

  static bool realmMatches(const HTTPRequest& r, const SessionCredentials& e, bool proxy) {
    if (r.responseStatusCode_ == 0 || e.authenticationRealm.empty()) return true;
    return e.authenticationRealm == (proxy ? r.proxyAuthenticationRealm_ : r.authenticationRealm_);
  }

  static void removeFromSession(bool proxy, const Credentials& c) {
    if (proxy)
      HTTPRequest::removeProxyAuthenticationCredentialsFromSessionStore(c);
    else
      HTTPRequest::removeAuthenticationCredentialsFromSessionStore(c);
  }

  static std::optional<SessionCredentials> findSession(HTTPRequest& r, bool proxy) {
    return proxy ? findSessionProxyAuthenticationCredentials(r)
                 : findSessionAuthenticationCredentials(r);
  }

  // Before any challenge.
  static void presentBeforeChallenge(HTTPRequest& r, bool proxy) {
    Side s = side(r, proxy);
    // Proxy credentials go out unasked only to a proxy actually in use.
    if (proxy && r.proxyHost_.empty()) return;
    std::optional<SessionCredentials> entry;
    if (r.useSessionPersistence_) entry = findSession(r, proxy);
    if (entry && asksForDigest(s) &&
        !(entry->authentication && equalsIgnoringCase(entry->authentication->scheme(), "Digest")))
      entry.reset();
    if (complete(s.username, s.password) && s.domain.empty() &&
        equalsIgnoringCase(s.scheme, "Basic") && (proxy || atOwnOrigin(r))) {
      if (auto v = BasicAuthentication::basicAuthorizationValue(s.username, s.password)) {
        r.authSetMessageHeader(s.header, *v);
        s.sent = {Credentials{s.username, s.password, ""}, s.realm};
      }
    }
    if (entry && !r.authMessageHasHeader(s.header) && !r.requestHeaders_.contains(s.header)) {
      std::optional<std::string> v;
      if (!entry->authentication)
        v = BasicAuthentication::basicAuthorizationValue(entry->credentials.username,
                                                         entry->credentials.password);
      else
        v = entry->authentication->authorizationValue(entry->credentials, r.requestMethod_,
                                                      target(r));
      if (v) {
        r.authSetMessageHeader(s.header, *v);
        s.sent = {entry->credentials, entry->authenticationRealm};
      } else {
        removeFromSession(proxy, entry->credentials);
      }
    }
  }

  static bool applyCredentials(HTTPRequest& r, bool proxy, const Credentials& c) {
    Side s = side(r, proxy);
    ++s.retryCount;
    auto v = s.authentication->authorizationValue(c, r.requestMethod_, target(r));
    if (!v) {
      removeFromSession(proxy, c);
      return false;
    }
    r.authSetMessageHeader(s.header, *v);
    s.sent = {c, s.authentication->realm()};
    if (r.useCredentialStorage_)
      CredentialStorage::shared()->save(storageKey(r, proxy, s.realm), c);
    if (r.useSessionPersistence_) {
      SessionCredentials e;
      e.authentication = s.authentication;
      e.credentials = c;
      e.authenticationScheme = s.scheme;
      e.authenticationRealm = s.realm;
      if (proxy) {
        std::tie(e.host, e.port) = proxyIdentity(r);
        HTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(std::move(e));
      } else {
        e.url = r.url_;
        HTTPRequest::storeAuthenticationCredentialsInSessionStore(std::move(e));
      }
    }
    s.credentials = c;
    return true;
  }

  static void applyAndRestart(HTTPRequest& r, bool proxy, const Credentials& c) {
    if (!applyCredentials(r, proxy, c)) {
      r.authFail(
          makeRequestError(InternalErrorWhileApplyingCredentialsType, side(r, proxy).applyFailed));
      return;
    }
    r.authRestartTransfer();
  }

  static bool askDelegate(HTTPRequest& r, bool proxy) {
    auto answerer = [proxy](HTTPRequest& q) -> std::function<void(HTTPRequest&)> {
      std::lock_guard lock(q.callbackLock_);
      HTTPRequestDelegate* d = q.delegate_;
      if (d && (proxy ? d->wantsProxyAuthenticationNeeded() : d->wantsAuthenticationNeeded())) {
        if (proxy) return [d](HTTPRequest& x) { d->proxyAuthenticationNeededForRequest(x); };
        return [d](HTTPRequest& x) { d->authenticationNeededForRequest(x); };
      }
      auto queue = q.queue_;
      if (!d && queue &&
          (proxy ? queue->wantsProxyAuthenticationNeeded() : queue->wantsAuthenticationNeeded())) {
        if (proxy)
          return [queue](HTTPRequest& x) { queue->proxyAuthenticationNeededForRequest(x); };
        return [queue](HTTPRequest& x) { queue->authenticationNeededForRequest(x); };
      }
      return proxy ? q.proxyAuthenticationNeededBlock_ : q.authenticationNeededBlock_;
    };
    if (!answerer(r)) return false;
    wait(r, proxy);
    onMainLoop([s = self(r), answerer] {
      // Asked again here: a delegate cleared meanwhile is not called.
      if (auto ask = answerer(*s)) ask(*s);
    });
    return true;
  }

  static bool showDialog(HTTPRequest& r, bool proxy) {
    bool on =
        proxy ? r.shouldPresentProxyAuthenticationDialog_ : r.shouldPresentAuthenticationDialog_;
    HTTPRequest::AuthenticationDialogPresenter present;
    {
      std::lock_guard lock(authGlobals().dialogLock);
      present = authGlobals().dialog;
    }
    if (!on || !present) return false;
    wait(r, proxy);
    onMainLoop([s = self(r), proxy, present] { present(s, proxy); });
    return true;
  }

  static void wait(HTTPRequest& r, bool proxy) {
    r.waitingForCredentials_ = proxy ? 2 : 1;
    r.automaticRetries_ = 0;
    r.authWaitForCredentials();
  }

  // A session entry, then the credentials found for the request, else the delegate or the
  // dialog; credentials this request saw rejected are not tried again.
  static void findApplyOrAsk(HTTPRequest& r, bool proxy) {
    Side s = side(r, proxy);
    std::optional<Credentials> c;
    if (r.useSessionPersistence_) {
      if (auto e = findSession(r, proxy); e && !contains(s.rejected, e->credentials))
        c = e->credentials;
    }
    if (!c) {
      auto found = proxy ? findProxyCredentials(r, *s.authentication)
                         : findCredentials(r, *s.authentication);
      if (found && !contains(s.rejected, *found)) c = found;
    }
    if (c) {
      applyAndRestart(r, proxy, *c);
      return;
    }
    if (askDelegate(r, proxy) || showDialog(r, proxy)) return;
    r.authFail(AuthenticationError());
  }

  static void forgetStored(HTTPRequest& r, bool proxy, const Credentials& bad,
                           const std::string& realm) {
    if (!r.useCredentialStorage_ || (!proxy && !r.url_)) return;
    auto storage = CredentialStorage::shared();
    CredentialKey key = storageKey(r, proxy, realm);
    if (auto stored = storage->find(key); stored && *stored == bad) storage->remove(key);
  }
};

// ---- the authenticator ----

void StandardAuthenticator::applyAuthorizationHeader(HTTPRequest& r) {
  r.sentCredentials_ = {};
  r.sentProxyCredentials_ = {};
  if (!r.shouldPresentCredentialsBeforeChallenge_) return;
  Steps::presentBeforeChallenge(r, false);
  Steps::presentBeforeChallenge(r, true);
}

void StandardAuthenticator::responseHeadersReceived(HTTPRequest& r) {
  r.automaticRetries_ = 0;
  if (r.requestAuthentication_ || !complete(r.username_, r.password_) ||
      !r.useSessionPersistence_ || !Steps::atOwnOrigin(r) ||
      Steps::asksForDigest(Steps::side(r, false)))
    return;
  SessionCredentials e;
  e.credentials = {r.username_, r.password_, r.domain_};
  e.url = r.url_;
  e.authenticationScheme = "Basic";
  HTTPRequest::storeAuthenticationCredentialsInSessionStore(std::move(e));
}

bool StandardAuthenticator::attemptToApplyCredentialsAndResume(HTTPRequest& r, bool proxy) {
  if (r.error_ || r.cancelled_) return true;
  Steps::Side s = Steps::side(r, proxy);
  Error error;
  HTTPAuthenticationPtr fresh =
      authenticationFromResponseHeaders(r.responseHeaders_, proxy, &error);
  if (!fresh) {
    r.authTearDown();
    r.authFail(error);
    return true;
  }
  if (Steps::asksForDigest(s) && !equalsIgnoringCase(fresh->scheme(), "Digest")) {
    r.authTearDown();
    r.authFail(AuthenticationError());
    return true;
  }
  // A second challenge for the realm the credentials were just sent for means they were
  // refused; a stale nonce only means the same credentials go again with the new one.
  bool rejected = false;
  if (s.sent.credentials) {
    bool sameRealm = s.sent.realm.empty() || s.sent.realm == fresh->realm();
    rejected = ++r.automaticRetries_ > kMaxAutomaticRetries || (!fresh->isStale() && sameRealm);
  }
  s.authentication = fresh;
  s.scheme = fresh->scheme();
  if (!fresh->requiresAccountDomain()) s.realm = fresh->realm();
  r.authTearDown();

  std::lock_guard lock(authGlobals().delegateAuthenticationLock);
  if (rejected) {
    Credentials bad = *s.sent.credentials;
    Steps::removeFromSession(proxy, bad);
    Steps::forgetStored(r, proxy, bad, s.sent.realm);
    s.credentials.reset();
    if (!contains(s.rejected, bad)) s.rejected.push_back(bad);
    Steps::findApplyOrAsk(r, proxy);
    return true;
  }
  if (s.credentials) {
    Steps::applyAndRestart(r, proxy, *s.credentials);
    return true;
  }
  if (!fresh->requiresUserNameAndPassword()) {
    r.authFail(AuthenticationError());
    return true;
  }
  Steps::findApplyOrAsk(r, proxy);
  return true;
}

void StandardAuthenticator::retryUsingSuppliedCredentials(HTTPRequest& r) {
  if (r.cancelled_ || r.error_ || r.finished_ || !r.waitingForCredentials_) return;
  bool proxy = r.waitingForCredentials_ == 2;
  r.waitingForCredentials_ = 0;
  Steps::Side s = Steps::side(r, proxy);
  if (!s.authentication) {  // the URL changed while the question was out: start afresh
    r.authStartNewAttempt();
    return;
  }
  std::lock_guard lock(authGlobals().delegateAuthenticationLock);
  // What the caller just set answers this challenge, even where it failed before.
  if (complete(s.username, s.password)) {
    Credentials c{s.username, s.password, s.domain};
    std::erase(s.rejected, c);
    Steps::applyAndRestart(r, proxy, c);
    return;
  }
  Steps::findApplyOrAsk(r, proxy);
}

void StandardAuthenticator::failAuthentication(HTTPRequest& r) {
  if (r.cancelled_ || r.error_ || r.finished_ || !r.inProgress_) return;
  r.waitingForCredentials_ = 0;
  r.authTearDown();
  r.authFail(AuthenticationError());
}

std::optional<Credentials> StandardAuthenticator::findCredentials(HTTPRequest& r,
                                                                  const HTTPAuthentication& auth) {
  std::string user, password;
  if (r.url_ && complete(r.url_->user(), r.url_->password())) {
    user = r.url_->user();
    password = r.url_->password();
  } else if (auto main = r.mainRequest_.lock();
             main && complete(main->username(), main->password())) {
    user = main->username();
    password = main->password();
  } else if (complete(r.username_, r.password_) && Steps::atOwnOrigin(r)) {
    user = r.username_;
    password = r.password_;
  } else if (r.useCredentialStorage_ && r.url_) {
    if (auto stored =
            CredentialStorage::shared()->find(Steps::storageKey(r, false, auth.realm()))) {
      user = stored->username;
      password = stored->password;
    }
  }
  if (!complete(user, password)) return std::nullopt;
  Credentials c{user, password, ""};
  if (auth.requiresAccountDomain()) {
    c.domain = r.domain_;
    if (c.domain.empty() && std::count(user.begin(), user.end(), '\\') == 1) {
      auto slash = user.find('\\');
      c.domain = user.substr(0, slash);
      c.username = user.substr(slash + 1);
    }
  }
  return c;
}

std::optional<Credentials> StandardAuthenticator::findProxyCredentials(
    HTTPRequest& r, const HTTPAuthentication& auth) {
  std::string user, password;
  if (auto main = r.mainRequest_.lock();
      main && complete(main->proxyUsername(), main->proxyPassword())) {
    user = main->proxyUsername();
    password = main->proxyPassword();
  } else if (complete(r.proxyUsername_, r.proxyPassword_)) {
    user = r.proxyUsername_;
    password = r.proxyPassword_;
  } else if (r.useCredentialStorage_) {
    if (auto stored = CredentialStorage::shared()->find(Steps::storageKey(r, true, auth.realm()))) {
      user = stored->username;
      password = stored->password;
    }
  }
  if (!complete(user, password)) return std::nullopt;
  Credentials c{user, password, ""};
  if (auth.requiresAccountDomain()) {
    c.domain = r.proxyDomain_;
    if (c.domain.empty() && std::count(user.begin(), user.end(), '\\') == 1) {
      auto slash = user.find('\\');
      c.domain = user.substr(0, slash);
      c.username = user.substr(slash + 1);
    }
  }
  return c;
}

std::optional<SessionCredentials> StandardAuthenticator::findSessionAuthenticationCredentials(
    HTTPRequest& r) {
  if (!r.url_) return std::nullopt;
  auto& g = authGlobals();
  std::lock_guard lock(g.sessionCredentialsLock);
  const Url& url = *r.url_;
  for (auto& e : g.sessionCredentialsStore)
    if (e.url && *e.url == url && Steps::realmMatches(r, e, false)) return e;
  for (auto& e : g.sessionCredentialsStore)
    if (e.url && e.url->host() == url.host() && e.url->port() == url.port() &&
        e.url->scheme() == url.scheme() && Steps::realmMatches(r, e, false))
      return e;
  return std::nullopt;
}

std::optional<SessionCredentials> StandardAuthenticator::findSessionProxyAuthenticationCredentials(
    HTTPRequest& r) {
  auto [host, port] = Steps::proxyIdentity(r);
  auto& g = authGlobals();
  std::lock_guard lock(g.sessionCredentialsLock);
  for (auto& e : g.sessionProxyCredentialsStore)
    if (e.host == host && e.port == port && Steps::realmMatches(r, e, true)) return e;
  return std::nullopt;
}

// ---- HTTPRequest's side ----

void HTTPRequest::retryUsingSuppliedCredentials() {
  authPerformOnRequestThread(
      [this] { StandardAuthenticator::retryUsingSuppliedCredentials(*this); });
}

void HTTPRequest::cancelAuthentication() {
  authPerformOnRequestThread([this] { StandardAuthenticator::failAuthentication(*this); });
}

void HTTPRequest::addBasicAuthenticationHeaderWithUsername(std::string_view username,
                                                           std::string_view password) {
  std::string joined;
  joined.append(username).append(":").append(password);
  addRequestHeader("Authorization", "Basic " + base64Encode(joined));
}

std::string HTTPRequest::base64forData(const Data& bytes) {
  return base64Encode(bytes);
}

void HTTPRequest::setPresentAuthenticationDialog(AuthenticationDialogPresenter presenter) {
  std::lock_guard lock(authGlobals().dialogLock);
  authGlobals().dialog = std::move(presenter);
}

std::vector<SessionCredentials> HTTPRequest::sessionCredentialsStore() {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  return authGlobals().sessionCredentialsStore;
}

std::vector<SessionCredentials> HTTPRequest::sessionProxyCredentialsStore() {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  return authGlobals().sessionProxyCredentialsStore;
}

void HTTPRequest::storeAuthenticationCredentialsInSessionStore(SessionCredentials entry) {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  auto& store = authGlobals().sessionCredentialsStore;
  std::erase_if(store,
                [&](const SessionCredentials& e) { return e.credentials == entry.credentials; });
  store.push_back(std::move(entry));
}

void HTTPRequest::removeAuthenticationCredentialsFromSessionStore(const Credentials& credentials) {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  std::erase_if(authGlobals().sessionCredentialsStore,
                [&](const SessionCredentials& e) { return e.credentials == credentials; });
}

void HTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(SessionCredentials entry) {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  auto& store = authGlobals().sessionProxyCredentialsStore;
  std::erase_if(store,
                [&](const SessionCredentials& e) { return e.credentials == entry.credentials; });
  store.push_back(std::move(entry));
}

void HTTPRequest::removeProxyAuthenticationCredentialsFromSessionStore(
    const Credentials& credentials) {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  std::erase_if(authGlobals().sessionProxyCredentialsStore,
                [&](const SessionCredentials& e) { return e.credentials == credentials; });
}

void HTTPRequest::clearSessionCredentials() {
  std::lock_guard lock(authGlobals().sessionCredentialsLock);
  authGlobals().sessionCredentialsStore.clear();
  authGlobals().sessionProxyCredentialsStore.clear();
}

bool HTTPRequest::saveCredentials(const Credentials& credentials, const std::string& host, int port,
                                  const std::string& protocol, const std::string& realm) {
  return CredentialStorage::shared()->save({host, port, protocol, realm, false}, credentials);
}

std::optional<Credentials> HTTPRequest::savedCredentialsForHost(const std::string& host, int port,
                                                                const std::string& protocol,
                                                                const std::string& realm) {
  return CredentialStorage::shared()->find({host, port, protocol, realm, false});
}

void HTTPRequest::removeCredentialsForHost(const std::string& host, int port,
                                           const std::string& protocol, const std::string& realm) {
  CredentialStorage::shared()->remove({host, port, protocol, realm, false});
}

bool HTTPRequest::saveCredentialsForProxy(const Credentials& credentials, const std::string& host,
                                          int port, const std::string& realm) {
  return CredentialStorage::shared()->save({host, port, "", realm, true}, credentials);
}

std::optional<Credentials> HTTPRequest::savedCredentialsForProxy(const std::string& host, int port,
                                                                 const std::string& realm) {
  return CredentialStorage::shared()->find({host, port, "", realm, true});
}

void HTTPRequest::removeCredentialsForProxy(const std::string& host, int port,
                                            const std::string& realm) {
  CredentialStorage::shared()->remove({host, port, "", realm, true});
}

}  // namespace est
