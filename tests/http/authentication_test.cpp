// Requests answering 401 and 407 challenges against the scripted server.
#include "http/authentication.h"

#include <gtest/gtest.h>

#include "http/credential_storage.h"
#include "http/network_queue.h"
#include "http/support/digest_server.h"
#include "http/support/request_fixture.h"
#include "platform/format.h"

namespace est::testing {
namespace {

const std::string kUserPass = "Basic dXNlcjpwYXNz";  // user:pass

// Answers 401 (407 for a proxy) unless the request carries `expected` in `header`.
TestServer::Script guarded(std::string expected, std::string header = "Authorization",
                           int status = 401) {
  return [=](ServerConnection& c) {
    std::string challenge = status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate";
    while (auto req = c.readRequest()) {
      if (req->header(header) == expected)
        c.sendResponse(200, "secret");
      else
        c.sendResponse(status, "denied", challenge + ": Basic realm=\"est\"\r\n", "Denied");
    }
  };
}

class AuthDelegate : public RecordingDelegate {
 public:
  bool wantsAuthenticationNeeded() const override { return true; }
  void authenticationNeededForRequest(HTTPRequest& r) override {
    ++asked;
    storeSizeWhenAsked = HTTPRequest::sessionCredentialsStore().size();
    if (answer) answer(r);
  }
  int asked = 0;
  size_t storeSizeWhenAsked = 99;
  std::function<void(HTTPRequest&)> answer;
};

void supply(HTTPRequest& r, const char* user, const char* password) {
  r.setUsername(user);
  r.setPassword(password);
  r.retryUsingSuppliedCredentials();
}

class AuthTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    CredentialStorage::setShared(std::make_shared<MemoryCredentialStorage>());
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
  // Runs a fresh request for `url` and returns its delegate's record.
  RecordingDelegate fetch(const std::string& url) {
    run(HTTPRequest::requestWithURL(url));
    return last;
  }
};

TEST_F(AuthTest, UrlCredentialsAnswerAChallengeAndAreThenSentBeforeOne) {
  TestServer server(guarded(kUserPass));
  std::string url = withUser(server, "user:pass");
  auto r = HTTPRequest::requestWithURL(url);
  RecordingDelegate d;
  d.takeData = true;  // and the challenge's own page is not passed on
  run(r, d);
  ASSERT_EQ(d.finished, 1);
  EXPECT_EQ(toString(d.data), "secret");
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_FALSE(reqs[0].hasHeader("Authorization"));
  EXPECT_EQ(reqs[1].header("Authorization"), kUserPass);
  EXPECT_EQ(r->authenticationScheme(), "Basic");
  EXPECT_EQ(r->authenticationRealm(), "est");
  EXPECT_EQ(r->authenticationRetryCount(), 1);
  EXPECT_EQ(server.connectionCount(), 1) << "the challenge's connection is reused";
  auto store = HTTPRequest::sessionCredentialsStore();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store[0].url->absoluteString(), url);
  EXPECT_EQ(store[0].credentials.password, "pass");

  // Again, and to another path of the same server: sent unasked, one request each.
  EXPECT_EQ(fetch(url).finished, 1);
  EXPECT_EQ(fetch(server.url("/other")).finished, 1);
  EXPECT_EQ(server.requestCount(), 4u);
  EXPECT_EQ(server.requests()[3].header("Authorization"), kUserPass);
}

TEST_F(AuthTest, WithoutCredentialsOrSomeoneToAskTheRequestFailsWithCode3) {
  TestServer server(guarded(kUserPass));
  auto d = fetch(server.url("/private"));
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.lastError->domain, "HTTPRequestErrorDomain");
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_EQ(d.lastError->description, "Authentication needed");
  EXPECT_EQ(server.requestCount(), 1u);

  // Wrong credentials in the URL: tried once, then the same failure, and not remembered.
  d = fetch(withUser(server, "user:nope"));
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_TRUE(HTTPRequest::sessionCredentialsStore().empty());

  TestServer broken(TestServer::replyForever(
      httpResponse(401, "", "WWW-Authenticate: Digest realm=\"x\"\r\n", "Unauthorized")));
  EXPECT_EQ(fetch(withUser(broken, "user:pass")).lastError->code, 7);
}

TEST_F(AuthTest, RefusedSessionCredentialsAreRemovedBeforeTheDelegateIsAsked) {
  TestServer server(guarded(kUserPass));
  SessionCredentials old;
  old.credentials = {"user", "old", ""};
  old.url = Url::parse(server.url("/private"));
  old.authenticationRealm = "est";
  HTTPRequest::storeAuthenticationCredentialsInSessionStore(old);

  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  AuthDelegate d;
  d.answer = [](HTTPRequest& q) { supply(q, "user", "pass"); };
  run(r, d);
  ASSERT_EQ(d.finished, 1);
  EXPECT_EQ(d.asked, 1);
  EXPECT_EQ(d.storeSizeWhenAsked, 0u);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].header("Authorization"), "Basic dXNlcjpvbGQ=");  // user:old, unasked
  EXPECT_EQ(reqs[1].header("Authorization"), kUserPass);
  ASSERT_EQ(HTTPRequest::sessionCredentialsStore().size(), 1u);
  EXPECT_EQ(HTTPRequest::sessionCredentialsStore()[0].credentials.password, "pass");
}

TEST_F(AuthTest, TheDelegateMayTryAgainOrGiveUpAndAHeadRequestBorrowsItsMainsCredentials) {
  TestServer server(guarded(kUserPass));
  auto main = HTTPRequest::requestWithURL(server.url("/private"));
  main->setUsername("user");
  main->setPassword("pass");
  auto head = main->HEADRequest();
  head->startSynchronous();
  EXPECT_EQ(head->responseStatusCode(), 200);
  EXPECT_EQ(server.requests().back().header("Authorization"), kUserPass);
  HTTPRequest::clearSessionCredentials();
  size_t before = server.requestCount();

  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  AuthDelegate d;
  d.answer = [&d](HTTPRequest& q) {
    if (d.asked == 1)
      supply(q, "user", "wrong");
    else
      q.cancelAuthentication();
  };
  run(r, d);
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.asked, 2);
  EXPECT_EQ(d.lastError->code, 3);
  EXPECT_EQ(server.requestCount(), before + 2);
}

TEST_F(AuthTest, DigestIsPreferredCountsNoncesAndSurvivesAStaleNonce) {
  DigestServer ds;
  ds.staleLeft = 1;
  TestServer server(ds.script());
  auto r = HTTPRequest::requestWithURL(server.url("/d?x=1"));
  r->setUsername("alice");
  r->setPassword("s3cret");
  run(r);
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->authenticationScheme(), "Digest");
  EXPECT_EQ(fetch(server.url("/d?x=1")).finished, 1);  // answered before being asked
  EXPECT_EQ(server.requestCount(), 4u);
  std::lock_guard l(ds.lock);
  ASSERT_EQ(ds.answers.size(), 3u);
  EXPECT_EQ(ds.verified, std::vector<bool>({true, true, true}));
  EXPECT_EQ(ds.answers[0]["nonce"], "n1");
  EXPECT_EQ(ds.answers[1]["nonce"], "n2");  // the same credentials, the new nonce
  EXPECT_EQ(ds.answers[1]["nc"], "00000001");
  EXPECT_EQ(ds.answers[2]["nc"], "00000002");
  EXPECT_EQ(ds.answers[0]["cnonce"].size(), 32u);
  EXPECT_NE(ds.answers[0]["cnonce"], ds.answers[1]["cnonce"]);
}

TEST_F(AuthTest, AWrongDigestPasswordOrEndlessStaleNoncesEndWithCode3) {
  for (int stale : {0, 1000}) {
    DigestServer ds;
    ds.staleLeft = stale;
    TestServer server(ds.script());
    auto r = HTTPRequest::requestWithURL(server.url("/d"));
    r->setUsername("alice");
    r->setPassword(stale ? "s3cret" : "wrong");
    run(r);
    ASSERT_EQ(last.failed, 1);
    EXPECT_EQ(last.lastError->code, 3);
    EXPECT_LT(server.requestCount(), 10u);
  }
  // Nor does a server that names a new realm at every turn get answered for ever.
  std::atomic<int> turn{0};
  TestServer shifty([&](ServerConnection& c) {
    while (auto req = c.readRequest())
      c.sendResponse(401, "", strprintf("WWW-Authenticate: Basic realm=\"r%d\"\r\n", ++turn),
                     "Unauthorized");
  });
  EXPECT_EQ(fetch(withUser(shifty, "user:pass")).lastError->code, 3);
  EXPECT_LT(shifty.requestCount(), 10u);
}

TEST_F(AuthTest, CredentialsNeverFollowARedirectToAnotherPort) {
  TestServer other(guarded(kUserPass));
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
  for (const char* path : {"/keep", "/moved"})
    EXPECT_EQ(fetch(withUser(server, "user:pass", path)).lastError->code, 3) << path;
  // Nor do the request's own user and password sent unasked, or a header the caller set.
  auto own = HTTPRequest::requestWithURL(server.url("/keep"));
  own->setUsername("user");
  own->setPassword("pass");
  own->setAuthenticationScheme("Basic");
  own->addBasicAuthenticationHeaderWithUsername("user", "pass");
  run(own);
  EXPECT_EQ(last.failed, 1);
  // Nor the session's entries for the first server.
  EXPECT_EQ(fetch(other.url("/landing")).failed, 1);

  auto seen = other.requests();
  ASSERT_EQ(seen.size(), 4u);
  for (auto& req : seen) EXPECT_FALSE(req.hasHeader("Authorization")) << req.head;
}

TEST_F(AuthTest, StoredCredentialsAreUsedOnlyWhenAskedAndOnlyForTheirServer) {
  TestServer server(guarded(kUserPass));
  TestServer other(guarded(kUserPass));
  auto first = HTTPRequest::requestWithURL(withUser(server, "user:pass"));
  first->setUseCredentialStorage(true);
  run(first);
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(
      HTTPRequest::savedCredentialsForHost("127.0.0.1", server.port(), "http", "est")->password,
      "pass");

  HTTPRequest::clearSessionCredentials();
  EXPECT_EQ(fetch(server.url("/private")).failed, 1);
  for (auto* s : {&server, &other}) {
    auto r = HTTPRequest::requestWithURL(s->url("/private"));
    r->setUseCredentialStorage(true);
    run(r);
    EXPECT_EQ(last.finished, s == &server ? 1 : 0);
  }
  EXPECT_EQ(other.requestCount(), 1u);
}

TEST_F(AuthTest, A407IsAnsweredWithTheProxyCredentialsOrTheProxyDialog) {
  const std::string expected = "Basic cHU6cHA=";  // pu:pp
  // The scripted servers play HTTP proxies: requests reach them in absolute form.
  TestServer proxy(guarded(expected, "Proxy-Authorization", 407));
  auto viaProxy = [](const TestServer& p) {
    auto r = HTTPRequest::requestWithURL("http://origin.invalid/via");
    r->setProxyHost("127.0.0.1");
    r->setProxyPort(p.port());
    return r;
  };
  auto r = viaProxy(proxy);
  r->setProxyUsername("pu");
  r->setProxyPassword("pp");
  r->setUsername("user");
  r->setPassword("pass");
  run(r);
  ASSERT_EQ(last.finished, 1);
  auto reqs = proxy.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].target, "http://origin.invalid/via");
  EXPECT_EQ(reqs[1].header("Proxy-Authorization"), expected);
  EXPECT_FALSE(reqs[1].hasHeader("Authorization")) << "the server never asked";
  EXPECT_EQ(r->proxyAuthenticationRetryCount(), 1);
  EXPECT_EQ(r->authenticationRetryCount(), 0);
  ASSERT_EQ(HTTPRequest::sessionProxyCredentialsStore().size(), 1u);
  EXPECT_EQ(HTTPRequest::sessionProxyCredentialsStore()[0].authenticationRealm, "est");
  // The same proxy gets them before it asks; another proxy is never offered them.
  run(viaProxy(proxy));
  EXPECT_EQ(last.finished, 1);
  EXPECT_EQ(proxy.requests().back().header("Proxy-Authorization"), expected);
  TestServer elsewhere(guarded(expected, "Proxy-Authorization", 407));
  run(viaProxy(elsewhere));
  EXPECT_EQ(last.lastError->code, 3);
  EXPECT_FALSE(elsewhere.requests()[0].hasHeader("Proxy-Authorization"));

  // Without proxy credentials the proxy dialog (on by default) is shown; the server one is
  // off by default.
  HTTPRequest::clearSessionCredentials();
  run(viaProxy(proxy));
  EXPECT_EQ(last.lastError->code, 3) << "no dialog installed";
  std::vector<bool> shown;
  HTTPRequest::setPresentAuthenticationDialog([&](const HTTPRequestPtr& q, bool isProxy) {
    shown.push_back(isProxy);
    q->setProxyUsername("pu");
    q->setProxyPassword("pp");
    q->retryUsingSuppliedCredentials();
  });
  run(viaProxy(proxy));
  EXPECT_EQ(last.finished, 1);
  TestServer plain(guarded(kUserPass));
  EXPECT_EQ(fetch(plain.url("/private")).failed, 1);
  EXPECT_EQ(shown, std::vector<bool>({true}));
}

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
}

TEST_F(AuthTest, TheClosureOrTheQueueDelegateIsAskedWhenTheDelegateIsNot) {
  TestServer server(guarded(kUserPass));
  auto r = HTTPRequest::requestWithURL(server.url("/private"));
  r->setAuthenticationNeededBlock([](HTTPRequest& q) { supply(q, "user", "pass"); });
  run(r);
  EXPECT_EQ(last.finished, 1);

  HTTPRequest::clearSessionCredentials();
  struct QueueDelegate : NetworkQueueDelegate {
    bool wantsAuthenticationNeeded() const override { return true; }
    void authenticationNeededForRequest(HTTPRequest& q) override {
      ++asked;
      supply(q, "user", "pass");
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
  EXPECT_EQ(queued->responseStatusCode(), 200);
}

TEST_F(AuthTest, AnAccountDomainIsSplitFromTheUserNameWhenTheSchemeNeedsOne) {
  struct DomainScheme : BasicAuthentication {
    DomainScheme() : BasicAuthentication("r") {}
    bool requiresAccountDomain() const override { return needs; }
    bool needs = true;
  } scheme;
  auto r = HTTPRequest::requestWithURL("http://127.0.0.1/");
  r->setPassword("pw");
  auto found = [&](const char* user, const char* domain) {
    r->setUsername(user);
    r->setDomain(domain);
    auto c = StandardAuthenticator::findCredentials(*r, scheme);
    return c ? c->domain + "|" + c->username : std::string("none");
  };
  EXPECT_EQ(found("CORP\\alice", ""), "CORP|alice");
  EXPECT_EQ(found("CORP\\alice", "OTHER"), "OTHER|CORP\\alice");
  EXPECT_EQ(found("A\\B\\c", ""), "|A\\B\\c");
  scheme.needs = false;
  EXPECT_EQ(found("CORP\\alice", ""), "|CORP\\alice");
  r->setPassword("");
  EXPECT_EQ(found("alice", ""), "none");
}

}  // namespace
}  // namespace est::testing
