#include "reachability/notification_center.h"

#include <algorithm>

namespace est {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string name,
                                                                  Observer observer) {
  std::lock_guard lock(mutex_);
  ObserverToken token = next_++;
  entries_.push_back(
      {token, std::move(name), std::make_shared<const Observer>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(std::string name, std::any object) {
  Notification notification{std::move(name), std::move(object)};
  std::vector<ObserverToken> tokens;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_)
      if (e.name == notification.name) tokens.push_back(e.token);
  }
  for (ObserverToken token : tokens) {
    std::shared_ptr<const Observer> observer;
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(entries_.begin(), entries_.end(),
                             [token](const Entry& e) { return e.token == token; });
      if (it == entries_.end()) continue;
      observer = it->observer;
    }
    if (*observer) (*observer)(notification);
  }
}

}  // namespace est
