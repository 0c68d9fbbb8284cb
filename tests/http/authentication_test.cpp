// Requests answering 401 and 407 challenges against the scripted server.
#include "http/authentication.h"

#include <gtest/gtest.h>

#include "http/credential_storage.h"
#include "http/digest_auth.h"
#include "http/network_queue.h"
#include "http/support/digest_server.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

const std::string kUserPass = "Basic dXNlcjpwYXNz";  // user:pass

// Answers 401 unless the request carries `expected` in `header`.
TestServer::Script guarded(std::string expected, std::string realm = "est",
                           std::string header = "Authorization", int status = 401,
                           std::string body = "secret") {
  return [=](ServerConnection& c) {
    std::string challenge = status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate";
    while (auto req = c.readRequest()) {
      if (req->header(header) == expected)
        c.sendResponse(200, body);
      else
        c.sendResponse(status, "denied", challenge + ": Basic realm=\"" + realm + "\"\r\n",
                       status == 401 ? "Unauthorized" : "Proxy Authentication Required");
    }
  };
}

// A delegate that can be asked for credentials.
class AuthDelegate : public RecordingDelegate {
 public:
  bool wantsAuthenticationNeeded() const override { return answersServer; }
  bool wantsProxyAuthenticationNeeded() const override { return answersProxy; }
  void authenticationNeededForRequest(HTTPRequest& r) override {
    ++asked;
    storeSizeWhenAsked = HTTPRequest::sessionCredentialsStore().size();
    if (answer) answer(r);
  }
  void proxyAuthenticationNeededForRequest(HTTPRequest& r) override {
    ++askedProxy;
    if (answer) answer(r);
  }
  bool answersServer = true;
  bool answersProxy = false;
  int asked = 0;
  int askedProxy = 0;
  size_t storeSizeWhenAsked = 99;
  std::function<void(HTTPRequest&)> answer;
};

class AuthTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    storage = std::make_shared<MemoryCredentialStorage>();
    CredentialStorage::setShared(storage);
  }
  void TearDown() override {
    HTTPRequest::setPresentAuthenticationDialog(nullptr);
    CredentialStorage::setShared(nullptr);
    HttpRequestTest::TearDown();
  }
  static std::string withUser(const TestServer& s, const std::string& userInfo,
                              const std::string& path = "/private") {
    return "http://" + userInfo + "@127.0.0.1:" + std::to_string(s.port()) + path;
  }
  std::shared_ptr<MemoryCredentialStorage> storage;
};

TEST_F(AuthTest, UrlCredentialsAnswerAChallengeAndAreThenSentBeforeOne) {
  TestServer server(guarded(kUserPass));
  std::string url = withUser(server, "user:pass");
  auto r = HTTPRequest::requestWithURL(url);
  RecordingDelegate d;
  run(r, d);
  ASSERT_EQ(d.finished, 1);
  EXPECT_EQ(r->responseStatusCode(), 200);
  EXPECT_EQ(*r->responseString(), "secret");
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_FALSE(reqs[0].hasHeader("Authorization"));
  EXPECT_EQ(reqs[1].header("Authorization"), kUserPass);
  EXPECT_EQ(r->authenticationScheme(), "Basic");
  EXPECT_EQ(r->authenticationRealm(), "est");
  EXPECT_EQ(r->authenticationRetryCount(), 1);
  EXPECT_EQ(r->requestCredentials()->username, "user");
  EXPECT_EQ(server.connectionCount(), 1) << "the challenge's connection is reused";

  auto store = HTTPRequest::sessionCredentialsStore();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store[0].url->absoluteString(), url);
  EXPECT_EQ(store[0].credentials.password, "pass");
  EXPECT_EQ(store[0].authenticationRealm, "est");

  auto again = HTTPRequest::requestWithURL(url);
  RecordingDelegate d2;
  run(again, d2);
  EXPECT_EQ(d2.finished, 1);
  ASSERT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(server.requests()[2].header("Authorization"), kUserPass);

  // Same scheme, host and port, another path, no user in the URL: still sent unasked.
  auto sibling = HTTPRequest::requestWithURL(server.url("/other"));
  RecordingDelegate d3;
  run(sibling, d3);
  EXPECT_EQ(d3.finished, 1);
  EXPECT_EQ(server.requestCount(), 4u);

  // Turned off, nothing goes out before the challenge.
  auto shy = HTTPRequest::requestWithURL(url);
  shy->setShouldPresentCredentialsBeforeChallenge(false);
  RecordingDelegate d4;
  run(shy, d4);
  EXPECT_EQ(d4.finished, 1);
  reqs = server.requests();
  ASSERT_EQ(reqs.size(), 6u);
  EXPECT_FALSE(reqs[4].hasHeader("Authorization"));
}

TEST_F(AuthTest, ADelegateTakingTheBodyNeverSeesTheChallengePage) {
  TestServer server(guarded(kUserPass));
  auto r = HTTPRequest::requestWithURL(withUser(server, "user:pass"));
  RecordingDelegate d;
  d.takeData = true;
  run(r, d);
  ASSERT_EQ(d.finished, 1);
  EXPECT_EQ(toString(d.data), "secret");
}

TEST_F(AuthTest, WithoutCredentialsOrSomeoneToAskTheRequestFailsWithCode3) {
  TestServer server(guarded(kUserPass));
  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  RecordingDelegate d;
  run(r, d);
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.finished, 0);
  EXPECT_EQ(d.lastError->domain, "HTTPRequestErrorDomain");
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_EQ(d.lastError->description, "Authentication needed");
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(r->responseStatusCode(), 401);

  // Wrong credentials in the URL: tried once, then the same failure.
  auto wrong = HTTPRequest::requestWithURL(withUser(server, "user:nope"));
  RecordingDelegate d2;
  run(wrong, d2);
  ASSERT_EQ(d2.failed, 1);
  EXPECT_EQ(d2.lastError->code, 3);
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_TRUE(HTTPRequest::sessionCredentialsStore().empty()) << "refused credentials are dropped";
}

TEST_F(AuthTest, RefusedSessionCredentialsAreRemovedBeforeTheDelegateIsAsked) {
  TestServer server(guarded(kUserPass));
  SessionCredentials stale;
  stale.credentials = {"user", "old", ""};
  stale.url = Url::parse(server.url("/private"));
  stale.authenticationScheme = "Basic";
  stale.authenticationRealm = "est";
  HTTPRequest::storeAuthenticationCredentialsInSessionStore(stale);

  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  AuthDelegate d;
  d.answer = [](HTTPRequest& q) {
    q.setUsername("user");
    q.setPassword("pass");
    q.retryUsingSuppliedCredentials();
  };
  run(r, d);
  ASSERT_EQ(d.finished, 1) << (d.lastError ? d.lastError->description : "");
  EXPECT_EQ(d.asked, 1);
  EXPECT_EQ(d.storeSizeWhenAsked, 0u);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].header("Authorization"), "Basic dXNlcjpvbGQ=");  // user:old, unasked
  EXPECT_EQ(reqs[1].header("Authorization"), kUserPass);
  auto store = HTTPRequest::sessionCredentialsStore();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store[0].credentials.password, "pass");
}

TEST_F(AuthTest, TheDelegateMayTryAgainOrGiveUp) {
  TestServer server(guarded(kUserPass));
  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  AuthDelegate d;
  d.answer = [&d](HTTPRequest& q) {
    if (d.asked == 1) {
      q.setUsername("user");
      q.setPassword("wrong");
      q.retryUsingSuppliedCredentials();
    } else {
      q.cancelAuthentication();
    }
  };
  run(r, d);
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.asked, 2);
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_EQ(d.lastError->description, "Authentication needed");
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(r->authenticationRetryCount(), 1);
}

TEST_F(AuthTest, MalformedChallengesFailWithCode7AndOtherSchemesWithCode3) {
  std::string header;
  TestServer server([&header](ServerConnection& c) {
    while (auto req = c.readRequest()) c.sendResponse(401, "no", header, "Unauthorized");
  });
  struct Case {
    std::string header;
    int code;
  };
  for (const Case& k : {Case{"WWW-Authenticate: Digest realm=\"x\"\r\n", 7},
                        Case{"WWW-Authenticate: Basic realm=\"broken\r\n", 7}, Case{"", 7},
                        Case{"WWW-Authenticate: NTLM\r\nWWW-Authenticate: Negotiate\r\n", 3}}) {
    header = k.header;
    auto r = HTTPRequest::requestWithURL(withUser(server, "user:pass"));
    RecordingDelegate d;
    run(r, d);
    ASSERT_EQ(d.failed, 1) << k.header;
    EXPECT_EQ(d.lastError->code, k.code) << k.header;
    if (k.code == 7) {
      EXPECT_EQ(d.lastError->description,
                "Failed to get authentication object from response headers");
    }
  }
}

// ---- Digest against a server that checks every answer itself ----

TEST_F(AuthTest, DigestIsPreferredCountsNoncesAndSurvivesAStaleNonce) {
  DigestServer ds;
  ds.staleLeft = 1;
  TestServer server(ds.script());
  auto r = HTTPRequest::requestWithURL(server.url("/d?x=1"));
  r->setUsername("alice");
  r->setPassword("s3cret");
  RecordingDelegate d;
  run(r, d);
  ASSERT_EQ(d.finished, 1) << (d.lastError ? d.lastError->description : "");
  EXPECT_EQ(*r->responseString(), "digest ok");
  EXPECT_EQ(r->authenticationScheme(), "Digest");
  {
    std::lock_guard l(ds.lock);
    ASSERT_EQ(ds.answers.size(), 2u);
    EXPECT_TRUE(ds.verified[0]);
    EXPECT_EQ(ds.answers[0]["nonce"], "n1");
    EXPECT_EQ(ds.answers[0]["nc"], "00000001");
    EXPECT_EQ(ds.answers[1]["nonce"], "n2");  // the same credentials, the new nonce
    EXPECT_EQ(ds.answers[1]["nc"], "00000001");
    EXPECT_TRUE(ds.verified[1]);
    EXPECT_EQ(ds.answers[0]["uri"], "/d?x=1");
    EXPECT_EQ(ds.answers[0]["cnonce"].size(), 32u);
    EXPECT_NE(ds.answers[0]["cnonce"], ds.answers[1]["cnonce"]);
  }
  ASSERT_EQ(HTTPRequest::sessionCredentialsStore().size(), 1u);
  EXPECT_EQ(HTTPRequest::sessionCredentialsStore()[0].authenticationScheme, "Digest");

  // The next request answers before being asked, with the next nonce count.
  auto next = HTTPRequest::requestWithURL(server.url("/d?x=1"));
  RecordingDelegate d2;
  run(next, d2);
  ASSERT_EQ(d2.finished, 1);
  EXPECT_EQ(server.requestCount(), 4u);
  std::lock_guard l(ds.lock);
  ASSERT_EQ(ds.answers.size(), 3u);
  EXPECT_EQ(ds.answers[2]["nc"], "00000002");
  EXPECT_TRUE(ds.verified[2]);
}

TEST_F(AuthTest, AWrongDigestPasswordIsRefusedOnce) {
  DigestServer ds;
  TestServer server(ds.script());
  auto r = HTTPRequest::requestWithURL(server.url("/d"));
  r->setUsername("alice");
  r->setPassword("wrong");
  RecordingDelegate d;
  run(r, d);
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(AuthTest, AServerThatCallsEveryNonceStaleIsNotAnsweredForEver) {
  DigestServer ds;
  ds.staleLeft = 1000;
  TestServer server(ds.script());
  auto r = HTTPRequest::requestWithURL(server.url("/d"));
  r->setUsername("alice");
  r->setPassword("s3cret");
  RecordingDelegate d;
  run(r, d);
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_LT(server.requestCount(), 10u);
}

// ---- credentials stay with their server ----

TEST_F(AuthTest, CredentialsNeverFollowARedirectToAnotherPort) {
  TestServer other(guarded(kUserPass, "est", "Authorization", 401, "other"));
  std::string target = other.url("/landing");
  TestServer server([&](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      if (req->header("Authorization") != kUserPass)
        c.sendResponse(401, "", "WWW-Authenticate: Basic realm=\"est\"\r\n", "Unauthorized");
      else
        c.sendResponse(req->target == "/keep" ? 307 : 302, "", "Location: " + target + "\r\n",
                       "Moved");
    }
  });
  for (const char* path : {"/keep", "/moved"}) {
    auto r = HTTPRequest::requestWithURL(withUser(server, "user:pass", path));
    RecordingDelegate d;
    run(r, d);
    ASSERT_EQ(d.failed, 1) << path;
    EXPECT_EQ(d.lastError->code, 3) << "the other server's challenge finds nothing to use";
  }
  // The request's own user and password, sent unasked as Basic, do not follow either; nor
  // does a header the caller set.
  auto own = HTTPRequest::requestWithURL(server.url("/keep"));
  own->setUsername("user");
  own->setPassword("pass");
  own->setAuthenticationScheme("Basic");
  own->addBasicAuthenticationHeaderWithUsername("user", "pass");
  RecordingDelegate d;
  run(own, d);
  EXPECT_EQ(d.failed, 1);
  // Nor do the session's entries for the first server reach the second.
  auto direct = HTTPRequest::requestWithURL(other.url("/landing"));
  RecordingDelegate d2;
  run(direct, d2);
  EXPECT_EQ(d2.failed, 1);

  auto seen = other.requests();
  ASSERT_EQ(seen.size(), 4u);
  for (auto& req : seen) EXPECT_FALSE(req.hasHeader("Authorization")) << req.head;
}

TEST_F(AuthTest, StoredCredentialsAreKeptPerHostPortAndRealm) {
  TestServer server(guarded(kUserPass));
  TestServer other(guarded(kUserPass));
  auto first = HTTPRequest::requestWithURL(withUser(server, "user:pass"));
  first->setUseCredentialStorage(true);
  RecordingDelegate d;
  run(first, d);
  ASSERT_EQ(d.finished, 1);
  auto saved = HTTPRequest::savedCredentialsForHost("127.0.0.1", server.port(), "http", "est");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->password, "pass");
  EXPECT_FALSE(HTTPRequest::savedCredentialsForHost("127.0.0.1", other.port(), "http", "est"));
  EXPECT_FALSE(HTTPRequest::savedCredentialsForHost("127.0.0.1", server.port(), "https", "est"));

  HTTPRequest::clearSessionCredentials();
  auto plain = HTTPRequest::requestWithURL(server.url("/private"));
  RecordingDelegate d2;
  run(plain, d2);
  EXPECT_EQ(d2.failed, 1) << "the storage is used only when asked for";

  auto fromStorage = HTTPRequest::requestWithURL(server.url("/private"));
  fromStorage->setUseCredentialStorage(true);
  RecordingDelegate d3;
  run(fromStorage, d3);
  EXPECT_EQ(d3.finished, 1);

  auto elsewhere = HTTPRequest::requestWithURL(other.url("/private"));
  elsewhere->setUseCredentialStorage(true);
  RecordingDelegate d4;
  run(elsewhere, d4);
  EXPECT_EQ(d4.failed, 1);
  EXPECT_EQ(other.requestCount(), 1u);

  HTTPRequest::removeCredentialsForHost("127.0.0.1", server.port(), "http", "est");
  EXPECT_FALSE(HTTPRequest::savedCredentialsForHost("127.0.0.1", server.port(), "http", "est"));
}

// ---- proxies ----

TEST_F(AuthTest, A407IsAnsweredWithTheProxyCredentials) {
  const std::string expected = "Basic cHU6cHA=";  // pu:pp
  TestServer server(guarded(expected, "gate", "Proxy-Authorization", 407));
  auto r = HTTPRequest::requestWithURL(server.url("/via"));
  r->setProxyUsername("pu");
  r->setProxyPassword("pp");
  r->setUsername("user");
  r->setPassword("pass");
  RecordingDelegate d;
  run(r, d);
  ASSERT_EQ(d.finished, 1) << (d.lastError ? d.lastError->description : "");
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].header("Proxy-Authorization"), expected);
  EXPECT_FALSE(reqs[1].hasHeader("Authorization")) << "the server never asked";
  EXPECT_EQ(r->proxyAuthenticationRealm(), "gate");
  EXPECT_EQ(r->proxyAuthenticationRetryCount(), 1);
  EXPECT_EQ(r->authenticationRetryCount(), 0);
  auto store = HTTPRequest::sessionProxyCredentialsStore();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store[0].credentials.username, "pu");
  EXPECT_EQ(store[0].authenticationRealm, "gate");

  // Without proxy credentials the proxy dialog is wanted (on by default); with none
  // installed the request fails, and with one the dialog's answer is used.
  auto bare = HTTPRequest::requestWithURL(server.url("/via"));
  HTTPRequest::clearSessionCredentials();
  RecordingDelegate d2;
  run(bare, d2);
  ASSERT_EQ(d2.failed, 1);
  EXPECT_EQ(d2.lastError->code, 3);

  std::vector<bool> shown;
  HTTPRequest::setPresentAuthenticationDialog([&](const HTTPRequestPtr& q, bool proxy) {
    shown.push_back(proxy);
    q->setProxyUsername("pu");
    q->setProxyPassword("pp");
    q->retryUsingSuppliedCredentials();
  });
  auto dialog = HTTPRequest::requestWithURL(server.url("/via"));
  RecordingDelegate d3;
  run(dialog, d3);
  EXPECT_EQ(d3.finished, 1);
  EXPECT_EQ(shown, std::vector<bool>({true}));
}

TEST_F(AuthTest, TheServerDialogIsShownOnlyWhenSwitchedOn) {
  TestServer server(guarded(kUserPass));
  int shown = 0;
  HTTPRequest::setPresentAuthenticationDialog([&](const HTTPRequestPtr& q, bool proxy) {
    ++shown;
    EXPECT_FALSE(proxy);
    q->setUsername("user");
    q->setPassword("pass");
    q->retryUsingSuppliedCredentials();
  });
  auto off = HTTPRequest::requestWithURL(server.url("/private"));
  EXPECT_FALSE(off->shouldPresentAuthenticationDialog());
  RecordingDelegate d;
  run(off, d);
  EXPECT_EQ(d.failed, 1);
  EXPECT_EQ(shown, 0);

  auto on = HTTPRequest::requestWithURL(server.url("/private"));
  on->setShouldPresentAuthenticationDialog(true);
  RecordingDelegate d2;
  run(on, d2);
  EXPECT_EQ(d2.finished, 1);
  EXPECT_EQ(shown, 1);
}

// ---- who is asked, and waiting ----

TEST_F(AuthTest, AWaitingRequestDoesNotTimeOutAndCanBeCancelled) {
  HTTPRequest::setStatusTimerLoop(&loop);
  TestServer server(guarded(kUserPass));
  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  r->setTimeOutSeconds(1);
  AuthDelegate d;  // asked, never answers
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(eventually([&] { return d.asked == 1; }));
  loop.advance(Seconds(30));
  loop.runPending();
  EXPECT_EQ(d.outcomes(), 0);
  EXPECT_TRUE(r->isExecuting());
  r->cancel();
  ASSERT_TRUE(waitForOutcome(d));
  EXPECT_EQ(d.lastError->code, 4);
  EXPECT_TRUE(waitForFinish(*r));
}

TEST_F(AuthTest, TheClosureOrTheQueueDelegateIsAskedWhenTheDelegateIsNot) {
  TestServer server(guarded(kUserPass));
  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  int calls = 0;
  r->setAuthenticationNeededBlock([&](HTTPRequest& q) {
    ++calls;
    q.setUsername("user");
    q.setPassword("pass");
    q.retryUsingSuppliedCredentials();
  });
  AuthDelegate quiet;
  quiet.answersServer = false;
  run(r, quiet);
  EXPECT_EQ(quiet.finished, 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(quiet.asked, 0);

  HTTPRequest::clearSessionCredentials();
  struct QueueDelegate : NetworkQueueDelegate {
    bool wantsAuthenticationNeeded() const override { return true; }
    void authenticationNeededForRequest(HTTPRequest& q) override {
      ++asked;
      q.setUsername("user");
      q.setPassword("pass");
      q.retryUsingSuppliedCredentials();
    }
    void queueFinished(NetworkQueue&) override { done = true; }
    int asked = 0;
    bool done = false;
  } qd;
  auto queue = NetworkQueue::queue();
  queue->setDelegate(&qd);
  queue->setQueueDidFinishSelector(&NetworkQueueDelegate::queueFinished);
  auto queued = HTTPRequest::requestWithURL(server.url("/private"));
  queue->addOperation(queued);
  queue->go();
  ASSERT_TRUE(eventually([&] { return qd.done; }));
  EXPECT_EQ(qd.asked, 1);
  EXPECT_FALSE(queued->error());
  EXPECT_EQ(queued->responseStatusCode(), 200);
}

TEST_F(AuthTest, AHeadRequestUsesItsMainRequestsCredentials) {
  TestServer server(guarded(kUserPass));
  auto main = HTTPRequest::requestWithURL(server.url("/private"));
  main->setUsername("user");
  main->setPassword("pass");
  auto head = HTTPRequest::requestWithURL(server.url("/private"));
  head->setRequestMethod("HEAD");
  head->setMainRequest(main);
  head->startSynchronous();
  EXPECT_FALSE(head->error());
  EXPECT_EQ(head->responseStatusCode(), 200);
  EXPECT_EQ(server.requests().back().header("Authorization"), kUserPass);
}

TEST_F(AuthTest, AnAccountDomainIsSplitFromTheUserNameWhenTheSchemeNeedsOne) {
  struct DomainScheme : HTTPAuthentication {
    std::string scheme() const override { return "Domain"; }
    std::string realm() const override { return "r"; }
    bool requiresAccountDomain() const override { return needs; }
    int strength() const override { return 0; }
    std::optional<std::string> authorizationValue(const Credentials&, std::string_view,
                                                  std::string_view) override {
      return "x";
    }
    bool needs = true;
  } scheme;
  auto r = HTTPRequest::requestWithURL("http://127.0.0.1/");
  r->setUsername("CORP\\alice");
  r->setPassword("pw");
  auto c = StandardAuthenticator::findCredentials(*r, scheme);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->domain, "CORP");
  EXPECT_EQ(c->username, "alice");

  r->setDomain("OTHER");
  c = StandardAuthenticator::findCredentials(*r, scheme);
  EXPECT_EQ(c->domain, "OTHER");
  EXPECT_EQ(c->username, "CORP\\alice");

  r->setDomain("");
  r->setUsername("A\\B\\c");
  c = StandardAuthenticator::findCredentials(*r, scheme);
  EXPECT_EQ(c->username, "A\\B\\c");
  EXPECT_EQ(c->domain, "");

  scheme.needs = false;
  r->setUsername("CORP\\alice");
  c = StandardAuthenticator::findCredentials(*r, scheme);
  EXPECT_EQ(c->username, "CORP\\alice");
  EXPECT_EQ(c->domain, "");

  r->setPassword("");
  EXPECT_FALSE(StandardAuthenticator::findCredentials(*r, scheme)) << "no password, nothing";
}

}  // namespace
}  // namespace est::testing
