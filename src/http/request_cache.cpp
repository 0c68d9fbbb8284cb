#include "http/download_destination.h"
#include "http/request_engine.h"

namespace est {

int HTTPRequest::Impl::effectiveCachePolicy() const {
  if (r.cachePolicy_ == 0 && r.downloadCache_) return r.downloadCache_->defaultCachePolicy();
  return r.cachePolicy_;
}

// The reply in flight (a 304) is abandoned, so its connection cannot carry another one; a
// connection already handed back (before a redirect) may be someone else's by now.
void HTTPRequest::Impl::releaseConnectionForCachedReply() {
  bool ours = entry && pool().isUsedBy(*entry, r.requestID_);
  if (ours || (connection && !entry)) {
    dropConnectionEntry();
  } else {
    ++attempt;
    entry.reset();
    connection.reset();
  }
}

void HTTPRequest::Impl::useDataFromCache() {
  auto cache = r.downloadCache_;
  auto headers = cache->cachedResponseHeadersForURL(*r.url_);
  if (!headers) {
    failWithError(UnableToCreateRequestError());
    return;
  }
  releaseConnectionForCachedReply();
  r.responseHeaders_ = *headers;
  r.responseStatusCode_ = 200;
  r.responseStatusMessage_ = "HTTP/1.1 200 OK";
  r.parseStringEncodingFromHeaders();
  bodyInMemory = r.downloadDestinationPath_.empty();
  if (r.downloadDestinationPath_.empty()) {
    r.rawResponseData_ = cache->cachedResponseDataForURL(*r.url_).value_or(Data());
    r.totalBytesRead_ = r.rawResponseData_.size();
  } else {
    auto path = cache->pathToCachedResponseDataForURL(*r.url_);
    if (auto err = copyToDestination(path.value_or(""), r.downloadDestinationPath_)) {
      cacheFallbackTried = true;  // the copy that cannot be placed is the one to fall back on
      failWithError(*err);
      return;
    }
  }
  r.contentLength_ = r.totalBytesRead_;
  r.didUseCachedResponse_ = true;
  r.complete_ = true;
  r.downloadComplete_ = true;
  removeStatusTimer();
  unscheduleStream();
  deliverFinished();
  markAsFinished();
}

}  // namespace est
