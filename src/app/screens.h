#pragma once

// What the root screen and the pages know of each other. The root screen (app/) creates the
// pages and the purchase screens through a ScreenFactory filled in by the executable, so the
// shell does not depend on the ticket and registry libraries that depend on it.

#include <functional>
#include <string>

#include "ui/view_controller.h"

namespace est {

struct Ticket;
class MainViewController;

// A main page that the root screen refreshes every 10 seconds.
class RefreshablePage {
 public:
  virtual ~RefreshablePage() = default;
  virtual void updateView() {}
};

// The page that asked for a purchase: the confirmation screen's delegate.
class ConfirmBuyDelegate {
 public:
  virtual ~ConfirmBuyDelegate() = default;
  // Removes the confirmation overlay (through MainViewController::hideConfirmBuyVc).
  virtual void removeCvc() = 0;
  // Opens purchase validation (through MainViewController::showWaitingValidationVc).
  virtual void showWaitingView() = 0;
};

// Purchase confirmation, as the root screen drives it.
class ConfirmBuyScreen : public ui::ViewController {
 public:
  using ui::ViewController::ViewController;
  virtual void setMainController(MainViewController* main) = 0;
  virtual void setDelegate(ConfirmBuyDelegate* delegate) = 0;
  virtual void setTicket(const Ticket& ticket) = 0;
  virtual void setSpeedSell(bool speedSell) = 0;
  // The price of 30 minutes has just been stored (it was unknown when the screen appeared).
  virtual void priceUpdated() {}
};

// Purchase validation, as the root screen drives it.
class WaitingValidationScreen : public ui::ViewController {
 public:
  using ui::ViewController::ViewController;
  virtual void setMainController(MainViewController* main) = 0;
  virtual void setTitleBuying() = 0;
  virtual void setTitleBuyed(const std::string& text) = 0;
  virtual void startBackgroundProcess() = 0;
};

// A main page: a screen with a link back to the root screen.
class MainPage : public ui::ViewController, public RefreshablePage {
 public:
  using ui::ViewController::ViewController;
  virtual void setMainController(MainViewController* main) { mainController_ = main; }
  MainViewController* mainController() const { return mainController_; }

 private:
  MainViewController* mainController_ = nullptr;
};

// Makes the screens the root screen owns. Each returns a new screen (the root screen takes
// ownership through Qt parenting); an empty function leaves that slot empty.
struct ScreenFactory {
  std::function<MainPage*()> home, buy, tickets, settings, sucive;
  std::function<ConfirmBuyScreen*()> confirmBuy;
  std::function<WaitingValidationScreen*()> waitingValidation;
};

}  // namespace est
