// Where a downloaded body lands: whatever stands at the destination is written, never
// destroyed, and only a complete body replaces a regular file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

#include "http/download_cache.h"
#include "http/http_request.h"
#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;

class DestinationTest : public HttpRequestTest {
 protected:
  HTTPRequestPtr download(const std::string& reply, const fs::path& dest,
                          const std::function<void(HTTPRequest&)>& configure = {}) {
    server = std::make_unique<TestServer>(TestServer::replyForever(reply));
    auto r = HTTPRequest::requestWithURL(server->url("/file.bin"));
    r->setDownloadDestinationPath(dest.string());
    if (configure) configure(*r);
    run(r);
    return r;
  }
  // A character device node of our own (never the system's), e.g. 1,3 reads and writes
  // like /dev/null and 1,7 like /dev/full.
  fs::path makeDevice(const char* name, unsigned minor) {
    fs::path p = dir / name;
    EXPECT_EQ(::mknod(p.c_str(), S_IFCHR | 0666, ::makedev(1, minor)), 0) << strerror(errno);
    return p;
  }
  static bool isCharDevice(const fs::path& p, unsigned minor) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && ::minor(st.st_rdev) == minor;
  }

  TempDir tmp;
  fs::path dir = tmp.path();
  std::unique_ptr<TestServer> server;
  std::string body = std::string(200000, 'b') + "end";
};

TEST_F(DestinationTest, WorkFilesArePrivateWhileTheBodyArrivesAndAFailureKeepsTheOldFile) {
  fs::path runtime = dir / "runtime";
  fs::create_directory(runtime);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  std::atomic<bool> goOn{false};
  for (bool complete : {true, false}) {
    goOn = false;
    const std::string half(100000, 'h');
    TestServer slow([&](ServerConnection& c) {
      if (!c.readRequest()) return;
      c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(2 * half.size()) + "\r\n\r\n" +
             half);
      while (!goOn) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (complete) c.send(half);
    });
    fs::path dest = dir / "kept.bin";
    writeFile(dest.string(), "old");
    auto r = HTTPRequest::requestWithURL(slow.url("/f"));
    r->setDownloadDestinationPath(dest.string());
    r->startAsynchronous();
    ASSERT_TRUE(eventually([&] {
      auto p = r->temporaryFileDownloadPath();
      std::error_code ec;
      return !p.empty() && fs::file_size(p, ec) == half.size();
    }));
    struct stat file {
    }, folder{};
    fs::path work = r->temporaryFileDownloadPath();
    ASSERT_EQ(::lstat(work.c_str(), &file), 0);
    ASSERT_EQ(::lstat(work.parent_path().c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(folder.st_uid, ::getuid());
    EXPECT_EQ(work.parent_path().parent_path(), runtime);
    EXPECT_EQ(work.filename().string().size(), 32u);
    goOn = true;
    ASSERT_TRUE(eventually([&] { return r->isFinished(); }));
    EXPECT_EQ(r->error().has_value(), !complete);
    EXPECT_EQ(fs::file_size(dest), complete ? 2 * half.size() : 3u);
    EXPECT_FALSE(fs::exists(work));
  }
  // A folder another could enter is refused: the download fails instead of writing there.
  fs::permissions(runtime / "est-http", fs::perms::owner_all | fs::perms::others_exec);
  download(httpResponse(200, body), dir / "refused.bin");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(last.failed, 1);
  EXPECT_FALSE(fs::exists(dir / "refused.bin"));
}

TEST_F(DestinationTest, ADeviceTakesTheBytesInPlaceAndStaysADevice) {
  fs::path null = makeDevice("null", 3);
  download(httpResponse(200, body), null);
  EXPECT_EQ(last.finished, 1);
  EXPECT_TRUE(isCharDevice(null, 3));
  EXPECT_EQ(fs::directory_iterator(dir)->path(), null) << "nothing left beside it";

  // Compressed bodies, inflated afterwards or on the way, reach it the same way.
  for (bool wait : {true, false}) {
    download(httpResponse(200, gzipBytes(body), "Content-Encoding: gzip\r\n"), null,
             [&](HTTPRequest& q) { q.setShouldWaitToInflateCompressedResponses(wait); });
    EXPECT_EQ(last.finished, 1) << wait;
    EXPECT_TRUE(isCharDevice(null, 3));
  }
}

TEST_F(DestinationTest, AFifoIsWrittenThroughAndOneNobodyReadsFailsWithoutHanging) {
  fs::path fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto reader = std::async(std::launch::async, [&] {
    int fd = ::open(fifo.c_str(), O_RDONLY);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return got;
  });
  // The reader must be waiting before the body is complete.
  eventually([] { return false; }, 0.2);
  download(httpResponse(200, body), fifo);
  EXPECT_EQ(last.finished, 1);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reader.get(), body);
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  auto r = download(httpResponse(200, body), fifo);
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 8);
  EXPECT_NE(last.lastError->description.find("Failed to move file from '"), std::string::npos);
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(DestinationTest, ALinkIsFollowedAndItsTargetReplacedOnlyByACompleteBody) {
  fs::path target = dir / "real.txt";
  fs::path link = dir / "link.txt";
  writeFile(target.string(), "old");
  fs::create_symlink("real.txt", link);
  download(httpResponse(200, body), link);
  ASSERT_EQ(last.finished, 1);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(target.string()), body);

  // A body cut short leaves the old file as it was.
  writeFile(target.string(), "old");
  server = std::make_unique<TestServer>([](ServerConnection& c) {
    if (c.readRequest()) c.send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nonly a little");
  });
  auto cut = HTTPRequest::requestWithURL(server->url("/file.bin"));
  cut->setDownloadDestinationPath(link.string());
  run(cut);
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(slurp(target.string()), "old");
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(DestinationTest, AResumedDownloadIntoALinkAppendsThenWritesTheTarget) {
  fs::path target = dir / "real.txt";
  fs::path link = dir / "link.txt";
  fs::path partial = dir / "partial";
  writeFile(target.string(), "old");
  fs::create_symlink(target, link);
  writeFile(partial.string(), "012345");
  download(httpResponse(206, "6789", "Content-Range: bytes 6-9/10\r\n", "Partial Content"), link,
           [&](HTTPRequest& q) {
             q.setTemporaryFileDownloadPath(partial.string());
             q.setAllowResumeForFileDownloads(true);
           });
  ASSERT_EQ(last.finished, 1);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(target.string()), "0123456789");
}

TEST_F(DestinationTest, AResumePathOfTheCallersIsOwnerOnlyAndALinkThereIsRefused) {
  // Created at the caller's path by a transfer the peer cuts short: kept for the resume,
  // readable by its owner alone.
  fs::path partial = dir / "partial";
  server = std::make_unique<TestServer>([](ServerConnection& c) {
    if (c.readRequest()) c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
  });
  auto cut = HTTPRequest::requestWithURL(server->url("/f"));
  cut->setDownloadDestinationPath((dir / "dest").string());
  cut->setTemporaryFileDownloadPath(partial.string());
  cut->setAllowResumeForFileDownloads(true);
  run(cut);
  ASSERT_EQ(last.failed, 1);
  struct stat st {};
  ASSERT_EQ(::lstat(partial.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(slurp(partial.string()), "0123456789");

  // A link planted there, to a file or to nothing yet: no byte leaves, nothing is written.
  fs::path victim = dir / "victim", absent = dir / "absent";
  writeFile(victim.string(), "precious");
  for (const fs::path& target : {victim, absent}) {
    SCOPED_TRACE(target.string());
    fs::path link = dir / "planted";
    fs::remove(link);
    fs::create_symlink(target, link);
    download(httpResponse(200, "attacker's bytes"), dir / "dest", [&](HTTPRequest& q) {
      q.setTemporaryFileDownloadPath(link.string());
      q.setAllowResumeForFileDownloads(true);
    });
    ASSERT_EQ(last.failed, 1);
    EXPECT_EQ(last.lastError->code, FileManagementError);
    EXPECT_EQ(
        last.lastError->description,
        "Refusing to resume a download through the symbolic link at path '" + link.string() + "'");
    EXPECT_EQ(server->connectionCount(), 0);
    EXPECT_TRUE(fs::is_symlink(link));
  }
  EXPECT_EQ(slurp(victim.string()), "precious");
  EXPECT_FALSE(fs::exists(absent));

  // Planted while the request waits for its reply: the file is opened without following it.
  fs::path late = dir / "late";
  std::atomic<bool> planted{false};
  server = std::make_unique<TestServer>([&](ServerConnection& c) {
    if (!c.readRequest()) return;
    while (!planted) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    c.sendResponse(200, "attacker's bytes");
  });
  auto raced = HTTPRequest::requestWithURL(server->url("/f"));
  raced->setDownloadDestinationPath((dir / "dest").string());
  raced->setTemporaryFileDownloadPath(late.string());
  raced->setAllowResumeForFileDownloads(true);
  raced->setDelegate(&last);
  last = {};
  raced->startAsynchronous();
  ASSERT_TRUE(eventually([&] { return server->requestCount() == 1; }));
  fs::create_symlink(victim, late);
  planted = true;
  ASSERT_TRUE(waitForOutcome(last));
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, FileManagementError);
  EXPECT_EQ(slurp(victim.string()), "precious");
}

TEST_F(DestinationTest, ACachedCopyIsWrittenByTheSameRulesAndAFailedCopyFails) {
  auto cache = std::make_shared<DownloadCache>();
  ASSERT_TRUE(cache->setStoragePath((dir / "cache").string()));
  server = std::make_unique<TestServer>(
      TestServer::replyForever(httpResponse(200, "cached body", "Cache-Control: max-age=600\r\n")));
  auto get = [&](const fs::path& dest) {
    auto r = HTTPRequest::requestWithURL(Url::parse(server->url("/c")), cache);
    if (!dest.empty()) r->setDownloadDestinationPath(dest.string());
    run(r);
    return r;
  };
  get({});
  ASSERT_EQ(last.finished, 1);

  fs::path null = makeDevice("null", 3);
  EXPECT_TRUE(get(null)->didUseCachedResponse());
  EXPECT_EQ(last.finished, 1);
  EXPECT_TRUE(isCharDevice(null, 3));

  // A folder cannot take a file: the request fails instead of finishing with nothing.
  fs::create_directory(dir / "folder");
  get(dir / "folder");
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.finished, 0);
  EXPECT_EQ(last.lastError->code, 8);
  EXPECT_NE(last.lastError->description.find("' to '" + (dir / "folder").string() + "'"),
            std::string::npos)
      << last.lastError->description;
  EXPECT_EQ(server->requestCount(), 1u);
}

TEST_F(DestinationTest, ABodyThatCannotBeWrittenToItsWorkFileIsNeverSent) {
  fs::path full = makeDevice("full", 7);  // every write fails: no space left
  server = std::make_unique<TestServer>(TestServer::replyForever(httpResponse(200, "ok")));
  auto r = HTTPRequest::requestWithURL(server->url("/upload"));
  r->setPostBodyFilePath(full.string());
  r->appendPostData(std::string_view("part one"));
  r->appendPostData(std::string_view("part two"));
  run(r);
  ASSERT_EQ(last.failed, 1);
  EXPECT_EQ(last.lastError->code, 8);
  EXPECT_EQ(last.lastError->description, "Failed to write to file at path '" + full.string() + "'");
  EXPECT_EQ(server->requestCount(), 0u);
  EXPECT_TRUE(isCharDevice(full, 7));
}

}  // namespace
}  // namespace est::testing
