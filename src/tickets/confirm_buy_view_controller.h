#pragma once

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "app/busy_overlay.h"
#include "app/screens.h"
#include "tickets/purchase_tracker.h"
#include "tickets/ticket.h"
#include "ui_ConfirmBuyViewController.h"

namespace est {

// Purchase confirmation: shows the composed ticket and, on confirm, hands it to the purchase
// tracker, which records it as pending before the request leaves and follows it to a
// decision whatever this screen does afterwards.
class ConfirmBuyViewController : public ConfirmBuyScreen {
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
  // The price of 30 minutes arrived: the price line is filled in.
  void priceUpdated() override;

  void confirmBtnTouched();
  void cancelBtnTouched();
  void requestTicket();

  Ui::ConfirmBuyViewController& layout() { return ui; }
  BusyOverlay& busyOverlay() { return overlay_; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  void showPrice();
  // The purchase request of presentation `presentation` ended.
  void purchaseRequestEnded(const PurchaseTracker::RequestResult& result, int presentation);
  // Closes this screen and opens validation (the delegate's removeCvc, then showWaitingView).
  void handOverToValidation();

  Ui::ConfirmBuyViewController ui;
  MainViewController* mainController_ = nullptr;
  ConfirmBuyDelegate* delegate_ = nullptr;
  std::optional<Ticket> ticket_;
  bool speedSell_ = false;
  bool enviado_ = false;
  std::recursive_mutex lock_;
  // Counts presentations and departures: the outcome of a request sent for an earlier one
  // (the user left the overlay, or the screen now shows another ticket) must not act on
  // what the screen shows now.
  int presentation_ = 0;
  // The purchase whose look-alike (same plate and start, still pending) the user was told
  // about: the next confirm buys it all the same.
  std::optional<std::int64_t> duplicateAcknowledged_;
  BusyOverlay overlay_;
};

}  // namespace est
