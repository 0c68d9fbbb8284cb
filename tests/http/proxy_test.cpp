// Requests through real and scripted proxies: tinyproxy (absolute-form and CONNECT), also
// behind stunnel as an https:// proxy, microsocks (SOCKS5), scripted SOCKS and refusing
// proxies, and auto-configuration scripts served over HTTP or read from files.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "http/proxy_settings.h"
#include "http/support/proxy_servers.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

// Settings as a test wants them, counting how often they are asked for.
class FixedSettings : public ProxySettingsSource {
 public:
  explicit FixedSettings(std::optional<SystemProxySettings> s = SystemProxySettings())
      : settings(std::move(s)) {}
  std::optional<SystemProxySettings> proxySettings() override {
    ++reads;
    return settings;
  }
  std::optional<SystemProxySettings> settings;
  std::atomic<int> reads{0};
};

class CountingAuthenticator : public HTTPRequestAuthenticator {
 public:
  bool attemptToApplyCredentialsAndResume(HTTPRequest&, bool proxy) override {
    (proxy ? proxyCalls : serverCalls)++;
    return false;
  }
  int proxyCalls = 0, serverCalls = 0;
};

std::string readBytes(int fd, size_t n) {
  std::string out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    char buf[512];
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

class ProxyTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    settings = std::make_shared<FixedSettings>();
    setProxySettingsSource(settings);
  }
  void TearDown() override {
    HttpRequestTest::TearDown();
    setProxySettingsSource(nullptr);
    HTTPRequest::setAuthenticator(nullptr);
  }

  // Runs a request for `url`; `last` records what it heard.
  HTTPRequestPtr get(const std::string& url,
                     const std::function<void(HTTPRequest&)>& configure = {}) {
    auto r = HTTPRequest::requestWithURL(url);
    if (configure) configure(*r);
    run(r, 20);
    return r;
  }
  static void via(HTTPRequest& r, const std::string& proxyURL) {
    auto p = parseProxyURL(proxyURL);
    r.setProxyHost(p->host);
    r.setProxyPort(p->port);
    r.setProxyType(proxyTypeName(p->kind));
    r.setProxyUsesTLS(p->kind == ProxyKind::HTTPS);
  }
  // nginx over TLS with the test authority's localhost certificate, serving hello.txt and
  // logging each request to access.log in `logFormat` (nginx's own when empty).
  static std::unique_ptr<NginxServer> helloOverTls(const TestCertificates& certs,
                                                   const std::string& logFormat = {}) {
    std::string format = logFormat.empty() ? "" : "log_format chosen '" + logFormat + "';\n";
    auto site = std::make_unique<NginxServer>(
        format + "server { listen 127.0.0.1:{PORT0} ssl; root {ROOT};" +
        " access_log {ROOT}/../access.log" + (logFormat.empty() ? ";" : " chosen;") +
        " ssl_certificate " + certs.serverCert.string() + "; ssl_certificate_key " +
        certs.serverKey.string() + "; }\n");
    if (site->running()) {
      std::ofstream(site->root() / "hello.txt") << "secret hello";
      ::chmod((site->root() / "hello.txt").c_str(), 0644);
    }
    return site;
  }
  std::string writeScript(const std::string& name, const std::string& text) {
    auto path = dir.path() / name;
    std::ofstream(path) << text;
    return "file://" + path.string();
  }

  std::shared_ptr<FixedSettings> settings;
  TempDir dir;
  TestServer origin{TestServer::replyForever(httpResponse(200, "origin"))};
};

TEST_F(ProxyTest, CallerSetProxyGetsAbsoluteFormAndItsCredentialsWithoutAnyLookup) {
  TestServer proxy(TestServer::replyForever(httpResponse(200, "from proxy")));
  auto r = get("http://origin.invalid:8080/a?b=1", [&](HTTPRequest& q) {
    via(q, "127.0.0.1:" + std::to_string(proxy.port()));
    q.addRequestHeader("Proxy-Authorization", "Basic cDpx");
  });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->responseString(), "from proxy");
  ASSERT_EQ(proxy.requestCount(), 1u);
  auto seen = proxy.requests()[0];
  EXPECT_EQ(seen.target, "http://origin.invalid:8080/a?b=1");
  EXPECT_EQ(seen.header("Host"), "origin.invalid:8080");
  EXPECT_EQ(seen.header("Proxy-Authorization"), "Basic cDpx");
  EXPECT_EQ(settings->reads, 0);

  // The "HTTPS" type names the same kind of proxy (from settings or a script).
  auto typed = get("http://origin.invalid/t", [&](HTTPRequest& q) {
    q.setProxyHost("127.0.0.1");
    q.setProxyPort(proxy.port());
    q.setProxyType("HTTPS");
  });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(typed->responseString(), "from proxy");
  EXPECT_EQ(proxy.requests().back().target, "http://origin.invalid/t");

  // Going direct, proxy credentials stay home.
  get(origin.url("/"), [](HTTPRequest& q) { q.addRequestHeader("Proxy-Authorization", "x"); });
  ASSERT_EQ(last.finished, 1);
  EXPECT_FALSE(origin.requests().back().hasHeader("Proxy-Authorization"));
  EXPECT_EQ(settings->reads, 1);
}

TEST_F(ProxyTest, TinyproxyForwardsHttpAndTunnelsHttpsWithoutLeakingProxyCredentials) {
  TempDir certDir;
  TestCertificates certs(certDir.path());
  ASSERT_TRUE(certs.ok);
  auto tls = helloOverTls(certs, "$http_proxy_authorization|$http_via|$request");
  ASSERT_TRUE(tls->running()) << tls->errorLog();
  TinyProxy tiny({tls->port()}, "top secret");
  ASSERT_TRUE(tiny.running());
  auto withCredentials = [&](HTTPRequest& q, const char* password) {
    via(q, tiny.url());
    q.setProxyUsername("top");
    q.setProxyPassword(password);
  };

  get(origin.url("/p"), [&](HTTPRequest& q) { withCredentials(q, "secret"); });
  ASSERT_EQ(last.finished, 1) << (last.lastError ? last.lastError->description : "");
  EXPECT_NE(origin.requests().back().header("Via").find("est-tinyproxy"), std::string::npos);
  // Wrong ones are refused once the session no longer holds the right ones.
  HTTPRequest::clearSessionCredentials();
  get(origin.url("/p"), [&](HTTPRequest& q) { withCredentials(q, "wrong"); });
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 3);

  int firstConnection = 0;
  for (int i = 0; i < 2; ++i) {
    auto r = get(tls->url("/hello.txt", 0, "https", "localhost"), [&](HTTPRequest& q) {
      withCredentials(q, "secret");
      q.setCertificateAuthorityFile(certs.caCert.string());
    });
    ASSERT_EQ(last.finished, 1) << (last.lastError ? last.lastError->description : "");
    EXPECT_EQ(r->responseString(), "secret hello");
    if (i == 0) firstConnection = r->connectionID();
    EXPECT_EQ(r->connectionID(), firstConnection);  // the tunnel is kept alive and reused
  }
  EXPECT_NE(tiny.log().find("CONNECT"), std::string::npos);
  std::ifstream log(tls->prefix() / "access.log");
  std::string line;
  std::getline(log, line);
  EXPECT_EQ(line, "-|-|GET /hello.txt HTTP/1.1");

  // TLS to the origin inside a SOCKS5 connection, checked against the origin's name.
  MicroSocks socks;
  auto s = get(tls->url("/hello.txt", 0, "https", "localhost"), [&](HTTPRequest& q) {
    via(q, socks.url());
    q.setCertificateAuthorityFile(certs.caCert.string());
  });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(s->responseString(), "secret hello");
  EXPECT_NE(s->connectionID(), firstConnection);

  // The same origin without the proxy never rides the tunnel.
  auto r = get(tls->url("/hello.txt", 0, "https", "localhost"),
               [&](HTTPRequest& q) { q.setCertificateAuthorityFile(certs.caCert.string()); });
  ASSERT_EQ(last.finished, 1);
  EXPECT_NE(r->connectionID(), firstConnection);

  // Without the proxy running, the proxied request fails as a connection failure.
  tiny.stop();
  get(origin.url("/"), [&](HTTPRequest& q) { withCredentials(q, "secret"); });
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 1);
}

// One authority signs the proxy's and the site's certificates, so only the setting each check
// reads can make it pass.
TEST_F(ProxyTest, HttpsProxyIsCheckedWithItsOwnSettingsAndCarriesTlsInsideTls) {
  TempDir certDir;
  TestCertificates certs(certDir.path());
  ASSERT_TRUE(certs.ok);
  auto site = helloOverTls(certs);
  ASSERT_TRUE(site->running()) << site->errorLog();
  TinyProxy tiny({site->port()});
  ASSERT_TRUE(tiny.running());
  TlsFront proxy(tiny.port(), certs.serverCert, certs.serverKey);
  TlsFront wrongHost(tiny.port(), certs.wrongHostCert, certs.wrongHostKey);
  TlsFront selfSigned(tiny.port(), certs.selfSignedCert, certs.selfSignedKey);
  ASSERT_TRUE(proxy.running() && wrongHost.running() && selfSigned.running());
  const std::string siteURL = site->url("/hello.txt", 0, "https", "localhost");
  const std::string ca = certs.caCert.string();
  struct Trust {
    std::string proxyCA, siteCA;
    bool checkProxy = true;
  };
  auto through = [&](const TlsFront& front, const std::string& url, const Trust& t) {
    return get(url, [&](HTTPRequest& q) {
      via(q, front.url("localhost"));
      q.setProxyCertificateAuthorityFile(t.proxyCA);
      q.setCertificateAuthorityFile(t.siteCA);
      q.setValidatesProxyCertificate(t.checkProxy);
    });
  };
  auto failure = [&]() -> std::string {
    if (last.failed != 1) return "no failure";
    EXPECT_EQ(last.lastError->domain, NetworkRequestErrorDomain);
    EXPECT_EQ(last.lastError->code, 1);
    return last.lastError->description;
  };
  auto siteRequests = [&] { return slurp((site->prefix() / "access.log").string()); };

  // A plain request inside the proxy's TLS, and the site's TLS inside it through CONNECT.
  auto plain = through(proxy, origin.url("/plain"), {ca, ""});
  ASSERT_EQ(last.finished, 1) << failure();
  EXPECT_EQ(plain->responseString(), "origin");
  EXPECT_NE(origin.requests().back().header("Via").find("est-tinyproxy"), std::string::npos);
  int tunnel = 0;
  for (int i = 0; i < 2; ++i) {
    auto r = through(proxy, siteURL, {ca, ca});
    ASSERT_EQ(last.finished, 1) << failure();
    EXPECT_EQ(r->responseString(), "secret hello");
    if (i == 0) tunnel = r->connectionID();
    EXPECT_EQ(r->connectionID(), tunnel);  // kept alive and reused
  }
  EXPECT_NE(tiny.log().find("CONNECT"), std::string::npos);
  // Other proxy trust settings never ride that tunnel.
  auto unchecked = through(proxy, siteURL, {"", ca, false});
  ASSERT_EQ(last.finished, 1) << failure();
  EXPECT_NE(unchecked->connectionID(), tunnel);

  // A proxy certificate that fails its checks ends the request before anything is sent.
  // nginx logs a request after answering it.
  EXPECT_TRUE(eventually([&] { return std::ranges::count(siteRequests(), '\n') == 3; }));
  const std::string sentToSite = siteRequests();
  size_t sentToOrigin = origin.requestCount();
  const std::pair<const TlsFront*, Trust> refused[] = {
      {&wrongHost, {ca, ca}}, {&selfSigned, {ca, ca}}, {&proxy, {"", ca}}};
  for (auto& [front, trust] : refused) {
    for (const std::string& url : {siteURL, origin.url("/never")}) {
      through(*front, url, trust);
      EXPECT_NE(failure().find("SSL problem with the proxy"), std::string::npos) << url;
    }
  }
  EXPECT_EQ(siteRequests(), sentToSite);
  EXPECT_EQ(origin.requestCount(), sentToOrigin);

  // Skipping the proxy's check leaves the site's in force; the proxy's authority is not the
  // site's.
  through(wrongHost, origin.url("/lax"), {"", "", false});
  ASSERT_EQ(last.finished, 1) << failure();
  through(wrongHost, siteURL, {"", ca, false});
  ASSERT_EQ(last.finished, 1) << failure();
  through(wrongHost, siteURL, {ca, "", false});
  EXPECT_EQ(failure().find("proxy"), std::string::npos) << failure();
  EXPECT_NE(failure().find("SSL problem"), std::string::npos);
  through(proxy, siteURL, {ca, ""});
  EXPECT_EQ(failure().find("proxy"), std::string::npos) << failure();

  // An https:// proxy from the settings is reached over TLS too.
  SystemProxySettings s;
  s.https = proxy.url("localhost");
  settings->settings = s;
  auto chosen = get(siteURL, [&](HTTPRequest& q) {
    q.setProxyCertificateAuthorityFile(ca);
    q.setCertificateAuthorityFile(ca);
  });
  ASSERT_EQ(last.finished, 1) << failure();
  EXPECT_EQ(chosen->responseString(), "secret hello");
  EXPECT_TRUE(chosen->proxyUsesTLS());
}

TEST_F(ProxyTest, RefusedTunnelsBecomeA407ReplyOrAConnectionFailure) {
  auto auth = std::make_shared<CountingAuthenticator>();
  HTTPRequest::setAuthenticator(auth);
  TestServer refusing([](ServerConnection& c) {
    auto req = c.readRequest();
    if (!req || req->method != "CONNECT") return;
    if (req->target == "needs.auth:443")
      c.sendResponse(407, "who are you",
                     "Proxy-Authenticate: Basic realm=\"p\"\r\nSet-Cookie: planted=1; Secure\r\n"
                     "Cache-Control: max-age=600\r\nLocation: https://elsewhere/\r\n",
                     "Proxy Authentication Required");
    else
      c.sendResponse(403, "no", "", "Forbidden");
  });
  auto r = get("https://needs.auth/",
               [&](HTTPRequest& q) { via(q, "127.0.0.1:" + std::to_string(refusing.port())); });
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 3);
  EXPECT_EQ(r->authenticationNeeded(), 2);
  EXPECT_EQ(r->responseStatusCode(), 407);
  EXPECT_EQ(r->responseHeaders().value("Proxy-Authenticate"), "Basic realm=\"p\"");
  // The proxy speaks for itself only: nothing of its reply passes for the site's.
  EXPECT_FALSE(r->responseHeaders().contains("Set-Cookie"));
  EXPECT_FALSE(r->responseHeaders().contains("Cache-Control"));
  EXPECT_FALSE(r->responseHeaders().contains("Location"));
  EXPECT_TRUE(r->responseCookies().empty());
  EXPECT_TRUE(CookieJar::shared().cookies().empty());
  EXPECT_EQ(toString(r->rawResponseData()), "who are you");
  EXPECT_EQ(auth->proxyCalls, 1);
  EXPECT_EQ(auth->serverCalls, 0);

  get("https://elsewhere:8443/",
      [&](HTTPRequest& q) { via(q, "127.0.0.1:" + std::to_string(refusing.port())); });
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 1);
  ASSERT_TRUE(last.lastError->underlying);
  EXPECT_NE(last.lastError->underlying->description.find("403 Forbidden"), std::string::npos);
  EXPECT_EQ(refusing.requests()[1].target, "elsewhere:8443");
}

TEST_F(ProxyTest, MicrosocksCarriesRequestsAndChecksItsCredentials) {
  MicroSocks socks("ann", "pw");
  ASSERT_TRUE(socks.running());
  const std::pair<const char*, const char*> cases[] = {
      {"pw", ""}, {"wrong", "rejected the credentials"}, {nullptr, "none of the offered"}};
  for (auto [password, complaint] : cases) {
    auto r = get(origin.url("/s"), [&](HTTPRequest& q) {
      via(q, socks.url());
      if (password) q.setProxyUsername("ann");
      if (password) q.setProxyPassword(password);
    });
    if (!*complaint) {
      ASSERT_EQ(last.finished, 1);
      EXPECT_EQ(r->responseString(), "origin");
      continue;
    }
    ASSERT_EQ(last.failed, 1) << complaint;
    EXPECT_EQ(last.lastError->code, 1);
    EXPECT_NE(last.lastError->underlying->description.find(complaint), std::string::npos);
  }
}

// A SOCKS server that checks what it is asked for, then answers as the origin itself.
TestServer::Script socksOrigin(int version, std::string* asked) {
  return [version, asked](ServerConnection& c) {
    int fd = c.fd();
    if (version == 5) {
      std::string hello = readBytes(fd, 3);
      c.send(std::string("\x05\x00", 2));
      std::string head = readBytes(fd, 5);
      if (head.size() < 5) return;
      *asked = head + readBytes(fd, static_cast<unsigned char>(head[4]) + 2);
      c.send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
    } else {
      std::string head = readBytes(fd, 8);
      std::string rest;
      int zeros = 0;
      while (zeros < 2) {
        std::string ch = readBytes(fd, 1);
        if (ch.empty()) return;
        if (ch[0] == 0) ++zeros;
        rest += ch;
      }
      *asked = head + rest;
      c.send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
    }
    if (c.readRequest()) c.sendResponse(200, "via socks");
  };
}

TEST_F(ProxyTest, SocksProxiesResolveTheOriginNameThemselves) {
  std::string asked5, asked4;
  TestServer socks5(socksOrigin(5, &asked5));
  TestServer socks4(socksOrigin(4, &asked4));
  auto r5 = get("http://name.only.the.proxy.knows:8080/", [&](HTTPRequest& q) {
    via(q, "socks5://127.0.0.1:" + std::to_string(socks5.port()));
  });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r5->responseString(), "via socks");
  EXPECT_EQ(asked5, std::string("\x05\x01\x00\x03\x19name.only.the.proxy.knows\x1f\x90", 32));

  get("http://far.example:80/", [&](HTTPRequest& q) {
    via(q, "socks4a://127.0.0.1:" + std::to_string(socks4.port()));
    q.setProxyUsername("me");
  });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(asked4, std::string("\x04\x01\x00\x50\x00\x00\x00\x01me\0far.example\0", 23));
}

TEST_F(ProxyTest, SystemSettingsChooseTheProxyAndNoProxyExemptsHosts) {
  TinyProxy tiny;
  ASSERT_TRUE(tiny.running());
  SystemProxySettings s;
  s.http = tiny.url();
  settings->settings = s;
  auto r = get(origin.url("/1"));
  ASSERT_EQ(last.finished, 1);
  EXPECT_NE(origin.requests().back().header("Via").find("est-tinyproxy"), std::string::npos);
  EXPECT_EQ(r->proxyHost(), "127.0.0.1");

  settings->settings->noProxy = "example.org, 127.0.0.0/8";
  get(origin.url("/2"));
  ASSERT_EQ(last.finished, 1);
  EXPECT_FALSE(origin.requests().back().hasHeader("Via"));

  settings->settings->http = "gopher://nowhere";
  settings->settings->noProxy.clear();
  get(origin.url("/3"));
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 6);
  EXPECT_EQ(last.lastError->description,
            "Unable to obtain information on proxy servers needed for request");

  // An https:// proxy is dialled like any other: nothing listens there.
  get(origin.url("/4"), [](HTTPRequest& q) { via(q, "https://127.0.0.1:1"); });
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 1);
}

TEST_F(ProxyTest, ScriptOverHttpPicksTheProxyWhileTheQueueAdmitsOneMore) {
  TinyProxy tiny;
  ASSERT_TRUE(tiny.running());
  std::atomic<int> limitWhileServing{0};
  TestServer pacServer([&](ServerConnection& c) {
    while (c.readRequest()) {
      limitWhileServing = HTTPRequest::sharedQueue().maxConcurrentOperationCount();
      c.sendResponse(200,
                     "function FindProxyForURL(url, host) {\n"
                     "  return 'PROXY 127.0.0.1:" +
                         std::to_string(tiny.port()) + "; DIRECT'; }",
                     "Content-Type: application/x-ns-proxy-autoconfig\r\n");
    }
  });
  SystemProxySettings s;
  s.autoConfigURL = pacServer.url("/proxy.pac");
  settings->settings = s;
  get(origin.url("/x"));
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(limitWhileServing, 5);
  EXPECT_EQ(HTTPRequest::sharedQueue().maxConcurrentOperationCount(), 4);
  EXPECT_NE(origin.requests().back().header("Via").find("est-tinyproxy"), std::string::npos);
  EXPECT_FALSE(pacServer.requests()[0].hasHeader("Via"));  // the script itself came direct

  // A synchronous request fetches and runs the script in line.
  auto sync = HTTPRequest::requestWithURL(origin.url("/sync"));
  sync->startSynchronous();
  EXPECT_FALSE(sync->error());
  EXPECT_EQ(sync->responseString(), "origin");
  EXPECT_NE(origin.requests().back().header("Via").find("est-tinyproxy"), std::string::npos);
}

TEST_F(ProxyTest, CancellingWhileTheScriptIsFetchedStopsTheFetch) {
  std::atomic<bool> closed{false};
  TestServer silent([&](ServerConnection& c) {
    if (c.readRequest()) closed = c.waitForPeerClose(10);
  });
  RecordingDelegate d;
  auto r = HTTPRequest::requestWithURL(origin.url("/never"));
  r->setPACurl(Url::parse(silent.url("/slow.pac")));
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(eventually([&] { return silent.requestCount() == 1; }));
  EXPECT_EQ(HTTPRequest::sharedQueue().maxConcurrentOperationCount(), 5);
  r->cancel();
  ASSERT_TRUE(waitForOutcome(d));
  EXPECT_EQ(d.lastError->code, 4);
  EXPECT_TRUE(eventually([&] { return closed.load(); }));
  EXPECT_TRUE(
      eventually([] { return HTTPRequest::sharedQueue().maxConcurrentOperationCount() == 4; }));
  EXPECT_EQ(origin.requestCount(), 0u);
}

TEST_F(ProxyTest, ScriptsThatCannotBeUsedLeaveTheRequestDirect) {
  TinyProxy tiny;
  ASSERT_TRUE(tiny.running());
  std::string good =
      "function FindProxyForURL(u, h) { return 'PROXY 127.0.0.1:" + std::to_string(tiny.port()) +
      "'; }";
  struct Case {
    std::string name, pac;
  };
  std::vector<Case> cases = {
      {"file", writeScript("good.pac", good)},
      {"unreachable", "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/x.pac"},
      {"loops", writeScript("loop.pac", "function FindProxyForURL(u, h) { while (true) {} }")},
      {"allocates", writeScript("mem.pac",
                                "function FindProxyForURL(u, h) { var a = [], s = 'xxxxxxxx';"
                                " for (var i = 0; i < 20; i++) s += s;"
                                " for (;;) a.push(s + Math.random()); }")},
      {"throws", writeScript("throw.pac", "function FindProxyForURL() { throw 'no'; }")},
      {"garbage", writeScript("junk.pac", "function FindProxyForURL() { return 'ELSEWHERE'; }")},
      {"missing", "file:///nonexistent/proxy.pac"},
      {"other-scheme", "ftp://127.0.0.1/proxy.pac"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto started = std::chrono::steady_clock::now();
    auto r = get(origin.url("/" + c.name), [&](HTTPRequest& q) {
      q.setPACurl(Url::parse(c.pac));
      q.setTimeOutSeconds(1);
    });
    ASSERT_EQ(last.finished, 1) << last.lastError->description;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
    bool proxied = origin.requests().back().hasHeader("Via");
    EXPECT_EQ(proxied, c.name == "file");
    EXPECT_EQ(r->proxyHost().empty(), c.name != "file");
  }
}

}  // namespace
}  // namespace est::testing
