#include "http/download_destination.h"
#include "http/request_engine.h"

namespace est {

int HTTPRequest::Impl::effectiveCachePolicy() const {
  if (r.cachePolicy_ == 0 && r.downloadCache_) return r.downloadCache_->defaultCachePolicy();
  return r.cachePolicy_;
}

// Before anything goes out: a copy the policy lets stand answers the request, and a stale
// one is offered to the server with its validators. True when the copy answered.
bool HTTPRequest::Impl::answeredFromCache() {
  if (!r.downloadCache_) return false;
  // A reply of an earlier attempt (a redirect) says nothing about this URL.
  r.responseHeaders_.clear();
  r.responseStatusCode_ = 0;
  if (r.cachePolicy_ == 0) r.cachePolicy_ = r.downloadCache_->defaultCachePolicy();
  if (r.downloadCache_->canUseCachedDataForRequest(r)) {
    useDataFromCache();
    return true;
  }
  if (r.cachePolicy_ & (AskServerIfModifiedWhenStaleCachePolicy | AskServerIfModifiedCachePolicy)) {
    if (auto cached = r.downloadCache_->cachedResponseHeadersForURL(*r.url_)) {
      if (auto* etag = cached->find("Etag")) messageHeaders.set("If-None-Match", *etag);
      if (auto* lm = cached->find("Last-Modified")) messageHeaders.set("If-Modified-Since", *lm);
    }
  }
  return false;
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

// A failed load answered from the copy, when the policy asks for that.
bool HTTPRequest::Impl::fellBackToCache() {
  if (r.downloadCache_ && !cacheFallbackTried &&
      (effectiveCachePolicy() & FallbackToCacheIfLoadFailsCachePolicy) &&
      r.downloadCache_->canUseCachedDataForRequest(r)) {
    cacheFallbackTried = true;  // a copy that cannot be read fails for good
    useDataFromCache();
    return true;
  }
  return false;
}

// The server said the cached copy is still good (304): it answers, and is kept longer.
bool HTTPRequest::Impl::cachedCopyConfirmed() {
  if (!r.downloadCache_ || !r.downloadCache_->canUseCachedDataForRequest(r)) return false;
  useDataFromCache();
  r.downloadCache_->storeResponseForRequest(r, r.secondsToCache_);
  return true;
}

void HTTPRequest::Impl::storeReplyInCache() {
  // A body handed to the delegate piece by piece was kept nowhere: nothing to store.
  if (r.downloadCache_ && !r.didUseCachedResponse_ && !r.needsRedirect_ &&
      !r.authenticationNeeded_ && !wantsData() &&
      !(effectiveCachePolicy() & DoNotWriteToCacheCachePolicy))
    r.downloadCache_->storeResponseForRequest(r, r.secondsToCache_);
}

}  // namespace est
