#pragma once

// Local notifications: scheduled on the main run loop, the schedule kept in a file so that a
// notification whose time passed while the application was closed is delivered at the next
// start. Delivered through the desktop notification service when a session bus answers,
// logged otherwise. The application badge lives here too.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/run_loop.h"

namespace est {

struct LocalNotification {
  TimePoint fireDate{};
  std::string timeZone;  // the zone name the fire date was meant in, e.g. "America/Montevideo"
  std::string alertBody;
  int repeatInterval = 0;  // none
  int applicationIconBadgeNumber = 0;
  std::string soundName;  // empty: silent
  bool operator==(const LocalNotification&) const = default;
};

inline constexpr const char* kDefaultSoundName = "UILocalNotificationDefaultSoundName";

// The device's default time zone name ("UTC" when it cannot be told).
std::string defaultTimeZoneName();

class LocalNotificationCenter {
 public:
  using Deliverer = std::function<void(const LocalNotification&)>;

  // `scheduleFile` empty keeps the schedule in memory only.
  explicit LocalNotificationCenter(std::filesystem::path scheduleFile = {});
  ~LocalNotificationCenter();
  LocalNotificationCenter(const LocalNotificationCenter&) = delete;
  LocalNotificationCenter& operator=(const LocalNotificationCenter&) = delete;

  // The process's centre, its schedule under the data directory.
  static LocalNotificationCenter& shared();

  // Reads the saved schedule: what is overdue is delivered now, the rest is timed on the main
  // run loop. Only the first call reads the file.
  void resume();
  void scheduleLocalNotification(const LocalNotification& notification);
  void cancelAllLocalNotifications();
  std::vector<LocalNotification> scheduledLocalNotifications() const;
  // Everything delivered since creation, oldest first.
  const std::vector<LocalNotification>& delivered() const { return delivered_; }

  // Replaces how notifications reach the user (the default: D-Bus, else the log).
  void setDeliverer(Deliverer deliverer) { deliverer_ = std::move(deliverer); }

  int applicationIconBadgeNumber() const { return badge_; }
  void setApplicationIconBadgeNumber(int badge);
  void setBadgeObserver(std::function<void(int)> observer) { badgeObserver_ = std::move(observer); }

 private:
  struct Pending {
    LocalNotification notification;
    TimerId timer = 0;
  };
  void arm(Pending& pending);
  void fire(TimerId timer);
  void save() const;
  void load();

  std::filesystem::path file_;
  std::vector<Pending> pending_;
  std::vector<LocalNotification> delivered_;
  Deliverer deliverer_;
  int badge_ = 0;
  bool resumed_ = false;
  std::function<void(int)> badgeObserver_;
};

// Shows a notification through org.freedesktop.Notifications on the session bus. False when no
// session bus or no notification service answers.
bool deliverDesktopNotification(const LocalNotification& notification);

}  // namespace est
