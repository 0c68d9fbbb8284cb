// Time-outs, persistent connections and the retry on a connection the server dropped.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>

#include "http/http_request.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"
#include "http/transport.h"

namespace est::testing {
namespace {

using Request = HTTPRequest;

// Reads requests and never answers, until the client goes away.
void silent(ServerConnection& c) {
  if (c.readRequest()) c.waitForPeerClose(30);
}

class ConnectionTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    Request::setStatusTimerLoop(&loop);  // time-outs and pool expiry on virtual time
  }
  // Moves virtual time while letting the network thread catch up between steps.
  void advance(double seconds) {
    for (double t = 0; t < seconds; t += 0.25) {
      loop.advance(Seconds(0.25));
      loop.waitUntil([] { return false; }, Seconds(0.002));
    }
  }
};

TEST_F(ConnectionTest, LoopbackServersAnswerOnBothLoopbackAddresses) {
  if (!loopbackIPv6Available()) GTEST_SKIP() << "no ::1 here";
  TestServer server(TestServer::replyForever(httpResponse(200, "either")));
  for (const char* host : {"127.0.0.1", "[::1]"}) {
    auto r = Request::requestWithURL("http://" + std::string(host) + ":" +
                                     std::to_string(server.port()) + "/");
    run(r);
    ASSERT_EQ(last.finished, 1) << host;
    EXPECT_EQ(r->responseString(), "either");
  }
}

TEST_F(ConnectionTest, AProxyHostIsCheckedLikeAURLHostBeforeAnyConnection) {
  // The scripted server plays an HTTP proxy: requests reach it in absolute form.
  TestServer proxy(TestServer::replyForever(httpResponse(200, "via proxy")));
  auto viaProxy = [&](const std::string& host) {
    auto r = Request::requestWithURL("http://origin.invalid/p");
    r->setProxyHost(host);
    r->setProxyPort(proxy.port());
    run(r);
  };
  for (std::string bad :
       {std::string("127.0.0.1\r\nX-Forged: 1"), std::string("127.0.0.1\0evil", 14),
        std::string("\t127.0.0.1"), std::string("proxy host"), std::string("a/b"),
        std::string("user@127.0.0.1"), std::string("127.0.0.1:8080"), std::string("[::1"),
        std::string("h\x7f"), std::string("..")}) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    viaProxy(bad);
    ASSERT_EQ(last.failed, 1);
    EXPECT_EQ(last.lastError->code, UnableToCreateRequestErrorType);
  }
  EXPECT_EQ(proxy.connectionCount(), 0);

  std::vector<std::string> good = {"127.0.0.1", "LocalHost"};
  if (loopbackIPv6Available()) good.insert(good.end(), {"[::1]", "::1"});
  for (const std::string& host : good) {
    SCOPED_TRACE(host);
    viaProxy(host);
    ASSERT_EQ(last.finished, 1) << (last.lastError ? last.lastError->description : "");
    EXPECT_EQ(proxy.requests().back().target, "http://origin.invalid/p");
  }
}

TEST_F(ConnectionTest, EveryAddressANameHasIsTriedInTurn) {
  // Nothing listens on 127.0.0.2: it refuses at once. The server listens on 127.0.0.1 and,
  // where the machine has it, on ::1.
  TestServer server(TestServer::replyForever(httpResponse(200, "reached")));
  auto ip = [](const char* text) { return boost::asio::ip::make_address(text); };
  std::map<std::string, std::vector<boost::asio::ip::address>> names = {
      {"second.test", {ip("127.0.0.2"), ip("127.0.0.1")}},
      {"third.test", {ip("127.0.0.2"), ip("127.0.0.3"), ip("127.0.0.1")}},
      {"refusing.test", {ip("127.0.0.2"), ip("127.0.0.3")}},
      {"nowhere.test", {}},
  };
  if (loopbackIPv6Available()) names["v6-second.test"] = {ip("127.0.0.2"), ip("::1")};
  std::vector<std::string> looked;
  net::setHostLookupForTesting([&](const std::string& host) {
    looked.push_back(host);
    return names.count(host) ? names.at(host) : std::vector<boost::asio::ip::address>{};
  });
  struct Restore {
    ~Restore() { net::setHostLookupForTesting({}); }
  } restore;
  for (auto& [name, addresses] : names) {
    SCOPED_TRACE(name);
    size_t before = server.requestCount();
    run(Request::requestWithURL("http://" + name + ":" + std::to_string(server.port()) + "/"));
    bool reachable = addresses.size() > 0 &&
                     (addresses.back() == ip("127.0.0.1") || addresses.back() == ip("::1"));
    if (reachable) {
      ASSERT_EQ(last.finished, 1) << (last.lastError ? last.lastError->description : "");
      ASSERT_EQ(server.requestCount(), before + 1);
      EXPECT_EQ(server.requests().back().header("Host"),
                name + ":" + std::to_string(server.port()));
    } else {
      ASSERT_EQ(last.failed, 1);
      EXPECT_EQ(last.lastError->code, ConnectionFailureErrorType);
      EXPECT_EQ(server.requestCount(), before);
    }
  }
  EXPECT_EQ(looked.size(), names.size());
}

TEST_F(ConnectionTest, SilentServerTimesOutAfterTenSecondsOrRetriesOnFreshConnections) {
  for (int retries : {0, 2}) {
    TestServer server(silent);
    auto r = Request::requestWithURL(server.url());
    if (retries) r->setTimeOutSeconds(1);
    r->setNumberOfTimesToRetryOnTimeout(retries);
    double limit = retries ? 1 : 10;
    RecordingDelegate d;
    r->setDelegate(&d);
    r->startAsynchronous();
    for (int n = 1; n <= retries + 1; ++n) {
      ASSERT_TRUE(eventually([&] { return server.requestCount() == size_t(n); })) << n;
      advance(limit - 0.5);
      EXPECT_EQ(d.outcomes(), 0);
      advance(1);
    }
    ASSERT_TRUE(waitForOutcome(d, 5));
    EXPECT_EQ(d.failed, 1);
    EXPECT_EQ(d.lastError->code, 2);
    EXPECT_EQ(d.lastError->description, "The request timed out");
    EXPECT_EQ(r->retryCount(), retries);
    EXPECT_EQ(server.connectionCount(), retries + 1);
    EXPECT_EQ(std::count(d.events.begin(), d.events.end(), "started"), retries + 1);
  }
}

struct KeepAliveCase {
  std::string reply;
  bool reused;
};

TEST_F(ConnectionTest, KeepAliveTermsDecideReuse) {
  const std::vector<KeepAliveCase> cases = {
      {httpResponse(200, "a", "Keep-Alive: timeout=15, max=100\r\n"), true},
      {httpResponse(200, "a", "Keep-Alive: timeout=15, max=3\r\n"), false},
      {httpResponse(200, "a", "Connection: close\r\n"), false},
      {httpResponse(200, "a", "", "OK", "HTTP/1.0"), false},
      {httpResponse(200, "a", "Connection: Keep-Alive\r\n", "OK", "HTTP/1.0"), true},
      {"HTTP/1.1 200 OK\r\n\r\nclose-delimited", false},
  };
  for (auto& c : cases) {
    // Each connection answers one request; the client must not come back to it unless the
    // terms allowed it (then the second request finds it open).
    TestServer server([&](ServerConnection& conn) {
      while (conn.readRequest()) {
        conn.send(c.reply);
        if (c.reply.find("Content-Length") == std::string::npos) return;
      }
    });
    for (int i = 0; i < 2; ++i) {
      auto r = Request::requestWithURL(server.url());
      run(r);
      ASSERT_EQ(last.finished, 1) << c.reply;
    }
    EXPECT_EQ(server.connectionCount(), c.reused ? 1 : 2) << c.reply;
  }
}

TEST_F(ConnectionTest, IdleConnectionsExpireAfterTheServersKeepAliveTimeout) {
  TestServer server(
      TestServer::replyForever(httpResponse(200, "a", "Keep-Alive: timeout=15, max=100\r\n")));
  auto fetch = [&] {
    auto r = Request::requestWithURL(server.url());
    run(r);
    return r->connectionWasReused();
  };
  EXPECT_FALSE(fetch());
  loop.advance(Seconds(14));
  EXPECT_TRUE(fetch());
  loop.advance(Seconds(16));
  EXPECT_FALSE(fetch());
  EXPECT_EQ(server.connectionCount(), 2);
}

TEST_F(ConnectionTest, TheServersKeepAliveTimeoutIsBoundedAndNeverWraps) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"timeout=15", 15},
      {"timeout=301", 300},
      {"timeout=9223372036854775808", 300},
      {"timeout=99999999999999999999999999", 300},
      {"timeout=-5", 60},
      {"timeout=-99999999999999999999999", 60},
      {"timeout=junk", 60},
  };
  for (auto& [terms, seconds] : cases) {
    TestServer server(
        TestServer::replyForever(httpResponse(200, "a", "Keep-Alive: " + terms + ", max=100\r\n")));
    auto r = Request::requestWithURL(server.url());
    r->setPersistentConnectionTimeoutSeconds(60);
    run(r);
    ASSERT_EQ(last.finished, 1) << terms;
    EXPECT_EQ(r->persistentConnectionTimeoutSeconds(), seconds) << terms;
  }
}

TEST_F(ConnectionTest, AReusedConnectionTheServerDroppedIsRetriedOnceOnAFreshOne) {
  for (bool freshAnswers : {true, false}) {
    // The first connection answers once, then drops the next request unanswered (closed, or
    // reset); a fresh connection answers, or (the second time round) resets as well.
    TestServer server([freshAnswers](ServerConnection& c) {
      if (c.index() == 0) {
        c.readRequest();
        c.sendResponse(200, "first");
      }
      if (c.index() > 0 && freshAnswers) {
        while (c.readRequest()) c.sendResponse(200, "fresh");
        return;
      }
      c.readRequest();
      freshAnswers ? c.close() : c.abort();
    });
    RecordingDelegate d1, d2;
    run(Request::requestWithURL(server.url()), d1);
    auto second = Request::requestWithURL(server.url());
    run(second, d2);
    EXPECT_EQ(server.connectionCount(), 2);
    if (freshAnswers) {
      EXPECT_EQ(d2.finished, 1);
      EXPECT_EQ(toString(*second->responseData()), "fresh");
      EXPECT_EQ(second->retryCount(), 1);
    } else {
      ASSERT_EQ(d2.failed, 1);
      EXPECT_EQ(d2.lastError->code, 1);
      EXPECT_EQ(d2.lastError->description, "A connection failure occurred");
      EXPECT_TRUE(d2.lastError->underlying);
    }
  }
}

TEST_F(ConnectionTest, SharedQueueRunsAtMostFourAtOnce) {
  std::mutex m;
  std::condition_variable cv;
  int active = 0, peak = 0;
  bool release = false;
  TestServer server([&](ServerConnection& c) {
    if (!c.readRequest()) return;
    {
      std::unique_lock lock(m);
      peak = std::max(peak, ++active);
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
      --active;
    }
    c.sendResponse(200, "done", "Connection: close\r\n");
  });
  std::vector<HTTPRequestPtr> requests;
  std::vector<RecordingDelegate> delegates(6);
  for (int i = 0; i < 6; ++i) {
    requests.push_back(Request::requestWithURL(server.url()));
    requests.back()->setDelegate(&delegates[i]);
    requests.back()->startAsynchronous();
  }
  ASSERT_TRUE(eventually([&] { return server.requestCount() == 4; }));
  loop.waitUntil([] { return false; }, Seconds(0.2));
  EXPECT_EQ(server.requestCount(), 4u);
  EXPECT_EQ(Request::sharedQueue().executingCount(), 4u);
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(loop.waitUntil([&] {
    return std::all_of(delegates.begin(), delegates.end(), [](auto& d) { return d.finished == 1; });
  }));
  EXPECT_EQ(peak, 4);
  EXPECT_EQ(server.requestCount(), 6u);
}

}  // namespace
}  // namespace est::testing
