// The client against a real nginx on loopback (gzip, keep-alive, redirects, ranges) and
// against TLS servers whose certificates the test makes.
#include <gtest/gtest.h>

#include <fstream>

#include "http/http_request.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"
#include "http/support/test_server.h"

namespace est::testing {
namespace {

using Request = HTTPRequest;
namespace fs = std::filesystem;

class NginxTest : public HttpRequestTest {
 protected:
  static void SetUpTestSuite() {
    if (!NginxServer::available()) return;
    nginx = new NginxServer(R"(
      server {
        listen 127.0.0.1:{PORT0};
        root {ROOT};
        gzip on;
        gzip_types application/json text/plain;
        gzip_min_length 1;
        location = /old { return 301 /prices.json; }
        location = /away { return 302 http://localhost:{PORT0}/prices.json; }
        location = /loop { return 302 /loop; }
        location = /close { keepalive_timeout 0; }
      }
    )");
    std::ofstream(nginx->root() / "prices.json") << R"({"status":"0","price":"25.5"})";
    std::ofstream(nginx->root() / "close") << "closing";
    writePatternFile(nginx->root() / "big.bin", 3 * 1024 * 1024 + 17);
    for (auto& f : fs::directory_iterator(nginx->root())) ::chmod(f.path().c_str(), 0644);
  }
  static void TearDownTestSuite() {
    delete nginx;
    nginx = nullptr;
  }
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(nginx && nginx->running()) << (nginx ? nginx->errorLog() : "");
    HttpRequestTest::SetUp();
  }
  // Runs a request for `path`; `last` records what it heard.
  HTTPRequestPtr get(const std::string& path, const std::function<void(Request&)>& configure = {}) {
    auto r = Request::requestWithURL(nginx->url(path));
    if (configure) configure(*r);
    run(r);
    return r;
  }
  static NginxServer* nginx;
};
NginxServer* NginxTest::nginx = nullptr;

TEST_F(NginxTest, ListensOnBothLoopbackAddresses) {
  if (!loopbackIPv6Available()) GTEST_SKIP() << "no ::1 here";
  for (const char* host : {"127.0.0.1", "[::1]"}) {
    run(Request::requestWithURL(nginx->url("/prices.json", 0, "http", host)));
    EXPECT_EQ(last.finished, 1) << host;
  }
}

TEST_F(NginxTest, GzippedJsonIsInflatedOnRead) {
  auto r = get("/prices.json");
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->responseStatusCode(), 200);
  EXPECT_TRUE(r->isResponseCompressed());
  EXPECT_EQ(r->responseString(), R"({"status":"0","price":"25.5"})");

  auto p = get("/prices.json", [](Request& q) { q.setAllowCompressedResponse(false); });
  EXPECT_FALSE(p->isResponseCompressed());
  EXPECT_EQ(toString(p->rawResponseData()), R"({"status":"0","price":"25.5"})");
}

TEST_F(NginxTest, KeepAliveCarriesManyRequestsAndCloseEndsIt) {
  int firstConnection = 0;
  for (int i = 0; i < 10; ++i) {
    auto r = get("/prices.json");
    ASSERT_EQ(last.finished, 1);
    if (i == 0) firstConnection = r->connectionID();
    EXPECT_EQ(r->connectionID(), firstConnection);
    EXPECT_EQ(r->connectionWasReused(), i > 0);
  }
  auto closing = get("/close");
  EXPECT_EQ(closing->responseHeaders().value("Connection"), "close");
  auto next = get("/prices.json");
  EXPECT_FALSE(next->connectionWasReused());
}

TEST_F(NginxTest, RedirectsAreFollowedAndLoopsStop) {
  auto r = get("/old");
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->redirectCount(), 1);
  EXPECT_EQ(r->url()->absoluteString(), nginx->url("/prices.json"));
  EXPECT_EQ(r->responseString(), R"({"status":"0","price":"25.5"})");

  auto away = get("/away");
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(away->url()->host(), "localhost");

  get("/loop");
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 9);
}

TEST_F(NginxTest, LargeFileStreamsToDiskAndResumes) {
  TempDir dir;
  fs::path dest = dir.path() / "big.bin";
  auto r = get("/big.bin", [&](Request& q) { q.setDownloadDestinationPath(dest.string()); });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->contentLength(), fs::file_size(nginx->root() / "big.bin"));
  EXPECT_EQ(slurp(dest), slurp(nginx->root() / "big.bin"));

  fs::path partial = dir.path() / "partial";
  std::string whole = slurp(nginx->root() / "big.bin");
  std::ofstream(partial, std::ios::binary) << whole.substr(0, 1000000);
  fs::path resumed = dir.path() / "resumed.bin";
  auto rr = get("/big.bin", [&](Request& q) {
    q.setDownloadDestinationPath(resumed.string());
    q.setTemporaryFileDownloadPath(partial.string());
    q.setAllowResumeForFileDownloads(true);
  });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(rr->responseStatusCode(), 206);
  EXPECT_EQ(rr->partialDownloadSize(), 1000000u);
  EXPECT_EQ(slurp(resumed), whole);
}

class TlsTest : public HttpRequestTest {
 protected:
  static void SetUpTestSuite() {
    if (!NginxServer::available()) return;
    certDir = new TempDir;
    certs = new TestCertificates(certDir->path());
    if (!certs->ok) return;
    auto block = [](int port, const fs::path& cert, const fs::path& key) {
      return "server { listen 127.0.0.1:{PORT" + std::to_string(port) + "} ssl; root {ROOT}; " +
             "ssl_certificate " + cert.string() + "; ssl_certificate_key " + key.string() + "; " +
             "location = /login { add_header Set-Cookie \"sid=good; Secure; Path=/\"; " +
             "return 200 in; } location = /whoami { return 200 \"[$http_cookie]\"; } }\n";
    };
    nginx = new NginxServer(block(0, certs->serverCert, certs->serverKey) +
                                block(1, certs->selfSignedCert, certs->selfSignedKey) +
                                block(2, certs->wrongHostCert, certs->wrongHostKey),
                            3);
    std::ofstream(nginx->root() / "hello.txt") << "secret hello";
    ::chmod((nginx->root() / "hello.txt").c_str(), 0644);
  }
  static void TearDownTestSuite() {
    delete nginx;
    delete certs;
    delete certDir;
    nginx = nullptr;
  }
  void SetUp() override {
    if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(certs->ok) << "openssl could not make the test certificates";
    ASSERT_TRUE(nginx->running()) << nginx->errorLog();
    HttpRequestTest::SetUp();
  }
  RecordingDelegate fetch(int server, const std::function<void(Request&)>& configure = {},
                          const std::string& host = "localhost",
                          const std::string& path = "/hello.txt") {
    auto r = Request::requestWithURL(nginx->url(path, server, "https", host));
    if (configure) configure(*r);
    run(r);
    if (last.finished) body = toString(r->rawResponseData());
    return last;
  }
  static void expectSslFailure(const RecordingDelegate& d) {
    ASSERT_EQ(d.failed, 1);
    EXPECT_EQ(d.lastError->code, 1);
    EXPECT_EQ(d.lastError->description,
              "A connection failure occurred: SSL problem (possibly a bad/expired/self-signed "
              "certificate)");
  }
  std::string body;
  static TempDir* certDir;
  static TestCertificates* certs;
  static NginxServer* nginx;
};
TempDir* TlsTest::certDir = nullptr;
TestCertificates* TlsTest::certs = nullptr;
NginxServer* TlsTest::nginx = nullptr;

TEST_F(TlsTest, OnlyTrustedCertificatesForTheHostPassUnlessCheckingIsOffAndNeverShared) {
  auto trusting = [](Request& q) { q.setCertificateAuthorityFile(certs->caCert); };
  auto unchecked = [](Request& q) { q.setValidatesSecureCertificate(false); };
  expectSslFailure(fetch(0));  // an authority nobody named
  EXPECT_EQ(fetch(0, trusting).finished, 1);
  EXPECT_EQ(body, "secret hello");
  EXPECT_EQ(fetch(0, trusting, "127.0.0.1").finished, 1);
  expectSslFailure(fetch(1));  // self-signed
  expectSslFailure(fetch(1, trusting));
  expectSslFailure(fetch(2, trusting));  // a trusted authority, but for another host
  EXPECT_EQ(fetch(2, unchecked).finished, 1);
  ASSERT_EQ(fetch(1, unchecked).finished, 1);
  // Same host and port, verification on: must not ride the unverified connection.
  expectSslFailure(fetch(1));
}

TEST_F(TlsTest, PlainHttpOnTheSameNameCannotSetOrOverwriteTheSitesCookies) {
  CookieJar::shared().removeAllCookies();
  auto trusting = [](Request& q) { q.setCertificateAuthorityFile(certs->caCert); };
  ASSERT_EQ(fetch(0, trusting, "localhost", "/login").finished, 1);
  TestServer plain([](ServerConnection& c) {
    while (c.readRequest())
      c.sendResponse(200, "",
                     "Set-Cookie: sid=evil; Path=/\r\nSet-Cookie: planted=1; Secure\r\n"
                     "Set-Cookie: __Secure-p=1; Secure\r\nSet-Cookie: __Host-q=1; Secure; "
                     "Path=/\r\n");
  });
  run(Request::requestWithURL("http://localhost:" + std::to_string(plain.port()) + "/"));
  ASSERT_EQ(last.finished, 1);
  ASSERT_EQ(fetch(0, trusting, "localhost", "/whoami").finished, 1);
  EXPECT_EQ(body, "[sid=good]");
}

TEST_F(TlsTest, NothingOlderThanTls12EvenUnderAPermissiveSystemConfiguration) {
  fs::path conf = certDir->path() / "permissive.cnf";
  std::ofstream(conf) << "openssl_conf = c\n[c]\nssl_conf = s\n[s]\nsystem_default = d\n"
                         "[d]\nMinProtocol = TLSv1\nCipherString = DEFAULT@SECLEVEL=0\n";
  int port = freeLoopbackPort();
  pid_t server = spawnQuietly({"env", "OPENSSL_CONF=" + conf.string(), "openssl", "s_server",
                               "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0", "-www", "-accept",
                               "127.0.0.1:" + std::to_string(port), "-cert",
                               certs->serverCert.string(), "-key", certs->serverKey.string()});
  ASSERT_TRUE(waitUntilListening(server, {port}));
  ASSERT_GT(server, 0);
  TempDir out;
  std::string command = "OPENSSL_CONF=" + conf.string() + " " + EST_FETCH_PATH +
                        " -s -k https://127.0.0.1:" + std::to_string(port) + "/ >" +
                        (out.path() / "o").string() + " 2>&1";
  int rc = WEXITSTATUS(std::system(command.c_str()));
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  EXPECT_EQ(rc, 1) << slurp(out.path() / "o");
}

TEST_F(TlsTest, FetchToolTrustsACertificateAuthorityFileOrNothing) {
  std::string url = nginx->url("/hello.txt", 0, "https", "localhost");
  TempDir out;
  auto run = [&](const std::string& args) {
    return WEXITSTATUS(std::system((std::string(EST_FETCH_PATH) + " -s " + args + " >" +
                                    (out.path() / "o").string() + " 2>/dev/null")
                                       .c_str()));
  };
  EXPECT_EQ(run(url), 1);
  EXPECT_EQ(run("--cacert " + certs->caCert.string() + " " + url), 0);
  EXPECT_EQ(slurp(out.path() / "o"), "secret hello");
  EXPECT_EQ(run("-k " + nginx->url("/hello.txt", 1, "https", "localhost")), 0);
}

}  // namespace
}  // namespace est::testing
