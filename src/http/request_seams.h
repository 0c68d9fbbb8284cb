#pragma once

// Extension points of HTTPRequest for the parts that come later (credentials, proxies, the
// download cache, bandwidth throttling). Every default does nothing, and with the defaults
// a request behaves as if those parts did not exist: no credentials, no proxy, no cache, no
// limit.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "http/header_map.h"
#include "http/support/url.h"
#include "platform/data.h"

namespace est {

class HTTPRequest;

// Answers authentication challenges. All calls come on the thread that drives the request,
// with the request's lock held.
class HTTPRequestAuthenticator {
 public:
  virtual ~HTTPRequestAuthenticator() = default;
  // Before the transfer: may add an "Authorization" header.
  virtual void applyAuthorizationHeader(HTTPRequest&) {}
  // Headers arrived without a challenge (remember credentials that worked).
  virtual void responseHeadersReceived(HTTPRequest&) {}
  // After a complete 401 (`proxy` false) or 407 reply. Return true when the authenticator
  // has taken over: it will restart or fail the request itself. False fails the request
  // with "Authentication needed".
  virtual bool attemptToApplyCredentialsAndResume(HTTPRequest&, bool /*proxy*/) { return false; }
};

// The download cache as the request sees it.
class DownloadCacheInterface {
 public:
  virtual ~DownloadCacheInterface() = default;
  virtual int defaultCachePolicy() const = 0;
  virtual bool canUseCachedDataForRequest(HTTPRequest& request) = 0;
  virtual std::optional<HeaderMap> cachedResponseHeadersForURL(const Url& url) = 0;
  virtual std::optional<Data> cachedResponseDataForURL(const Url& url) = 0;
  virtual std::optional<std::string> pathToCachedResponseDataForURL(const Url& url) = 0;
  virtual void storeResponseForRequest(HTTPRequest& request, double maxAge) = 0;
};

// Cache policy bits.
inline constexpr int DoNotReadFromCacheCachePolicy = 0x1;
inline constexpr int DoNotWriteToCacheCachePolicy = 0x2;
inline constexpr int AskServerIfModifiedWhenStaleCachePolicy = 0x4;
inline constexpr int AskServerIfModifiedCachePolicy = 0x8;
inline constexpr int OnlyLoadIfNotCachedCachePolicy = 0x10;
inline constexpr int DontLoadCachePolicy = 0x20;
inline constexpr int FallbackToCacheIfLoadFailsCachePolicy = 0x40;

// Shared account of bytes moved. The default counts and never holds anything back.
class BandwidthThrottle {
 public:
  virtual ~BandwidthThrottle() = default;
  virtual void incrementBandwidthUsedInLastSecond(std::uint64_t bytes);
  // Largest read allowed now, given the read size the request would like.
  virtual size_t maxReadLength(size_t wanted) { return wanted; }
  // Measures, then says how many seconds transfers must still hold off (0: go on).
  virtual double performThrottling() { return 0; }
  // Whether a limit is in force now; request bodies then go out through ThrottledInputStream.
  virtual bool isBandwidthThrottled() { return false; }
  // Largest piece of a request body to send now.
  virtual size_t maxUploadReadLength() { return static_cast<size_t>(-1); }
  std::uint64_t totalBytes() const { return total_.load(); }

 private:
  std::atomic<std::uint64_t> total_{0};
};

}  // namespace est
