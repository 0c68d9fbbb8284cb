#pragma once

#include <string>

#include "http/data_compressor.h"
#include "platform/error.h"

namespace est {

// Codes of the "HTTPRequestErrorDomain" errors (CompressionError, 11, is declared beside the
// compressor).
inline constexpr int ConnectionFailureErrorType = 1;
inline constexpr int RequestTimedOutErrorType = 2;
inline constexpr int AuthenticationErrorType = 3;
inline constexpr int RequestCancelledErrorType = 4;
inline constexpr int UnableToCreateRequestErrorType = 5;
inline constexpr int InternalErrorWhileBuildingRequestType = 6;
inline constexpr int InternalErrorWhileApplyingCredentialsType = 7;
inline constexpr int FileManagementError = 8;
inline constexpr int TooMuchRedirectionErrorType = 9;
inline constexpr int UnhandledExceptionError = 10;

// The prepared errors.
const Error& RequestTimedOutError();
const Error& AuthenticationError();
const Error& RequestCancelledError();
const Error& UnableToCreateRequestError();
const Error& TooMuchRedirectionError();

inline Error makeRequestError(int code, std::string description) {
  return Error(NetworkRequestErrorDomain, code, std::move(description));
}

}  // namespace est
