#include "tickets/confirm_buy_view_controller.h"

#include <QPushButton>

#include "app/app_config.h"
#include "platform/device.h"
#include "platform/format.h"
#include "platform/log.h"
#include "protocol/parking_protocol.h"
#include "tickets/ticket_manager.h"
#include "ui/alert.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/progress_hud.h"
#include "ui/view.h"

namespace est {

ConfirmBuyViewController::ConfirmBuyViewController(QObject* parent) : ConfirmBuyScreen(parent) {}
ConfirmBuyViewController::~ConfirmBuyViewController() = default;

void ConfirmBuyViewController::viewDidLoad() {
  ui::setBackgroundColor(view(), ui::colorWithHexString("005c84"));
  QColor grey = ui::colorWithHexString("8b8f93");
  ui::setTextColor(ui.lblTitle, ui::colorWithHexString("005C84"));
  ui.lblTitle->setFont(ui::fontNamed("MyriadPro-Bold", 25));
  ui.lblDescription->setFont(ui::fontNamed("MyriadPro-Bold", 13));
  ui.lblPrice->setFont(ui::fontNamed("MyriadPro-Bold", 12));
  for (QLabel* label : {ui.lblStart, ui.lblEnd})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 13));
  for (QLabel* label : {ui.timeInitLabel, ui.timeEndLabel})
    label->setFont(ui::fontNamed("MyriadPro-Bold", 20));
  for (QLabel* label :
       {ui.lblDescription, ui.lblPrice, ui.lblStart, ui.lblEnd, ui.timeInitLabel, ui.timeEndLabel})
    ui::setTextColor(label, grey);
  ui.lblLicenseTime->setFont(ui::fontNamed("MyriadPro-Bold", 28));
  ui::setTextColor(ui.lblLicenseTime, ui::colorWithHexString("005c84"));
  connect(ui.btnConfirm, &QPushButton::clicked, this, [this] { confirmBtnTouched(); });
  connect(ui.btnCancel, &QPushButton::clicked, this, [this] { cancelBtnTouched(); });
  ui::setMainAction(ui.btnConfirm);
  ui::setCancelAction(ui.btnCancel);
}

void ConfirmBuyViewController::viewWillAppear(bool animated) {
  (void)animated;
  ui.lblTitle->setText(speedSell_ ? QStringLiteral("COMPRA RÁPIDA") : QStringLiteral("COMPRA"));
  ui.lblTitle->setAlignment(Qt::AlignCenter);
  if (ticket_) {
    ui.lblLicenseTime->setText(
        qstr(strprintf("%s / %i min.", ticket_->license.c_str(), ticket_->minutes.value_or(0))));
    double price = ticket_->getPrice();
    ui.lblPrice->setText(price != 0.0 ? qstr(strprintf("Precio $%.1f", price)) : QString());
    ui.timeInitLabel->setText(qstr(ticket_->startTimeString()));
    ui.timeEndLabel->setText(qstr(ticket_->endTimeString()));
  }
  enviado_ = false;
}

void ConfirmBuyViewController::confirmBtnTouched() {
  std::lock_guard guard(lock_);
  if (enviado_) {
    // Already sent for this presentation: close and wait instead of buying twice.
    if (delegate_) {
      delegate_->removeCvc();
      delegate_->showWaitingView();
    }
    return;
  }
  if (!ticket_) return;
  if (ticket_->transactionId &&
      TicketManager::getInstance().getTicketWithID(*ticket_->transactionId))
    return;
  enviado_ = true;
  requestTicket();
}

void ConfirmBuyViewController::cancelBtnTouched() {
  dismissViewController(true);
  if (delegate_) delegate_->removeCvc();
}

void ConfirmBuyViewController::requestTicket() {
  ui::KvProgressHUD::showHUDAddedTo(view(), true);
  ParkingPurchase purchase;
  purchase.phone = preferenceText("userPhoneNumber").value_or("");
  purchase.transactionId = ticket_->transactionId.value_or(0);
  purchase.deviceId = vendorIdentifier();
  purchase.plate = ticket_->license;
  purchase.minutes = ticket_->minutes.value_or(0);
  purchase.hour = ticket_->startTimeString();
  HTTPRequestPtr request =
      requests_.get(solicitarEstacionamientoURL(AppConfig::parkingServiceURL(), purchase), this);
  sent_.emplace_back(request.get(), *ticket_);
}

std::optional<Ticket> ConfirmBuyViewController::takeSent(const HTTPRequest& request) {
  for (auto it = sent_.begin(); it != sent_.end(); ++it) {
    if (it->first != &request) continue;
    Ticket ticket = std::move(it->second);
    sent_.erase(it);
    return ticket;
  }
  return std::nullopt;
}

void ConfirmBuyViewController::requestFinished(HTTPRequest& request) {
  ui::KvProgressHUD::hideHUDForView(view(), true);
  SolicitarEstacionamientoOutcome outcome =
      readSolicitarEstacionamientoReply(request.responseData());
  std::optional<Ticket> sent = takeSent(request);
  requests_.done(request);
  if (outcome.kind == SolicitarEstacionamientoOutcome::Kind::Accepted && sent) {
    Preferences& prefs = pagePreferences();
    prefs.setObject("ticketInProcess", PrefValue(sent->transactionId.value_or(0)));
    prefs.setObject("ticketInProcessLicense", PrefValue(sent->license));
    prefs.flush();
    if (delegate_) {
      delegate_->removeCvc();
      delegate_->showWaitingView();
    }
    return;
  }
  enviado_ = false;
  ui::showAlert(QStringLiteral("Estacionamiento Tarifado"), qstr(outcome.errors.value_or("")),
                QStringLiteral("Ok"));
}

void ConfirmBuyViewController::requestFailed(HTTPRequest& request) {
  pagePreferences().removeObject("ticketInProcess");
  ui::KvProgressHUD::hideHUDForView(view(), true);
  if (std::optional<Error> error = request.error()) logLine(error->description);
  takeSent(request);
  requests_.done(request);
  ui::showAlert(QStringLiteral("Sin conexión a internet"),
                QStringLiteral("No se pudo iniciar sesión"), QStringLiteral("Ok"));
}

}  // namespace est
