#include "http/http_errors.h"

namespace est {

const Error& RequestTimedOutError() {
  static const Error e(NetworkRequestErrorDomain, RequestTimedOutErrorType,
                       "The request timed out");
  return e;
}
const Error& AuthenticationError() {
  static const Error e(NetworkRequestErrorDomain, AuthenticationErrorType, "Authentication needed");
  return e;
}
const Error& RequestCancelledError() {
  static const Error e(NetworkRequestErrorDomain, RequestCancelledErrorType,
                       "The request was cancelled");
  return e;
}
const Error& UnableToCreateRequestError() {
  static const Error e(NetworkRequestErrorDomain, UnableToCreateRequestErrorType,
                       "Unable to create request (bad url?)");
  return e;
}
const Error& TooMuchRedirectionError() {
  static const Error e(NetworkRequestErrorDomain, TooMuchRedirectionErrorType,
                       "The request failed because it redirected too many times");
  return e;
}

}  // namespace est
