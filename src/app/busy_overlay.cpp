#include "app/busy_overlay.h"

#include <QCoreApplication>
#include <QPushButton>

#include "ui/progress_hud.h"

namespace est {

BusyOverlay::~BusyOverlay() {
  hide();
}

void BusyOverlay::show(QWidget* view, const QString& leaveTitle, std::function<void()> onLeave) {
  hide();
  hud_ = ui::KvProgressHUD::showHUDAddedTo(view, true);
  leaveTitle_ = leaveTitle;
  onLeave_ = std::move(onLeave);
  if (RunLoop* loop = RunLoop::main()) {
    timerLoop_ = loop;
    timer_.start(
        *loop, Seconds(kWayOutDelay),
        [this] {
          timer_.release();
          offerWayOut();
        },
        false);
  }
}

void BusyOverlay::offerWayOut() {
  if (!hud_ || hud_->isHiding()) return;
  hud_->setLabelText(QCoreApplication::translate("BusyOverlay", kSlowText));
  hud_->setDetailsLabelText(QCoreApplication::translate("BusyOverlay", kSlowDetails));
  // The screen's own controls fade, so the one that works stands out.
  hud_->setDimBackground(true);
  // A sibling above the overlay rather than its child, so it is not dimmed with it.
  QWidget* view = hud_->parentWidget();
  auto* button = new QPushButton(leaveTitle_, view);
  button->setObjectName(QStringLiteral("btnWayOut"));
  const int width = std::min(240, std::max(120, hud_->width() - 40));
  const int height = 32;
  QRectF box = hud_->boxRect();
  int top = box.isValid() ? static_cast<int>(box.bottom()) + 12 : hud_->height() / 2 + 70;
  top = std::min(top, hud_->height() - height - 8);
  QPoint origin = hud_->geometry().topLeft();
  button->setGeometry(origin.x() + (hud_->width() - width) / 2, origin.y() + top, width, height);
  button->raise();
  button->show();
  button_ = button;
  QObject::connect(button, &QPushButton::clicked, button, [this] { leave(); });
}

void BusyOverlay::hide() {
  if (timerLoop_ == RunLoop::main()) timer_.reset();
  timer_.release();
  timerLoop_ = nullptr;
  if (hud_ && !hud_->isHiding()) {
    hud_->setRemoveFromSuperViewOnHide(true);
    hud_->hide(true);
  }
  hud_ = nullptr;
  if (button_) {
    button_->hide();
    button_->deleteLater();
  }
  button_ = nullptr;
}

bool BusyOverlay::isShown() const {
  return hud_ && !hud_->isHiding();
}

QAbstractButton* BusyOverlay::wayOutButton() const {
  return button_ && isShown() ? static_cast<QAbstractButton*>(button_.data()) : nullptr;
}

void BusyOverlay::leave() {
  std::function<void()> onLeave = std::move(onLeave_);
  onLeave_ = nullptr;
  hide();
  if (onLeave) onLeave();
}

}  // namespace est
