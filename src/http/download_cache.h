#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "http/header_map.h"
#include "http/request_seams.h"
#include "http/support/url.h"
#include "platform/clock.h"
#include "platform/data.h"
#include "platform/error.h"

namespace est {

// Errors of the cache's own storage. The description is the message; the failure reason is
// the error's name ("FileExistsAtCachePath", ...).
inline constexpr const char* kDownloadCacheErrorDomain = "DownloadCacheErrorDomain";
enum DownloadCacheErrorCode {
  FileExistsAtCachePathError = 1,
  FailedToCreateCacheDirectoryError = 2,
  FailedToTraverseCacheDirectoryError = 3,
  FailedToRemoveCacheFileError = 4,
};

// Where a request stores its reply (HTTPRequest::cacheStoragePolicy).
inline constexpr int CacheForSessionDurationCacheStoragePolicy = 0;
inline constexpr int CachePermanentlyCacheStoragePolicy = 1;

// Replies to GET requests kept on disk: per URL one headers file (a property list) and one
// body file, in a session store (emptied whenever the storage path is set) or a permanent
// store. Safe to share between requests on the network thread and callers elsewhere: every
// file operation runs under accessLock().
class DownloadCache : public DownloadCacheInterface {
 public:
  DownloadCache() = default;

  // The process-wide cache in the user's cache folder.
  static std::shared_ptr<DownloadCache> sharedCache();

  std::string storagePath() const;
  // Empties the session store of the old path, takes the new one, creates it and its stores,
  // and empties the new session store.
  bool setStoragePath(const std::string& path, Error* error = nullptr);

  int defaultCachePolicy() const override;
  // 0 stands for the default, which asks the server when the copy is stale (4).
  void setDefaultCachePolicy(int policy);
  bool shouldRespectCacheControlHeaders() const;
  void setShouldRespectCacheControlHeaders(bool respect);
  std::recursive_mutex& accessLock() const { return accessLock_; }

  // Keeps a finished 200 reply; maxAge (seconds, 0 for none) replaces the server's freshness.
  void storeResponseForRequest(HTTPRequest& request, double maxAge) override;

  std::optional<HeaderMap> cachedResponseHeadersForURL(const Url& url) override;
  std::optional<Data> cachedResponseDataForURL(const Url& url) override;
  std::optional<std::string> pathToCachedResponseDataForURL(const Url& url) override;
  std::optional<std::string> pathToCachedResponseHeadersForURL(const Url& url);

  bool canUseCachedDataForRequest(HTTPRequest& request) override;
  bool isCachedDataCurrentForRequest(HTTPRequest& request);
  void removeCachedDataForRequest(HTTPRequest& request);
  // Deletes every file of the session store (policy 0) or of the permanent store.
  bool clearCachedResponsesForStoragePolicy(int storagePolicy, Error* error = nullptr);

  // MD5 of the URL text without one trailing "/", as 32 upper-case hexadecimal digits.
  static std::string keyForURL(const Url& url);
  static bool serverAllowsResponseCachingForRequest(const HTTPRequest& request);
  // "Sun, 06 Nov 1994 08:49:37 GMT", also without the day name and without seconds.
  static std::optional<TimePoint> dateFromRFC1123String(std::string_view text);
  // "EEE, dd MMM yyyy HH:mm:ss 'GMT'", in English whatever the locale.
  static std::string rfc1123StringFromDate(TimePoint date);

 private:
  std::string storeFolder(int storagePolicy) const;
  std::optional<std::string> existingFile(const Url& url, const std::string& extension);
  bool createStores(const std::string& root, Error* error);
  bool clearFolder(const std::string& folder, Error* error);
  bool isCurrentLocked(const HeaderMap& stored, bool headersIn, int status, const HeaderMap& reply);
  std::optional<HeaderMap> readHeaders(const std::string& path);

  mutable std::recursive_mutex accessLock_;
  std::string storagePath_;
  int defaultCachePolicy_ = AskServerIfModifiedWhenStaleCachePolicy;
  bool shouldRespectCacheControlHeaders_ = true;

  // Headers files already parsed, by path, with the bytes they were parsed from: a hit then
  // costs a small read and a comparison instead of a property-list parse.
  std::unordered_map<std::string, std::pair<Data, HeaderMap>> headersMemo_;
};

}  // namespace est
