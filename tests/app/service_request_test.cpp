// Service calls take at most a mebibyte of reply: a hostile or broken service fails the call
// with the client's decompression error instead of filling memory.
#include "app/service_request.h"

#include <gtest/gtest.h>

#include "http/support/request_fixture.h"
#include "protocol/parking_protocol.h"

namespace est::testing {
namespace {

using ServiceRequestTest = HttpRequestTest;

// A price reply padded to exactly `size` bytes.
std::string priceReplyOfSize(size_t size) {
  const std::string head = "{\"price\":12.5,\"pad\":\"", tail = "\"}";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST_F(ServiceRequestTest, RepliesPastTheLimitFailWithCode11AndOnesWithinItAreRead) {
  const size_t limit = kServiceMaxResponseSize;
  const std::string over = priceReplyOfSize(limit + 1), atLimit = priceReplyOfSize(limit);
  struct Case {
    const char* name;
    std::string reply;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"one byte over", httpResponse(200, over), true},
      {"over, without a length",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
           chunked({over.substr(0, 70000), over.substr(70000)}),
       true},
      {"a small gzip inflating past it",
       httpResponse(200, gzipBytes(over), "Content-Encoding: gzip\r\n"), true},
      {"exactly at the limit", httpResponse(200, atLimit), false},
      {"a small gzip inflating to the limit",
       httpResponse(200, gzipBytes(atLimit), "Content-Encoding: gzip\r\n"), false},
      {"an ordinary reply", httpResponse(200, "{\"price\":12.5}"), false},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.name);
    TestServer service(TestServer::replyForever(k.reply));
    RecordingDelegate d;
    auto r = makeServiceRequest(getPriceOf30URL(service.url(), "099123456"), &d);
    run(r, d);
    ASSERT_EQ(service.requestCount(), 1u);
    EXPECT_EQ(service.requests()[0].target, "/qorvix/json/getPriceOf30?phone=099123456");
    if (k.fails) {
      EXPECT_EQ(d.finished, 0);
      ASSERT_EQ(d.failed, 1);
      EXPECT_EQ(d.lastError->domain, NetworkRequestErrorDomain);
      EXPECT_EQ(d.lastError->code, CompressionError);
      EXPECT_EQ(readPriceOf30Reply(r->responseData()), std::nullopt);
    } else {
      EXPECT_EQ(d.failed, 0);
      ASSERT_EQ(d.finished, 1);
      EXPECT_EQ(readPriceOf30Reply(r->responseData()), 12.5);
    }
  }
}

}  // namespace
}  // namespace est::testing
