#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "app/screens.h"
#include "platform/run_loop.h"
#include "protocol/parking_protocol.h"
#include "tickets/purchase_tracker.h"
#include "ui_WaitingValidationViewController.h"

namespace est {

// Purchase validation: the screen that says a purchase is in process, and later the summary of
// a confirmed one. The polling itself is the purchase tracker's, which goes on whatever screen
// is open; this screen starts it and hears its decisions: a confirmation closes the screen and
// shows the summary a second later, a refusal says so, and the screen leaves by itself once
// nothing is pending any more. CERRAR only closes the screen; the purchases stay followed.
class WaitingValidationViewController : public WaitingValidationScreen,
                                        public PurchaseTracker::Observer {
  Q_OBJECT

 public:
  static constexpr double kPollInterval = PurchaseTracker::kPollInterval;
  static constexpr double kSummaryDelay = 1.0;

  explicit WaitingValidationViewController(QObject* parent = nullptr);
  ~WaitingValidationViewController() override;

  void setMainController(MainViewController* main) override { mainController_ = main; }
  MainViewController* mainController() const { return mainController_; }

  void viewDidLoad() override;
  void setTitleBuying() override;
  void setTitleBuyed(const std::string& text) override;
  // Makes sure the pending purchases are being followed (one poll timer at most).
  void startBackgroundProcess() override;
  bool isPolling() const { return PurchaseTracker::shared().isPolling(); }
  std::size_t requestsUnderWay() const { return PurchaseTracker::shared().requestsUnderWay(); }

  void close();
  void callLater(const ConsultarEstacionamientoOutcome& reply);

  // PurchaseTracker::Observer
  void purchaseConfirmed(const PendingPurchase& purchase, const Ticket& ticket,
                         const ConsultarEstacionamientoOutcome& reply) override;
  void purchaseRefused(const PendingPurchase& purchase) override;
  void pendingPurchasesChanged() override;

  Ui::WaitingValidationViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  void hideWaiting();
  // Shown with the in-process text and nothing left pending: the screen goes.
  void leaveWhenNothingPending();

  Ui::WaitingValidationViewController ui;
  MainViewController* mainController_ = nullptr;
  bool buying_ = false;  // showing the in-process text (not a summary)
  std::vector<std::unique_ptr<ScopedTimer>> summaryTimers_;
  std::recursive_mutex lock_;
};

}  // namespace est
