#include "http/authentication.h"

#include <algorithm>
#include <mutex>
#include <tuple>
#include <vector>

#include "http/authentication_state.h"
#include "http/credential_storage.h"
#include "http/http_request.h"
#include "http/support/main_mailbox.h"
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

// In order with the request's own callbacks, which take the same way.
void onMainLoop(std::function<void()> task) {
  if (RunLoop* main = RunLoop::main())
    runOnMainInOrder(*main, std::move(task));
  else
    task();
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

// ---- the steps, on the state the request keeps for its authenticator ----

struct StandardAuthenticator::Steps {
  using State = HTTPRequest::AuthenticationState;
  using Side = State::Side;

  static State& state(HTTPRequest& r) { return r.authenticationState(); }
  static Side side(HTTPRequest& r, bool proxy) { return state(r).side(proxy); }

  // A side that asked for Digest, or has answered a Digest challenge, never sends a password
  // in the clear: a Basic challenge after that is a downgrade.
  static bool asksForDigest(const Side& s) { return equalsIgnoringCase(s.scheme, "Digest"); }

  static HTTPRequestPtr self(HTTPRequest& r) {
    return std::static_pointer_cast<HTTPRequest>(r.shared_from_this());
  }

  // The request's own user name and password belong to the server the caller addressed:
  // after a redirect to another scheme, host or port they are not offered.
  static bool atOwnOrigin(const HTTPRequest& r) {
    std::optional<Url> url = r.url();
    if (!url) return false;
    std::optional<Url> base = r.redirectCount() == 0 ? url : r.originalURL();
    return base && sameOrigin(*base, *url);
  }

  static std::string target(const HTTPRequest& r) {
    std::optional<Url> url = r.url();
    return url ? url->requestTarget() : "/";
  }

  // Who asked for proxy credentials: the proxy in use, or else the server itself that
  // answered 407, so that such credentials are never offered to anyone else.
  static std::pair<std::string, int> proxyIdentity(const HTTPRequest& r) {
    std::string proxyHost = r.proxyHost();
    std::optional<Url> url = r.url();
    if (!proxyHost.empty() || !url) return {proxyHost, r.proxyPort()};
    return {url->host(), url->effectivePort()};
  }

  static CredentialKey storageKey(const HTTPRequest& r, bool proxy, const std::string& realm) {
    if (proxy) {
      auto [host, port] = proxyIdentity(r);
      return {host, port, "", realm, true};
    }
    std::optional<Url> url = r.url();
    return {url->host(), url->effectivePort(), url->scheme(), realm, false};
  }

  // Once the request has a reply, an entry with a realm must be for the request's realm. The
  // request is read before the store's lock is taken: its lock is never waited for under that.
  static std::function<bool(const SessionCredentials&)> realmMatcher(const HTTPRequest& r,
                                                                     bool proxy) {
    bool replied = r.responseStatusCode() != 0;
    std::string realm = proxy ? r.proxyAuthenticationRealm() : r.authenticationRealm();
    return [replied, realm](const SessionCredentials& e) {
      return !replied || e.authenticationRealm.empty() || e.authenticationRealm == realm;
    };
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
    if (proxy && r.proxyHost().empty()) return;
    std::optional<SessionCredentials> entry;
    if (r.useSessionPersistence()) entry = findSession(r, proxy);
    if (entry && asksForDigest(s) &&
        !(entry->authentication && equalsIgnoringCase(entry->authentication->scheme(), "Digest")))
      entry.reset();
    if (complete(s.username, s.password) && s.domain.empty() &&
        equalsIgnoringCase(s.scheme, "Basic") && (proxy || atOwnOrigin(r))) {
      if (auto v = BasicAuthentication::basicAuthorizationValue(s.username, s.password)) {
        state(r).setMessageHeader(s.header, *v);
        s.sent = {Credentials{s.username, s.password, ""}, s.realm};
      }
    }
    if (entry && !state(r).messageHasHeader(s.header) && !r.requestHeaders().contains(s.header)) {
      std::optional<std::string> v;
      if (!entry->authentication)
        v = BasicAuthentication::basicAuthorizationValue(entry->credentials.username,
                                                         entry->credentials.password);
      else
        v = entry->authentication->authorizationValue(entry->credentials, r.requestMethod(),
                                                      target(r));
      if (v) {
        state(r).setMessageHeader(s.header, *v);
        s.sent = {entry->credentials, entry->authenticationRealm};
      } else {
        removeFromSession(proxy, entry->credentials);
      }
    }
  }

  static bool applyCredentials(HTTPRequest& r, bool proxy, const Credentials& c) {
    Side s = side(r, proxy);
    ++s.retryCount;
    auto v = s.authentication->authorizationValue(c, r.requestMethod(), target(r));
    if (!v) {
      removeFromSession(proxy, c);
      return false;
    }
    state(r).setMessageHeader(s.header, *v);
    s.sent = {c, s.authentication->realm()};
    if (r.useCredentialStorage())
      CredentialStorage::shared()->save(storageKey(r, proxy, s.realm), c);
    if (r.useSessionPersistence()) {
      SessionCredentials e;
      e.authentication = s.authentication;
      e.credentials = c;
      e.authenticationScheme = s.scheme;
      e.authenticationRealm = s.realm;
      if (proxy) {
        std::tie(e.host, e.port) = proxyIdentity(r);
        HTTPRequest::storeProxyAuthenticationCredentialsInSessionStore(std::move(e));
      } else {
        e.url = r.url();
        HTTPRequest::storeAuthenticationCredentialsInSessionStore(std::move(e));
      }
    }
    s.credentials = c;
    return true;
  }

  static void applyAndRestart(HTTPRequest& r, bool proxy, const Credentials& c) {
    if (!applyCredentials(r, proxy, c)) {
      state(r).fail(
          makeRequestError(InternalErrorWhileApplyingCredentialsType, side(r, proxy).applyFailed));
      return;
    }
    state(r).restartTransfer();
  }

  static bool askDelegate(HTTPRequest& r, bool proxy) {
    if (!state(r).credentialsAnswerer(proxy)) return false;
    wait(r, proxy);
    onMainLoop([s = self(r), proxy] {
      // Asked again here: a delegate cleared meanwhile is not called.
      if (auto ask = s->authenticationState().credentialsAnswerer(proxy)) ask(*s);
    });
    return true;
  }

  static bool showDialog(HTTPRequest& r, bool proxy) {
    bool on =
        proxy ? r.shouldPresentProxyAuthenticationDialog() : r.shouldPresentAuthenticationDialog();
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
    State& st = state(r);
    st.waitingForCredentials = proxy ? 2 : 1;
    st.automaticRetries = 0;
    st.waitForCredentials();
  }

  // A session entry, then the credentials found for the request, else the delegate or the
  // dialog; credentials this request saw rejected are not tried again.
  static void findApplyOrAsk(HTTPRequest& r, bool proxy) {
    Side s = side(r, proxy);
    std::optional<Credentials> c;
    if (r.useSessionPersistence()) {
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
    state(r).fail(AuthenticationError());
  }

  static void forgetStored(HTTPRequest& r, bool proxy, const Credentials& bad,
                           const std::string& realm) {
    if (!r.useCredentialStorage() || (!proxy && !r.url())) return;
    auto storage = CredentialStorage::shared();
    CredentialKey key = storageKey(r, proxy, realm);
    if (auto stored = storage->find(key); stored && *stored == bad) storage->remove(key);
  }
};

// ---- the authenticator ----

void StandardAuthenticator::applyAuthorizationHeader(HTTPRequest& r) {
  Steps::State& st = Steps::state(r);
  st.sentCredentials = {};
  st.sentProxyCredentials = {};
  if (!r.shouldPresentCredentialsBeforeChallenge()) return;
  Steps::presentBeforeChallenge(r, false);
  Steps::presentBeforeChallenge(r, true);
}

void StandardAuthenticator::responseHeadersReceived(HTTPRequest& r) {
  Steps::state(r).automaticRetries = 0;
  Steps::Side s = Steps::side(r, false);
  if (s.authentication || !complete(s.username, s.password) || !r.useSessionPersistence() ||
      !Steps::atOwnOrigin(r) || Steps::asksForDigest(s))
    return;
  SessionCredentials e;
  e.credentials = {s.username, s.password, s.domain};
  e.url = r.url();
  e.authenticationScheme = "Basic";
  HTTPRequest::storeAuthenticationCredentialsInSessionStore(std::move(e));
}

bool StandardAuthenticator::attemptToApplyCredentialsAndResume(HTTPRequest& r, bool proxy) {
  if (r.error() || r.isCancelled()) return true;
  Steps::State& st = Steps::state(r);
  Steps::Side s = st.side(proxy);
  Error error;
  HTTPAuthenticationPtr fresh =
      authenticationFromResponseHeaders(r.responseHeaders(), proxy, &error);
  if (!fresh) {
    st.tearDown();
    st.fail(error);
    return true;
  }
  if (Steps::asksForDigest(s) && !equalsIgnoringCase(fresh->scheme(), "Digest")) {
    st.tearDown();
    st.fail(AuthenticationError());
    return true;
  }
  // A second challenge for the realm the credentials were just sent for means they were
  // refused; a stale nonce only means the same credentials go again with the new one.
  bool rejected = false;
  if (s.sent.credentials) {
    bool sameRealm = s.sent.realm.empty() || s.sent.realm == fresh->realm();
    rejected = ++st.automaticRetries > kMaxAutomaticRetries || (!fresh->isStale() && sameRealm);
  }
  s.authentication = fresh;
  s.scheme = fresh->scheme();
  if (!fresh->requiresAccountDomain()) s.realm = fresh->realm();
  st.tearDown();

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
    st.fail(AuthenticationError());
    return true;
  }
  Steps::findApplyOrAsk(r, proxy);
  return true;
}

void StandardAuthenticator::retryUsingSuppliedCredentials(HTTPRequest& r) {
  Steps::State& st = Steps::state(r);
  if (r.isCancelled() || r.error() || r.isFinished() || !st.waitingForCredentials) return;
  bool proxy = st.waitingForCredentials == 2;
  st.waitingForCredentials = 0;
  Steps::Side s = st.side(proxy);
  if (!s.authentication) {  // the URL changed while the question was out: start afresh
    st.startNewAttempt();
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
  if (r.isCancelled() || r.error() || r.isFinished() || !r.inProgress()) return;
  Steps::State& st = Steps::state(r);
  st.waitingForCredentials = 0;
  st.tearDown();
  st.fail(AuthenticationError());
}

std::optional<Credentials> StandardAuthenticator::findCredentials(HTTPRequest& r,
                                                                  const HTTPAuthentication& auth) {
  std::string user, password;
  std::optional<Url> url = r.url();
  Steps::Side own = Steps::side(r, false);
  if (url && complete(url->user(), url->password())) {
    user = url->user();
    password = url->password();
  } else if (auto main = r.mainRequest(); main && complete(main->username(), main->password())) {
    user = main->username();
    password = main->password();
  } else if (complete(own.username, own.password) && Steps::atOwnOrigin(r)) {
    user = own.username;
    password = own.password;
  } else if (r.useCredentialStorage() && url) {
    if (auto stored =
            CredentialStorage::shared()->find(Steps::storageKey(r, false, auth.realm()))) {
      user = stored->username;
      password = stored->password;
    }
  }
  if (!complete(user, password)) return std::nullopt;
  Credentials c{user, password, ""};
  if (auth.requiresAccountDomain()) {
    c.domain = own.domain;
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
  Steps::Side own = Steps::side(r, true);
  if (auto main = r.mainRequest(); main && complete(main->proxyUsername(), main->proxyPassword())) {
    user = main->proxyUsername();
    password = main->proxyPassword();
  } else if (complete(own.username, own.password)) {
    user = own.username;
    password = own.password;
  } else if (r.useCredentialStorage()) {
    if (auto stored = CredentialStorage::shared()->find(Steps::storageKey(r, true, auth.realm()))) {
      user = stored->username;
      password = stored->password;
    }
  }
  if (!complete(user, password)) return std::nullopt;
  Credentials c{user, password, ""};
  if (auth.requiresAccountDomain()) {
    c.domain = own.domain;
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
  std::optional<Url> url = r.url();
  if (!url) return std::nullopt;
  auto matches = Steps::realmMatcher(r, false);
  auto& g = authGlobals();
  std::lock_guard lock(g.sessionCredentialsLock);
  for (auto& e : g.sessionCredentialsStore)
    if (e.url && *e.url == *url && matches(e)) return e;
  for (auto& e : g.sessionCredentialsStore)
    if (e.url && e.url->host() == url->host() && e.url->port() == url->port() &&
        e.url->scheme() == url->scheme() && matches(e))
      return e;
  return std::nullopt;
}

std::optional<SessionCredentials> StandardAuthenticator::findSessionProxyAuthenticationCredentials(
    HTTPRequest& r) {
  auto [host, port] = Steps::proxyIdentity(r);
  auto matches = Steps::realmMatcher(r, true);
  auto& g = authGlobals();
  std::lock_guard lock(g.sessionCredentialsLock);
  for (auto& e : g.sessionProxyCredentialsStore)
    if (e.host == host && e.port == port && matches(e)) return e;
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
