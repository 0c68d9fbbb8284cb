#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace est {

struct Notification {
  std::string name;
  std::any object;  // the poster, as a pointer of its own type

  // The object when it is a T*, otherwise null.
  template <class T>
  T* objectAs() const {
    auto p = std::any_cast<T*>(&object);
    return p ? *p : nullptr;
  }
};

// Named broadcasts inside the process. post() calls the observers of that name on the
// posting thread, in the order they were added; an observer removed meanwhile (even by
// another observer of the same post) is not called, and one added meanwhile waits for the
// next post. Safe from any thread.
class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using ObserverToken = std::uint64_t;

  static NotificationCenter& defaultCenter();

  ObserverToken addObserver(std::string name, Observer observer);
  // Unknown or already removed tokens are ignored.
  void removeObserver(ObserverToken token);
  void post(std::string name, std::any object = {});

 private:
  struct Entry {
    ObserverToken token;
    std::string name;
    std::shared_ptr<const Observer> observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  ObserverToken next_ = 1;
};

}  // namespace est
