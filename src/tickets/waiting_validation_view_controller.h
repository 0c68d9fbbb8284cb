#pragma once

#include <mutex>

#include "app/screens.h"
#include "http/http_request.h"
#include "platform/run_loop.h"
#include "protocol/parking_protocol.h"
#include "tickets/page_support.h"
#include "ui_WaitingValidationViewController.h"

namespace est {

// Purchase validation: polls the parking service every 4 seconds while a purchase is pending,
// stores the confirmed ticket, schedules its two end reminders and shows the summary.
class WaitingValidationViewController : public WaitingValidationScreen, public HTTPRequestDelegate {
  Q_OBJECT

 public:
  static constexpr double kPollInterval = 4.0;
  static constexpr double kSummaryDelay = 1.0;

  explicit WaitingValidationViewController(QObject* parent = nullptr);
  ~WaitingValidationViewController() override;

  void setMainController(MainViewController* main) override { mainController_ = main; }
  MainViewController* mainController() const { return mainController_; }

  void viewDidLoad() override;
  void setTitleBuying() override;
  void setTitleBuyed(const std::string& text) override;
  // Starting again while polling replaces the running timer: one poll timer at most.
  void startBackgroundProcess() override;
  bool isPolling() const { return backgroundProcessTimer_.active(); }
  std::size_t requestsUnderWay() const { return requests_.count(); }

  void backgroundProcess();
  void askForTicketStatus(std::int64_t transactionId);
  void close();
  void callLater(const ConsultarEstacionamientoOutcome& reply);

  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

  Ui::WaitingValidationViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  void hideWaiting();
  void confirm(const ConsultarEstacionamientoOutcome& reply, std::int64_t pending);

  Ui::WaitingValidationViewController ui;
  MainViewController* mainController_ = nullptr;
  ScopedTimer backgroundProcessTimer_;
  ScopedTimer summaryTimer_;
  std::recursive_mutex lock_;
  PageRequests requests_;
};

}  // namespace est
