#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_request.h"
#include "http/support/test_server.h"
#include "platform/manual_run_loop.h"

namespace est::testing {

// Records what reaches a delegate, in order.
class RecordingDelegate : public HTTPRequestDelegate {
 public:
  void requestStarted(HTTPRequest&) override { events.push_back("started"); }
  void requestDidReceiveResponseHeaders(HTTPRequest&, const HeaderMap& h) override {
    events.push_back("headers");
    headers.push_back(h);
  }
  void requestRedirected(HTTPRequest&) override { events.push_back("redirected"); }
  void requestWillRedirectToURL(HTTPRequest& r, const Url& url) override {
    events.push_back("willRedirect");
    redirectTargets.push_back(url.absoluteString());
    if (followRedirects) r.redirectToURL(url);
  }
  void requestFinished(HTTPRequest&) override {
    events.push_back("finished");
    ++finished;
  }
  void requestFailed(HTTPRequest& r) override {
    events.push_back("failed");
    ++failed;
    lastError = r.error();
  }
  void requestDidReceiveData(HTTPRequest&, const Data& d) override {
    events.push_back("data");
    data.insert(data.end(), d.begin(), d.end());
  }
  bool wantsWillRedirect() const override { return answerRedirects; }
  bool wantsReceivedData() const override { return takeData; }

  int outcomes() const { return finished + failed; }

  std::vector<std::string> events;
  std::vector<HeaderMap> headers;
  std::vector<std::string> redirectTargets;
  std::optional<Error> lastError;
  Data data;
  int finished = 0;
  int failed = 0;
  bool answerRedirects = false;
  bool followRedirects = true;
  bool takeData = false;
};

// Installs a manual main loop for the callbacks and leaves the class-wide state clean.
class HttpRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMain(&loop);
    HTTPRequest::closeIdlePersistentConnections();
    CookieJar::shared().removeAllCookies();
    HTTPRequest::clearSession();
    UserAgent::setApplicationInfo({});
  }
  void TearDown() override {
    // Nothing may outlive the test's loop: cancel what still runs and let it finish.
    for (auto& op : HTTPRequest::sharedQueue().operations()) op->cancel();
    eventually([] { return HTTPRequest::sharedQueue().operationCount() == 0; }, 5);
    loop.runPending();
    HTTPRequest::setStatusTimerLoop(nullptr);
    HTTPRequest::closeIdlePersistentConnections();
    RunLoop::setMain(nullptr);
  }

  // Pumps callbacks until `done` holds, also for conditions that change on other threads
  // without posting to the loop (server state).
  bool eventually(const std::function<bool()>& done, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (std::chrono::steady_clock::now() < deadline)
      if (loop.waitUntil(done, Seconds(0.005))) return true;
    return done();
  }

  // Pumps callbacks until the delegate heard the outcome.
  bool waitForOutcome(const RecordingDelegate& d, double seconds = 10) {
    return loop.waitUntil([&] { return d.outcomes() > 0; }, Seconds(seconds));
  }
  bool waitForFinish(HTTPRequest& r, double seconds = 10) {
    bool ok = eventually([&] { return r.isFinished(); }, seconds);
    loop.runPending();
    return ok;
  }
  // Starts `r` with a fresh recording delegate and waits for the outcome.
  void run(const HTTPRequestPtr& r, RecordingDelegate& d, double seconds = 10) {
    r->setDelegate(&d);
    r->startAsynchronous();
    ASSERT_TRUE(waitForOutcome(d, seconds)) << "no outcome in time";
    loop.runPending();
  }
  // The same, recording into `last`.
  void run(const HTTPRequestPtr& r, double seconds = 10) {
    last = {};
    run(r, last, seconds);
  }

  ManualRunLoop loop;
  RecordingDelegate last;
};

}  // namespace est::testing
