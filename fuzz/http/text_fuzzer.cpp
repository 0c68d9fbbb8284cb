// The HTTP client's readers of short texts that come from outside: proxy settings and
// exception lists, proxy-script answers, dates in caching headers, and cache headers files
// found on disk. The first byte picks the reader; none may crash, hang or leak.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "http/download_cache.h"
#include "http/pac.h"
#include "http/proxy_settings.h"
#include "http/support/url.h"

namespace {

const est::Url& sampleURL(std::uint8_t which) {
  static const est::Url urls[] = {*est::Url::parse("http://a.example.org:8080/x"),
                                  *est::Url::parse("https://[::1]/"),
                                  *est::Url::parse("http://10.1.2.3/")};
  return urls[which % 3];
}

est::DownloadCache& cache() {
  static est::DownloadCache* c = [] {
    char pattern[] = "/tmp/est-fuzz-cache-XXXXXX";
    auto* made = new est::DownloadCache();
    if (::mkdtemp(pattern)) made->setStoragePath(pattern);
    return made;
  }();
  return *c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const est::Url& url = sampleURL(data[0] >> 4);
  switch (data[0] % 6) {
    case 0:
      (void)est::parseProxyURL(text);
      break;
    case 1:
      (void)est::noProxyMatches(text, url);
      break;
    case 2:
      (void)est::proxiesForURL(est::parseGsettingsListing(text), url);
      break;
    case 3:
      (void)est::parsePACResult(text);
      (void)est::firstUsablePACEntry(text);
      break;
    case 4:
      (void)est::DownloadCache::dateFromRFC1123String(text);
      break;
    case 5: {
      est::DownloadCache& c = cache();
      std::string path = c.storagePath() + "/PermanentStore/" + est::DownloadCache::keyForURL(url) +
                         ".cachedheaders";
      std::ofstream(path, std::ios::binary | std::ios::trunc).write(text.data(), text.size());
      (void)c.cachedResponseHeadersForURL(url);
      break;
    }
  }
  return 0;
}
