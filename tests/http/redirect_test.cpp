// Redirect rules: which replies are followed, how the next attempt is built, the limit.
#include <gtest/gtest.h>

#include "http/http_request.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

using Request = HTTPRequest;

// Answers "/r<N>" with a redirect to "/r<N+1>" until `hops`, then "/r<hops>" with "done".
TestServer::Script chain(int hops, int status = 302) {
  return [=](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      int n = std::stoi(req->target.substr(2));
      if (n < hops)
        c.sendResponse(status, "moved", "Location: /r" + std::to_string(n + 1) + "\r\n", "Moved");
      else
        c.sendResponse(200, "done");
    }
  };
}

TEST_F(HttpRequestTest, FiveRedirectsAreFollowedAndTheSixthFails) {
  TestServer server(chain(5));
  auto ok = Request::requestWithURL(server.url("/r0"));
  run(ok);
  EXPECT_EQ(last.finished, 1);
  EXPECT_EQ(toString(*ok->responseData()), "done");
  EXPECT_EQ(ok->redirectCount(), 5);
  EXPECT_EQ(ok->url()->absoluteString(), server.url("/r5"));
  EXPECT_EQ(ok->originalURL()->absoluteString(), server.url("/r0"));
  EXPECT_EQ(std::count(last.events.begin(), last.events.end(), "redirected"), 5);
  EXPECT_EQ(server.connectionCount(), 1);

  TestServer six(chain(6));
  auto tooMany = Request::requestWithURL(six.url("/r0"));
  run(tooMany);
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.finished, 0);
  EXPECT_EQ(last.lastError->code, 9);
  EXPECT_EQ(last.lastError->description, "The request failed because it redirected too many times");
}

TEST_F(HttpRequestTest, RedirectStatusDecidesMethodBodyAndHeaders) {
  for (int status : {301, 302, 303, 307, 308}) {
    TestServer server([status](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        if (req->target == "/a/form")
          c.sendResponse(status, "", "Location: ../next?x=1\r\n", "Moved");
        else
          c.sendResponse(200, "ok");
      }
    });
    auto r = Request::requestWithURL(server.url("/a/form"));
    r->setRequestMethod("PUT");
    r->appendPostData(std::string_view("payload"));
    r->addRequestHeader("Accept", "application/json");
    r->addRequestHeader("X-Custom", "1");
    r->addRequestHeader("User-Agent", "ua/1");
    run(r);
    ASSERT_EQ(last.finished, 1) << status;
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    const auto& second = reqs[1];
    EXPECT_EQ(second.target, "/next?x=1") << "relative location resolved against the URL";
    EXPECT_EQ(second.header("Accept"), "application/json");
    EXPECT_EQ(second.header("User-Agent"), "ua/1");
    if (status == 307 || status == 308) {
      EXPECT_EQ(second.method, "PUT") << status;
      EXPECT_EQ(second.body, "payload");
      EXPECT_EQ(second.header("X-Custom"), "1");
    } else {
      EXPECT_EQ(second.method, "GET") << status;
      EXPECT_EQ(second.body, "");
      EXPECT_FALSE(second.hasHeader("Content-Length"));
      EXPECT_FALSE(second.hasHeader("X-Custom"));
      EXPECT_EQ(second.header("Accept-Encoding"), "gzip");
    }
  }
}

TEST_F(HttpRequestTest, RedirectsInACircleKeepingTheBodyEndAtTheLimit) {
  for (int status : {307, 308}) {
    TestServer server([status](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        std::string next = req->target == "/a" ? "/b" : "/a";
        c.sendResponse(status, "", "Location: " + next + "\r\n", "Moved");
      }
    });
    auto r = Request::requestWithURL(server.url("/a"));
    r->appendPostData(std::string_view("form=1"));
    run(r);
    ASSERT_EQ(last.failed, 1) << status;
    EXPECT_EQ(last.lastError->code, 9);
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 6u);
    for (auto& q : reqs) {
      EXPECT_EQ(q.method, "POST");
      EXPECT_EQ(q.body, "form=1");
    }
  }
}

TEST_F(HttpRequestTest, NonRedirectStatusesSwitchedOffRedirectsAndUnusableLocationsAreNotFollowed) {
  for (int status : {300, 304}) {
    TestServer server(
        TestServer::replyForever(std::string("HTTP/1.1 ") + std::to_string(status) +
                                 " X\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n"));
    auto r = Request::requestWithURL(server.url("/here"));
    run(r);
    EXPECT_EQ(last.finished, 1);
    EXPECT_EQ(r->responseStatusCode(), status);
    EXPECT_EQ(server.requestCount(), 1u);
  }
  TestServer server(chain(3));
  auto r = Request::requestWithURL(server.url("/r0"));
  r->setShouldRedirect(false);
  run(r);
  EXPECT_EQ(r->responseStatusCode(), 302);
  EXPECT_EQ(server.requestCount(), 1u);

  TestServer bad(
      TestServer::replyForever(httpResponse(302, "", "Location: http://bad host/\r\n", "Found")));
  run(Request::requestWithURL(bad.url()));
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 5);
}

TEST_F(HttpRequestTest, DelegateThatAnswersRedirectsDecidesWhenToFollow) {
  TestServer server(chain(1));
  auto r = Request::requestWithURL(server.url("/r0"));
  RecordingDelegate d;
  d.answerRedirects = true;
  run(r, d);
  EXPECT_EQ(d.finished, 1);
  ASSERT_EQ(d.redirectTargets.size(), 1u);
  EXPECT_EQ(d.redirectTargets[0], server.url("/r1"));
  EXPECT_EQ(d.events, (std::vector<std::string>{"started", "redirected", "headers", "willRedirect",
                                                "started", "headers", "finished"}));
}

TEST_F(HttpRequestTest, KeptHeadersNeverCarryCookiesToAnotherHost) {
  TestServer target([](ServerConnection& c) {
    while (c.readRequest()) c.sendResponse(200, "there");
  });
  std::string elsewhere = "http://localhost:" + std::to_string(target.port()) + "/x";
  TestServer origin([&](ServerConnection& c) {
    while (c.readRequest())
      c.sendResponse(307, "", "Set-Cookie: session=secret\r\nLocation: " + elsewhere + "\r\n");
  });
  auto r = Request::requestWithURL(origin.url("/start"));
  r->appendPostData(std::string_view("body"));
  run(r);
  ASSERT_EQ(last.finished, 1);
  auto reqs = target.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].body, "body");
  EXPECT_FALSE(reqs[0].hasHeader("Cookie"));
  EXPECT_EQ(reqs[0].header("Host"), "localhost:" + std::to_string(target.port()));
}

TEST_F(HttpRequestTest, RedirectsToHostsThatAreNotHostNamesFailBeforeAnythingIsSent) {
  std::vector<std::string> locations;
  TestServer hostile([&](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      if (req->target.starts_with("/start/"))
        c.sendResponse(302, "",
                       "Location: " + locations.at(std::stoul(req->target.substr(7))) + "\r\n",
                       "Found");
      else
        c.sendResponse(200, "reached");
    }
  });
  std::string port = std::to_string(hostile.port());
  // Each decodes to a "host" that would carry a header, a second request or a cut-short name.
  locations = {
      "http://localhost%00%0d%0aX-Injected%3a%20x:" + port + "/",
      "http://localhost%0d%0aX-Injected:%20x:" + port + "/",
      "http://localhost%0d%0a%0d%0aGET%20/smuggled%20HTTP/1.1%0d%0aHost:%20localhost:" + port + "/",
      "http://localhost%20x:" + port + "/",
      "http://localhost%2f.x:" + port + "/",
      "http://localhost%5c.x:" + port + "/",
      "http://x%40localhost:" + port + "/",
      "http://localhost%25:" + port + "/",
      "http://attacker.test%00.localhost:" + port + "/",
      "http://%6Cocal%68ost:" + port + "/after",
  };
  for (size_t i = 0; i + 1 < locations.size(); ++i) {
    run(Request::requestWithURL(hostile.url("/start/" + std::to_string(i))));
    ASSERT_EQ(last.failed, 1) << locations[i];
    EXPECT_EQ(last.lastError->code, 5) << locations[i];
    ASSERT_EQ(hostile.requestCount(), i + 1) << locations[i];
  }
  for (const ReceivedRequest& req : hostile.requests()) {
    EXPECT_TRUE(req.target.starts_with("/start/")) << req.target;
    EXPECT_EQ(req.head.find("Injected"), std::string::npos) << req.head;
    EXPECT_EQ(req.head.find("smuggled"), std::string::npos) << req.head;
  }

  // An escaped name that is a host name is followed, under its plain form only.
  auto r = Request::requestWithURL(hostile.url("/start/" + std::to_string(locations.size() - 1)));
  run(r);
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->url()->absoluteString(), "http://localhost:" + port + "/after");
  EXPECT_EQ(hostile.requests().back().header("Host"), "localhost:" + port);
}

}  // namespace
}  // namespace est::testing
