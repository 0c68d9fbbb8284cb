#include "app/busy_overlay.h"

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
  hud_->setDetailsLabelText(QString::fromUtf8(kSlowText));
  auto* button = new QPushButton(leaveTitle_, hud_);
  button->setObjectName(QStringLiteral("btnWayOut"));
  const int width = std::min(240, std::max(120, hud_->width() - 40));
  const int height = 32;
  QRectF box = hud_->boxRect();
  int top = box.isValid() ? static_cast<int>(box.bottom()) + 12 : hud_->height() / 2 + 70;
  top = std::min(top, hud_->height() - height - 8);
  button->setGeometry((hud_->width() - width) / 2, top, width, height);
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
  if (button_) button_->hide();
  button_ = nullptr;
}

bool BusyOverlay::isShown() const {
  return hud_ && !hud_->isHiding();
}

QAbstractButton* BusyOverlay::wayOutButton() const {
  return button_ && isShown() ? button_.data() : nullptr;
}

void BusyOverlay::leave() {
  std::function<void()> onLeave = std::move(onLeave_);
  onLeave_ = nullptr;
  hide();
  if (onLeave) onLeave();
}

}  // namespace est
