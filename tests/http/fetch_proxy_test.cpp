// The fetch tool's proxy options against tinyproxy, microsocks and scripts.
#include <gtest/gtest.h>

#include <fstream>

#include "http/support/fetch_fixture.h"
#include "http/support/proxy_servers.h"
#include "http/support/test_server.h"

namespace est::testing {
namespace {

using FetchProxyTest = FetchFixture;

TEST_F(FetchProxyTest, ProxyAndPacOptionsRouteThroughHttpAndSocksProxies) {
  TestServer origin(TestServer::replyForever(httpResponse(200, "hello")));
  TinyProxy tiny;
  MicroSocks socks("ann", "pw");
  ASSERT_TRUE(tiny.running() && socks.running());

  EXPECT_EQ(fetch("-i --proxy " + tiny.url() + " " + origin.url("/a")), 0) << err;
  EXPECT_NE(out.find("est-tinyproxy"), std::string::npos) << out;
  EXPECT_NE(out.find("hello"), std::string::npos);
  EXPECT_EQ(origin.requests().back().target, "/a");  // tinyproxy passes the path on

  EXPECT_EQ(fetch("--proxy " + socks.url() + " --proxy-user ann:pw " + origin.url("/b")), 0) << err;
  EXPECT_EQ(out, "hello");
  EXPECT_EQ(fetch("--proxy socks5://ann:pw@127.0.0.1:" + std::to_string(socks.port()) + " " +
                  origin.url("/c")),
            0)
      << err;

  // A proxy that wants credentials gets them from --proxy-user.
  TinyProxy guarded({}, "top secret");
  ASSERT_TRUE(guarded.running());
  EXPECT_EQ(fetch("--proxy " + guarded.url() + " --proxy-user top:secret " + origin.url("/e")), 0)
      << err;
  EXPECT_EQ(out, "hello");
  EXPECT_EQ(fetch("--proxy " + guarded.url() + " " + origin.url("/f")), 3);  // the error code
  EXPECT_NE(err.find("Authentication needed"), std::string::npos) << err;

  EXPECT_NE(fetch("--proxy ftp://x " + origin.url("/")), 0);
  EXPECT_NE(err.find("bad proxy"), std::string::npos);

  // --pac takes a path (spaces and all) or an http URL.
  std::string script = "function FindProxyForURL(url, host) { return 'PROXY 127.0.0.1:" +
                       std::to_string(tiny.port()) + "'; }";
  TestServer pacServer(TestServer::replyForever(httpResponse(200, script)));
  std::ofstream(dir / "my proxy.pac") << script;

  EXPECT_EQ(fetch("-i --pac '" + (dir / "my proxy.pac").string() + "' " + origin.url("/f")), 0)
      << err;
  EXPECT_NE(out.find("est-tinyproxy"), std::string::npos) << out;
  EXPECT_EQ(fetch("-i --pac " + pacServer.url("/p.pac") + " " + origin.url("/g")), 0) << err;
  EXPECT_NE(out.find("est-tinyproxy"), std::string::npos) << out;
  EXPECT_EQ(pacServer.requestCount(), 1u);
}

TEST_F(FetchProxyTest, HttpsProxyOptionsDecideOnlyTheProxysCertificate) {
  TempDir certDir;
  TestCertificates certs(certDir.path());
  ASSERT_TRUE(certs.ok);
  TestServer origin(TestServer::replyForever(httpResponse(200, "hello")));
  TlsFront site(origin.port(), certs.serverCert, certs.serverKey);
  TinyProxy tiny({site.port()});
  ASSERT_TRUE(site.running() && tiny.running());
  TlsFront proxy(tiny.port(), certs.serverCert, certs.serverKey);
  ASSERT_TRUE(proxy.running());
  const std::string via = "--proxy " + proxy.url("localhost") + " ";
  const std::string ca = certs.caCert.string();
  const std::string secure = "https://localhost:" + std::to_string(site.port()) + "/s";

  EXPECT_EQ(fetch(via + "--proxy-cacert " + ca + " " + origin.url("/a")), 0) << err;
  EXPECT_EQ(out, "hello");
  EXPECT_EQ(fetch(via + "--proxy-cacert " + ca + " --cacert " + ca + " " + secure), 0) << err;
  EXPECT_EQ(out, "hello");
  EXPECT_EQ(fetch(via + "--proxy-insecure --cacert " + ca + " " + secure), 0) << err;
  EXPECT_EQ(origin.requestCount(), 3u);

  EXPECT_EQ(fetch(via + "--cacert " + ca + " " + origin.url("/b")), 1);
  EXPECT_NE(err.find("SSL problem with the proxy"), std::string::npos) << err;
  EXPECT_EQ(fetch(via + "--proxy-insecure " + secure), 1);
  EXPECT_NE(err.find("SSL problem"), std::string::npos) << err;
  EXPECT_EQ(err.find("proxy"), std::string::npos) << err;
  EXPECT_EQ(origin.requestCount(), 3u);
}

TEST_F(FetchProxyTest, AProxysRefusalOfATunnelIsShownAsTheProxys) {
  TestServer refusing([](ServerConnection& c) {
    if (c.readRequest())
      c.sendResponse(407, "", "Proxy-Authenticate: Basic realm=\"p\"\r\nSet-Cookie: s=1\r\n",
                     "Proxy Authentication Required");
  });
  EXPECT_EQ(
      fetch("-i --proxy 127.0.0.1:" + std::to_string(refusing.port()) + " https://site.example/"),
      3)
      << err;
  EXPECT_TRUE(out.starts_with("(proxy) HTTP/1.1 407 Proxy Authentication Required\r\n")) << out;
  EXPECT_EQ(out.find("Set-Cookie"), std::string::npos) << out;
}

}  // namespace
}  // namespace est::testing
