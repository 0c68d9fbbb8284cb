// The fetch tool's form and queue options, against the scripted server.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "http/support/fetch_fixture.h"
#include "http/support/test_server.h"

namespace est::testing {
namespace {

using FetchFormTest = FetchFixture;

// The bodies themselves are the form request's business; here the options must reach it.
TEST_F(FetchFormTest, FormOptionsBuildUrlEncodedAndMultipartFormsOrFailWithCodeSix) {
  TestServer server(TestServer::replyForever(httpResponse(200, "ok")));
  EXPECT_EQ(fetch("--form-string 'a=1' --form-string 'b=x y&z' " + server.url("/f")), 0) << err;
  std::ofstream(dir / "note.txt") << "hello";
  EXPECT_EQ(
      fetch("-F 'plate=ABC 123' -F 'doc=@" + (dir / "note.txt").string() + "' " + server.url("/f")),
      0)
      << err;
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].method, "POST");
  EXPECT_EQ(reqs[0].body, "a=1&b=x%20y%26z");
  EXPECT_EQ(reqs[1].header("Content-Type").rfind("multipart/form-data;", 0), 0u);
  for (const char* part :
       {"name=\"plate\"\r\n\r\nABC 123\r\n",
        "name=\"doc\"; filename=\"note.txt\"\r\nContent-Type: text/plain\r\n\r\nhello"})
    EXPECT_NE(reqs[1].body.find(part), std::string::npos) << part;

  std::string missing = (dir / "missing.bin").string();
  EXPECT_EQ(fetch("-F 'f=@" + missing + "' " + server.url("/f")), 6);
  EXPECT_NE(err.find("No file exists at " + missing), std::string::npos) << err;
  EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(FetchFormTest, QueueRunsEveryUrlAndShowsProgress) {
  TestServer server([](ServerConnection& c) {
    while (auto req = c.readRequest()) c.sendResponse(200, "body of " + req->target);
  });
  std::string args = "--queue";
  for (int i = 1; i <= 3; ++i) args += " -o " + (dir / std::to_string(i)).string();
  for (int i = 1; i <= 3; ++i) args += " " + server.url("/" + std::to_string(i));
  EXPECT_EQ(fetch(args), 0) << err;
  for (int i = 1; i <= 3; ++i)
    EXPECT_EQ(slurp(dir / std::to_string(i)), "body of /" + std::to_string(i));
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

}  // namespace
}  // namespace est::testing
