#include "tickets/confirm_buy_view_controller.h"

#include <QCoreApplication>
#include <QPointer>
#include <QPushButton>

#include "app/main_view_controller.h"
#include "platform/format.h"
#include "tickets/page_support.h"
#include "tickets/pending_purchases.h"
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
  ui.lblTitle->setText(
      speedSell_ ? QCoreApplication::translate("ConfirmBuyViewController", "COMPRA RÁPIDA")
                 : QCoreApplication::translate("ConfirmBuyViewController", "COMPRA"));
  ui.lblTitle->setAlignment(Qt::AlignCenter);
  if (ticket_) {
    ui.lblLicenseTime->setText(
        qstr(strprintf("%s / %i min.", ticket_->license.c_str(), ticket_->minutes.value_or(0))));
    showPrice();
    ui.timeInitLabel->setText(qstr(ticket_->startTimeString()));
    ui.timeEndLabel->setText(qstr(ticket_->endTimeString()));
  }
  // Unknown (the request at the session start failed): asked for again, the line filled in
  // when it comes.
  if (!pagePreferences().objectForKey("price") && mainController_) mainController_->getPrice();
  overlay_.hide();
  ++presentation_;
  duplicateAcknowledged_.reset();
  enviado_ = false;
}

void ConfirmBuyViewController::showPrice() {
  if (!ticket_) return;
  double price = ticket_->getPrice();
  ui.lblPrice->setText(price != 0.0
                           ? QCoreApplication::translate("ConfirmBuyViewController", "Precio $%1")
                                 .arg(qstr(strprintf("%.1f", price)))
                           : QString());
}

void ConfirmBuyViewController::priceUpdated() {
  if (isViewLoaded()) showPrice();
}

void ConfirmBuyViewController::confirmBtnTouched() {
  std::lock_guard guard(lock_);
  if (enviado_) {
    // Already sent for this presentation: close and wait instead of buying twice.
    ++presentation_;
    overlay_.hide();
    handOverToValidation();
    return;
  }
  if (!ticket_) return;
  if (ticket_->transactionId &&
      TicketManager::getInstance().getTicketWithID(*ticket_->transactionId))
    return;
  if (ticket_->timeStart && duplicateAcknowledged_ != ticket_->transactionId) {
    std::optional<PendingPurchase> same =
        PendingPurchases().sameAs(ticket_->license, *ticket_->timeStart, ticket_->transactionId);
    if (same) {
      // Most likely the same purchase asked for again while the first is still undecided:
      // the user says whether a second ticket is wanted.
      duplicateAcknowledged_ = ticket_->transactionId;
      QString start = qstr(formatHourMinute(*same->start));
      QString times = same->end()
                          ? QCoreApplication::translate("ConfirmBuyViewController", "%1 a %2")
                                .arg(start, qstr(formatHourMinute(*same->end())))
                          : start;
      ui::showAlert(QCoreApplication::translate("ConfirmBuyViewController", "Compra en proceso"),
                    QCoreApplication::translate(
                        "ConfirmBuyViewController",
                        "Ya hay una compra en proceso para la matrícula %1 de %2. Si quiere "
                        "comprar otro ticket igual, toque CONFIRMAR otra vez.")
                        .arg(qstr(same->plate), times),
                    QCoreApplication::translate("ConfirmBuyViewController", "Ok"));
      return;
    }
  }
  enviado_ = true;
  requestTicket();
}

void ConfirmBuyViewController::cancelBtnTouched() {
  ++presentation_;
  overlay_.hide();
  dismissViewController(true);
  if (delegate_) delegate_->removeCvc();
}

void ConfirmBuyViewController::handOverToValidation() {
  if (!delegate_) return;
  delegate_->removeCvc();
  delegate_->showWaitingView();
}

void ConfirmBuyViewController::requestTicket() {
  PendingPurchase purchase;
  purchase.transactionId = ticket_->transactionId.value_or(0);
  purchase.plate = ticket_->license;
  purchase.start = ticket_->timeStart;
  purchase.minutes = ticket_->minutes;
  // Nothing is lost by leaving: the purchase is pending from before its request leaves, and
  // the tracker follows it whatever this screen shows next.
  overlay_.show(view(),
                QCoreApplication::translate("ConfirmBuyViewController", "SEGUIR EN SEGUNDO PLANO"),
                [this] {
                  ++presentation_;
                  handOverToValidation();
                });
  int presentation = presentation_;
  QPointer<ConfirmBuyViewController> self(this);
  PurchaseTracker::shared().buy(purchase,
                                [self, presentation](const PurchaseTracker::RequestResult& r) {
                                  if (self) self->purchaseRequestEnded(r, presentation);
                                });
}

void ConfirmBuyViewController::purchaseRequestEnded(const PurchaseTracker::RequestResult& result,
                                                    int presentation) {
  using Outcome = PurchaseTracker::RequestOutcome;
  // False when the user has left the overlay or the screen shows another ticket now: the
  // purchase goes on in the background and only a refusal still needs telling.
  bool current = presentation == presentation_;
  if (current) overlay_.hide();
  switch (result.outcome) {
    case Outcome::Accepted:
    case Outcome::AlreadyPending:
      if (current) handOverToValidation();
      return;
    case Outcome::Refused: {
      if (current) enviado_ = false;
      QString errors = qstr(result.errors.value_or("")).trimmed();
      if (errors.isEmpty())
        errors = QCoreApplication::translate(
            "ConfirmBuyViewController", "El servicio no aceptó la compra. Intente nuevamente.");
      ui::showAlert(
          QCoreApplication::translate("ConfirmBuyViewController", "Estacionamiento Tarifado"),
          errors, QCoreApplication::translate("ConfirmBuyViewController", "Ok"));
      return;
    }
    case Outcome::ServiceError:
    case Outcome::TransportFailure: {
      if (!current) return;
      // The service may have taken it: it stays pending and is asked about until it answers.
      handOverToValidation();
      bool transport = result.outcome == Outcome::TransportFailure;
      ui::showAlert(
          transport
              ? QCoreApplication::translate("ConfirmBuyViewController", "Sin conexión a internet")
              : QCoreApplication::translate("ConfirmBuyViewController", "Estacionamiento Tarifado"),
          transport
              ? QCoreApplication::translate("ConfirmBuyViewController",
                                            "No se pudo comunicar con el servidor. La compra "
                                            "queda en proceso y se consultará su estado hasta "
                                            "saber si se registró.")
              : QCoreApplication::translate("ConfirmBuyViewController",
                                            "El servicio no respondió correctamente. La compra "
                                            "queda en proceso y se consultará su estado hasta "
                                            "saber si se registró."),
          QCoreApplication::translate("ConfirmBuyViewController", "Ok"));
      return;
    }
    case Outcome::NotStored:
      if (current) enviado_ = false;
      ui::showAlert(
          QCoreApplication::translate("ConfirmBuyViewController", "Estacionamiento Tarifado"),
          QCoreApplication::translate("ConfirmBuyViewController",
                                      "No se pudo guardar la compra en este equipo y no se envió. "
                                      "Intente nuevamente."),
          QCoreApplication::translate("ConfirmBuyViewController", "Ok"));
      return;
  }
}

}  // namespace est
