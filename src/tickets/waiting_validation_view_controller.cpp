#include "tickets/waiting_validation_view_controller.h"

#include <QPushButton>

#include "app/app_config.h"
#include "app/local_notifications.h"
#include "app/main_view_controller.h"
#include "platform/device.h"
#include "platform/format.h"
#include "platform/log.h"
#include "tickets/ticket_manager.h"
#include "ui/alert.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est {

WaitingValidationViewController::WaitingValidationViewController(QObject* parent)
    : WaitingValidationScreen(parent) {}

WaitingValidationViewController::~WaitingValidationViewController() = default;

void WaitingValidationViewController::viewDidLoad() {
  ui::setBackgroundColor(view(), ui::colorWithHexString("005c84"));
  ui.titleLabel->setFont(ui::fontNamed("MyriadPro-Bold", 25));
  ui::setTextColor(ui.titleLabel, ui::colorWithHexString("005C84"));
  ui.txtLabel->setFont(ui::fontNamed("MyriadPro-Bold", 13));
  ui::setTextColor(ui.txtLabel, ui::colorWithHexString("8b8f93"));
  connect(ui.btnClose, &QPushButton::clicked, this, [this] { close(); });
  ui::setMainAction(ui.btnClose);
}

void WaitingValidationViewController::setTitleBuying() {
  view();
  ui.txtLabel->setText(QStringLiteral(
      "La compra del ticket está en proceso. Recibirás una notificación cuando se apruebe la "
      "compra."));
  ui.titleLabel->setText(QStringLiteral("Compra Ticket"));
}

void WaitingValidationViewController::setTitleBuyed(const std::string& text) {
  view();
  ui.txtLabel->setText(qstr(text));
  ui.titleLabel->setText(QStringLiteral("Ticket Comprado"));
}

void WaitingValidationViewController::startBackgroundProcess() {
  RunLoop* loop = RunLoop::main();
  if (!loop) return;
  backgroundProcessTimer_.start(
      *loop, Seconds(kPollInterval), [this] { backgroundProcess(); }, true);
}

void WaitingValidationViewController::backgroundProcess() {
  std::lock_guard guard(lock_);
  if (std::optional<PrefValue> pending = pagePreferences().objectForKey("ticketInProcess")) {
    askForTicketStatus(pending->integerValue());
    return;
  }
  backgroundProcessTimer_.reset();
  hideWaiting();
}

void WaitingValidationViewController::askForTicketStatus(std::int64_t transactionId) {
  std::string url = consultarEstacionamientoURL(AppConfig::parkingServiceURL(),
                                                preferenceText("userPhoneNumber").value_or(""),
                                                transactionId, vendorIdentifier());
  requests_.get(url, this);
}

void WaitingValidationViewController::close() {
  hideWaiting();
}

void WaitingValidationViewController::hideWaiting() {
  if (mainController_) mainController_->hideWaitingValidationVc();
}

void WaitingValidationViewController::requestFinished(HTTPRequest& request) {
  std::lock_guard guard(lock_);
  logLine("Waitting - requestFinished");
  ConsultarEstacionamientoOutcome reply =
      readConsultarEstacionamientoReply(request.responseData(), Clock::current().now());
  requests_.done(request);
  using Kind = ConsultarEstacionamientoOutcome::Kind;
  switch (reply.kind) {
    case Kind::Confirmed: {
      std::optional<PrefValue> pending = pagePreferences().objectForKey("ticketInProcess");
      if (pending && !TicketManager::getInstance().getTicketWithID(pending->integerValue())) {
        confirm(reply, pending->integerValue());
        return;
      }
      break;
    }
    case Kind::InProgress:
      return;
    case Kind::Refused:
      pagePreferences().removeObject("ticketInProcess");
      ui::showAlert(QStringLiteral("Estacionamiento Tarifado"),
                    QStringLiteral("No se pudo registrar la compra. Intente nuevamente."),
                    QStringLiteral("Ok"));
      return;
    case Kind::NoDecision:
      break;
  }
  // No decision (also a reply without a status, or with times that do not read): the screen
  // goes and the timer asks again at its next tick, or stops when the marker has gone. Asking
  // again at once would turn a service that keeps answering this way into a request storm.
  if (!pagePreferences().objectForKey("ticketInProcess")) backgroundProcessTimer_.reset();
  hideWaiting();
}

void WaitingValidationViewController::confirm(const ConsultarEstacionamientoOutcome& reply,
                                              std::int64_t pending) {
  (void)pending;
  Preferences& prefs = pagePreferences();
  Ticket ticket;
  ticket.transactionId = reply.idTicket;
  ticket.timeStart = reply.inicio;
  ticket.timeEnd = reply.fin;
  ticket.license = preferenceText("ticketInProcessLicense").value_or("");
  TicketManager& store = TicketManager::getInstance();
  bool stored = store.add(ticket);
  if (!stored) {
    // The service's ticket number may equal a stored local identifier; the ticket gets a
    // fresh one anyway, so store it without the clashing number rather than lose it.
    ticket.transactionId.reset();
    stored = store.add(ticket);
  }
  if (!stored) {
    // The store could not keep it: leave the purchase pending so the next poll tries again.
    logLine("Waitting - the confirmed ticket could not be stored; still pending");
    return;
  }
  prefs.removeObject("ticketInProcess");
  // One of each per ticket; the warning no longer holds once the ticket has ended.
  auto remind = [&ticket](TimePoint fire, std::string body, const char* kind,
                          std::optional<TimePoint> expiry) {
    LocalNotification notification;
    notification.fireDate = fire;
    notification.timeZone = defaultTimeZoneName();
    notification.alertBody = std::move(body);
    notification.applicationIconBadgeNumber = 1;
    notification.soundName = kDefaultSoundName;
    notification.expiryDate = expiry;
    notification.replaceKey =
        strprintf("ticket-%lld-%s", static_cast<long long>(ticket.transactionId.value_or(0)), kind);
    LocalNotificationCenter::shared().scheduleLocalNotification(notification);
  };
  const char* plate = ticket.license.c_str();
  remind(*ticket.timeEnd - std::chrono::seconds(300),
         strprintf("El ticket de la matricula %s va a finalizar", plate), "ending",
         *ticket.timeEnd);
  remind(*ticket.timeEnd, strprintf("El ticket de la matricula %s finalizó", plate), "ended",
         std::nullopt);
  prefs.flush();
  backgroundProcess();
  hideWaiting();
  if (RunLoop* loop = RunLoop::main()) {
    summaryTimer_.start(
        *loop, Seconds(kSummaryDelay),
        [this, reply] {
          summaryTimer_.release();
          callLater(reply);
        },
        false);
  }
}

void WaitingValidationViewController::callLater(const ConsultarEstacionamientoOutcome& reply) {
  std::string text = strprintf(
      "El estacionamiento del vehículo matrícula %s comienza a las %s hs y finaliza a las %s hs. "
      "Costo %s pesos. Gracias por utilizar Estacionamiento Tarifado Telvana",
      reply.matricula.value_or("").c_str(), reply.inicioText.value_or("").c_str(),
      reply.finText.value_or("").c_str(), reply.costo.value_or("").c_str());
  if (mainController_) mainController_->showWaitingValidationVcWithTitle(text);
}

void WaitingValidationViewController::requestFailed(HTTPRequest& request) {
  requests_.done(request);
}

}  // namespace est
