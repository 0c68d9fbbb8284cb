#include "tickets/home_view_controller.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QPushButton>

#include "app/main_view_controller.h"
#include "platform/format.h"
#include "platform/log.h"
#include "tickets/page_support.h"
#include "tickets/pending_purchases.h"
#include "tickets/purchase_tracker.h"
#include "tickets/ticket_manager.h"
#include "ui/alert.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/view.h"

namespace est {

namespace {

constexpr const char* kFreeParking = QT_TRANSLATE_NOOP(
    "HomeViewController", "El estacionamiento es gratis en el horario seleccionado");

void showTicket(QWidget* panel, QLabel* license, QLabel* times, const Ticket* ticket) {
  panel->setVisible(ticket != nullptr);
  if (!ticket) return;
  license->setText(qstr(ticket->license));
  times->setText(qstr(
      strprintf("/ %s - %s", ticket->startTimeString().c_str(), ticket->endTimeString().c_str())));
}

// A purchase the service has not decided yet: its plate and times, "en proceso".
void showPending(QWidget* panel, QLabel* license, QLabel* times, const PendingPurchase& p) {
  panel->setVisible(true);
  license->setText(qstr(p.plate));
  std::optional<TimePoint> end = p.end();
  times->setText(p.start && end
                     ? QCoreApplication::translate("HomeViewController", "/ %1 - %2 en proceso")
                           .arg(qstr(formatHourMinute(*p.start)), qstr(formatHourMinute(*end)))
                     : QCoreApplication::translate("HomeViewController", "/ en proceso"));
}

}  // namespace

HomeViewController::HomeViewController(QObject* parent) : MainPage(parent) {}

void HomeViewController::viewDidLoad() {
  ui::setBackgroundColor(view(), ui::colorWithHexString("005c84"));
  ui.lblLicenseTime->setFont(ui::fontNamed("MyriadPro-Regular", 20));
  ui.lblTicketInfo->setFont(ui::fontNamed("MyriadPro-Regular", 12));
  ui::setTextColor(ui.lblTicketInfo, ui::colorWithHexString("B5F1FF"));
  for (QLabel* label : {ui.lblNoActiveTickets, ui.lblNoInactiveTickets})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 13));
  for (QLabel* label : {ui.lblCaptionActive, ui.lblCaptionQuick, ui.lblCaptionInactive})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 16));
  for (QLabel* label : {ui.activeTickerLicense, ui.active2TicketLicense, ui.inActiveTicketLicense,
                        ui.inActive2TicketLicense})
    label->setFont(ui::fontNamed("MyriadPro-Bold", 13));
  for (QLabel* label : {ui.activeTicketStartTime, ui.active2TicketStartTime,
                        ui.inActiveTicketStartTime, ui.inActive2TicketStartTime})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 12));
  for (QLabel* label : view()->findChildren<QLabel*>())
    if (label != ui.lblTicketInfo) ui::setTextColor(label, Qt::white);
  QColor panel = ui::colorWithHexString("0a6f98");
  for (QWidget* w :
       {ui.activeTicketView, ui.active2ViewTicket, ui.inActiveTicketView, ui.inActive2TicketView})
    ui::setBackgroundColor(w, panel);
  for (const QString& family : QFontDatabase::families())
    if (family.contains(QStringLiteral("Myriad"))) logLine(sstr(family));
  ui.btnMoreTickets->setFlat(true);
  ui.btnSucive->setFlat(true);

  connect(ui.btnRenew, &QPushButton::clicked, this, [this] { btnRenewTouched(); });
  connect(ui.btnFastBuy, &QPushButton::clicked, this, [this] { btnFastBuyTouched(); });
  connect(ui.btnBuy, &QPushButton::clicked, this, [this] { btnBuyTouched(ui.btnBuy); });
  connect(ui.btnMoreTickets, &QPushButton::clicked, this,
          [this] { btnMoreTicketsTouched(ui.btnMoreTickets); });
  connect(ui.btnSucive, &QPushButton::clicked, this, [this] { btnSucive(); });
}

void HomeViewController::viewWillAppear(bool animated) {
  (void)animated;
  updateView();
}

void HomeViewController::updateView() {
  view();
  if (std::optional<std::string> plate = preferenceText("defaultLicense")) {
    ui.lblLicenseTime->setText(qstr(strprintf("%s / %s min", plateWithModel(*plate).c_str(),
                                              preferenceText("defaultTime").value_or("").c_str())));
    ui::fitFontToWidth(ui.lblLicenseTime, 20, 12);
  }
  std::vector<Ticket> tickets = TicketManager::getInstance().getTickets();
  TimePoint now = Clock::current().now();
  const Ticket* active = nullptr;
  const Ticket* active2 = nullptr;
  const Ticket* expired = nullptr;
  const Ticket* expired2 = nullptr;
  for (const Ticket& t : tickets) {
    if (t.isActive(now)) {
      if (!active) active = &t;
    } else if (!expired) {
      expired = &t;
    } else if (!expired2) {
      expired2 = &t;
    }
  }
  if (active) {
    for (const Ticket& t : tickets) {
      if (&t == active || !t.isActive(now) || t.isEqual(*active)) continue;
      if (t.timeEnd == active->timeEnd && t.timeStart == active->timeStart) continue;
      active2 = &t;
      break;
    }
  }
  activeTicket_ = active ? std::optional<Ticket>(*active) : std::nullopt;
  // Purchases still undecided show in the running panels, after the running ticket; they are
  // followed from here too, so polling resumes after a restart whatever screen opens first.
  std::vector<PendingPurchase> pending = PendingPurchases().all();
  if (!pending.empty()) PurchaseTracker::shared().resume();

  ui.lblNoActiveTickets->setVisible(!active && pending.empty());
  ui.lblNoInactiveTickets->setVisible(!expired);
  if (active) {
    ui.btnRenew->setVisible(true);
    ui.btnRenew->setEnabled(true);
    showTicket(ui.activeTicketView, ui.activeTickerLicense, ui.activeTicketStartTime, active);
    double left = std::chrono::duration<double>(*active->timeEnd - now).count() / 60.0;
    QString info = QCoreApplication::translate("HomeViewController", "Su ticket vence en %1 min")
                       .arg(qstr(strprintf("%.0f", left)));
    if (pending.size() > 1)
      info += QCoreApplication::translate("HomeViewController", " · %1 compras en proceso")
                  .arg(pending.size());
    ui.lblTicketInfo->setText(info);
    if (!pending.empty()) {
      showPending(ui.active2ViewTicket, ui.active2TicketLicense, ui.active2TicketStartTime,
                  pending.front());
    } else {
      showTicket(ui.active2ViewTicket, ui.active2TicketLicense, ui.active2TicketStartTime, active2);
    }
  } else {
    ui.btnRenew->setVisible(false);
    ui.btnRenew->setEnabled(false);
    ui.activeTicketView->setVisible(false);
    ui.active2ViewTicket->setVisible(false);
    if (pending.empty()) {
      ui.lblTicketInfo->setText(
          QCoreApplication::translate("HomeViewController", "No tienes tickets activos"));
    } else {
      ui.lblTicketInfo->setText(
          pending.size() == 1
              ? QCoreApplication::translate("HomeViewController", "Compra en proceso")
              : QCoreApplication::translate("HomeViewController", "%1 compras en proceso")
                    .arg(pending.size()));
      showPending(ui.activeTicketView, ui.activeTickerLicense, ui.activeTicketStartTime,
                  pending[0]);
      if (pending.size() > 1)
        showPending(ui.active2ViewTicket, ui.active2TicketLicense, ui.active2TicketStartTime,
                    pending[1]);
    }
  }
  showTicket(ui.inActiveTicketView, ui.inActiveTicketLicense, ui.inActiveTicketStartTime, expired);
  showTicket(ui.inActive2TicketView, ui.inActive2TicketLicense, ui.inActive2TicketStartTime,
             expired ? expired2 : nullptr);
}

void HomeViewController::btnRenewTouched() {
  if (activeTicket_ && activeTicket_->timeEnd) {
    long long n = pagePreferences().integerForKey("defaultTime");
    logf("%i", static_cast<int>(n));
    // A damaged default (zero or negative) would ask for a ticket ending before it starts.
    if (n > 0) {
      Ticket ticket;
      ticket.timeStart = activeTicket_->timeEnd;
      ticket.license = activeTicket_->license;
      ticket.transactionId = TicketManager::getInstance().nextID();
      ticket.timeEnd = *ticket.timeStart + std::chrono::seconds(n * 60);
      ticket.minutes = static_cast<int>(n);
      if (MainViewController* main = mainController()) main->showConfirmBuyVC(ticket, this, true);
    }
  }
  updateView();
}

void HomeViewController::btnFastBuyTouched() {
  std::lock_guard guard(lock_);
  Ticket ticket;
  ticket.timeStart = Clock::current().now();
  ticket.license = preferenceText("defaultLicense").value_or("");
  ticket.transactionId = TicketManager::getInstance().nextID();
  long long n = pagePreferences().integerForKey("defaultTime");
  logf("%i", static_cast<int>(n));
  ticket.timeEnd = Clock::current().now() + std::chrono::seconds(n * 60);
  ticket.minutes = static_cast<int>(n);
  LocalTime start = toLocal(*ticket.timeStart);
  if (start.hour >= 10 && start.hour < 18 && start.weekday != 7 && start.weekday != 1) {
    if (!(*ticket.timeEnd < Clock::current().now())) {
      if (MainViewController* main = mainController()) main->showConfirmBuyVC(ticket, this, true);
    } else {
      ui::showAlert(QString(), QCoreApplication::translate("HomeViewController", "Hora invalida"),
                    QCoreApplication::translate("HomeViewController", "Ok"));
    }
  } else {
    ui::showAlert(QString(), QCoreApplication::translate("HomeViewController", kFreeParking),
                  QCoreApplication::translate("HomeViewController", "Ok"));
  }
}

void HomeViewController::btnBuyTouched(QObject* sender) {
  if (MainViewController* main = mainController()) main->actionButtonBuy(sender);
}

void HomeViewController::btnMoreTicketsTouched(QObject* sender) {
  menuBarSelected(sender);
}

void HomeViewController::menuBarSelected(QObject* sender) {
  if (MainViewController* main = mainController()) main->menuBarSelected(sender);
}

void HomeViewController::btnSucive() {
  if (MainViewController* main = mainController()) main->showSucive();
}

void HomeViewController::removeCvc() {
  if (MainViewController* main = mainController()) main->hideConfirmBuyVc();
}

void HomeViewController::showWaitingView() {
  if (MainViewController* main = mainController()) main->showWaitingValidationVc();
}

}  // namespace est
