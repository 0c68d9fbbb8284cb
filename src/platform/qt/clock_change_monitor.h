#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace est {

// Calls back whenever the wall clock is set (by the user, NTP stepping it) and when the
// machine resumes from suspend, so that anything waiting for a calendar time can look at the
// clock again. A CLOCK_REALTIME timerfd armed far in the future with TFD_TIMER_CANCEL_ON_SET:
// the kernel cancels it, and wakes its reader, at every such discontinuity. Resume is also
// heard from the login manager's PrepareForSleep signal on the system bus, where there is one.
class ClockChangeMonitor : public QObject {
  Q_OBJECT

 public:
  explicit ClockChangeMonitor(std::function<void()> changed, QObject* parent = nullptr);
  ~ClockChangeMonitor() override;
  ClockChangeMonitor(const ClockChangeMonitor&) = delete;
  ClockChangeMonitor& operator=(const ClockChangeMonitor&) = delete;

  // False when the system offers no such timer (the caller's own periodic checks remain).
  bool isWatching() const { return fd_ >= 0; }

 private slots:
  void onPrepareForSleep(bool goingToSleep);

 private:
  bool arm();
  void onReadable();

  std::function<void()> changed_;
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace est
