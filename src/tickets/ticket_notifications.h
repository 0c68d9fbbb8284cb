#pragma once

// The two end-of-ticket reminders go through this seam, so the pages do not depend on how the
// platform delivers local notifications. The application installs its scheduler at start-up;
// tests install a recording one.

#include <string>

#include "platform/clock.h"

namespace est {

struct TicketNotification {
  TimePoint fireDate;
  std::string alertBody;
  int applicationIconBadgeNumber = 1;
  bool defaultSound = true;
};

class TicketNotificationScheduler {
 public:
  virtual ~TicketNotificationScheduler() = default;
  virtual void scheduleLocalNotification(const TicketNotification& notification) = 0;
};

// The installed scheduler (not owned), or null: notifications are then only logged.
TicketNotificationScheduler* ticketNotificationScheduler();
void setTicketNotificationScheduler(TicketNotificationScheduler* scheduler);

// Hands the notification to the installed scheduler, or logs it.
void scheduleTicketNotification(const TicketNotification& notification);

}  // namespace est
