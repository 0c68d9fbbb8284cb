#pragma once

// What every call to the parking and registry services shares: one time-out, one way to make
// the GET, and one way to tell a service that failed from one that said no.

#include <QString>
#include <cstdint>
#include <string>

#include "http/http_request.h"

namespace est {

// Seconds without any progress after which a service call fails as timed out. The HTTP
// client's own default (10 s) is too short for a slow mobile network, where a service that
// does its work in 12 s would never be heard.
inline constexpr double kServiceTimeOutSeconds = 30.0;
// Service replies are a few hundred bytes of JSON: anything near this is hostile.
inline constexpr std::uint64_t kServiceMaxResponseSize = 1u << 20;

// A GET for `url` with `delegate` told and the service time-out; not started yet.
HTTPRequestPtr makeServiceRequest(const std::string& url, HTTPRequestDelegate* delegate);

// A finished exchange whose reply is not an answer: HTTP 5xx, or a body that does not read as
// a JSON object.
bool isServiceError(const HTTPRequest& request);

// The message for a service error on the registration screens, in the user's language.
QString serviceErrorTitle();
QString serviceErrorMessage();

}  // namespace est
