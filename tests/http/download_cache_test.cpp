// The download cache on its own (keys, dates, folders, freshness, damaged files) and as
// requests use it against a scripted server.
#include "http/download_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "http/support/nginx_server.h"
#include "http/support/request_fixture.h"
#include "platform/clock.h"

namespace est::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Url url(std::string_view text) {
  return *Url::parse(text);
}

// 2026-03-04 12:00:00 UTC.
const TimePoint kNoon = std::chrono::system_clock::from_time_t(1772625600);

class DownloadCacheTest : public HttpRequestTest {
 protected:
  void SetUp() override {
    HttpRequestTest::SetUp();
    ASSERT_TRUE(cache->setStoragePath((dir / "cache").string()));
  }

  // A GET through the cache; the server is the one of the test.
  HTTPRequestPtr get(const std::string& path, int policy = 0,
                     const std::function<void(HTTPRequest&)>& configure = {}) {
    auto r = HTTPRequest::requestWithURL(Url::parse(server->url(path)), cache, policy);
    if (configure) configure(*r);
    run(r);
    EXPECT_EQ(last.outcomes(), 1);
    return r;
  }
  void serve(std::string reply) {
    server = std::make_unique<TestServer>(TestServer::replyForever(std::move(reply)));
  }
  // One reply per path.
  void serve(std::map<std::string, std::string> replies) {
    server = std::make_unique<TestServer>([replies](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        auto it = replies.find(req->target);
        c.send(it != replies.end() ? it->second : httpResponse(404, ""));
      }
    });
  }
  HTTPRequestPtr fresh(const std::string& path, int policy = 0) {
    return HTTPRequest::requestWithURL(Url::parse(server->url(path)), cache, policy);
  }

  TempDir tmp;
  fs::path dir = tmp.path();
  std::shared_ptr<DownloadCache> cache = std::make_shared<DownloadCache>();
  std::unique_ptr<TestServer> server;
};

TEST(DownloadCacheKeys, AreTheUpperCaseMD5OfTheURLWithoutOneTrailingSlash) {
  auto key = [](std::string_view u) {
    return DownloadCache::keyForURL(url("http://e.com/" + std::string(u)));
  };
  EXPECT_EQ(DownloadCache::keyForURL(url("http://example.com/a/b.json")),
            "A03E11504F19C4C72D63BD27EF4ED909");
  EXPECT_EQ(key("a/"), key("a"));
  EXPECT_NE(key("a//"), key("a"));
  EXPECT_NE(key("a?x=1"), key("a?x=2"));
}

TEST(DownloadCacheDates, AcceptTheFourRFC1123FormsAndWriteEnglishGMT) {
  const TimePoint t = std::chrono::system_clock::from_time_t(784111777);
  EXPECT_EQ(DownloadCache::dateFromRFC1123String("Sun, 06 Nov 1994 08:49:37 GMT"), t);
  EXPECT_EQ(DownloadCache::dateFromRFC1123String("06 Nov 1994 08:49:37 GMT"), t);
  EXPECT_EQ(DownloadCache::dateFromRFC1123String("Sun, 06 Nov 1994 08:49 GMT"), t - 37s);
  EXPECT_EQ(DownloadCache::dateFromRFC1123String("06 Nov 1994 08:49 GMT"), t - 37s);
  EXPECT_EQ(DownloadCache::dateFromRFC1123String("Sun, 06 Nov 1994 10:49:37 +0200"), t);
  // Far beyond what a time point holds: the latest one, never a wrapped-around past.
  EXPECT_EQ(DownloadCache::dateFromRFC1123String("Fri, 31 Dec 9999 23:59:59 GMT"),
            TimePoint::max());
  for (const char* bad : {"", "0", "-1", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994",
                          "Sun, 06 Nov 1994 08:49:37", "Sun, 06 Foo 1994 08:49:37 GMT",
                          "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT junk",
                          "Xyz, 06 Nov 1994 08:49:37 GMT"})
    EXPECT_FALSE(DownloadCache::dateFromRFC1123String(bad)) << bad;

  ::setenv("LC_ALL", "es_UY.UTF-8", 1);
  std::setlocale(LC_ALL, "");
  EXPECT_EQ(DownloadCache::rfc1123StringFromDate(t), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(DownloadCache::dateFromRFC1123String(DownloadCache::rfc1123StringFromDate(kNoon)),
            kNoon);
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LC_ALL");
}

TEST_F(DownloadCacheTest, StoragePathMakesBothStoresAndEmptiesOnlyTheSessionStore) {
  const fs::path root = dir / "cache";
  writeFile(root / "SessionStore" / "old.html", "x");
  writeFile(root / "PermanentStore" / "kept.html", "y");
  const fs::path other = dir / "other";
  ASSERT_TRUE(cache->setStoragePath(other.string()));
  EXPECT_FALSE(fs::exists(root / "SessionStore" / "old.html"));  // old path cleared too
  EXPECT_TRUE(fs::exists(root / "PermanentStore" / "kept.html"));
  EXPECT_TRUE(fs::is_directory(other / "SessionStore"));
  EXPECT_TRUE(fs::is_directory(other / "PermanentStore"));

  writeFile(other / "SessionStore" / "s.html", "x");
  ASSERT_TRUE(cache->setStoragePath(other.string()));
  EXPECT_FALSE(fs::exists(other / "SessionStore" / "s.html"));
}

TEST_F(DownloadCacheTest, StorageFailuresAreNamedErrors) {
  const fs::path blocked = dir / "blocked";
  fs::create_directories(blocked);
  writeFile(blocked / "PermanentStore", "a file");
  Error e;
  EXPECT_FALSE(cache->setStoragePath(blocked.string(), &e));
  EXPECT_EQ(e.domain, kDownloadCacheErrorDomain);
  EXPECT_EQ(e.failureReason, "FileExistsAtCachePath");
  EXPECT_EQ(e.description, "Cannot create a directory for the cache at '" +
                               (blocked / "PermanentStore").string() +
                               "', because a file already exists");

  EXPECT_FALSE(cache->setStoragePath("/dev/null/cache", &e));
  EXPECT_EQ(e.failureReason, "FailedToCreateCacheDirectory");

  const fs::path root = dir / "cache";
  ASSERT_TRUE(cache->setStoragePath(root.string()));
  fs::create_directories(root / "PermanentStore" / "stuck" / "inside");
  EXPECT_FALSE(cache->clearCachedResponsesForStoragePolicy(1, &e));
  EXPECT_EQ(e.failureReason, "FailedToRemoveCacheFile");
  fs::remove_all(root / "PermanentStore");
  EXPECT_FALSE(cache->clearCachedResponsesForStoragePolicy(1, &e));
  EXPECT_EQ(e.failureReason, "FailedToTraverseCacheDirectory");
}

TEST_F(DownloadCacheTest, StoresBodiesInflatedWithTheirHeadersAsAPropertyList) {
  ManualClock clock(kNoon);
  ScopedClock scoped(clock);
  std::string json = "{\"a\":\"" + std::string(3000, 'z') + "\"}";
  serve(httpResponse(200, gzipBytes(json),
                     "Content-Encoding: gzip\r\nEtag: \"v1\"\r\nExpires: Thu, 01 Jan 2099 "
                     "00:00:00 GMT\r\n"));
  auto r = get("/data.json", 0, [](HTTPRequest& q) {
    q.setSecondsToCache(90);
    q.setCacheStoragePolicy(CachePermanentlyCacheStoragePolicy);
  });
  const Url u = *r->url();
  const std::string key = DownloadCache::keyForURL(u);
  const fs::path store = dir / "cache" / "PermanentStore";
  EXPECT_EQ(slurp(store / (key + ".json")), json);
  EXPECT_TRUE(fs::exists(store / (key + ".cachedheaders")));
  EXPECT_TRUE(fs::is_empty(dir / "cache" / "SessionStore"));

  auto headers = cache->cachedResponseHeadersForURL(u);
  ASSERT_TRUE(headers);
  EXPECT_FALSE(headers->contains("Content-Encoding"));
  EXPECT_FALSE(headers->contains("Expires"));
  EXPECT_EQ(headers->value("Cache-Control"), "max-age=90");
  EXPECT_EQ(headers->value("Etag"), "\"v1\"");
  EXPECT_EQ(headers->value("X-HTTPRequest-Fetch-date"), "Wed, 04 Mar 2026 12:00:00 GMT");
  EXPECT_EQ(cache->cachedResponseDataForURL(u), toData(json));

  // Without an extension the body is an "html" file; removing takes both files away.
  serve(httpResponse(200, "plain"));
  auto other = get("/folder/");
  EXPECT_TRUE(fs::exists(dir / "cache" / "SessionStore" /
                         (DownloadCache::keyForURL(*other->url()) + ".html")));
  cache->removeCachedDataForRequest(*other);
  EXPECT_FALSE(cache->pathToCachedResponseDataForURL(*other->url()));
  EXPECT_FALSE(cache->pathToCachedResponseHeadersForURL(*other->url()));
}

TEST_F(DownloadCacheTest, NoStoreIsHonouredUnlessCacheControlIsIgnored) {
  for (std::string refusal : {"Cache-Control: no-store\r\n", "Cache-Control: private, no-cache\r\n",
                              "Pragma: no-cache\r\n"}) {
    serve(httpResponse(200, "secret", refusal));
    auto r = get("/s");
    EXPECT_FALSE(DownloadCache::serverAllowsResponseCachingForRequest(*r)) << refusal;
    EXPECT_FALSE(cache->cachedResponseDataForURL(*r->url())) << refusal;
  }
  cache->setShouldRespectCacheControlHeaders(false);
  auto r = get("/s");
  EXPECT_EQ(cache->cachedResponseDataForURL(*r->url()), toData("secret"));

  // Neither a failed status nor a request that must not write is kept.
  serve(httpResponse(404, "missing"));
  EXPECT_FALSE(cache->cachedResponseDataForURL(*get("/404")->url()));
  serve(httpResponse(200, "x"));
  EXPECT_FALSE(cache->cachedResponseDataForURL(
      *get("/nowrite", DoNotWriteToCacheCachePolicy | AskServerIfModifiedWhenStaleCachePolicy)
           ->url()));
}

TEST_F(DownloadCacheTest, FreshnessFollowsMaxAgeFromTheFetchDateThenExpires) {
  ManualClock clock(kNoon);
  ScopedClock scoped(clock);
  serve(std::map<std::string, std::string>{
      {"/max-age", httpResponse(200, "a", "Cache-Control: public, max-age=60\r\n")},
      {"/expires", httpResponse(200, "b", "Expires: Wed, 04 Mar 2026 12:10:00 GMT\r\n")},
      {"/validator-only",
       httpResponse(200, "c", "Last-Modified: Wed, 04 Mar 2026 11:00:00 GMT\r\n")}});
  get("/max-age");
  get("/expires");
  get("/validator-only");

  clock.advance(30s);
  EXPECT_TRUE(cache->isCachedDataCurrentForRequest(*fresh("/max-age")));
  EXPECT_TRUE(cache->canUseCachedDataForRequest(*fresh("/max-age")));
  EXPECT_TRUE(cache->isCachedDataCurrentForRequest(*fresh("/expires")));
  EXPECT_FALSE(cache->isCachedDataCurrentForRequest(*fresh("/validator-only")));
  clock.advance(60s);  // fetched 90 s ago
  EXPECT_FALSE(cache->isCachedDataCurrentForRequest(*fresh("/max-age")));
  EXPECT_FALSE(cache->canUseCachedDataForRequest(*fresh("/max-age")));
  EXPECT_TRUE(cache->isCachedDataCurrentForRequest(*fresh("/expires")));
  clock.advance(10min);
  EXPECT_FALSE(cache->isCachedDataCurrentForRequest(*fresh("/expires")));

  cache->setShouldRespectCacheControlHeaders(false);
  EXPECT_TRUE(cache->isCachedDataCurrentForRequest(*fresh("/max-age")));

  serve(std::map<std::string, std::string>{
      {"/forever", httpResponse(200, "d", "Cache-Control: max-age=999999999999\r\n")}});
  get("/forever");
  cache->setShouldRespectCacheControlHeaders(true);
  clock.advance(24h);
  EXPECT_TRUE(cache->isCachedDataCurrentForRequest(*fresh("/forever")));
}

TEST_F(DownloadCacheTest, EveryPolicyBitDecidesAsDocumented) {
  ManualClock clock(kNoon);
  ScopedClock scoped(clock);
  serve(httpResponse(200, "body", "Cache-Control: max-age=60\r\n"));
  get("/p");
  auto can = [&](int policy) { return cache->canUseCachedDataForRequest(*fresh("/p", policy)); };
  EXPECT_TRUE(can(AskServerIfModifiedWhenStaleCachePolicy));
  EXPECT_TRUE(can(0));  // the default, 4
  EXPECT_FALSE(can(DoNotReadFromCacheCachePolicy | OnlyLoadIfNotCachedCachePolicy));
  EXPECT_FALSE(can(AskServerIfModifiedCachePolicy));         // not before the reply's headers
  EXPECT_FALSE(can(FallbackToCacheIfLoadFailsCachePolicy));  // not before the request failed
  EXPECT_FALSE(can(DoNotWriteToCacheCachePolicy));
  clock.advance(1h);
  EXPECT_FALSE(can(AskServerIfModifiedWhenStaleCachePolicy));
  EXPECT_TRUE(can(OnlyLoadIfNotCachedCachePolicy));
  EXPECT_TRUE(can(DontLoadCachePolicy));
  // Without a copy only "do not load" says yes.
  auto missing = [&](int policy) {
    return cache->canUseCachedDataForRequest(*fresh("/never-stored", policy));
  };
  EXPECT_FALSE(missing(OnlyLoadIfNotCachedCachePolicy));
  EXPECT_TRUE(missing(DontLoadCachePolicy));
}

TEST_F(DownloadCacheTest, ADamagedHeadersFileIsAMiss) {
  serve(httpResponse(200, "from the server", "Cache-Control: max-age=600\r\n"));
  auto first = get("/d");
  const Url u = *first->url();
  auto headersPath = cache->pathToCachedResponseHeadersForURL(u);
  ASSERT_TRUE(headersPath);

  std::mt19937 rng(7);
  std::string valid = slurp(*headersPath);
  std::vector<std::string> damaged = {
      "",
      "\0\0\0",
      "bplist00\xff\xff\xff",
      valid.substr(0, valid.size() / 2),
      "<?xml version=\"1.0\"?><plist><array><string>x</string></array></plist>",
      std::string(5000, '<') + "dict" + std::string(5000, '>'),
      "<plist><dict><key>Cache-Control</key><integer>1</integer></dict></plist>"};
  for (int i = 0; i < 40; ++i) {
    std::string noise = valid;
    for (int k = 0; k < 8; ++k) noise[rng() % noise.size()] = static_cast<char>(rng());
    damaged.push_back(noise);
  }
  for (const std::string& bytes : damaged) {
    writeFile(*headersPath, bytes);
    auto headers = cache->cachedResponseHeadersForURL(u);
    if (!headers) {
      EXPECT_FALSE(cache->canUseCachedDataForRequest(*fresh("/d")));
    }
  }
  writeFile(*headersPath, "garbage");
  EXPECT_FALSE(cache->cachedResponseHeadersForURL(u));
  auto again = get("/d");
  EXPECT_FALSE(again->didUseCachedResponse());
  EXPECT_EQ(again->responseString(), "from the server");
  EXPECT_EQ(server->requestCount(), 2u);
  EXPECT_TRUE(cache->cachedResponseHeadersForURL(u));  // stored anew
}

TEST_F(DownloadCacheTest, AFreshCopyIsServedWithoutAnyConnection) {
  serve(httpResponse(200, "hello cache", "Cache-Control: max-age=600\r\n"));
  auto first = get("/hit");
  EXPECT_FALSE(first->didUseCachedResponse());
  ASSERT_EQ(server->connectionCount(), 1);

  auto second = get("/hit");
  EXPECT_EQ(last.events, (std::vector<std::string>{"finished"}));
  EXPECT_TRUE(second->didUseCachedResponse());
  EXPECT_EQ(second->responseStatusCode(), 200);
  EXPECT_EQ(second->responseString(), "hello cache");
  EXPECT_EQ(server->connectionCount(), 1);
  EXPECT_EQ(server->requestCount(), 1u);

  // Into a file as well.
  const fs::path target = dir / "copy.txt";
  auto toFile = get("/hit", 0, [&](HTTPRequest& q) { q.setDownloadDestinationPath(target); });
  EXPECT_TRUE(toFile->didUseCachedResponse());
  EXPECT_EQ(slurp(target), "hello cache");
  EXPECT_EQ(server->connectionCount(), 1);
}

TEST_F(DownloadCacheTest, AStaleCopyIsRevalidatedAndA304ServesIt) {
  server = std::make_unique<TestServer>([](ServerConnection& c) {
    while (auto req = c.readRequest()) {
      if (req->header("If-None-Match") == "\"tag-1\"")
        c.send("HTTP/1.1 304 Not Modified\r\nEtag: \"tag-1\"\r\nContent-Length: 0\r\n\r\n");
      else
        c.sendResponse(200, "version one",
                       "Etag: \"tag-1\"\r\nLast-Modified: Wed, 04 Mar 2026 11:00:00 GMT\r\n");
    }
  });
  const fs::path target = dir / "downloaded.txt";
  auto first = get("/r", 0, [&](HTTPRequest& q) { q.setDownloadDestinationPath(target); });
  EXPECT_EQ(cache->cachedResponseDataForURL(*first->url()), toData("version one"));

  auto second = get("/r");
  EXPECT_TRUE(second->didUseCachedResponse());
  EXPECT_EQ(second->responseString(), "version one");
  auto requests = server->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header("If-None-Match"), "\"tag-1\"");
  EXPECT_EQ(requests[1].header("If-Modified-Since"), "Wed, 04 Mar 2026 11:00:00 GMT");
  EXPECT_FALSE(requests[0].hasHeader("If-None-Match"));

  // The next request is not held up by the connection the 304 came on.
  auto third = get("/r");
  EXPECT_TRUE(third->didUseCachedResponse());
  EXPECT_EQ(server->requestCount(), 3u);
}

TEST_F(DownloadCacheTest, AFailedRequestFallsBackToTheCopyOnlyWhenAskedTo) {
  serve(httpResponse(200, "kept safe"));
  auto first = get("/f");
  server->stop();

  run(fresh("/f", AskServerIfModifiedWhenStaleCachePolicy));
  EXPECT_EQ(last.failed, 1);
  ASSERT_TRUE(last.lastError);
  EXPECT_EQ(last.lastError->code, ConnectionFailureErrorType);

  auto r =
      get("/f", AskServerIfModifiedWhenStaleCachePolicy | FallbackToCacheIfLoadFailsCachePolicy);
  EXPECT_EQ(last.finished, 1);
  EXPECT_TRUE(r->didUseCachedResponse());
  EXPECT_EQ(r->responseString(), "kept safe");
  EXPECT_FALSE(r->error());

  // "Do not load" with nothing stored fails once, without looping through the fallback.
  run(fresh("/absent", DontLoadCachePolicy | FallbackToCacheIfLoadFailsCachePolicy));
  EXPECT_EQ(last.failed, 1);
  EXPECT_EQ(last.finished, 0);
}

}  // namespace
}  // namespace est::testing
