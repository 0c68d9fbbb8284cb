#include "tickets/ticket_notifications.h"

#include "platform/log.h"

namespace est {
namespace {
TicketNotificationScheduler* gScheduler = nullptr;
}

TicketNotificationScheduler* ticketNotificationScheduler() {
  return gScheduler;
}
void setTicketNotificationScheduler(TicketNotificationScheduler* scheduler) {
  gScheduler = scheduler;
}

void scheduleTicketNotification(const TicketNotification& notification) {
  if (gScheduler) {
    gScheduler->scheduleLocalNotification(notification);
    return;
  }
  logf("notification at %.0f not scheduled (no scheduler): %s",
       toUnixSeconds(notification.fireDate), notification.alertBody.c_str());
}

}  // namespace est
