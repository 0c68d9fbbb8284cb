// The fetch tool end to end, against the scripted server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "http/support/fetch_fixture.h"
#include "http/support/test_server.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

using FetchTest = FetchFixture;

TEST_F(FetchTest, SequentialUrlsReuseTheConnectionAndReportStats) {
  TestServer server([](ServerConnection& c) {
    while (auto req = c.readRequest()) c.sendResponse(200, "body of " + req->target);
  });
  std::string first = (dir / "first").string();
  int rc = fetch("-o " + first + " -i --stats " + server.url("/one") + " " + server.url("/two"));
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(slurp(first), "body of /one");
  // The second URL has no -o: headers first, then the body, on standard output.
  EXPECT_NE(out.find("HTTP/1.1 200 OK\r\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 12), "body of /two");
  std::regex line(R"(status=200 bytes=(\d+) seconds=[0-9.]+ connection=(\d+) reused=(yes|no)\n)");
  std::vector<std::smatch> stats;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), line); it != std::sregex_iterator();
       ++it)
    stats.push_back(*it);
  ASSERT_EQ(stats.size(), 2u) << err;
  EXPECT_EQ(stats[0][1], "12");
  EXPECT_EQ(stats[0][3], "no");
  EXPECT_EQ(stats[1][3], "yes");
  EXPECT_EQ(stats[0][2], stats[1][2]);
  EXPECT_EQ(server.connectionCount(), 1);
}

TEST_F(FetchTest, MethodHeadersAndBodyGoOutAsAsked) {
  TestServer server(TestServer::replyForever(httpResponse(201, "", "", "Created")));
  std::ofstream(dir / "payload", std::ios::binary) << "file-body";
  int rc = fetch("-X PUT -H 'X-One: 1' -H 'Content-Type: text/plain' --data-binary @" +
                 (dir / "payload").string() + " -v " + server.url("/put"));
  EXPECT_EQ(rc, 0) << err;
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].method, "PUT");
  EXPECT_EQ(reqs[0].header("X-One"), "1");
  EXPECT_EQ(reqs[0].header("Content-Type"), "text/plain");
  EXPECT_EQ(reqs[0].body, "file-body");
  EXPECT_NE(err.find("> PUT /put HTTP/1.1"), std::string::npos) << err;
  EXPECT_NE(err.find("< HTTP/1.1 201 Created"), std::string::npos) << err;
  EXPECT_NE(err.find("connection #"), std::string::npos) << err;

  rc = fetch("-d 'a=1' --http1.0 " + server.url("/form"));
  EXPECT_EQ(rc, 0);
  reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].method, "POST");
  EXPECT_EQ(reqs[1].version, "HTTP/1.0");
  EXPECT_EQ(reqs[1].header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST_F(FetchTest, FailuresSetTheExitStatusAndSayWhy) {
  TestServer server(TestServer::replyForever(httpResponse(404, "missing")));
  int rc = fetch(server.url("/ok") + " 'http://127.0.0.1/a b'");
  EXPECT_EQ(rc, 5);
  EXPECT_EQ(out, "missing");  // a 404 is not an error; the bad URL is
  EXPECT_EQ(err, "fetch: Unable to create request (bad url?) (code 5)\n");

  TestServer silent([](ServerConnection& c) {
    if (c.readRequest()) c.waitForPeerClose(10);
  });
  rc = fetch("--timeout 0.5 --retries 1 " + silent.url());
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(err, "fetch: The request timed out (code 2)\n");
  EXPECT_EQ(silent.connectionCount(), 2);

  rc = fetch("-s --timeout 0.5 " + silent.url());
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(err, "");
}

TEST_F(FetchTest, MaxFilesizeStopsABodyThatInflatesPastItAndKeepsTheOldFile) {
  TestServer server(TestServer::replyForever(
      httpResponse(200, gzipBytes(std::string(300000, 'z')), "Content-Encoding: gzip\r\n")));
  fs::path dest = dir / "out.txt";
  std::ofstream(dest) << "old";
  EXPECT_EQ(fetch("--max-filesize 100000 -o " + dest.string() + " " + server.url()), 11);
  EXPECT_EQ(err, "fetch: The response inflates beyond the limit of 100000 bytes (code 11)\n");
  EXPECT_EQ(fs::file_size(dest), 3u);
  EXPECT_EQ(fetch("--max-filesize 300000 -o " + dest.string() + " " + server.url()), 0);
  EXPECT_EQ(fs::file_size(dest), 300000u);
  EXPECT_EQ(fetch("--max-filesize 0 " + server.url()), 2);
}

TEST_F(FetchTest, OutputIntoADeviceLeavesTheDeviceInPlace) {
  TestServer server(TestServer::replyForever(httpResponse(200, std::string(70000, 'x'))));
  fs::path null = dir / "null";  // our own node, never the system's
  ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
  EXPECT_EQ(fetch("-o " + null.string() + " " + server.url()), 0);
  struct stat st {};
  ASSERT_EQ(::lstat(null.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(FetchTest, AProgressBarIsShownOnlyOnATerminalAndOnlyForSlowTransfers) {
  // About a second and a half for the body.
  TestServer slow([](ServerConnection& c) {
    while (c.readRequest()) {
      c.send("HTTP/1.1 200 OK\r\nContent-Length: 30000\r\n\r\n");
      for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!c.send(std::string(2000, 'p'))) return;
      }
    }
  });
  TestServer quick(TestServer::replyForever(httpResponse(200, "quick")));
  std::string output = (dir / "body").string();
  EXPECT_EQ(fetch("-o " + output + " " + slow.url()), 0);
  EXPECT_EQ(err, "") << "standard error is a file here";

  // On a terminal (script(1) gives it one) the slow transfer draws its bar, the quick none.
  auto onTerminal = [&](const std::string& url) {
    std::string typescript = (dir / "typescript").string();
    std::string inner = std::string(EST_FETCH_PATH) + " -o " + output + " " + url;
    std::string cmd = "script -qec '" + inner + "' " + typescript + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return slurp(typescript);
  };
  std::string shown = onTerminal(slow.url());
  EXPECT_NE(shown.find("received ["), std::string::npos) << shown;
  EXPECT_NE(shown.find("100% 30000/30000"), std::string::npos) << shown;
  EXPECT_EQ(onTerminal(quick.url()).find("received"), std::string::npos);
}

TEST_F(FetchTest, ParallelStartsEveryUrlAtOnce) {
  std::atomic<int> waiting{0};
  TestServer server([&](ServerConnection& c) {
    if (!c.readRequest()) return;
    ++waiting;
    // Nobody answers until all three are in: only parallel fetching gets through.
    for (int i = 0; i < 200 && waiting < 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    c.sendResponse(200, std::to_string(c.index()));
  });
  std::string args = "--parallel --timeout 5";
  for (int i = 0; i < 3; ++i) args += " -o " + (dir / std::to_string(i)).string();
  for (int i = 0; i < 3; ++i) args += " " + server.url("/" + std::to_string(i));
  EXPECT_EQ(fetch(args), 0) << err;
  EXPECT_EQ(waiting.load(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(fs::exists(dir / std::to_string(i)));
}

TEST_F(FetchTest, ReachabilityReportsTheLoopbackAsReachableAndLocal) {
  ASSERT_EQ(fetch("--reachability 127.0.0.1"), 0) << err;
  EXPECT_NE(out.find("127.0.0.1\n\tReachability Flags: -R -----ld"), std::string::npos) << out;
}

TEST_F(FetchTest, OptionsThatCannotGoTogetherOrMakeNoSenseAreUsageErrors) {
  std::ofstream(dir / "file") << "x";
  const std::string target = " http://127.0.0.1:1/";
  // A policy without a cache, a bad policy or rate, a raw body with a form, two run modes.
  for (std::string args :
       {std::string("--reachability a b"), "--cache-policy 4" + target,
        "--cache " + dir.string() + " --cache-policy 0xZ" + target, "--limit-rate -5" + target,
        "-d x=1 -F a=1" + target, "-F novalue" + target, "--queue --parallel" + target})
    EXPECT_EQ(fetch(args), 2) << args;
  EXPECT_EQ(fetch("--cache " + (dir / "file").string() + target), 2);  // a file in the way
  EXPECT_NE(err.find("Cannot create a directory for the cache at"), std::string::npos) << err;
}

}  // namespace
}  // namespace est::testing
