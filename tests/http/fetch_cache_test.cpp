// The fetch tool's cache and rate-limit options, against the scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "http/support/fetch_fixture.h"
#include "http/support/test_server.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

using FetchCacheTest = FetchFixture;

TEST_F(FetchCacheTest, ASecondRunIsAnsweredFromTheCacheFolderWithoutAConnection) {
  TestServer server(
      TestServer::replyForever(httpResponse(200, "cached body", "Cache-Control: max-age=600\r\n")));
  const std::string cache = (dir / "cache").string();
  ASSERT_EQ(fetch("--cache " + cache + " --stats " + server.url("/c.txt")), 0) << err;
  EXPECT_EQ(out, "cached body");
  EXPECT_NE(err.find("cache=miss"), std::string::npos) << err;
  ASSERT_EQ(fetch("--cache " + cache + " --stats " + server.url("/c.txt")), 0) << err;
  EXPECT_EQ(out, "cached body");
  EXPECT_NE(err.find("cache=hit"), std::string::npos) << err;
  EXPECT_EQ(server.connectionCount(), 1);
  EXPECT_EQ(server.requestCount(), 1u);

  // 0x1 (never read the cache) goes to the server; a hexadecimal and a decimal policy agree.
  ASSERT_EQ(fetch("--cache " + cache + " --cache-policy 0x1 " + server.url("/c.txt")), 0) << err;
  EXPECT_EQ(server.requestCount(), 2u);
  ASSERT_EQ(fetch("--cache " + cache + " --cache-policy 16 -o " + (dir / "f").string() + " " +
                  server.url("/c.txt")),
            0)
      << err;
  EXPECT_EQ(slurp(dir / "f"), "cached body");
  EXPECT_EQ(server.requestCount(), 2u);
}

// A behaviour check, not a speed target: 60 KB at 20 KB/s cannot arrive before the third
// one-second window opens.
TEST_F(FetchCacheTest, LimitRateHoldsADownloadBack) {
  std::string body;
  for (int i = 0; i < 60000; ++i) body += static_cast<char>('0' + i % 10);
  TestServer server(TestServer::replyForever(httpResponse(200, body)));
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(fetch("--limit-rate 20000 -o " + (dir / "body").string() + " " + server.url("/b")), 0)
      << err;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(slurp(dir / "body"), body);
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 15.0);
}

}  // namespace
}  // namespace est::testing
