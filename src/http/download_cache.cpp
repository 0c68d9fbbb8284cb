#include "http/download_cache.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "http/http_request.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/preferences.h"

namespace est {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSessionStore = "SessionStore";
constexpr const char* kPermanentStore = "PermanentStore";
constexpr const char* kHeadersExtension = "cachedheaders";
constexpr const char* kFetchDateHeader = "X-HTTPRequest-Fetch-date";

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

Error cacheError(DownloadCacheErrorCode code, const char* name, std::string message) {
  Error e(kDownloadCacheErrorDomain, code, std::move(message));
  e.failureReason = name;
  return e;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The body file takes the extension of the URL's last path segment ("html" when it has
// none). The segment is taken as written, so it never holds a "/".
std::string bodyExtension(const Url& url) {
  const std::string& path = url.encodedPath();
  auto slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  auto dot = last.rfind('.');
  if (dot == std::string::npos || dot + 1 == last.size()) return "html";
  return last.substr(dot + 1);
}

std::optional<HeaderMap> decodeHeaders(const Data& bytes) {
  auto values = decodePreferences(bytes);
  if (!values) return std::nullopt;  // damaged: a miss
  HeaderMap headers;
  for (const auto& [name, value] : *values)
    if (const std::string* text = value.text()) headers.set(name, *text);
  return headers;
}

constexpr size_t kMaxMemoizedHeaders = 512;

bool writeHeadersFile(const std::string& path, const HeaderMap& headers) {
  PrefMap values;
  for (const auto& [name, value] : headers) values.insert_or_assign(name, PrefValue(value));
  return writeFileAtomically(path, encodePreferences(values));
}

// Copies through a temporary file in the same folder, so a reader never sees half a body.
bool copyFileAtomically(const std::string& from, const std::string& to) {
  std::string tmp = to + ".partial";
  std::error_code ec;
  fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
  if (ec || ::rename(tmp.c_str(), to.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

// "max-age" followed by "=" and a number; 0 when the number is missing.
// Saturating: a far-off year or a huge max-age must not wrap around into the past.
TimePoint fromSeconds(long long seconds) {
  constexpr long long kLimit =
      std::chrono::duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count() - 1;
  if (seconds >= kLimit) return TimePoint::max();
  if (seconds <= -kLimit) return TimePoint::min();
  return TimePoint(std::chrono::seconds(seconds));
}

long long maxAgeFrom(const std::string& cacheControl) {
  auto at = cacheControl.find("max-age");
  size_t i = at + std::strlen("max-age");
  while (i < cacheControl.size() && std::isspace(static_cast<unsigned char>(cacheControl[i]))) ++i;
  if (i >= cacheControl.size() || cacheControl[i] != '=') return 0;
  ++i;
  while (i < cacheControl.size() && std::isspace(static_cast<unsigned char>(cacheControl[i]))) ++i;
  long long value = 0;
  size_t digits = 0;
  while (i < cacheControl.size() && std::isdigit(static_cast<unsigned char>(cacheControl[i])) &&
         digits < 12) {
    value = value * 10 + (cacheControl[i] - '0');
    ++i;
    ++digits;
  }
  return value;
}

// Whether one of the comma-separated directives of `value` is `directive`.
bool hasDirective(const std::string& value, std::string_view directive) {
  std::string_view rest(value);
  while (true) {
    auto comma = rest.find(',');
    if (equalsIgnoringCase(trimWhitespace(rest.substr(0, comma)), directive)) return true;
    if (comma == std::string_view::npos) return false;
    rest.remove_prefix(comma + 1);
  }
}

// A small cursor for the date reader.
struct Scanner {
  std::string_view s;
  size_t i = 0;
  void skipSpaces() {
    while (i < s.size() && s[i] == ' ') ++i;
  }
  bool literal(char c) {
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  std::optional<int> number(size_t minDigits, size_t maxDigits) {
    size_t start = i;
    int v = 0;
    while (i < s.size() && i - start < maxDigits && std::isdigit(static_cast<unsigned char>(s[i])))
      v = v * 10 + (s[i++] - '0');
    if (i - start < minDigits) return std::nullopt;
    return v;
  }
  std::string_view word() {
    size_t start = i;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
    return s.substr(start, i - start);
  }
  bool atEnd() const { return i == s.size(); }
};

// The zone of an RFC 1123 date as seconds east of GMT.
std::optional<int> zoneOffset(Scanner& sc) {
  std::string_view name = sc.word();
  if (!name.empty() && !equalsIgnoringCase(name, "GMT") && !equalsIgnoringCase(name, "UTC") &&
      !equalsIgnoringCase(name, "UT") && !equalsIgnoringCase(name, "Z"))
    return std::nullopt;
  if (sc.atEnd()) return name.empty() ? std::nullopt : std::optional<int>(0);
  int sign = 0;
  if (sc.literal('+'))
    sign = 1;
  else if (sc.literal('-'))
    sign = -1;
  else
    return std::nullopt;
  auto hours = sc.number(1, 2);
  if (!hours) return std::nullopt;
  int minutes = 0;
  if (sc.literal(':')) {
    auto m = sc.number(2, 2);
    if (!m) return std::nullopt;
    minutes = *m;
  } else if (auto m = sc.number(2, 2)) {
    minutes = *m;
  }
  if (*hours > 23 || minutes > 59) return std::nullopt;
  return sign * (*hours * 3600 + minutes * 60);
}

}  // namespace

// ---- storage ----

std::shared_ptr<DownloadCache> DownloadCache::sharedCache() {
  static std::shared_ptr<DownloadCache> shared = [] {
    auto cache = std::make_shared<DownloadCache>();
    cache->setStoragePath((cachesDirectory() / "HTTPRequestCache").string());
    return cache;
  }();
  return shared;
}

std::string DownloadCache::storagePath() const {
  std::lock_guard lock(accessLock_);
  return storagePath_;
}

bool DownloadCache::createStores(const std::string& root, Error* error) {
  for (const std::string& dir : {root, root + "/" + kSessionStore, root + "/" + kPermanentStore}) {
    if (isDirectory(dir)) continue;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
      Error::assign(error, cacheError(FileExistsAtCachePathError, "FileExistsAtCachePath",
                                      strprintf("Cannot create a directory for the cache at '%s', "
                                                "because a file already exists",
                                                dir.c_str())));
      return false;
    }
    if (!createDirectories(dir)) {
      Error::assign(
          error,
          cacheError(FailedToCreateCacheDirectoryError, "FailedToCreateCacheDirectory",
                     strprintf("Failed to create a directory for the cache at '%s'", dir.c_str())));
      return false;
    }
  }
  return true;
}

bool DownloadCache::setStoragePath(const std::string& path, Error* error) {
  std::lock_guard lock(accessLock_);
  if (!storagePath_.empty())
    clearFolder(storeFolder(CacheForSessionDurationCacheStoragePolicy), nullptr);
  storagePath_ = path;
  if (!createStores(path, error)) return false;
  return clearFolder(storeFolder(CacheForSessionDurationCacheStoragePolicy), error);
}

int DownloadCache::defaultCachePolicy() const {
  std::lock_guard lock(accessLock_);
  return defaultCachePolicy_;
}

void DownloadCache::setDefaultCachePolicy(int policy) {
  std::lock_guard lock(accessLock_);
  defaultCachePolicy_ = policy == 0 ? AskServerIfModifiedWhenStaleCachePolicy : policy;
}

bool DownloadCache::shouldRespectCacheControlHeaders() const {
  std::lock_guard lock(accessLock_);
  return shouldRespectCacheControlHeaders_;
}

void DownloadCache::setShouldRespectCacheControlHeaders(bool respect) {
  std::lock_guard lock(accessLock_);
  shouldRespectCacheControlHeaders_ = respect;
}

std::string DownloadCache::storeFolder(int storagePolicy) const {
  return storagePath_ + "/" +
         (storagePolicy == CacheForSessionDurationCacheStoragePolicy ? kSessionStore
                                                                     : kPermanentStore);
}

// ---- storing ----

void DownloadCache::storeResponseForRequest(HTTPRequest& request, double maxAge) {
  // Everything the request can tell is read before the cache's lock is taken, so a request
  // busy on the network thread never waits on a caller that holds the cache.
  auto url = request.url();
  if (!url || request.error() || request.responseStatusCode() != 200) return;
  HeaderMap headers = request.responseHeaders();
  if (headers.empty()) return;
  int policy = request.cachePolicy() ? request.cachePolicy() : defaultCachePolicy();
  if (policy & DoNotWriteToCacheCachePolicy) return;
  bool compressed = request.isResponseCompressed();
  std::string downloadPath = request.downloadDestinationPath();
  int storagePolicy = request.cacheStoragePolicy();
  std::optional<Data> body;
  if (downloadPath.empty()) {
    body = request.responseData();
    if (!body) return;  // the body could not be inflated: nothing faithful to keep
  }

  std::lock_guard lock(accessLock_);
  if (storagePath_.empty()) return;
  if (shouldRespectCacheControlHeaders_ && !serverAllowsResponseCachingForRequest(request)) return;
  std::string base = storeFolder(storagePolicy) + "/" + keyForURL(*url);
  std::string headersPath = base + "." + kHeadersExtension;
  std::string dataPath = base + "." + bodyExtension(*url);

  if (compressed) headers.remove("Content-Encoding");
  if (maxAge != 0) {
    headers.remove("Expires");
    headers.set("Cache-Control", strprintf("max-age=%i", static_cast<int>(maxAge)));
  }
  headers.set(kFetchDateHeader, rfc1123StringFromDate(Clock::current().now()));
  if (!writeHeadersFile(headersPath, headers)) return;

  bool bodyStored = false;
  if (!downloadPath.empty()) {
    std::error_code ec;
    bodyStored =
        fs::equivalent(downloadPath, dataPath, ec) || copyFileAtomically(downloadPath, dataPath);
  } else {
    bodyStored = writeFileAtomically(dataPath, *body);
  }
  // A headers file without its body would answer with the wrong bytes.
  if (!bodyStored) ::unlink(headersPath.c_str());
}

bool DownloadCache::serverAllowsResponseCachingForRequest(const HTTPRequest& request) {
  HeaderMap headers = request.responseHeaders();
  const std::string* cacheControl = headers.find("Cache-Control");
  if (cacheControl &&
      (hasDirective(*cacheControl, "no-cache") || hasDirective(*cacheControl, "no-store")))
    return false;
  const std::string* pragma = headers.find("Pragma");
  return !(pragma && hasDirective(*pragma, "no-cache"));
}

// ---- looking up ----

std::optional<std::string> DownloadCache::existingFile(const Url& url,
                                                       const std::string& extension) {
  std::lock_guard lock(accessLock_);
  if (storagePath_.empty()) return std::nullopt;
  std::string name = keyForURL(url) + "." + extension;
  for (int policy :
       {CacheForSessionDurationCacheStoragePolicy, CachePermanentlyCacheStoragePolicy}) {
    std::string path = storeFolder(policy) + "/" + name;
    if (isRegularFile(path)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> DownloadCache::pathToCachedResponseHeadersForURL(const Url& url) {
  return existingFile(url, kHeadersExtension);
}

std::optional<std::string> DownloadCache::pathToCachedResponseDataForURL(const Url& url) {
  return existingFile(url, bodyExtension(url));
}

std::optional<HeaderMap> DownloadCache::cachedResponseHeadersForURL(const Url& url) {
  std::lock_guard lock(accessLock_);
  auto path = pathToCachedResponseHeadersForURL(url);
  if (!path) return std::nullopt;
  return readHeaders(*path);
}

std::optional<HeaderMap> DownloadCache::readHeaders(const std::string& path) {
  auto bytes = readFile(path, nullptr, size_t(1) << 20);
  if (!bytes) return std::nullopt;
  if (auto it = headersMemo_.find(path); it != headersMemo_.end() && it->second.first == *bytes)
    return it->second.second;
  auto headers = decodeHeaders(*bytes);
  if (!headers) {
    headersMemo_.erase(path);
    return std::nullopt;
  }
  if (headersMemo_.size() >= kMaxMemoizedHeaders) headersMemo_.clear();
  headersMemo_.insert_or_assign(path, std::pair(std::move(*bytes), *headers));
  return headers;
}

std::optional<Data> DownloadCache::cachedResponseDataForURL(const Url& url) {
  std::lock_guard lock(accessLock_);
  auto path = pathToCachedResponseDataForURL(url);
  if (!path) return std::nullopt;
  return readFile(*path);
}

// ---- deciding ----

bool DownloadCache::canUseCachedDataForRequest(HTTPRequest& request) {
  auto url = request.url();
  int policy = request.cachePolicy() ? request.cachePolicy() : defaultCachePolicy();
  if (policy & DoNotReadFromCacheCachePolicy) return false;
  if (policy & DontLoadCachePolicy) return true;
  if (!url) return false;
  bool headersIn = request.responseStatusCode() != 0;
  int status = request.responseStatusCode();
  HeaderMap reply = request.responseHeaders();
  bool complete = request.complete();

  std::lock_guard lock(accessLock_);
  // A headers file that cannot be read is as good as none.
  auto stored = cachedResponseHeadersForURL(*url);
  if (!stored || !pathToCachedResponseDataForURL(*url)) return false;
  if (policy & OnlyLoadIfNotCachedCachePolicy) return true;
  if (complete && (policy & FallbackToCacheIfLoadFailsCachePolicy)) return true;
  if (!(policy & (AskServerIfModifiedWhenStaleCachePolicy | AskServerIfModifiedCachePolicy)))
    return false;
  if ((policy & AskServerIfModifiedCachePolicy) && !headersIn) return false;
  return !storagePath_.empty() && isCurrentLocked(*stored, headersIn, status, reply);
}

bool DownloadCache::isCachedDataCurrentForRequest(HTTPRequest& request) {
  auto url = request.url();
  if (!url) return false;
  int status = request.responseStatusCode();
  HeaderMap reply = request.responseHeaders();
  std::lock_guard lock(accessLock_);
  if (storagePath_.empty()) return false;
  auto stored = cachedResponseHeadersForURL(*url);
  if (!stored || !pathToCachedResponseDataForURL(*url)) return false;
  return isCurrentLocked(*stored, status != 0, status, reply);
}

bool DownloadCache::isCurrentLocked(const HeaderMap& stored, bool headersIn, int status,
                                    const HeaderMap& reply) {
  if (headersIn) {
    if (status == 304) return true;
    for (const char* name : {"Etag", "Last-Modified"}) {
      const std::string* ours = stored.find(name);
      const std::string* theirs = reply.find(name);
      if ((ours == nullptr) != (theirs == nullptr) || (ours && *ours != *theirs)) return false;
    }
  }
  if (!shouldRespectCacheControlHeaders_) return true;
  TimePoint now = Clock::current().now();
  std::string cacheControl = toLower(stored.value("Cache-Control"));
  if (cacheControl.find("max-age") != std::string::npos) {
    auto fetched = dateFromRFC1123String(stored.value(kFetchDateHeader));
    if (!fetched) return false;
    auto fetchedSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(fetched->time_since_epoch()).count();
    return fromSeconds(fetchedSeconds + maxAgeFrom(cacheControl)) >= now;
  }
  if (const std::string* expires = stored.find("Expires")) {
    auto date = dateFromRFC1123String(*expires);
    return date && *date >= now;
  }
  return false;
}

// ---- removing ----

void DownloadCache::removeCachedDataForRequest(HTTPRequest& request) {
  auto url = request.url();
  if (!url) return;
  std::lock_guard lock(accessLock_);
  auto headers = pathToCachedResponseHeadersForURL(*url);
  auto data = pathToCachedResponseDataForURL(*url);
  if (!headers || !data) return;
  ::unlink(headers->c_str());
  ::unlink(data->c_str());
}

bool DownloadCache::clearCachedResponsesForStoragePolicy(int storagePolicy, Error* error) {
  std::lock_guard lock(accessLock_);
  if (storagePath_.empty()) return true;
  return clearFolder(storeFolder(storagePolicy), error);
}

bool DownloadCache::clearFolder(const std::string& folder, Error* error) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    Error::assign(
        error,
        cacheError(FailedToTraverseCacheDirectoryError, "FailedToTraverseCacheDirectory",
                   strprintf("Listing cache directory failed at path '%s'", folder.c_str())));
    return false;
  }
  for (const auto& entry : it) {
    std::string path = entry.path().string();
    if (::unlink(path.c_str()) != 0 && ::rmdir(path.c_str()) != 0) {
      Error::assign(
          error, cacheError(FailedToRemoveCacheFileError, "FailedToRemoveCacheFile",
                            strprintf("Failed to remove cached data at path '%s'", path.c_str())));
      return false;
    }
  }
  return true;
}

// ---- keys and dates ----

std::string DownloadCache::keyForURL(const Url& url) {
  std::string text = url.absoluteString();
  if (!text.empty() && text.back() == '/') text.pop_back();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) return {};
  std::string key;
  for (unsigned int i = 0; i < length; ++i) key += strprintf("%02X", digest[i]);
  return key;
}

std::string DownloadCache::rfc1123StringFromDate(TimePoint date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  return strprintf("%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[tm.tm_wday], tm.tm_mday,
                   kMonthNames[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::optional<TimePoint> DownloadCache::dateFromRFC1123String(std::string_view text) {
  Scanner sc{trimWhitespace(text)};
  // Optional day name and comma.
  size_t mark = sc.i;
  std::string_view day = sc.word();
  if (!day.empty()) {
    bool known = false;
    for (const char* d : kDayNames) known = known || equalsIgnoringCase(day, d);
    if (!known || !sc.literal(',')) return std::nullopt;
    sc.skipSpaces();
  } else {
    sc.i = mark;
  }
  std::tm tm{};
  auto mday = sc.number(1, 2);
  if (!mday || !sc.literal(' ')) return std::nullopt;
  std::string_view month = sc.word();
  int mon = -1;
  for (int m = 0; m < 12; ++m)
    if (equalsIgnoringCase(month, kMonthNames[m])) mon = m;
  if (mon < 0 || !sc.literal(' ')) return std::nullopt;
  auto year = sc.number(4, 4);
  if (!year || !sc.literal(' ')) return std::nullopt;
  auto hour = sc.number(2, 2);
  if (!hour || !sc.literal(':')) return std::nullopt;
  auto minute = sc.number(2, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  if (sc.literal(':')) {
    auto s = sc.number(2, 2);
    if (!s) return std::nullopt;
    second = *s;
  }
  if (!sc.literal(' ')) return std::nullopt;
  auto offset = zoneOffset(sc);
  if (!offset || !sc.atEnd()) return std::nullopt;
  if (*mday < 1 || *mday > 31 || *hour > 23 || *minute > 59 || second > 60) return std::nullopt;
  tm.tm_mday = *mday;
  tm.tm_mon = mon;
  tm.tm_year = *year - 1900;
  tm.tm_hour = *hour;
  tm.tm_min = *minute;
  tm.tm_sec = second;
  std::time_t t = ::timegm(&tm);
  return fromSeconds(static_cast<long long>(t) - *offset);
}

}  // namespace est
