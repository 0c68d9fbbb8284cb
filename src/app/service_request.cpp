#include "app/service_request.h"

#include "protocol/reply.h"

namespace est {

HTTPRequestPtr makeServiceRequest(const std::string& url, HTTPRequestDelegate* delegate) {
  HTTPRequestPtr request = HTTPRequest::requestWithURL(url);
  request->setRequestMethod("GET");
  request->setTimeOutSeconds(kServiceTimeOutSeconds);
  request->setDelegate(delegate);
  return request;
}

bool isServiceError(const HTTPRequest& request) {
  return isServiceError(request.responseStatusCode(), request.responseData());
}

}  // namespace est
