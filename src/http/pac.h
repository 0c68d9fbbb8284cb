#pragma once

// Proxy auto-configuration scripts: reading them, and running FindProxyForURL in a child
// process that is killed when it runs too long and cannot grow past a fixed heap.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/proxy_settings.h"
#include "platform/data.h"
#include "platform/error.h"

namespace est {

// What a script sees of the machine: the time, the request host's address (scripts never
// resolve other names: a lookup could stall them, and it tells a hostile script nothing),
// and this machine's address.
struct PACEnvironment {
  std::int64_t unixTime = 0;
  int utcOffsetSeconds = 0;
  std::string hostAddress;  // empty when unknown
  std::string myAddress = "127.0.0.1";
};

struct PACLimits {
  double timeoutSeconds = 10.0;                   // wall clock for the whole run
  std::size_t heapBytes = std::size_t{64} << 20;  // the script's heap
};

// Runs the script's FindProxyForURL(url, host) and returns its answer, or nothing (with
// `error`) when the script fails to load, throws, answers something other than a text, runs
// past the time limit or exhausts its heap. Blocks the calling thread for at most the limit.
std::optional<std::string> runPACScript(const std::string& script, const std::string& url,
                                        const std::string& host, const PACEnvironment& env,
                                        const PACLimits& limits, Error* error = nullptr);

// The environment for a script about `host`: now (through Clock), the local offset, the
// machine's first non-loopback IPv4 address, and, when `resolveHost`, the host's address.
PACEnvironment currentPACEnvironment(const std::string& host, bool resolveHost);

// "DIRECT; PROXY h:p; HTTPS h:p; SOCKS h:p; SOCKS5 h:p" as entries; malformed ones are
// left out.
std::vector<ProxyEntry> parsePACResult(std::string_view result);

// The entry to use: the first one understood (Direct counts). Nothing when none is.
std::optional<ProxyEntry> firstUsablePACEntry(std::string_view result);

// What a script is told of the URL: never the user or password; for https only the scheme,
// host and port, since the rest is what TLS hides from everyone on the path.
std::string urlForProxyScript(const Url& url);

// The proxy a script picks for `url`: nothing for a direct connection and for any failure
// (reported through `error`). Blocks for at most `timeoutSeconds` (10 when not above 0).
std::optional<ProxyEntry> evaluatePACScriptForURL(const std::string& script, const Url& url,
                                                  double timeoutSeconds, Error* error = nullptr);

// Reads a script file in 16384-byte pieces, giving up after `timeoutSeconds` (a FIFO that
// never delivers does not hang).
std::optional<Data> readPACFile(const std::string& path, double timeoutSeconds,
                                Error* error = nullptr);

// Script bytes as text: UTF-8 when valid, else ISO Latin-1.
std::string decodePACScript(const Data& bytes);

}  // namespace est
