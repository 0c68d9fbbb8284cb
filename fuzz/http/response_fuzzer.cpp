// Feeds arbitrary bytes as a server's reply to a real request over loopback: the parser,
// header handling (charset, cookies, keep-alive terms, redirects), body destinations and
// gzip all see them. The first byte picks request options.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "http/http_request.h"
#include "http/support/test_server.h"

namespace {

std::mutex replyMutex;
std::string reply;

est::testing::TestServer& server() {
  static auto* s = new est::testing::TestServer([](est::testing::ServerConnection& c) {
    if (!c.readRequest(2)) return;
    std::string bytes;
    {
      std::lock_guard lock(replyMutex);
      bytes = reply;
    }
    c.send(bytes);
  });
  return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::uint8_t flags = data[0];
  {
    std::lock_guard lock(replyMutex);
    reply.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  auto r = est::HTTPRequest::requestWithURL(server().url("/fuzz"));
  r->setTimeOutSeconds(2);
  r->setShouldAttemptPersistentConnection(flags & 1);
  r->setShouldWaitToInflateCompressedResponses(!(flags & 2));
  if (flags & 4) r->setRequestMethod("HEAD");
  if (flags & 8) r->setDataReceivedBlock([](est::HTTPRequest&, const est::Data&) {});
  if (flags & 16) r->setShouldRedirect(false);
  std::string dest;
  if (flags & 32) {
    dest = (std::filesystem::temp_directory_path() / "est-http-fuzz.out").string();
    r->setDownloadDestinationPath(dest);
  }
  r->startSynchronous();
  // Read everything a caller might read.
  (void)r->responseData();
  (void)r->responseString();
  (void)r->responseHeaders();
  (void)r->responseCookies();
  (void)r->error();
  if (!dest.empty()) std::filesystem::remove(dest);
  return 0;
}
