#pragma once

#include <mutex>
#include <optional>

#include "app/screens.h"
#include "tickets/ticket.h"
#include "ui_HomeViewController.h"

namespace est {

// The home page: the running ticket with its minutes left, a second running ticket, the two
// latest expired ones, and the quick purchase and extension with the user's defaults.
class HomeViewController : public MainPage, public ConfirmBuyDelegate {
  Q_OBJECT

 public:
  explicit HomeViewController(QObject* parent = nullptr);

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void updateView() override;

  void btnRenewTouched();
  void btnFastBuyTouched();
  void btnBuyTouched(QObject* sender = nullptr);
  void btnMoreTicketsTouched(QObject* sender);
  void menuBarSelected(QObject* sender);
  void btnSucive();

  void removeCvc() override;
  void showWaitingView() override;

  const std::optional<Ticket>& activeTicket() const { return activeTicket_; }
  Ui::HomeViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  Ui::HomeViewController ui;
  std::optional<Ticket> activeTicket_;
  std::recursive_mutex lock_;
};

}  // namespace est
