// Bodies go out in pieces the peer is seen to take, and progress adds up exactly: a slow
// reader is no time-out, and an attempt that starts over takes back what it had reported.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "http/form_data_request.h"
#include "http/network_queue.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kSmallReceiveBuffer = 4096;

// Reads a request head straight from the socket; the body is left for the caller to pace.
bool readHeadOnly(int fd) {
  std::string head;
  char ch;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (::recv(fd, &ch, 1, 0) != 1) return false;
    head += ch;
  }
  return true;
}

// Reads up to `n` bytes of body from the socket `piece` bytes at a time.
size_t drain(int fd, size_t n, size_t piece) {
  std::vector<char> buf(piece);
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd, buf.data(), std::min(piece, n - got), 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

struct Fractions : ProgressDelegate {
  void setProgress(double f) override { values.push_back(f); }
  std::vector<double> values;
};

class ProgressTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    HTTPRequest::setStatusTimerLoop(&loop);  // time-outs run on virtual time
  }
  // Moves virtual time in status ticks, letting the network thread catch up in between.
  void advance(double seconds) {
    for (double t = 0; t < seconds; t += 0.25) {
      loop.advance(Seconds(0.25));
      loop.waitUntil([] { return false; }, Seconds(0.002));
    }
  }
  bool advanceUntil(const std::function<bool()>& done, double virtualSeconds) {
    for (double t = 0; t < virtualSeconds && !done(); t += 0.25) advance(0.25);
    loop.runPending();
    return done();
  }
  std::vector<NetworkQueuePtr> queues;
  void TearDown() override {
    for (auto& q : queues) q->reset();
    HttpRequestTest::TearDown();
  }
};

TEST_F(ProgressTest, ASlowReaderTakesAMultiMegabyteBodyWithoutTimingOutAndProgressRisesSteadily) {
  constexpr size_t kBody = size_t(2) << 20, kPerSecond = 8192;
  std::atomic<size_t> allowed{0}, taken{0};
  std::atomic<bool> over{false};
  TestServer server(
      [&](ServerConnection& c) {
        if (!readHeadOnly(c.fd())) return;
        while (taken < kBody && !over) {
          if (taken >= allowed) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
          }
          size_t got = drain(c.fd(), allowed - taken, 4096);
          if (got == 0) return;
          taken += got;
        }
        if (taken == kBody) c.sendResponse(200, "got it");
      },
      kSmallReceiveBuffer);
  auto r = HTTPRequest::requestWithURL(server.url("/upload"));
  r->appendPostData(std::string(kBody, 'u'));
  r->setTimeOutSeconds(2);
  std::vector<std::uint64_t> sent;
  r->setUploadProgressBlock([&](HTTPRequest&, std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, kBody);
    sent.push_back(done);
  });
  RecordingDelegate d;
  r->setDelegate(&d);
  r->startAsynchronous();
  std::uint64_t sentAtHalf = 0;
  for (int second = 0; taken < kBody && d.outcomes() == 0 && second < 400; ++second) {
    allowed += kPerSecond;
    eventually([&] { return taken >= std::min(allowed.load(), kBody) || d.outcomes() > 0; }, 5);
    advance(1);
    if (sentAtHalf == 0 && taken >= kBody / 2 && !sent.empty()) sentAtHalf = sent.back();
  }
  over = true;
  ASSERT_TRUE(waitForOutcome(d, 10));
  ASSERT_EQ(d.finished, 1) << (d.lastError ? d.lastError->description : "");
  EXPECT_EQ(taken, kBody);
  EXPECT_EQ(r->totalBytesSent(), kBody);
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()));
  EXPECT_EQ(sent.back(), kBody);
  EXPECT_GT(std::set<std::uint64_t>(sent.begin(), sent.end()).size(), 100u);
  // Half read is about half sent: what waits in buffers is not counted as sent.
  EXPECT_GT(sentAtHalf, kBody / 3);
  EXPECT_LT(sentAtHalf, kBody * 2 / 3);
}

TEST_F(ProgressTest, PeersThatStallCloseOrCrawlEndWithAClearOutcome) {
  constexpr size_t kBody = size_t(4) << 20;
  // Stops reading after a little: times out like any silent transfer.
  std::atomic<bool> over{false};
  TestServer stalls(
      [&](ServerConnection& c) {
        if (readHeadOnly(c.fd()) && drain(c.fd(), 65536, 4096) > 0)
          while (!over) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      },
      kSmallReceiveBuffer);
  auto r = HTTPRequest::requestWithURL(stalls.url());
  r->appendPostData(std::string(kBody, 's'));
  r->setTimeOutSeconds(2);
  RecordingDelegate d;
  r->setDelegate(&d);
  r->startAsynchronous();
  ASSERT_TRUE(advanceUntil([&] { return d.outcomes() > 0; }, 30));
  ASSERT_EQ(d.failed, 1);
  EXPECT_EQ(d.lastError->code, 2);
  EXPECT_LT(r->totalBytesSent(), kBody / 2);
  over = true;

  // Closes in the middle of the body: a connection failure.
  TestServer closes(
      [&](ServerConnection& c) {
        if (readHeadOnly(c.fd()) && drain(c.fd(), 100000, 4096) > 0) c.abort();
      },
      kSmallReceiveBuffer);
  auto r2 = HTTPRequest::requestWithURL(closes.url());
  r2->appendPostData(std::string(kBody, 'c'));
  RecordingDelegate d2;
  r2->setDelegate(&d2);
  r2->startAsynchronous();
  ASSERT_TRUE(advanceUntil([&] { return d2.outcomes() > 0; }, 30));
  ASSERT_EQ(d2.failed, 1);
  EXPECT_EQ(d2.lastError->code, 1);
  EXPECT_LE(closes.connectionCount(), 2);

  // Reads one byte at a time: slow, but it all arrives.
  constexpr size_t kSmall = 100000;
  std::atomic<size_t> taken{0};
  TestServer crawls([&](ServerConnection& c) {
    if (!readHeadOnly(c.fd())) return;
    taken = drain(c.fd(), kSmall, 1);
    c.sendResponse(200, "ok");
  });
  auto r3 = HTTPRequest::requestWithURL(crawls.url());
  r3->appendPostData(std::string(kSmall, 'b'));
  run(r3, last, 30);
  EXPECT_EQ(last.finished, 1);
  EXPECT_EQ(taken, kSmall);
}

// Each kind of restart, with the queue's totals and the request's own progress checked at
// the end: nothing counted twice, nothing left out.
TEST_F(ProgressTest, EveryKindOfRestartLeavesExactTotals) {
  const std::string reply(10000, 'r');
  const std::string body(50000, 'p');
  struct Case {
    const char* name;
    std::function<void(ServerConnection&, const std::string&)> script;
  };
  auto answer = [](ServerConnection& c, const std::string& reply) {
    while (c.readRequest()) c.sendResponse(200, reply);
  };
  auto redirectOnce = [](int status) {
    return [status](ServerConnection& c, const std::string& reply) {
      while (auto q = c.readRequest()) {
        if (q->target == "/a")
          c.sendResponse(status, "moved", "Location: /b\r\n", "Moved");
        else
          c.sendResponse(200, reply);
      }
    };
  };
  std::vector<Case> cases = {
      {"307", redirectOnce(307)},
      {"302 to GET", redirectOnce(302)},
      {"credentials",
       [&](ServerConnection& c, const std::string& reply) {
         while (auto q = c.readRequest()) {
           if (q->hasHeader("Authorization"))
             c.sendResponse(200, reply);
           else
             c.sendResponse(401, "who are you?", "WWW-Authenticate: Basic realm=\"r\"\r\n",
                            "Unauthorized");
         }
       }},
      {"lost connection",
       [&](ServerConnection& c, const std::string& reply) {
         if (c.index() == 0) {
           if (c.readRequest()) c.abort();
           return;
         }
         answer(c, reply);
       }},
      {"time-out",
       [&](ServerConnection& c, const std::string& reply) {
         if (c.index() == 0) {
           if (auto q = c.readRequest()) {
             c.send("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\npartial");
             c.waitForPeerClose(30);
           }
           return;
         }
         answer(c, reply);
       }},
  };
  // A form's file is read again from its start by every attempt that sends it.
  TempDir dir;
  std::string attached = (dir.path() / "attached.bin").string();
  writeFile(attached, std::string(300000, 'f'));
  for (auto& k : cases)
    for (bool form : {false, true}) {
      SCOPED_TRACE(k.name + std::string(form ? " form" : ""));
      TestServer server([&](ServerConnection& c) { k.script(c, reply); });
      auto q = NetworkQueue::queue();
      queues.push_back(q);
      q->setShowAccurateProgress(true);
      Fractions queueUp, queueDown, ownUp, ownDown;
      q->setUploadProgressDelegate(&queueUp);
      q->setDownloadProgressDelegate(&queueDown);
      HTTPRequestPtr r;
      if (form) {
        auto f = FormDataRequest::requestWithURL(server.url("/a"));
        f->addFile(attached, "f");
        r = f;
      } else {
        r = HTTPRequest::requestWithURL(server.url("/a"));
        r->appendPostData(body);
      }
      r->setUsername("u");
      r->setPassword("p");
      r->setTimeOutSeconds(1);
      r->setNumberOfTimesToRetryOnTimeout(1);
      r->setUploadProgressDelegate(&ownUp);
      r->setDownloadProgressDelegate(&ownDown);
      RecordingDelegate d;
      r->setDelegate(&d);
      q->addOperation(r);
      q->go();
      ASSERT_TRUE(advanceUntil([&] { return d.outcomes() > 0; }, 20));
      ASSERT_EQ(d.finished, 1);
      EXPECT_EQ(toString(*r->responseData()), reply);
      std::uint64_t sent = body.size();
      if (form) {
        auto requests = server.requests();
        ASSERT_FALSE(requests.empty());
        const std::string& first = requests[0].body;
        sent = first.size();
        EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(sent));
        EXPECT_NE(first.find(std::string(300000, 'f')), std::string::npos);
        for (auto& again : requests) {
          if (again.method == "POST") {
            EXPECT_TRUE(again.body == first);
          }
        }
      }
      EXPECT_EQ(q->totalBytesToUpload(), sent);
      EXPECT_EQ(q->bytesUploadedSoFar(), sent);
      EXPECT_EQ(q->totalBytesToDownload(), reply.size());
      EXPECT_EQ(q->bytesDownloadedSoFar(), reply.size());
      ASSERT_FALSE(ownUp.values.empty());
      ASSERT_FALSE(ownDown.values.empty());
      EXPECT_DOUBLE_EQ(ownUp.values.back(), 1.0);
      EXPECT_DOUBLE_EQ(ownDown.values.back(), 1.0);
      EXPECT_DOUBLE_EQ(queueUp.values.back(), 1.0);
      EXPECT_DOUBLE_EQ(queueDown.values.back(), 1.0);
    }
}

// A POST that a 307 sends again, paced by the server: the queue's upload count falls back to
// nothing once, at the restart, and otherwise only rises, never past the body's size nor
// ahead of what the server has taken of the attempt under way (give or take its receive
// buffer).
TEST_F(ProgressTest, AQueuesUploadCountFollowsTheAttemptUnderWayAcrossARestart) {
  constexpr size_t kBody = size_t(1) << 20, kStep = 32768, kInBuffers = 65536;
  std::atomic<size_t> allowed{0}, taken{0}, attemptStart{0};  // body bytes, both attempts
  std::atomic<int> attempts{0};
  std::atomic<bool> over{false};
  TestServer server(
      [&](ServerConnection& c) {
        while (!over && readHeadOnly(c.fd())) {
          attemptStart = taken.load();
          int attempt = ++attempts;
          while (taken - attemptStart < kBody && !over) {
            if (taken >= allowed) {
              std::this_thread::sleep_for(std::chrono::microseconds(200));
              continue;
            }
            size_t got =
                drain(c.fd(), std::min(allowed - taken, kBody - (taken - attemptStart)), 4096);
            if (got == 0) return;
            taken += got;
          }
          if (attempt == 1)
            c.sendResponse(307, "again", "Location: /b\r\n", "Temporary Redirect");
          else
            c.sendResponse(200, "stored");
        }
      },
      kSmallReceiveBuffer);
  auto q = NetworkQueue::queue();
  queues.push_back(q);
  q->setShowAccurateProgress(true);
  struct Counts : ProgressDelegate {
    NetworkQueue* queue = nullptr;
    std::vector<std::uint64_t> uploaded;
    void setProgress(double) override { uploaded.push_back(queue->bytesUploadedSoFar()); }
  } counts;
  counts.queue = q.get();
  q->setUploadProgressDelegate(&counts);
  auto r = HTTPRequest::requestWithURL(server.url("/a"));
  r->appendPostData(std::string(kBody, 'u'));
  RecordingDelegate d;
  r->setDelegate(&d);
  q->addOperation(r);
  q->go();
  bool fellBack = false;
  for (int step = 0; d.outcomes() == 0 && step < 400; ++step) {
    allowed += kStep;
    eventually([&] { return taken >= std::min<size_t>(allowed, 2 * kBody) || d.outcomes() > 0; },
               5);
    advance(0.5);
    auto& seen = counts.uploaded;
    fellBack = std::adjacent_find(seen.begin(), seen.end(), std::greater<>()) != seen.end();
    // Once the restart has been told, every count is the second attempt's.
    if (fellBack) {
      EXPECT_LE(q->bytesUploadedSoFar(), taken - attemptStart + kInBuffers) << step;
    }
  }
  over = true;
  ASSERT_TRUE(waitForOutcome(d));
  loop.runPending();
  ASSERT_EQ(d.finished, 1) << (d.lastError ? d.lastError->description : "");
  EXPECT_EQ(r->responseString(), "stored");
  EXPECT_EQ(attempts, 2);
  EXPECT_TRUE(fellBack);

  auto& seen = counts.uploaded;
  ASSERT_FALSE(seen.empty());
  EXPECT_LE(*std::max_element(seen.begin(), seen.end()), kBody);
  EXPECT_EQ(seen.back(), kBody);
  size_t falls = 0, risingAfterFall = 0;
  for (size_t i = 1; i < seen.size(); ++i) {
    if (seen[i] < seen[i - 1]) {
      ++falls;
      EXPECT_EQ(seen[i], 0u);
    } else if (falls == 1 && seen[i] > seen[i - 1] && seen[i] < kBody) {
      ++risingAfterFall;
    }
  }
  EXPECT_EQ(falls, 1u);
  EXPECT_GT(risingAfterFall, 5u);  // the repeat is shown as it goes, not in one jump
}

TEST_F(ProgressTest, AResumedDownloadTheServerSendsWholeIsCountedOnce) {
  const std::string full(20000, 'f');
  TempDir tmp;
  fs::path partial = tmp.path() / "partial";
  writeFile(partial.string(), full.substr(0, 6000));
  for (bool honoured : {false, true}) {
    SCOPED_TRACE(honoured);
    if (honoured) writeFile(partial.string(), full.substr(0, 6000));
    std::string reply =
        honoured ? httpResponse(206, full.substr(6000), "Content-Range: bytes 6000-19999/20000\r\n",
                                "Partial Content")
                 : httpResponse(200, full);
    TestServer server(TestServer::replyForever(reply));
    auto q = NetworkQueue::queue();
    queues.push_back(q);
    q->setShowAccurateProgress(true);
    auto r = HTTPRequest::requestWithURL(server.url("/f"));
    r->setRequestMethod("POST");  // no sizing HEAD request: the reply itself says the size
    r->setDownloadDestinationPath((tmp.path() / "dest").string());
    r->setTemporaryFileDownloadPath(partial.string());
    r->setAllowResumeForFileDownloads(true);
    Fractions own;
    r->setDownloadProgressDelegate(&own);
    RecordingDelegate d;
    r->setDelegate(&d);
    q->addOperation(r);
    q->go();
    ASSERT_TRUE(waitForOutcome(d));
    loop.runPending();
    ASSERT_EQ(d.finished, 1);
    EXPECT_EQ(slurp((tmp.path() / "dest").string()), full);
    EXPECT_EQ(q->totalBytesToDownload(), full.size());
    EXPECT_EQ(q->bytesDownloadedSoFar(), full.size());
    ASSERT_FALSE(own.values.empty());
    EXPECT_DOUBLE_EQ(own.values.back(), 1.0);
  }
}

}  // namespace
}  // namespace est::testing
