#pragma once

// The busy overlay of one service call, with a way out. It is the progress overlay
// over the screen's view; after kWayOutDelay seconds a line says the service is slow and a
// button lets the user stop waiting. What leaving means is the caller's `onLeave`: a screen
// offers this only where nothing is lost by leaving (the purchase is already in the pending
// set; a registration or registry query is simply asked again later). Main thread only.

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <functional>

#include "platform/run_loop.h"

class QAbstractButton;
class QPushButton;
class QWidget;

namespace est {

namespace ui {
class KvProgressHUD;
}

class BusyOverlay {
 public:
  static constexpr double kWayOutDelay = 5.0;
  static constexpr const char* kSlowText =
      QT_TRANSLATE_NOOP("BusyOverlay", "El servicio está demorando");
  static constexpr const char* kSlowDetails =
      QT_TRANSLATE_NOOP("BusyOverlay", "Puede seguir sin esperar");

  BusyOverlay() = default;
  ~BusyOverlay();
  BusyOverlay(const BusyOverlay&) = delete;
  BusyOverlay& operator=(const BusyOverlay&) = delete;

  // Shows the overlay over `view` (hiding one this object showed before). `leaveTitle` is the
  // way-out button's text.
  void show(QWidget* view, const QString& leaveTitle, std::function<void()> onLeave);
  // Hides it (animated); nothing when it is not shown.
  void hide();
  bool isShown() const;

  // The way-out button, once offered; null before and after.
  QAbstractButton* wayOutButton() const;
  bool offersWayOut() const { return wayOutButton() != nullptr; }
  // What a tap on the button does: hide, then `onLeave`.
  void leave();

 private:
  void offerWayOut();

  QPointer<ui::KvProgressHUD> hud_;
  QPointer<QPushButton> button_;
  QString leaveTitle_;
  std::function<void()> onLeave_;
  ScopedTimer timer_;
  RunLoop* timerLoop_ = nullptr;
};

}  // namespace est
