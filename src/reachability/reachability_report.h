#pragma once

#include <memory>
#include <string>

#include "platform/run_loop.h"
#include "reachability/network_source.h"

namespace est {

// What `fetch --reachability [HOST]` prints: the status name on one line, then the monitor's
// description (key, line feed, tab, flag text) and a line feed. No host means the internet
// connection; a dotted IPv4 address gets an address monitor, anything else a host-name
// monitor, whose name is given `resolveTimeout` to resolve.
std::string reachabilityReport(const std::string& host = {},
                               std::shared_ptr<NetworkSource> source = nullptr,
                               Seconds resolveTimeout = Seconds(5));

}  // namespace est
