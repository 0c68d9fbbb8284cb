// Cancelling, synchronous runs, and the one-outcome rule under hostile replies.
#include <gtest/gtest.h>

#include <thread>

#include "http/http_request.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

using Request = HTTPRequest;

void silent(ServerConnection& c) {
  if (c.readRequest()) c.waitForPeerClose(30);
}

TEST_F(HttpRequestTest, CancelDeliversOneFailureBeforeOrDuringButNothingAfterCompletion) {
  TestServer server(silent);
  auto r = Request::requestWithURL(server.url());
  RecordingDelegate d;
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(eventually([&] { return server.requestCount() == 1; }));
  r->cancel();
  r->cancel();
  ASSERT_TRUE(waitForFinish(*r));
  eventually([] { return false; }, 0.1);
  EXPECT_EQ(d.failed, 1);
  EXPECT_EQ(d.finished, 0);
  EXPECT_EQ(d.lastError->code, 4);
  EXPECT_EQ(d.lastError->description, "The request was cancelled");
  EXPECT_TRUE(r->isCancelled());

  TestServer fine(TestServer::replyForever(httpResponse(200, "ok")));
  auto done = Request::requestWithURL(fine.url());
  run(done);
  done->cancel();
  eventually([] { return false; }, 0.1);
  EXPECT_EQ(last.events, (std::vector<std::string>{"started", "headers", "finished"}));
  EXPECT_FALSE(done->error());
  EXPECT_FALSE(done->isCancelled());

  // Cancelled before it starts: one failure, and no connection is ever made.
  auto early = Request::requestWithURL(fine.url());
  RecordingDelegate d3;
  early->setDelegate(&d3);
  early->cancel();
  ASSERT_TRUE(waitForOutcome(d3));
  early->startAsynchronous();
  ASSERT_TRUE(waitForFinish(*early));
  EXPECT_EQ(d3.failed, 1);
  EXPECT_EQ(d3.lastError->code, 4);
  EXPECT_EQ(fine.connectionCount(), 1);
}

TEST_F(HttpRequestTest, ClearedDelegateHearsNothingMore) {
  std::string body(200000, 'd');
  TestServer server([&](ServerConnection& c) {
    if (!c.readRequest()) return;
    c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size() * 2) + "\r\n\r\n");
    c.send(body);
    c.waitForPeerClose(10);
  });
  auto r = Request::requestWithURL(server.url());
  RecordingDelegate d;
  d.takeData = true;
  int closures = 0;
  r->setCompletionBlock([&](Request&) { ++closures; });
  r->setFailedBlock([&](Request&) { ++closures; });
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(eventually([&] { return !d.data.empty(); }));
  r->clearDelegatesAndCancel();
  size_t seen = d.events.size();
  ASSERT_TRUE(waitForFinish(*r));
  eventually([] { return false; }, 0.2);
  EXPECT_EQ(d.events.size(), seen);
  EXPECT_EQ(d.outcomes(), 0);
  EXPECT_EQ(closures, 0);
  EXPECT_EQ(r->error()->code, 4);
}

TEST_F(HttpRequestTest, SynchronousRequestsDeliverInLineOnTheMainThreadAndPostFromElsewhere) {
  TestServer server(TestServer::replyForever(httpResponse(200, "sync")));
  for (int i = 0; i < 2; ++i) {
    auto r = Request::requestWithURL(server.url());
    RecordingDelegate d;
    r->setDelegate(&d);
    r->startSynchronous();
    EXPECT_EQ(d.events, (std::vector<std::string>{"started", "headers", "finished"}));
    EXPECT_EQ(toString(*r->responseData()), "sync");
    EXPECT_TRUE(r->isSynchronous());
    EXPECT_FALSE(r->inProgress());
    EXPECT_EQ(r->connectionWasReused(), i == 1);
  }
  EXPECT_EQ(server.connectionCount(), 1);

  auto r = Request::requestWithURL(server.url());
  RecordingDelegate d;
  r->setDelegate(&d);
  std::thread([&] { r->startSynchronous(); }).join();
  EXPECT_EQ(toString(*r->responseData()), "sync");  // it returned with the reply
  EXPECT_EQ(d.outcomes(), 0);                       // not yet delivered: the main loop has not run
  loop.runPending();
  EXPECT_EQ(d.finished, 1);
}

// Replies a hostile or broken server might send; each must end in one clear failure.
TEST_F(HttpRequestTest, MalformedRepliesFailWithConnectionFailure) {
  struct Case {
    const char* what;
    std::string reply;
  };
  std::string endlessHeader = "HTTP/1.1 200 OK\r\n";
  while (endlessHeader.size() < 2 * 1024 * 1024)
    endlessHeader += "X-Filler: " + std::string(100, 'y') + "\r\n";
  const std::vector<Case> cases = {
      {"garbage", "this is not http at all\r\n\r\n"},
      {"bad status", "HTTP/1.1 abc OK\r\nContent-Length: 0\r\n\r\n"},
      {"header without colon", "HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n"},
      {"endless header", endlessHeader},
      {"short body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten.."},
      {"bad content length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n"},
      {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"},
      {"broken chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n"},
      {"endless chunk size",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(1024 * 1024, '1')},
      {"chunked cut short", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"},
      {"closed mid header", "HTTP/1.1 200 OK\r\nContent-Le"},
  };
  for (auto& c : cases) {
    TestServer server([&](ServerConnection& conn) {
      if (!conn.readRequest()) return;
      conn.send(c.reply);
    });
    auto r = Request::requestWithURL(server.url());
    r->setTimeOutSeconds(5);
    run(r);
    ASSERT_EQ(last.failed, 1) << c.what;
    EXPECT_EQ(last.finished, 0) << c.what;
    EXPECT_EQ(last.lastError->code, 1) << c.what;
    EXPECT_EQ(last.lastError->description, "A connection failure occurred") << c.what;
    EXPECT_TRUE(Request::persistentConnectionsPool().empty()) << c.what;
  }
}

}  // namespace
}  // namespace est::testing

namespace est::testing {
namespace {

TEST_F(HttpRequestTest, ActivityIndicatorAndBandwidthAccountFollowTransfers) {
  std::vector<bool> shown;
  HTTPRequest::setNetworkActivityIndicatorHandler([&](bool visible) { shown.push_back(visible); });
  auto before = HTTPRequest::bandwidthThrottle()->totalBytes();
  TestServer server(TestServer::replyForever(httpResponse(200, std::string(1000, 'b'))));
  auto r = HTTPRequest::requestWithURL(server.url());
  run(r);
  EXPECT_FALSE(HTTPRequest::isNetworkInUse());
  EXPECT_EQ(shown, std::vector<bool>{true});
  loop.advance(Seconds(0.5));  // hidden only after half a second without transfers
  EXPECT_EQ(shown, (std::vector<bool>{true, false}));
  EXPECT_EQ(HTTPRequest::bandwidthThrottle()->totalBytes() - before, 1000u);
  HTTPRequest::setNetworkActivityIndicatorHandler(nullptr);
}

}  // namespace
}  // namespace est::testing
