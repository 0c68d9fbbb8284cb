#pragma once

// Local notifications: due at a calendar time, the schedule kept in a file so that a
// notification whose time passed while the application was closed is delivered at the next
// start while it still means something. Delivered through the desktop notification service
// when a session bus answers, logged otherwise. The application badge lives here too.
//
// The run loop's timers count elapsed (monotonic) time, which stands still while the machine
// sleeps and ignores clock changes. So the centre waits on the run loop for at most a minute
// at a time and compares fire dates with the wall clock whenever it wakes, and the application
// calls clockChanged() when the wall clock jumps or the machine resumes (ClockChangeMonitor).

#include <filesystem>
#include <functional>
#include <optional>
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
  // Not shown once this instant has passed (a warning that came due while the machine slept or
  // the application was closed, and no longer holds). None: always shown.
  std::optional<TimePoint> expiryDate;
  // Scheduling a notification with the same non-empty key replaces one not yet shown.
  std::string replaceKey;
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

  // Reads the saved schedule: what is overdue is delivered now (unless expired), the rest is
  // timed on the main run loop. Only the first call reads the file.
  void resume();
  // The wall clock jumped or the machine woke: delivers what is now due and times the rest
  // afresh.
  void clockChanged();
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
  // Delivers what is due, then waits for the next fire date (a minute at most).
  void wake();
  void arm();
  void save() const;
  void load();

  std::filesystem::path file_;
  std::vector<LocalNotification> pending_;
  TimerId timer_ = 0;
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
