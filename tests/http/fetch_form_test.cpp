// The fetch tool's form and queue options, against the scripted server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "http/support/fetch_fixture.h"
#include "http/support/test_server.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

using FetchFormTest = FetchFixture;

TEST_F(FetchFormTest, FormStringsAreUrlEncoded) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  int rc = fetch("--form-string 'a=1' --form-string 'b=x y&z' " + server.url("/f"));
  EXPECT_EQ(rc, 0) << err;
  ASSERT_EQ(server.requestCount(), 1u);
  auto r = server.requests()[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
  EXPECT_EQ(r.body, "a=1&b=x%20y%26z");
}

TEST_F(FetchFormTest, DashFMakesAMultipartFormWithFiles) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  std::ofstream(dir / "note.txt") << "hello";
  int rc =
      fetch("-F 'plate=ABC 123' -F 'doc=@" + (dir / "note.txt").string() + "' " + server.url("/f"));
  EXPECT_EQ(rc, 0) << err;
  ASSERT_EQ(server.requestCount(), 1u);
  auto r = server.requests()[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.header("Content-Type"),
            "multipart/form-data; charset=utf-8; boundary=0xKhTmLbOuNdArY");
  EXPECT_EQ(r.body,
            "--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"plate\"\r\n\r\nABC 123"
            "\r\n--0xKhTmLbOuNdArY\r\n"
            "Content-Disposition: form-data; name=\"doc\"; filename=\"note.txt\"\r\n"
            "Content-Type: text/plain\r\n\r\nhello\r\n--0xKhTmLbOuNdArY--\r\n");
}

TEST_F(FetchFormTest, MissingFormFileFailsWithCodeSix) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  std::string missing = (dir / "missing.bin").string();
  int rc = fetch("-F 'f=@" + missing + "' " + server.url("/f"));
  EXPECT_EQ(rc, 6);
  EXPECT_NE(err.find("No file exists at " + missing), std::string::npos) << err;
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(FetchFormTest, QueueRunsEveryUrlAndShowsProgress) {
  TestServer server([](ServerConnection& c) {
    while (auto req = c.readRequest()) c.sendResponse(200, "body of " + req->target);
  });
  std::string a = (dir / "a").string(), b = (dir / "b").string(), c = (dir / "c").string();
  int rc = fetch("--queue -o " + a + " -o " + b + " -o " + c + " " + server.url("/1") + " " +
                 server.url("/2") + " " + server.url("/3"));
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(slurp(a), "body of /1");
  EXPECT_EQ(slurp(b), "body of /2");
  EXPECT_EQ(slurp(c), "body of /3");
  EXPECT_NE(err.find("queue: 3/3 requests done, 100% downloaded\n"), std::string::npos) << err;
}

TEST_F(FetchFormTest, QueueStopsTheRestWhenOneFails) {
  // Slow replies, so that the cancel reaches the requests that are running.
  TestServer server([](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (!c.sendResponse(200, "ok")) break;
    }
  });
  // Nothing listens on a port taken from a server that has gone.
  std::string dead;
  {
    TestServer gone(TestServer::replyForever(""));
    dead = gone.url("/x");
  }
  std::string many;
  for (int i = 0; i < 8; ++i) many += " " + server.url("/" + std::to_string(i));
  int rc = fetch("--queue " + dead + many);
  EXPECT_EQ(rc, 1) << err;
  EXPECT_NE(err.find("A connection failure occurred"), std::string::npos) << err;
  // Four run at a time and each reply takes 300 ms, so the failure's cancel stops the queue
  // before all eight reach the server; how many got there first depends on scheduling.
  auto seen = server.requests();
  EXPECT_LT(std::count_if(seen.begin(), seen.end(), [](auto& r) { return r.method == "GET"; }), 8);
  EXPECT_NE(err.find("The request was cancelled"), std::string::npos) << err;
}

TEST_F(FetchFormTest, FormsAndRawBodiesExcludeEachOther) {
  EXPECT_EQ(fetch("-d x=1 -F a=1 http://127.0.0.1:1/"), 2);
  EXPECT_EQ(fetch("-F novalue http://127.0.0.1:1/"), 2);
  EXPECT_EQ(fetch("--queue --parallel http://127.0.0.1:1/"), 2);
}

}  // namespace
}  // namespace est::testing
