#include "platform/qt/clock_change_monitor.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/log.h"

namespace est {

ClockChangeMonitor::ClockChangeMonitor(std::function<void()> changed, QObject* parent)
    : QObject(parent), changed_(std::move(changed)) {
  QDBusConnection::systemBus().connect("org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "PrepareForSleep", this,
                                       SLOT(onPrepareForSleep(bool)));
  fd_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd_ < 0 || !arm()) {
    logf("clock changes are not watched: %s", std::strerror(errno));
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return;
  }
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { onReadable(); });
}

ClockChangeMonitor::~ClockChangeMonitor() {
  delete notifier_;
  if (fd_ >= 0) ::close(fd_);
}

bool ClockChangeMonitor::arm() {
  // An absolute expiry no clock reaches; only a discontinuity ever wakes the reader.
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(INT32_MAX) * 2;
  return ::timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

void ClockChangeMonitor::onPrepareForSleep(bool goingToSleep) {
  if (!goingToSleep && changed_) changed_();
}

void ClockChangeMonitor::onReadable() {
  std::uint64_t expirations = 0;
  ssize_t n = ::read(fd_, &expirations, sizeof expirations);
  if (n < 0 && errno == EAGAIN) return;
  // ECANCELED is the clock change itself; the timer must be armed again to hear the next one.
  arm();
  if (changed_) changed_();
}

}  // namespace est
