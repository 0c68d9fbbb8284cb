#include "reachability/reachability_report.h"

#include <arpa/inet.h>

#include "reachability/reachability.h"

namespace est {

std::string reachabilityReport(const std::string& host, std::shared_ptr<NetworkSource> source,
                               Seconds resolveTimeout) {
  std::unique_ptr<Reachability> monitor;
  sockaddr_in address{};
  if (host.empty()) {
    monitor = Reachability::reachabilityForInternetConnection(std::move(source));
  } else if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1 &&
             host.find('\0') == std::string::npos) {
    address.sin_family = AF_INET;
    monitor = Reachability::reachabilityWithAddress(address, std::move(source));
  } else {
    monitor = Reachability::reachabilityWithHostName(host, std::move(source));
  }
  if (!monitor)  // a name no resolver would take
    return std::string(networkStatusName(NotReachable)) + "\n" + host + "\n\t" +
           reachabilityFlags(0) + "\n";

  monitor->reachabilityRef()->setResolveTimeout(resolveTimeout);
  // One reading for both lines, so they cannot disagree.
  ReachabilityFlags flags = monitor->reachabilityRef()->flags().value_or(0);
  return std::string(networkStatusName(monitor->networkStatusForFlags(flags))) + "\n" +
         monitor->key() + "\n\t" + reachabilityFlags(flags) + "\n";
}

}  // namespace est
