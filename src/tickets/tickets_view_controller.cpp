#include "tickets/tickets_view_controller.h"

#include <QCoreApplication>
#include <QLabel>
#include <algorithm>

#include "app/main_view_controller.h"
#include "platform/format.h"
#include "tickets/page_support.h"
#include "tickets/ticket_manager.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/view.h"
#include "ui_TicketsCell.h"

namespace est {

TicketsViewController::TicketsViewController(QObject* parent) : MainPage(parent) {}

void TicketsViewController::viewDidLoad() {
  ui::setBackgroundColor(view(), ui::colorWithHexString("005c84"));
  for (QLabel* label : {ui.lblCaptionActive, ui.lblCaptionInactive}) {
    label->setFont(ui::fontNamed("MyriadPro-Regular", 15));
    ui::setTextColor(label, Qt::white);
  }
  ui.lblTitle->setFont(ui::fontNamed("MyriadPro-Bold", 20));
  ui::setTextColor(ui.lblTitle, Qt::white);
  for (ui::TableView* table : {ui.tableViewActive, ui.tableViewInActive}) {
    table->setRowHeight(27);
    table->setDataSource(this);
    table->setDelegate(this);
  }
}

void TicketsViewController::updateView() {
  view();
  std::vector<Ticket> tickets = TicketManager::getInstance().getTickets();
  TimePoint now = Clock::current().now();
  activeTickets_.clear();
  inActiveTickets_.clear();
  for (const Ticket& t : tickets)
    if (t.isActive(now)) activeTickets_.push_back(t);
  for (const Ticket& t : tickets)
    if (!t.isActive(now)) inActiveTickets_.push_back(t);
  std::stable_sort(inActiveTickets_.begin(), inActiveTickets_.end(),
                   [](const Ticket& a, const Ticket& b) { return a.timeEnd > b.timeEnd; });
  ui.tableViewActive->reloadData();
  ui.tableViewInActive->reloadData();
}

void TicketsViewController::menuBarSelected(QObject* sender) {
  if (MainViewController* main = mainController()) main->menuBarSelected(sender);
}

int TicketsViewController::numberOfRowsInSection(ui::TableView* table, int section) {
  (void)section;
  const auto& list = table == ui.tableViewActive ? activeTickets_ : inActiveTickets_;
  return list.empty() ? 1 : static_cast<int>(list.size());
}

double TicketsViewController::heightForRow(ui::TableView* table, ui::IndexPath path) {
  (void)table, (void)path;
  return 27;
}

ui::TableViewCell* TicketsViewController::cellForRow(ui::TableView* table, ui::IndexPath path) {
  bool running = table == ui.tableViewActive;
  QString identifier =
      running ? QStringLiteral("CellIdentifier") : QStringLiteral("CellIdentifier2");
  ui::TableViewCell* cell = table->dequeueReusableCell(identifier);
  if (!cell) cell = ui::cellFromLayout<Ui::TicketsCell>(identifier);
  cell->setBackgroundColor(path.row % 2 == 1 ? QColor(Qt::white)
                                             : ui::colorWithHexString("dde8ea"));
  ui::setAlpha(cell, 0.8);

  const auto& list = running ? activeTickets_ : inActiveTickets_;
  const Ticket* ticket =
      list.empty() || path.row >= static_cast<int>(list.size()) ? nullptr : &list[path.row];
  QWidget* content = cell->contentView();
  auto label = [&](int tag) { return qobject_cast<QLabel*>(ui::viewWithTag(content, tag)); };
  const char* fonts[] = {"MyriadPro-Bold", "MyriadPro-Regular", "MyriadPro-Bold", "MyriadPro-Bold",
                         "MyriadPro-Regular"};
  for (int tag = 1; tag <= 5; ++tag) {
    if (QLabel* l = label(tag)) {
      l->setFont(ui::fontNamed(fonts[tag - 1], 14));
      ui::setTextColor(l, ui::colorWithHexString("005c84"));
      l->setVisible(ticket ? tag != 5 : tag == 5);
    }
  }
  if (ticket) {
    std::string date;
    if (ticket->timeStart) {
      // The calendar year: a week-based year would print the next year in late December.
      LocalTime start = toLocal(*ticket->timeStart);
      date = strprintf("%02d/%02d/%02d", start.day, start.month, start.year % 100);
    }
    label(1)->setText(qstr(ticket->license));
    label(2)->setText(qstr(strprintf("- %s -", date.c_str())));
    label(3)->setText(qstr(ticket->startTimeString() + " -"));
    label(4)->setText(qstr(ticket->endTimeString()));
  } else {
    label(5)->setText(
        running
            ? QCoreApplication::translate("TicketsViewController", "No tiene tickets vigentes.")
            : QCoreApplication::translate("TicketsViewController", "No tiene tickets vencidos."));
  }
  return cell;
}

}  // namespace est
