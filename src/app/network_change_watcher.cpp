#include "app/network_change_watcher.h"

#include "http/http_request.h"
#include "platform/log.h"
#include "reachability/reachability.h"

namespace est {

NetworkChangeWatcher::NetworkChangeWatcher(std::shared_ptr<NetworkSource> source) {
  token_ = NotificationCenter::defaultCenter().addObserver(
      kReachabilityChangedNotification, [this](const Notification&) {
        ++changes_;
        logLine("network changed: idle connections closed");
        HTTPRequest::closeIdlePersistentConnections();
      });
  monitor_ = Reachability::reachabilityForInternetConnection(std::move(source));
  watching_ = monitor_ && monitor_->startNotifier();
  if (!watching_) logLine("network changes cannot be watched here");
}

NetworkChangeWatcher::~NetworkChangeWatcher() {
  NotificationCenter::defaultCenter().removeObserver(token_);
  if (monitor_) monitor_->stopNotifier();
}

}  // namespace est
