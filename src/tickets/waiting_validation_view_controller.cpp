#include "tickets/waiting_validation_view_controller.h"

#include <QCoreApplication>
#include <QPushButton>

#include "app/main_view_controller.h"
#include "platform/format.h"
#include "tickets/page_support.h"
#include "ui/alert.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est {

WaitingValidationViewController::WaitingValidationViewController(QObject* parent)
    : WaitingValidationScreen(parent) {
  PurchaseTracker::shared().addObserver(this);
}

WaitingValidationViewController::~WaitingValidationViewController() {
  PurchaseTracker::shared().removeObserver(this);
  // Summary timers of a loop that is gone (a test's) are forgotten, not cancelled.
  if (!RunLoop::main())
    for (auto& timer : summaryTimers_) timer->release();
}

void WaitingValidationViewController::viewDidLoad() {
  ui::setBackgroundColor(view(), ui::colorWithHexString("005c84"));
  ui.titleLabel->setFont(ui::fontNamed("MyriadPro-Bold", 25));
  ui::setTextColor(ui.titleLabel, ui::colorWithHexString("005C84"));
  ui.txtLabel->setFont(ui::fontNamed("MyriadPro-Bold", 13));
  ui::setTextColor(ui.txtLabel, ui::colorWithHexString("8b8f93"));
  connect(ui.btnClose, &QPushButton::clicked, this, [this] { close(); });
  // Its only button: Escape closes the screen as Return does.
  ui::setMainAction(ui.btnClose);
  ui::setCancelAction(ui.btnClose);
}

void WaitingValidationViewController::setTitleBuying() {
  view();
  buying_ = true;
  ui.txtLabel->setText(QCoreApplication::translate(
      "WaitingValidationViewController",
      "La compra del ticket está en proceso. Recibirás una notificación cuando se apruebe la "
      "compra."));
  ui.titleLabel->setText(
      QCoreApplication::translate("WaitingValidationViewController", "Compra Ticket"));
}

void WaitingValidationViewController::setTitleBuyed(const std::string& text) {
  view();
  buying_ = false;
  ui.txtLabel->setText(qstr(text));
  ui.titleLabel->setText(
      QCoreApplication::translate("WaitingValidationViewController", "Ticket Comprado"));
}

void WaitingValidationViewController::startBackgroundProcess() {
  PurchaseTracker::shared().resume();
  // Shown for a purchase the service has already decided (or never had): nothing to wait for.
  leaveWhenNothingPending();
}

void WaitingValidationViewController::close() {
  hideWaiting();
}

void WaitingValidationViewController::hideWaiting() {
  if (mainController_) mainController_->hideWaitingValidationVc();
}

void WaitingValidationViewController::leaveWhenNothingPending() {
  if (!buying_ || !isViewInHierarchy()) return;
  if (!PendingPurchases().empty()) return;
  buying_ = false;
  hideWaiting();
}

void WaitingValidationViewController::purchaseConfirmed(
    const PendingPurchase& purchase, const Ticket& ticket,
    const ConsultarEstacionamientoOutcome& reply) {
  (void)purchase, (void)ticket;
  std::lock_guard guard(lock_);
  hideWaiting();
  RunLoop* loop = RunLoop::main();
  if (!loop) return;
  std::erase_if(summaryTimers_, [](const auto& timer) { return !timer->active(); });
  auto timer = std::make_unique<ScopedTimer>();
  ScopedTimer* handle = timer.get();
  timer->start(
      *loop, Seconds(kSummaryDelay),
      [this, handle, reply] {
        handle->release();
        callLater(reply);
      },
      false);
  summaryTimers_.push_back(std::move(timer));
}

void WaitingValidationViewController::purchaseRefused(const PendingPurchase& purchase) {
  (void)purchase;
  std::lock_guard guard(lock_);
  ui::showAlert(
      QCoreApplication::translate("WaitingValidationViewController", "Estacionamiento Tarifado"),
      QCoreApplication::translate("WaitingValidationViewController",
                                  "No se pudo registrar la compra. Intente nuevamente."),
      QCoreApplication::translate("WaitingValidationViewController", "Ok"));
}

void WaitingValidationViewController::pendingPurchasesChanged() {
  std::lock_guard guard(lock_);
  leaveWhenNothingPending();
}

void WaitingValidationViewController::callLater(const ConsultarEstacionamientoOutcome& reply) {
  QString text = QCoreApplication::translate(
                     "WaitingValidationViewController",
                     "El estacionamiento del vehículo matrícula %1 comienza a las %2 hs y finaliza "
                     "a las %3 hs. "
                     "Costo %4 pesos. Gracias por utilizar Estacionamiento Tarifado Telvana")
                     .arg(qstr(reply.matricula.value_or("")), qstr(reply.inicioText.value_or("")),
                          qstr(reply.finText.value_or("")), qstr(reply.costo.value_or("")));
  if (mainController_) mainController_->showWaitingValidationVcWithTitle(text.toStdString());
}

}  // namespace est
