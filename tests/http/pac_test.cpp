// Proxy auto-configuration scripts: the helpers a script may call, reading its answer, and
// the limits that keep a hostile script from stalling or exhausting the application.
#include "http/pac.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "http/support/nginx_server.h"

namespace est {
namespace {

// Wednesday 2026-03-04 23:30:15 UTC; 01:30:15 on Thursday 5 March at UTC+2.
PACEnvironment fixedEnvironment() {
  PACEnvironment env;
  env.unixTime = 1772667015;
  env.utcOffsetSeconds = 7200;
  env.hostAddress = "10.1.2.3";
  env.myAddress = "192.168.7.9";
  return env;
}

// Evaluates `expression` inside a script and returns its text form.
std::string eval(const std::string& expression, const std::string& host = "www.corp.example") {
  std::string script = "function FindProxyForURL(url, host) { return String(" + expression + "); }";
  Error error;
  auto out = runPACScript(script, "http://" + host + "/", host, fixedEnvironment(), {}, &error);
  return out ? *out : "error: " + error.description;
}

TEST(PACHelpers, HostNameFunctions) {
  EXPECT_EQ(eval("isPlainHostName('www') + ' ' + isPlainHostName('www.a')"), "true false");
  EXPECT_EQ(eval("dnsDomainIs('www.Corp.example', '.corp.example') + ' ' + "
                 "dnsDomainIs('www.other', '.corp.example')"),
            "true false");
  EXPECT_EQ(eval("localHostOrDomainIs('www', 'www.corp.example') + ' ' + "
                 "localHostOrDomainIs('www.corp.example', 'www.corp.example') + ' ' + "
                 "localHostOrDomainIs('www.other.example', 'www.corp.example')"),
            "true true false");
  EXPECT_EQ(eval("dnsDomainLevels('www') + ',' + dnsDomainLevels('a.b.c')"), "0,2");
  EXPECT_EQ(eval("shExpMatch('http://x.corp/a.b?q', '*.corp/a.?*') + ' ' + "
                 "shExpMatch('xcorp', '*.corp') + ' ' + shExpMatch('a(b)', 'a(?)')"),
            "true false true");
}

TEST(PACHelpers, AddressesComeFromTheParentOnly) {
  EXPECT_EQ(eval("dnsResolve(host)"), "10.1.2.3");
  EXPECT_EQ(eval("dnsResolve('10.9.9.9') + ' ' + dnsResolve('localhost')"), "10.9.9.9 127.0.0.1");
  EXPECT_EQ(eval("dnsResolve('elsewhere.example') + ' ' + isResolvable('elsewhere.example')"),
            "null false");
  EXPECT_EQ(eval("myIpAddress()"), "192.168.7.9");
  EXPECT_EQ(eval("isInNet(host, '10.0.0.0', '255.0.0.0') + ' ' + "
                 "isInNet(host, '10.1.3.0', '255.255.255.0') + ' ' + "
                 "isInNet('unknown.example', '0.0.0.0', '0.0.0.0')"),
            "true false false");
  EXPECT_EQ(eval("convertAddr('1.2.3.4')"), "16909060");
}

TEST(PACHelpers, DayDateAndTimeInLocalTimeAndGMT) {
  EXPECT_EQ(eval("weekdayRange('THU') + ' ' + weekdayRange('WED', 'GMT') + ' ' + "
                 "weekdayRange('FRI', 'MON') + ' ' + weekdayRange('SAT', 'THU')"),
            "true true false true");
  EXPECT_EQ(eval("dateRange(5) + ' ' + dateRange(4, 'GMT') + ' ' + dateRange('MAR') + ' ' + "
                 "dateRange(2026) + ' ' + dateRange(1, 'MAR', 5, 'MAR') + ' ' + "
                 "dateRange('DEC', 2025, 'FEB', 2026) + ' ' + dateRange(6, 31)"),
            "true true true true true false false");
  EXPECT_EQ(eval("timeRange(1) + ' ' + timeRange(23, 'GMT') + ' ' + timeRange(22, 2) + ' ' + "
                 "timeRange(1, 30, 1, 31) + ' ' + timeRange(1, 30, 16, 1, 30, 20) + ' ' + "
                 "timeRange(2, 3)"),
            "true true true true false false");
}

TEST(PACResult, FirstUsableEntryWins) {
  auto all = parsePACResult("PROXY a:1; junk; SOCKS b:2 ;SOCKS5 c:3;HTTPS d:4; DIRECT; PROXY e");
  std::vector<ProxyKind> kinds;
  for (auto& e : all) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<ProxyKind>{ProxyKind::HTTP, ProxyKind::SOCKS, ProxyKind::SOCKS,
                                           ProxyKind::HTTPS, ProxyKind::Direct}));
  EXPECT_EQ(all[0].host + ":" + std::to_string(all[0].port), "a:1");

  EXPECT_EQ(firstUsablePACEntry("proxy p.corp:8080; DIRECT")->host, "p.corp");
  EXPECT_EQ(firstUsablePACEntry("HTTPS p:443; DIRECT")->kind, ProxyKind::HTTPS);  // over TLS
  EXPECT_EQ(firstUsablePACEntry("PROXY user@p:1; PROXY p/x:1; SOCKS q:2")->host, "q");
  EXPECT_FALSE(firstUsablePACEntry("nonsense"));
  EXPECT_FALSE(firstUsablePACEntry(""));
}

class PACLimitsTest : public ::testing::Test {
 protected:
  // Runs a script with a short limit; returns the error it ended with (empty on success).
  std::string failure(const std::string& script, double timeout = 0.5) {
    PACLimits limits;
    limits.timeoutSeconds = timeout;
    Error error;
    auto started = std::chrono::steady_clock::now();
    auto out = runPACScript(script, "http://h/", "h", fixedEnvironment(), limits, &error);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return out ? std::string() : error.description;
  }
  double seconds = 0;
};

TEST_F(PACLimitsTest, ALoopingScriptIsKilledAtTheTimeLimit) {
  EXPECT_NE(failure("function FindProxyForURL(u, h) { while (true) {} }").find("longer than"),
            std::string::npos);
  EXPECT_LT(seconds, 2.0);
  EXPECT_NE(failure("for (;;) {}").find("longer than"), std::string::npos);
}

TEST_F(PACLimitsTest, AScriptThatAllocatesWithoutEndRunsOutOfItsOwnHeap) {
  std::string e = failure(
      "function FindProxyForURL(u, h) { var a = [], s = 'xxxxxxxx';"
      " for (var i = 0; i < 20; i++) s += s;"
      " for (;;) a.push(s + Math.random()); }",
      20);
  EXPECT_FALSE(e.empty());
  EXPECT_EQ(e.find("longer than"), std::string::npos) << e;
  EXPECT_LT(seconds, 10.0);
}

TEST_F(PACLimitsTest, BrokenScriptsAndAnswersAreErrors) {
  EXPECT_NE(failure("function FindProxyForURL(u, h) { throw new Error('boom'); }").find("boom"),
            std::string::npos);
  EXPECT_NE(failure("function FindProxyForURL(u, h) {").find("failed"), std::string::npos);
  EXPECT_NE(failure("var x = 1;").find("no FindProxyForURL"), std::string::npos);
  EXPECT_NE(failure("function FindProxyForURL(u, h) { return 42; }").find("other than a text"),
            std::string::npos);
  EXPECT_EQ(failure("function FindProxyForURL(u, h) { return 'DIRECT'; }"), "");
}

TEST_F(PACLimitsTest, NothingOutsideTheScriptIsReachable) {
  // No module loader, file or process access exists for a script to call.
  std::string probe =
      "function FindProxyForURL(u, h) { return [typeof require, typeof print, typeof alert,"
      " typeof Duktape.modSearch, typeof readFile, typeof process].join(','); }";
  auto out = runPACScript(probe, "http://h/", "h", fixedEnvironment(), {});
  ASSERT_TRUE(out);
  EXPECT_EQ(out->find("function"), std::string::npos) << *out;
}

TEST(PACEvaluation, DirectAndFailuresGiveNoProxy) {
  Url u = *Url::parse("http://intranet.corp/x#frag");
  const char* script =
      "function FindProxyForURL(url, host) {"
      "  if (url.indexOf('#') >= 0) return 'PROXY fragment:1';"
      "  return isPlainHostName(host) ? 'DIRECT' : 'PROXY p.corp:3128; DIRECT'; }";
  auto entry = evaluatePACScriptForURL(script, u, 5);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->host, "p.corp");
  EXPECT_FALSE(evaluatePACScriptForURL(script, *Url::parse("http://intranet/"), 5));
  Error error;
  EXPECT_FALSE(evaluatePACScriptForURL("function FindProxyForURL(){return 'BOGUS'}", u, 5, &error));
  EXPECT_NE(error.description.find("no usable proxy"), std::string::npos);
  EXPECT_FALSE(evaluatePACScriptForURL("", u, 5));
}

TEST(PACEvaluation, ScriptsSeeNoCredentialsAndOfHttpsOnlyTheOrigin) {
  // The script names the URL it was given by choosing a proxy only for the expected one.
  auto seen = [](const std::string& url, const std::string& expected) {
    std::string script = "function FindProxyForURL(url, host) { return url == '" + expected +
                         "' ? 'PROXY told.example:1' : 'PROXY leaked.example:1'; }";
    auto entry = evaluatePACScriptForURL(script, *Url::parse(url), 5);
    return entry ? entry->host : std::string();
  };
  EXPECT_EQ(seen("https://ann:pw@bank.example:8443/account/42?token=s3cret#top",
                 "https://bank.example:8443/"),
            "told.example");
  EXPECT_EQ(seen("https://bank.example/a?b", "https://bank.example/"), "told.example");
  EXPECT_EQ(seen("http://ann:pw@shop.example/cart?id=1#x", "http://shop.example/cart?id=1"),
            "told.example");
  EXPECT_EQ(seen("http://shop.example:8080", "http://shop.example:8080/"), "told.example");
}

TEST(PACFile, ReadsDecodesAndGivesUpOnAStalledPipe) {
  testing::TempDir dir;
  auto path = dir.path() / "proxy.pac";
  std::string big(40000, 'a');
  std::ofstream(path, std::ios::binary) << big << "\xe9";
  auto bytes = readPACFile(path.string(), 2);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 40001u);
  EXPECT_EQ(decodePACScript(*bytes).substr(40000), "\xc3\xa9");  // Latin-1 é as UTF-8
  EXPECT_EQ(decodePACScript(Data{0xc3, 0xa9}), "\xc3\xa9");

  Error missing;
  EXPECT_FALSE(readPACFile((dir.path() / "none").string(), 1, &missing));
  EXPECT_FALSE(missing.description.empty());

  // A FIFO whose writer never writes nor closes.
  auto fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  auto started = std::chrono::steady_clock::now();
  Error stalled;
  EXPECT_FALSE(readPACFile(fifo.string(), 0.3, &stalled));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_NE(stalled.description.find("timed out"), std::string::npos);
  ::close(writer);
}

}  // namespace
}  // namespace est
