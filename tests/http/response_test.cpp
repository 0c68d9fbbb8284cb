// What a request does with the reply: text encodings, gzip, framing, where the body goes,
// cookies, authentication challenges.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>

#include "http/http_request.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

using Request = HTTPRequest;
namespace fs = std::filesystem;

class ResponseTest : public HttpRequestTest {
 protected:
  // Serves `reply` from a fresh server and runs a request for it, recording into `last`.
  HTTPRequestPtr fetch(const std::string& reply,
                       const std::function<void(Request&)>& configure = {}) {
    server = std::make_unique<TestServer>(TestServer::replyForever(reply));
    auto r = Request::requestWithURL(server->url("/x"));
    if (configure) configure(*r);
    run(r);
    return r;
  }
  TempDir tmp;
  fs::path dir = tmp.path();
  std::unique_ptr<TestServer> server;
};

TEST_F(ResponseTest, CharsetComesFromContentTypeWithLatin1AsFallback) {
  struct Case {
    std::string contentType;
    std::string body;
    StringEncoding encoding;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases = {
      {"application/json; charset=utf-8", "caf\xC3\xA9", UTF8StringEncoding, "caf\xC3\xA9"},
      {"application/json", "caf\xE9", ISOLatin1StringEncoding, "caf\xC3\xA9"},
      {"text/plain; charset=\"utf-8\"", "caf\xE9", ISOLatin1StringEncoding, "caf\xC3\xA9"},
      {"text/plain; charset=no-such-set", "a", ISOLatin1StringEncoding, "a"},
      {"text/plain; charset=windows-1252", "\x80", WindowsCP1252StringEncoding, "\xE2\x82\xAC"},
      {"text/plain; charset=utf-8", "\xC3(", UTF8StringEncoding, std::nullopt},
  };
  for (auto& c : cases) {
    auto r = fetch(httpResponse(200, c.body, "Content-Type: " + c.contentType + "\r\n"));
    EXPECT_EQ(r->responseEncoding(), c.encoding) << c.contentType;
    EXPECT_EQ(r->responseString(), c.text) << c.contentType;
  }
  std::string mime;
  StringEncoding e = 0;
  Request::parseMimeType(&mime, &e, " text/html ;charset=iso-8859-2;x=y");
  EXPECT_EQ(mime, "text/html");
  EXPECT_EQ(e, ISOLatin2StringEncoding);
}

TEST_F(ResponseTest, GzipBodyIsKeptCompressedInflatedOnEveryReadAndNeverServedDamaged) {
  std::string json = "{\"status\":\"0\",\"pad\":\"" + std::string(2000, 'x') + "\"}";
  auto r = fetch(httpResponse(200, gzipBytes(json), "Content-Encoding: gzip\r\n"));
  ASSERT_EQ(last.finished, 1);
  EXPECT_TRUE(r->isResponseCompressed());
  ASSERT_GE(r->rawResponseData().size(), 2u);
  EXPECT_EQ(r->rawResponseData()[0], 0x1F);
  EXPECT_EQ(r->rawResponseData()[1], 0x8B);
  EXPECT_EQ(toString(*r->responseData()), json);
  EXPECT_EQ(toString(*r->responseData()), json);

  auto live = fetch(httpResponse(200, gzipBytes(json), "Content-Encoding: gzip\r\n"),
                    [](Request& q) { q.setShouldWaitToInflateCompressedResponses(false); });
  EXPECT_EQ(toString(live->rawResponseData()), json);
  EXPECT_EQ(live->totalBytesRead(), gzipBytes(json).size());

  // A cut body: nothing rather than a partial text, and a failure when inflated on the fly.
  std::string gz = gzipBytes(json);
  auto cut = fetch(httpResponse(200, gz.substr(0, gz.size() - 10), "Content-Encoding: gzip\r\n"));
  EXPECT_EQ(last.finished, 1);
  EXPECT_FALSE(cut->responseData());
  fetch(httpResponse(200, "definitely not gzip", "Content-Encoding: gzip\r\n"),
        [](Request& q) { q.setShouldWaitToInflateCompressedResponses(false); });
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 11);
}

long peakKilobytes() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST_F(ResponseTest, AGzipBombFailsWithCode11BeforeItIsHeldInMemoryOrOnDisk) {
  // 256 MiB of zeros in about 250 KB: past the ratio guard, and far past 64 MiB.
  const std::string bomb =
      httpResponse(200, gzipZeros(std::uint64_t{256} << 20), "Content-Encoding: gzip\r\n");
  const long before = peakKilobytes();
  std::string dest = (dir / "kept.txt").string();
  for (bool wait : {true, false}) {
    auto r = fetch(bomb, [&](Request& q) { q.setShouldWaitToInflateCompressedResponses(wait); });
    ASSERT_EQ(last.failed, 1) << wait;
    EXPECT_EQ(last.lastError->code, 11);
    EXPECT_EQ(last.lastError->description,
              "The response inflates more than 1000 times its compressed size");
    auto held = r->responseData();
    EXPECT_TRUE(!held || held->empty()) << "nothing of the bomb is handed out";

    writeFile(dest, "old");
    fetch(bomb, [&](Request& q) {
      q.setShouldWaitToInflateCompressedResponses(wait);
      q.setDownloadDestinationPath(dest);
    });
    ASSERT_EQ(last.failed, 1) << wait;
    EXPECT_EQ(last.lastError->code, 11);
    EXPECT_EQ(slurp(dest), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1) << "nothing left beside it";
  }
  EXPECT_LT(peakKilobytes() - before, 64 * 1024) << "the bomb went off in memory";

  // Below the ratio guard, the size limit holds: inflated or not, in memory or to a file.
  const std::string twoMiB = std::string(2 << 20, 'z');
  for (bool toFile : {false, true}) {
    for (const std::string& reply :
         {httpResponse(200, gzipBytes(twoMiB), "Content-Encoding: gzip\r\n"),
          httpResponse(200, twoMiB)}) {
      fetch(reply, [&](Request& q) {
        q.setMaxResponseSize(1 << 20);
        if (toFile) q.setDownloadDestinationPath(dest);
      });
      ASSERT_EQ(last.failed, 1) << toFile;
      EXPECT_EQ(last.lastError->code, 11);
      EXPECT_NE(last.lastError->description.find("limit of 1048576 bytes"), std::string::npos);
      EXPECT_EQ(slurp(dest), "old");
    }
  }
  // The default is for bodies in memory only; a file takes what it is sent.
  auto big = fetch(httpResponse(200, gzipBytes(twoMiB), "Content-Encoding: gzip\r\n"),
                   [&](Request& q) { q.setDownloadDestinationPath(dest); });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(fs::file_size(dest), twoMiB.size());
  EXPECT_EQ(big->maxResponseSize(), std::nullopt);
}

TEST_F(ResponseTest, ChunkedAndCloseDelimitedBodiesAreAssembled) {
  auto r = fetch("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                 chunked({"hello ", std::string(70000, 'c'), " world"}));
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(r->rawResponseData().size(), 6u + 70000 + 6);
  EXPECT_EQ(r->contentLength(), r->totalBytesRead());

  TestServer once([](ServerConnection& c) {
    c.readRequest();
    c.send("HTTP/1.0 200 OK\r\n\r\nuntil the end");
  });
  auto r2 = Request::requestWithURL(once.url());
  run(r2);
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(toString(r2->rawResponseData()), "until the end");
  EXPECT_EQ(r2->contentLength(), 13u);
}

TEST_F(ResponseTest, BodyGoesToAFileOrToTheDelegateAndNowhereElse) {
  std::string body(300000, 'f');
  std::string dest = (dir / "out.bin").string();
  writeFile(dest, "old");
  auto r = fetch(httpResponse(200, body), [&](Request& q) { q.setDownloadDestinationPath(dest); });
  ASSERT_EQ(last.finished, 1);
  EXPECT_EQ(slurp(dest), body);
  EXPECT_FALSE(r->responseData());
  EXPECT_TRUE(r->temporaryFileDownloadPath().empty());

  std::string gzDest = (dir / "inflated.txt").string();
  fetch(httpResponse(200, gzipBytes(body), "Content-Encoding: gzip\r\n"),
        [&](Request& q) { q.setDownloadDestinationPath(gzDest); });
  EXPECT_EQ(slurp(gzDest), body);

  RecordingDelegate streaming;
  streaming.takeData = true;
  server = std::make_unique<TestServer>(TestServer::replyForever(httpResponse(200, body)));
  auto r3 = Request::requestWithURL(server->url("/x"));
  r3->setDownloadDestinationPath((dir / "unused").string());
  run(r3, streaming);
  EXPECT_EQ(streaming.data.size(), body.size());
  EXPECT_TRUE(r3->rawResponseData().empty());
  EXPECT_FALSE(fs::exists(dir / "unused"));
  // The data callbacks come after the headers and before the outcome.
  EXPECT_EQ(streaming.events.front(), "started");
  EXPECT_EQ(streaming.events[1], "headers");
  EXPECT_EQ(streaming.events.back(), "finished");
}

TEST_F(ResponseTest, ABodyBoundForAFileTakesExactlyItsLengthOffTheConnection) {
  // Bodies of megabytes, read in many pieces, one reply after another on one connection; the
  // last is followed at once by bytes that belong to no reply.
  std::vector<std::string> bodies;
  for (char c : {'a', 'b', 'c'}) {
    std::string body(2'500'000 + static_cast<size_t>(c), c);
    for (size_t i = 0; i < body.size(); i += 4093) body[i] = static_cast<char>('0' + i % 10);
    bodies.push_back(body);
  }
  server = std::make_unique<TestServer>([&](ServerConnection& conn) {
    for (size_t i = 0; i < bodies.size(); ++i) {
      if (!conn.readRequest()) return;
      std::string reply = httpResponse(200, bodies[i]);
      if (i + 1 == bodies.size()) reply += "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nstray";
      conn.send(reply);
    }
  });
  for (size_t i = 0; i < bodies.size(); ++i) {
    fs::path dest = dir / ("body" + std::to_string(i));
    auto r = Request::requestWithURL(server->url("/x"));
    r->setDownloadDestinationPath(dest.string());
    run(r);
    ASSERT_EQ(last.finished, 1) << i;
    EXPECT_EQ(r->connectionWasReused(), i > 0);
    EXPECT_EQ(r->totalBytesRead(), bodies[i].size());
    EXPECT_EQ(slurp(dest.string()), bodies[i]) << i;
  }
  EXPECT_EQ(server->connectionCount(), 1);
}

TEST_F(ResponseTest, ResumedDownloadSendsRangeAndAppendsOnlyWhenTheServerAgrees) {
  std::string full = "0123456789abcdef";
  for (bool serverHonoursRange : {true, false}) {
    std::string partial = (dir / ("partial" + std::to_string(serverHonoursRange))).string();
    std::string dest = (dir / ("dest" + std::to_string(serverHonoursRange))).string();
    writeFile(partial, full.substr(0, 6));
    std::string reply = serverHonoursRange
                            ? httpResponse(206, full.substr(6), "Content-Range: bytes 6-15/16\r\n",
                                           "Partial Content")
                            : httpResponse(200, full);
    fetch(reply, [&](Request& q) {
      q.setDownloadDestinationPath(dest);
      q.setTemporaryFileDownloadPath(partial);
      q.setAllowResumeForFileDownloads(true);
    });
    ASSERT_EQ(last.finished, 1);
    EXPECT_EQ(server->requests()[0].header("Range"), "bytes=6-");
    EXPECT_EQ(slurp(dest), full) << serverHonoursRange;
  }
}

TEST_F(ResponseTest, CookiesAreStoredAndSentBack) {
  TestServer srv([](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      if (req->target == "/login")
        c.sendResponse(200, "", "Set-Cookie: a=1; Path=/\r\nSet-Cookie: b=2\r\n");
      else
        c.sendResponse(200, "");
    }
  });
  auto login = Request::requestWithURL(srv.url("/login"));
  RecordingDelegate dl, dn;
  run(login, dl);
  EXPECT_EQ(login->responseCookies().size(), 2u);
  run(Request::requestWithURL(srv.url("/next")), dn);
  EXPECT_EQ(srv.requests()[1].header("Cookie"), "a=1; b=2");
  EXPECT_EQ(Request::sessionCookies().size(), 2u);

  auto noJar = Request::requestWithURL(srv.url("/next"));
  noJar->setUseCookiePersistence(false);
  run(noJar);
  EXPECT_FALSE(srv.requests()[2].hasHeader("Cookie"));
}

}  // namespace
}  // namespace est::testing
