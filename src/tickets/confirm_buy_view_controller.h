#pragma once

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "app/screens.h"
#include "http/http_request.h"
#include "tickets/page_support.h"
#include "tickets/ticket.h"
#include "ui_ConfirmBuyViewController.h"

namespace est {

// Purchase confirmation: shows the composed ticket and, on confirm, asks the parking service
// for it. An accepted request becomes the pending purchase that validation polls for.
class ConfirmBuyViewController : public ConfirmBuyScreen, public HTTPRequestDelegate {
  Q_OBJECT

 public:
  explicit ConfirmBuyViewController(QObject* parent = nullptr);
  ~ConfirmBuyViewController() override;

  void setMainController(MainViewController* main) override { mainController_ = main; }
  void setDelegate(ConfirmBuyDelegate* delegate) override { delegate_ = delegate; }
  void setTicket(const Ticket& ticket) override { ticket_ = ticket; }
  void setSpeedSell(bool speedSell) override { speedSell_ = speedSell; }

  MainViewController* mainController() const { return mainController_; }
  const std::optional<Ticket>& ticket() const { return ticket_; }
  bool speedSell() const { return speedSell_; }
  bool enviado() const { return enviado_; }

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;

  void confirmBtnTouched();
  void cancelBtnTouched();
  void requestTicket();

  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

  Ui::ConfirmBuyViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  std::optional<Ticket> takeSent(const HTTPRequest& request);

  Ui::ConfirmBuyViewController ui;
  MainViewController* mainController_ = nullptr;
  ConfirmBuyDelegate* delegate_ = nullptr;
  std::optional<Ticket> ticket_;
  bool speedSell_ = false;
  bool enviado_ = false;
  std::recursive_mutex lock_;
  // The ticket each request under way asked for: a reply may arrive after the screen was shown
  // again for another ticket, and must record the one it answers.
  std::vector<std::pair<const HTTPRequest*, Ticket>> sent_;
  PageRequests requests_;
};

}  // namespace est
