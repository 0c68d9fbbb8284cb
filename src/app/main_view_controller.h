#pragma once

// The root screen: a menu of four buttons, a page title and a paging area that holds either
// the five main pages or the pages of the registration flow. Pages and flow screens hold a
// non-owning link back to it and ask it for every transition.

#include <QPointer>
#include <QString>
#include <memory>
#include <mutex>
#include <string>

#include "app/screens.h"
#include "http/http_request.h"
#include "ui/paging_area.h"
#include "ui/view_controller.h"

class QAbstractButton;
class QLabel;
class QObject;
class QWidget;

namespace Ui {
class MainViewController;
}

namespace est {

class AppDelegate;
class AddLiceneViewController;
class CellNumberViewController;
class PinValidationViewController;
class WelcomeViewController;

class MainViewController : public ui::ViewController,
                           public ui::PagingAreaDelegate,
                           public HTTPRequestDelegate {
  Q_OBJECT

 public:
  // Screen states.
  static constexpr int kInitial = -2;
  static constexpr int kRegistration = -1;
  static constexpr int kStandard = 0;

  // Menu tags, as the shell's menuBarSelected reads them.
  static constexpr int kTagHome = 31;
  static constexpr int kTagBuy = 32;
  static constexpr int kTagTickets = 33;
  static constexpr int kTagSettings = 34;

  explicit MainViewController(ScreenFactory factory = {}, QObject* parent = nullptr);
  ~MainViewController() override;

  // The shell, not owned.
  AppDelegate* appDelegate() const { return appDelegate_; }
  void setAppDelegate(AppDelegate* delegate) { appDelegate_ = delegate; }

  int estado() const { return estado_; }
  int firstTime() const { return firstTime_; }

  // The five main pages (null where the factory left the slot empty), made when the view loads.
  MainPage* homeVC() const { return homeVC_; }
  MainPage* buyVC() const { return buyVC_; }
  MainPage* ticketVC() const { return ticketVC_; }
  MainPage* settingsVC() const { return settingsVC_; }
  MainPage* suciveVC() const { return suciveVC_; }

  // Flow screens, made on first use and reused (null until then).
  WelcomeViewController* welcomeVC() const;
  CellNumberViewController* cellNumberVC() const;
  PinValidationViewController* pinValidationVC() const;
  AddLiceneViewController* addLicenceVC() const;
  ConfirmBuyScreen* confirmBuyVC() const { return confirmBuyVC_; }
  WaitingValidationScreen* waitingValidationVC() const { return waitingValidationVC_; }
  ui::ViewController* transparentModalViewController() const {
    return transparentModalViewController_;
  }

  // Widgets of the layout (valid once the view is loaded).
  ui::PagingArea* scrollView() const;
  QLabel* labelPageSelected() const;
  QAbstractButton* buttonHome() const;
  QAbstractButton* buttonBuy() const;
  QAbstractButton* buttonHistory() const;
  QAbstractButton* buttonOption() const;
  QWidget* backViewButton() const;
  // The image name each menu button shows now.
  QString buttonImageName(const QAbstractButton* button) const;

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;

  // Fetches the price of 30 minutes and stores it under "price", then tells the confirmation
  // screen. Nothing when a request for it is already under way.
  void getPrice();
  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

  // Page switching. The sender is not read.
  void actionButtonHome(QObject* sender = nullptr);
  void actionButtonBuy(QObject* sender = nullptr);
  void actionButtonHistory(QObject* sender = nullptr);
  void actionButtonOption(QObject* sender = nullptr);
  void scrollViewDidEndDecelerating(ui::PagingArea* area) override;
  void clearAllButtons();
  void showSucive();

  // Flow screens.
  void showStandardView();
  void showWelcomeVC();
  void hideWelcomeVC();
  void showCellNumberVC();
  void showPinValidationVCWithPhone(const std::string& phone);
  void hidePinValidationVC();
  void showAddLicenceVCFirstTime();
  void showAddLicenceVC();
  void hideAddLicenceVC();
  void addViewToScroll(QWidget* view);

  // Purchase overlays.
  void showConfirmBuyVC(const Ticket& ticket, ConfirmBuyDelegate* delegate, bool isSpeed);
  void hideConfirmBuyVc();
  void presentTransparentModalViewController(ui::ViewController* controller, bool animated,
                                             double alpha);
  void dismissTransparentModalViewControllerAnimated(bool animated);
  void showWaitingView();
  void showWaitingValidationVc();
  void showWaitingValidationVcWithTitle(const std::string& text);
  void hideWaitingValidationVc();
  bool isWaitingValidationVc() const;

  // Refreshes the home, buy, tickets and options pages, once each.
  void updateAll();

  // The pages' menu handlers forward here; the shell picks the page by the sender's tag.
  void menuBarSelected(QObject* sender);

 protected:
  void setupLayout(QWidget* view) override;

 private:
  void setTitle(const QString& title);
  void setButtonImage(QAbstractButton* button, const QString& name);
  void moveMarkerUnder(QAbstractButton* button);
  void enterRegistration();
  void ensureAddLicence();
  void ensureWaitingValidation();
  void presentOrDismissWaitingValidation();

  ScreenFactory factory_;
  std::unique_ptr<Ui::MainViewController> ui_;
  AppDelegate* appDelegate_ = nullptr;
  int estado_ = kInitial;
  int firstTime_ = 0;

  QPointer<MainPage> homeVC_, buyVC_, ticketVC_, settingsVC_, suciveVC_;
  QPointer<WelcomeViewController> welcomeVC_;
  QPointer<CellNumberViewController> cellNumberVC_;
  QPointer<PinValidationViewController> pinValidationVC_;
  QPointer<AddLiceneViewController> addLicenceVC_;
  QPointer<ConfirmBuyScreen> confirmBuyVC_;
  QPointer<WaitingValidationScreen> waitingValidationVC_;
  QPointer<ui::ViewController> transparentModalViewController_;

  HTTPRequestPtr priceRequest_;
  bool priceRequestUnderWay_ = false;
  std::recursive_mutex lock_;
};

}  // namespace est
