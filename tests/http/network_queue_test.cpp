#include "http/network_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "http/form_data_request.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

struct QueueRecorder : NetworkQueueDelegate {
  void queueRequestStarted(HTTPRequest&) override { ++started; }
  void queueRequestReceivedResponseHeaders(HTTPRequest&, const HeaderMap& h) override {
    statuses.push_back(h.value("X-Tag"));
  }
  void queueRequestFinished(HTTPRequest&) override { ++finished; }
  void queueRequestFailed(HTTPRequest& r) override {
    ++failed;
    codes.push_back(r.error() ? r.error()->code : 0);
  }
  void queueFinished(NetworkQueue& q) override {
    ++queueDone;
    countAtQueueDone = q.requestsCount();
  }
  int started = 0, finished = 0, failed = 0, queueDone = 0, countAtQueueDone = -1;
  std::vector<std::string> statuses;
  std::vector<int> codes;
};

struct ProgressRecorder : ProgressDelegate {
  void setProgress(double f) override { values.push_back(f); }
  std::vector<double> values;
};

class NetworkQueueTest : public HttpRequestTest {
 protected:
  NetworkQueuePtr makeQueue(QueueRecorder& rec) {
    auto q = NetworkQueue::queue();
    q->setDelegate(&rec);
    q->setRequestDidStartSelector(&NetworkQueueDelegate::queueRequestStarted);
    q->setRequestDidReceiveResponseHeadersSelector(
        &NetworkQueueDelegate::queueRequestReceivedResponseHeaders);
    q->setRequestDidFinishSelector(&NetworkQueueDelegate::queueRequestFinished);
    q->setRequestDidFailSelector(&NetworkQueueDelegate::queueRequestFailed);
    q->setQueueDidFinishSelector(&NetworkQueueDelegate::queueFinished);
    queues.push_back(q);
    return q;
  }
  bool waitQueueDone(const QueueRecorder& rec, const NetworkQueuePtr& q) {
    bool ok = eventually([&] { return rec.queueDone > 0 && q->operationCount() == 0; });
    loop.runPending();
    return ok;
  }
  void TearDown() override {
    for (auto& q : queues) {
      q->reset();
      q->go();
      eventually([&] { return q->operationCount() == 0; }, 5);
    }
    HttpRequestTest::TearDown();
  }
  std::vector<NetworkQueuePtr> queues;
};

TEST_F(NetworkQueueTest, TakesOnlyRequestsStartsNothingBeforeGoThenForwardsEveryCallback) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok", "X-Tag: t\r\n")));
  QueueRecorder rec;
  auto q = makeQueue(rec);
  Error error;
  EXPECT_FALSE(q->addOperation(std::make_shared<Operation>(), &error));  // only requests
  EXPECT_EQ(error.domain, "AttemptToAddInvalidRequest");
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(q->addOperation(HTTPRequest::requestWithURL(server.url())));
  EXPECT_EQ(q->requestsCount(), 3);
  // A started request would reach the server well within this.
  EXPECT_FALSE(eventually([&] { return server.requestCount() > 0; }, 0.3));
  EXPECT_EQ(rec.started, 0);

  q->go();
  ASSERT_TRUE(waitQueueDone(rec, q));
  EXPECT_EQ(rec.started, 3);
  EXPECT_EQ(rec.statuses, (std::vector<std::string>{"t", "t", "t"}));
  EXPECT_EQ(rec.finished, 3);
  EXPECT_EQ(rec.failed, 0);
  EXPECT_EQ(rec.queueDone, 1);
  EXPECT_EQ(rec.countAtQueueDone, 0);
  EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(NetworkQueueTest, AFailureCancelsTheRestUnlessSwitchedOff) {
  // Resets every connection: the request fails (after its one retry on a new connection).
  TestServer bad([](ServerConnection& c) {
    c.readRequest();
    c.abort();
  });
  for (bool cancelRest : {true, false}) {
    // Slow replies: the request that the queue starts while the failure is on its way to the
    // main loop is still running when the cancel reaches it.
    TestServer good([](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (!c.sendResponse(200, "ok")) break;
      }
    });
    QueueRecorder rec;
    auto q = makeQueue(rec);
    q->setShouldCancelAllRequestsOnFailure(cancelRest);
    q->setMaxConcurrentOperationCount(1);  // the failing one runs alone, first
    q->addOperation(HTTPRequest::requestWithURL(bad.url()));
    q->addOperation(HTTPRequest::requestWithURL(good.url("/2")));
    q->addOperation(HTTPRequest::requestWithURL(good.url("/3")));
    q->go();
    ASSERT_TRUE(waitQueueDone(rec, q));
    EXPECT_EQ(rec.queueDone, 1);
    if (cancelRest) {
      EXPECT_EQ(rec.failed, 3);
      EXPECT_EQ(rec.finished, 0);
      ASSERT_EQ(rec.codes.size(), 3u);
      EXPECT_EQ(rec.codes[0], ConnectionFailureErrorType);
      EXPECT_EQ(rec.codes[1], RequestCancelledErrorType);
      EXPECT_EQ(rec.codes[2], RequestCancelledErrorType);
      // The third never started.
      EXPECT_LE(good.requestCount(), 1u);
    } else {
      EXPECT_EQ(rec.failed, 1);
      EXPECT_EQ(rec.finished, 2);
      EXPECT_EQ(good.requestCount(), 2u);
    }
  }
}

TEST_F(NetworkQueueTest, RunsNoMoreThanItsLimitAtOnce) {
  std::atomic<int> active{0}, most{0};
  TestServer server([&](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      int now = ++active;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      --active;
      if (!c.sendResponse(200, "ok")) break;
    }
  });
  QueueRecorder rec;
  auto q = makeQueue(rec);
  q->setMaxConcurrentOperationCount(2);
  for (int i = 0; i < 6; ++i) q->addOperation(HTTPRequest::requestWithURL(server.url()));
  q->go();
  ASSERT_TRUE(waitQueueDone(rec, q));
  EXPECT_EQ(rec.finished, 6);
  EXPECT_EQ(most.load(), 2);
}

TEST_F(NetworkQueueTest, ProgressWithoutAccuracyCountsRequests) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  QueueRecorder rec;
  ProgressRecorder down, up;
  auto q = makeQueue(rec);
  q->setDownloadProgressDelegate(&down);
  q->setUploadProgressDelegate(&up);
  q->setMaxConcurrentOperationCount(1);
  q->addOperation(HTTPRequest::requestWithURL(server.url()));
  q->addOperation(HTTPRequest::requestWithURL(server.url()));
  EXPECT_EQ(q->totalBytesToDownload(), 2u);
  EXPECT_EQ(q->totalBytesToUpload(), 2u);
  q->go();
  ASSERT_TRUE(waitQueueDone(rec, q));
  EXPECT_EQ(q->bytesDownloadedSoFar(), 2u);
  ASSERT_FALSE(down.values.empty());
  EXPECT_NE(std::find(down.values.begin(), down.values.end(), 0.5), down.values.end());
  EXPECT_DOUBLE_EQ(down.values.back(), 1.0);
  EXPECT_DOUBLE_EQ(up.values.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(down.values.begin(), down.values.end()));
}

TEST_F(NetworkQueueTest, AccurateProgressSumsBodyAndReplyBytes) {
  std::string reply(100000, 'r');
  TestServer server(TestServer::replyForever(httpResponse(200, reply)));
  QueueRecorder rec;
  ProgressRecorder down, up;
  auto q = makeQueue(rec);
  q->setShowAccurateProgress(true);
  q->setDownloadProgressDelegate(&down);
  q->setUploadProgressDelegate(&up);
  auto form = FormDataRequest::requestWithURL(server.url());
  form->addPostValue(std::string(5000, 'v'), "k");
  q->addOperation(form);
  q->addOperation(HTTPRequest::requestWithURL(server.url()));
  EXPECT_EQ(q->totalBytesToUpload(), 5002u);  // built on joining
  q->go();
  ASSERT_TRUE(waitQueueDone(rec, q));
  EXPECT_EQ(rec.finished, 2);
  EXPECT_EQ(q->bytesUploadedSoFar(), 5002u);
  // The GET was sized by a HEAD run ahead of it, and its length was not counted twice.
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  auto head = std::find_if(seen.begin(), seen.end(), [](auto& r) { return r.method == "HEAD"; });
  auto get = std::find_if(seen.begin(), seen.end(), [](auto& r) { return r.method == "GET"; });
  ASSERT_NE(head, seen.end());
  EXPECT_LT(head, get);
  EXPECT_EQ(q->totalBytesToDownload(), 2 * reply.size());
  EXPECT_EQ(q->bytesDownloadedSoFar(), 2 * reply.size());
  ASSERT_FALSE(up.values.empty());
  EXPECT_DOUBLE_EQ(up.values.back(), 1.0);
  EXPECT_DOUBLE_EQ(down.values.back(), 1.0);
  for (double v : down.values) EXPECT_LE(v, 1.0);
}

TEST_F(NetworkQueueTest, AccurateProgressCopesWithUnknownLengthsFailedSizingAndBrokenForms) {
  // No length anywhere: the request counts as one unit that arrives at the end.
  TestServer chunkedServer([](ServerConnection& c) {
    while (auto r = c.readRequest())
      c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
             (r->method == "HEAD" ? std::string() : chunked({"abc", "defg"})));
  });
  QueueRecorder rec;
  ProgressRecorder down;
  auto q = makeQueue(rec);
  q->setShowAccurateProgress(true);
  q->setDownloadProgressDelegate(&down);
  q->addOperation(HTTPRequest::requestWithURL(chunkedServer.url()));
  q->go();
  ASSERT_TRUE(waitQueueDone(rec, q));
  EXPECT_EQ(rec.finished, 1);
  EXPECT_EQ(q->totalBytesToDownload(), 1u);
  EXPECT_EQ(q->bytesDownloadedSoFar(), 1u);
  ASSERT_FALSE(down.values.empty());
  EXPECT_DOUBLE_EQ(down.values.back(), 1.0);

  // The sizing HEAD dies, or a form fails as it joins (its body is built then): the request
  // fails, is counted out, and the queue still ends.
  TestServer dropsHead([](ServerConnection& c) {
    if (auto r = c.readRequest(); r && r->method != "HEAD") c.sendResponse(200, "x");
    c.abort();
  });
  auto form = FormDataRequest::requestWithURL(dropsHead.url("/form"));
  form->addFile("/nonexistent/est/upload.bin", "f");
  for (HTTPRequestPtr r : {HTTPRequest::requestWithURL(dropsHead.url()), HTTPRequestPtr(form)}) {
    QueueRecorder rec2;
    auto q2 = makeQueue(rec2);
    q2->setShowAccurateProgress(true);
    q2->addOperation(r);
    q2->go();
    ASSERT_TRUE(waitQueueDone(rec2, q2));
    EXPECT_EQ(rec2.failed, 1);
    EXPECT_EQ(rec2.finished, 0);
    EXPECT_EQ(rec2.queueDone, 1);
    EXPECT_EQ(q2->requestsCount(), 0);
  }
  for (auto& seen : dropsHead.requests()) EXPECT_NE(seen.target, "/form");
}

TEST_F(NetworkQueueTest, AQueueItsOwnerLetGoOfFinishesAndLeavesTheNetworkThreadWorking) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  // Only the requests keep these queues alive, so the last one can go on the network thread.
  for (int round = 0; round < 20; ++round) {
    QueueRecorder rec;
    {
      auto q = NetworkQueue::queue();
      q->setDelegate(&rec);
      q->setQueueDidFinishSelector(&NetworkQueueDelegate::queueFinished);
      q->addOperation(HTTPRequest::requestWithURL(server.url()));
      q->go();
    }
    ASSERT_TRUE(eventually([&] { return rec.queueDone > 0; })) << "round " << round;
  }
  // Nothing hangs afterwards.
  run(HTTPRequest::requestWithURL(server.url()));
  EXPECT_EQ(last.finished, 1);
}

TEST_F(NetworkQueueTest, ResetForgetsTheDelegateAndSuspendsAgain) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  QueueRecorder rec;
  auto q = makeQueue(rec);
  q->addOperation(HTTPRequest::requestWithURL(server.url()));
  q->reset();
  EXPECT_TRUE(q->isSuspended());
  q->go();
  EXPECT_TRUE(eventually([&] { return q->operationCount() == 0; }, 5));
  loop.runPending();
  EXPECT_EQ(rec.failed + rec.finished + rec.queueDone, 0);
  EXPECT_EQ(server.requestCount(), 0u);

  q->setDelegate(&rec);
  q->setQueueDidFinishSelector(&NetworkQueueDelegate::queueFinished);
  q->addOperation(HTTPRequest::requestWithURL(server.url()));
  q->go();
  ASSERT_TRUE(waitQueueDone(rec, q));
  EXPECT_EQ(rec.queueDone, 1);
  EXPECT_EQ(rec.finished, 0);  // its selector was cleared
}

}  // namespace
}  // namespace est::testing
