#include "http/http_request.h"

#include <gtest/gtest.h>

#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

using Request = HTTPRequest;

TEST_F(HttpRequestTest, PlainGetSendsOnlyTheExpectedHeadersAndFinishesOnce) {
  TestServer server(TestServer::replyForever(
      httpResponse(200, "{\"status\":\"0\"}", "Content-Type: application/json\r\n")));
  UserAgent::setApplicationInfo({"", "Parking", "1.0", "7"});
  UserAgent::setDeviceInfoProvider([] { return DeviceInfo{"P", "S", "6.1", "es_UY"}; });
  auto r = Request::requestWithURL(server.url("/qorvix/json/getPriceOf30?x=1"));
  run(r);
  UserAgent::setDeviceInfoProvider(nullptr);

  EXPECT_EQ(last.events, (std::vector<std::string>{"started", "headers", "finished"}));
  EXPECT_EQ(r->responseStatusCode(), 200);
  EXPECT_EQ(r->responseStatusMessage(), "HTTP/1.1 200 OK");
  EXPECT_EQ(toString(*r->responseData()), "{\"status\":\"0\"}");
  EXPECT_FALSE(r->error());
  EXPECT_TRUE(r->isFinished());
  EXPECT_FALSE(r->isExecuting());

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& sent = requests[0];
  EXPECT_EQ(sent.method, "GET");
  EXPECT_EQ(sent.target, "/qorvix/json/getPriceOf30?x=1");
  EXPECT_EQ(sent.version, "HTTP/1.1");
  std::vector<std::string> names;
  for (auto& [n, v] : sent.headers) names.push_back(n);
  EXPECT_EQ(names, (std::vector<std::string>{"Host", "User-Agent", "Accept-Encoding"}));
  EXPECT_EQ(sent.header("User-Agent"), "Parking 1.0 rv:7 (P; S 6.1; es_UY)");
  EXPECT_EQ(sent.header("Accept-Encoding"), "gzip");
  EXPECT_EQ(sent.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
}

TEST_F(HttpRequestTest, ErrorStatusesFinishNormallyAndInterimRepliesAreSkipped) {
  const std::pair<std::string, int> cases[] = {
      {httpResponse(404, "nope", "", "Whatever"), 404},
      {httpResponse(500, "nope", "", "Whatever"), 500},
      {"HTTP/1.1 100 Continue\r\n\r\n" + httpResponse(200, "nope"), 200}};
  for (auto& [reply, status] : cases) {
    TestServer server(TestServer::replyForever(reply));
    auto r = Request::requestWithURL(server.url());
    run(r);
    EXPECT_EQ(last.finished, 1);
    EXPECT_EQ(last.failed, 0);
    EXPECT_EQ(r->responseStatusCode(), status);
    EXPECT_EQ(toString(*r->responseData()), "nope");
  }
}

TEST_F(HttpRequestTest, ClosuresAndSelectorsReceiveTheCallbacks) {
  TestServer server(TestServer::replyForever(httpResponse(200, "x")));
  struct Custom : RecordingDelegate {
    void done(HTTPRequest&) { ++customDone; }
    int customDone = 0;
  } d;
  auto r = Request::requestWithURL(server.url());
  r->setDidFinishSelector(static_cast<Request::Selector>(&Custom::done));
  int started = 0, completed = 0, headers = 0;
  r->setStartedBlock([&](HTTPRequest&) { ++started; });
  r->setHeadersReceivedBlock([&](HTTPRequest&, const HeaderMap& h) {
    ++headers;
    EXPECT_EQ(h.value("content-length"), "1");
  });
  r->setCompletionBlock([&](HTTPRequest& q) {
    ++completed;
    EXPECT_EQ(q.responseStatusCode(), 200);
  });
  r->setFailedBlock([&](HTTPRequest&) { ADD_FAILURE() << "failed"; });
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(loop.waitUntil([&] { return completed > 0; }));
  EXPECT_EQ(d.customDone, 1);
  EXPECT_EQ(d.finished, 0);  // the default hook is not the one asked for
  EXPECT_EQ(started, 1);
  EXPECT_EQ(headers, 1);
}

TEST_F(HttpRequestTest, BodiesMethodsAndHeaderSettingsShapeTheMessage) {
  TestServer server(TestServer::replyForever(httpResponse(200, "")));
  UserAgent::setApplicationInfo({"Parking", "", "1.0", "1.0"});
  auto post = Request::requestWithURL(server.url("/a"));
  post->appendPostData(std::string_view("a=1&b=2"));  // a body turns GET into POST
  auto put = Request::requestWithURL(server.url("/b"));
  put->setRequestMethod("PUT");
  put->appendPostData(std::string_view("xyz"));
  auto empty = Request::requestWithURL(server.url("/c"));
  empty->setRequestMethod("DELETE");
  empty->appendPostData(std::string_view(""));
  auto custom = Request::requestWithURL(server.url());
  custom->addRequestHeader("User-Agent", "mine/2");
  custom->addRequestHeader("X-Trace", "1");
  custom->addRequestHeader("x-trace", "2");  // a later value replaces the earlier one
  custom->setAllowCompressedResponse(false);
  custom->setUseHTTPVersionOne(true);
  auto compressed = Request::requestWithURL(server.url());
  compressed->setShouldCompressRequestBody(true);
  compressed->appendPostData(std::string(5000, 'z'));
  for (auto& r : {post, put, empty, custom, compressed}) {
    run(r);
    EXPECT_EQ(last.finished, 1);
  }
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 5u);
  EXPECT_EQ(reqs[0].method, "POST");
  EXPECT_EQ(reqs[0].header("Content-Length"), "7");
  EXPECT_EQ(reqs[0].body, "a=1&b=2");
  EXPECT_EQ(reqs[1].method, "PUT");
  EXPECT_EQ(reqs[1].body, "xyz");
  EXPECT_EQ(reqs[2].method, "DELETE");
  EXPECT_FALSE(reqs[2].hasHeader("Content-Length"));
  EXPECT_EQ(reqs[3].header("User-Agent"), "mine/2");
  EXPECT_EQ(reqs[3].header("X-Trace"), "2");
  EXPECT_FALSE(reqs[3].hasHeader("Accept-Encoding"));
  EXPECT_EQ(reqs[3].version, "HTTP/1.0");
  EXPECT_EQ(reqs[4].header("Content-Encoding"), "gzip");
  EXPECT_EQ(reqs[4].header("User-Agent").rfind("Parking 1.0 (", 0), 0u);
  EXPECT_EQ(DataDecompressor::uncompressData(toData(reqs[4].body)), toData(std::string(5000, 'z')));
}

TEST_F(HttpRequestTest, BadUrlsFailWithCode5WithoutConnecting) {
  TestServer server(TestServer::replyForever(httpResponse(200, "")));
  std::string base = server.url();
  for (std::string text : {base + "a b", std::string("http:///nohost"),
                           std::string("ftp://127.0.0.1/x"), std::string("not a url")}) {
    auto r = Request::requestWithURL(text);
    run(r);
    ASSERT_EQ(last.failed, 1) << text;
    EXPECT_EQ(last.lastError->domain, "HTTPRequestErrorDomain");
    EXPECT_EQ(last.lastError->code, 5);
    EXPECT_EQ(last.lastError->description, "Unable to create request (bad url?)");
  }
  auto injected = Request::requestWithURL(server.url());
  injected->addRequestHeader("X-Evil", "a\r\nHost: elsewhere");
  run(injected);
  EXPECT_EQ(last.lastError->code, 5);
  EXPECT_EQ(server.connectionCount(), 0);
}

}  // namespace
}  // namespace est::testing
