#pragma once

#include <vector>

#include "app/screens.h"
#include "tickets/ticket.h"
#include "ui/table_view.h"
#include "ui_TicketsViewController.h"

namespace est {

// The tickets page: running and expired tickets in two tables, latest end first.
class TicketsViewController : public MainPage,
                              public ui::TableViewDataSource,
                              public ui::TableViewDelegate {
  Q_OBJECT

 public:
  explicit TicketsViewController(QObject* parent = nullptr);

  void viewDidLoad() override;
  void updateView() override;
  void menuBarSelected(QObject* sender);

  int numberOfRowsInSection(ui::TableView* table, int section) override;
  ui::TableViewCell* cellForRow(ui::TableView* table, ui::IndexPath path) override;
  double heightForRow(ui::TableView* table, ui::IndexPath path) override;

  const std::vector<Ticket>& activeTickets() const { return activeTickets_; }
  const std::vector<Ticket>& inActiveTickets() const { return inActiveTickets_; }
  Ui::TicketsViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  Ui::TicketsViewController ui;
  std::vector<Ticket> activeTickets_;
  std::vector<Ticket> inActiveTickets_;
};

}  // namespace est
