#include "app/main_view_controller.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "account/welcome_view_controller.h"
#include "app/app_config.h"
#include "app/app_delegate.h"
#include "app/preference_keys.h"
#include "app/service_request.h"
#include "http/http_request.h"
#include "platform/log.h"
#include "platform/preferences.h"
#include "protocol/parking_protocol.h"
#include "tickets/pending_purchases.h"
#include "tickets/ticket.h"
#include "ui/animation.h"
#include "ui/fonts.h"
#include "ui/image.h"
#include "ui/input_scope.h"
#include "ui/view.h"
#include "ui_MainViewController.h"

namespace est {
namespace {

constexpr double kPageOffsets[] = {0, 320, 640, 960, 1280};
constexpr double kStandardContentWidth = 1600;

constexpr const char* kHomeOn = "menu_ico_inicio_on.png";
constexpr const char* kHomeOff = "menu_ico_inicio_off.png";
constexpr const char* kBuyOn = "menu_ico_compra_on.png";
constexpr const char* kBuyOff = "menu_ico_compra_off.png";
constexpr const char* kTicketOn = "menu_ico_ticket_on.png";
constexpr const char* kTicketOff = "menu_ico_ticket_off.png";
constexpr const char* kOptionOn = "menu_btn_settings_on.png";
constexpr const char* kOptionOff = "menu_btn_settings_off.png";
constexpr const char* kRegistroOn = "menu_ico_registro_on.png";

}  // namespace

MainViewController::MainViewController(ScreenFactory factory, QObject* parent)
    : ui::ViewController(parent), factory_(std::move(factory)) {}

MainViewController::~MainViewController() {
  if (priceRequest_) priceRequest_->setDelegate(nullptr);
}

WelcomeViewController* MainViewController::welcomeVC() const {
  return welcomeVC_;
}
CellNumberViewController* MainViewController::cellNumberVC() const {
  return cellNumberVC_;
}
PinValidationViewController* MainViewController::pinValidationVC() const {
  return pinValidationVC_;
}
AddLiceneViewController* MainViewController::addLicenceVC() const {
  return addLicenceVC_;
}

void MainViewController::setupLayout(QWidget* view) {
  ui_ = std::make_unique<Ui::MainViewController>();
  ui_->setupUi(view);
}

ui::PagingArea* MainViewController::scrollView() const {
  return ui_ ? ui_->scrollView : nullptr;
}
QLabel* MainViewController::labelPageSelected() const {
  return ui_ ? ui_->labelPageSelected : nullptr;
}
QAbstractButton* MainViewController::buttonHome() const {
  return ui_ ? ui_->buttonHome : nullptr;
}
QAbstractButton* MainViewController::buttonBuy() const {
  return ui_ ? ui_->buttonBuy : nullptr;
}
QAbstractButton* MainViewController::buttonHistory() const {
  return ui_ ? ui_->buttonHistory : nullptr;
}
QAbstractButton* MainViewController::buttonOption() const {
  return ui_ ? ui_->buttonOption : nullptr;
}
QWidget* MainViewController::backViewButton() const {
  return ui_ ? ui_->backViewButton : nullptr;
}

QString MainViewController::buttonImageName(const QAbstractButton* button) const {
  return button ? button->property("imageName").toString() : QString();
}

void MainViewController::setButtonImage(QAbstractButton* button, const QString& name) {
  button->setProperty("imageName", name);
  ui::setButtonImage(button, ui::Image::named(name));
}

void MainViewController::setTitle(const QString& title) {
  ui_->labelPageSelected->setText(title);
}

void MainViewController::viewDidLoad() {
  firstTime_ = 0;
  ui_->labelPageSelected->setFont(ui::fontNamed("MyriadPro-Bold", 13));
  ui::setTextColor(ui_->labelPageSelected, Qt::white);

  auto make = [this](const std::function<MainPage*()>& maker) -> MainPage* {
    if (!maker) return nullptr;
    MainPage* page = maker();
    if (!page) return nullptr;
    page->setParent(this);
    page->setMainController(this);
    return page;
  };
  homeVC_ = make(factory_.home);
  buyVC_ = make(factory_.buy);
  ticketVC_ = make(factory_.tickets);
  settingsVC_ = make(factory_.settings);
  suciveVC_ = make(factory_.sucive);
  estado_ = kInitial;

  ui_->scrollView->setDelegate(this);
  connect(ui_->buttonHome, &QAbstractButton::clicked, this, [this] { actionButtonHome(sender()); });
  connect(ui_->buttonBuy, &QAbstractButton::clicked, this, [this] { actionButtonBuy(sender()); });
  connect(ui_->buttonHistory, &QAbstractButton::clicked, this,
          [this] { actionButtonHistory(sender()); });
  connect(ui_->buttonOption, &QAbstractButton::clicked, this,
          [this] { actionButtonOption(sender()); });
  clearAllButtons();
  setButtonImage(ui_->buttonHome, kHomeOn);

  // Icons only: screen readers say the title of the page each one selects, and Ctrl+1 to
  // Ctrl+4 press them in order.
  const std::pair<QAbstractButton*, const char*> menu[] = {
      {ui_->buttonHome, QT_TRANSLATE_NOOP("MainViewController", "INICIO")},
      {ui_->buttonBuy, QT_TRANSLATE_NOOP("MainViewController", "COMPRAR")},
      {ui_->buttonHistory, QT_TRANSLATE_NOOP("MainViewController", "MIS TICKETS")},
      {ui_->buttonOption, QT_TRANSLATE_NOOP("MainViewController", "AJUSTES")}};
  int key = Qt::Key_1;
  for (auto [button, title] : menu) {
    button->setAccessibleName(QCoreApplication::translate("MainViewController", title));
    ui::setShortcut(button, QKeySequence(Qt::CTRL | Qt::Key(key++)));
  }
}

void MainViewController::viewDidAppear(bool animated) {
  (void)animated;
  ++firstTime_;
  if (estado_ == kInitial) showWelcomeVC();
  if (estado_ == kRegistration) return;
  Preferences& prefs = Preferences::standard();
  if (prefs.boolForKey(prefs::kSessionStarted) && prefs.objectForKey(prefs::kLicenses)) {
    prefs.setObject(prefs::kSessionStarted, false);
    prefs.flush();
    getPrice();
    if (!PendingPurchases(prefs).empty() && !isWaitingValidationVc() && firstTime_ < 2)
      showWaitingView();
  } else {
    updateAll();
  }
}

void MainViewController::getPrice() {
  // One at a time: the confirmation screen asks again while the price is unknown.
  if (priceRequestUnderWay_) return;
  std::string phone;
  if (auto value = Preferences::standard().objectForKey(prefs::kUserPhoneNumber))
    if (value->text()) phone = *value->text();
  if (priceRequest_) priceRequest_->setDelegate(nullptr);
  priceRequest_ = makeServiceRequest(getPriceOf30URL(AppConfig::parkingServiceURL(), phone), this);
  priceRequestUnderWay_ = true;
  priceRequest_->startAsynchronous();
}

void MainViewController::requestFinished(HTTPRequest& request) {
  if (&request == priceRequest_.get()) priceRequestUnderWay_ = false;
  // A server error's body is not a price, whatever it holds.
  if (request.responseStatusCode() >= 500) return;
  if (std::optional<double> price = readPriceOf30Reply(request.responseData())) {
    Preferences::standard().setObject(prefs::kPrice, *price);
    Preferences::standard().flush();
    if (confirmBuyVC_) confirmBuyVC_->priceUpdated();
  }
}

void MainViewController::requestFailed(HTTPRequest& request) {
  // The price keeps its last value; unknown, it is asked for again before a confirmation.
  if (&request == priceRequest_.get()) priceRequestUnderWay_ = false;
}

void MainViewController::clearAllButtons() {
  setButtonImage(ui_->buttonHome, kHomeOff);
  setButtonImage(ui_->buttonBuy, kBuyOff);
  setButtonImage(ui_->buttonHistory, kTicketOff);
  setButtonImage(ui_->buttonOption, kOptionOff);
}

void MainViewController::moveMarkerUnder(QAbstractButton* button) {
  QWidget* marker = ui_->backViewButton;
  QRect frame = ui::targetFrame(marker);
  frame.moveCenter(QPoint(button->geometry().center().x(), frame.center().y()));
  marker->setGeometry(frame);
}

void MainViewController::actionButtonHome(QObject* sender) {
  (void)sender;
  if (estado_ != kStandard) return;
  moveMarkerUnder(ui_->buttonHome);
  setTitle(QCoreApplication::translate("MainViewController", "INICIO"));
  ui_->scrollView->setContentOffset(kPageOffsets[0], true);
  clearAllButtons();
  setButtonImage(ui_->buttonHome, kHomeOn);
  hideAddLicenceVC();
}

void MainViewController::actionButtonBuy(QObject* sender) {
  (void)sender;
  if (estado_ == kRegistration) return;
  moveMarkerUnder(ui_->buttonBuy);
  setTitle(QCoreApplication::translate("MainViewController", "COMPRAR"));
  ui_->scrollView->setContentOffset(kPageOffsets[1], true);
  clearAllButtons();
  setButtonImage(ui_->buttonBuy, kBuyOn);
  hideAddLicenceVC();
}

void MainViewController::actionButtonHistory(QObject* sender) {
  (void)sender;
  if (estado_ == kRegistration) return;
  moveMarkerUnder(ui_->buttonHistory);
  setTitle(QCoreApplication::translate("MainViewController", "MIS TICKETS"));
  ui_->scrollView->setContentOffset(kPageOffsets[2], true);
  clearAllButtons();
  setButtonImage(ui_->buttonHistory, kTicketOn);
  hideAddLicenceVC();
}

void MainViewController::actionButtonOption(QObject* sender) {
  (void)sender;
  if (estado_ == kRegistration) return;
  moveMarkerUnder(ui_->buttonOption);
  setTitle(QCoreApplication::translate("MainViewController", "AJUSTES"));
  hideAddLicenceVC();
  ui_->scrollView->setContentOffset(kPageOffsets[3], true);
  clearAllButtons();
  setButtonImage(ui_->buttonOption, kOptionOn);
}

void MainViewController::scrollViewDidEndDecelerating(ui::PagingArea* area) {
  if (estado_ != kStandard) return;
  int index = static_cast<int>(area->contentOffset() / area->pageWidth());
  clearAllButtons();
  struct Entry {
    QAbstractButton* button;
    const char* title;
    const char* image;
  };
  const Entry entries[] = {
      {ui_->buttonHome, QT_TRANSLATE_NOOP("MainViewController", "INICIO"), kHomeOn},
      {ui_->buttonBuy, QT_TRANSLATE_NOOP("MainViewController", "COMPRAR"), kBuyOn},
      {ui_->buttonHistory, QT_TRANSLATE_NOOP("MainViewController", "MIS TICKETS"), kTicketOn},
      {ui_->buttonOption, QT_TRANSLATE_NOOP("MainViewController", "OPCIONES"), kOptionOn}};
  if (index >= 0 && index < 4) {
    moveMarkerUnder(entries[index].button);
    setTitle(QCoreApplication::translate("MainViewController", entries[index].title));
    setButtonImage(entries[index].button, entries[index].image);
  }
  hideAddLicenceVC();
}

void MainViewController::showSucive() {
  hideAddLicenceVC();
  ui_->scrollView->setContentOffset(kPageOffsets[4], true);
}

void MainViewController::showStandardView() {
  // Set first: with instant animations the welcome screen's dismissal makes this screen
  // appear again at once, and it must not find the initial state and present the welcome
  // screen once more.
  estado_ = kStandard;
  if (welcomeVC_) welcomeVC_->dismissViewController(true);
  ui::PagingArea* area = ui_->scrollView;
  area->removeAllSubviews();
  area->setScrollEnabled(true);
  area->setContentWidth(kStandardContentWidth);
  MainPage* pages[] = {homeVC_, buyVC_, ticketVC_, settingsVC_, suciveVC_};
  for (int i = 0; i < 5; ++i) {
    if (!pages[i]) continue;
    QWidget* page = pages[i]->view();
    page->setGeometry(static_cast<int>(kPageOffsets[i]), 0, area->width(), area->height());
    area->addSubview(page);
    page->show();
  }
  setTitle(QCoreApplication::translate("MainViewController", "INICIO"));
  area->setContentOffset(0, false);
  clearAllButtons();
  moveMarkerUnder(ui_->buttonHome);
  setButtonImage(ui_->buttonHome, kHomeOn);
  // Purchases left pending by an earlier run are followed from here on (the home page resumes
  // the polling); the validation screen must be there to tell their outcome.
  if (!PendingPurchases().empty()) ensureWaitingValidation();
  updateAll();
  if (appDelegate_) appDelegate_->startTimer();
}

void MainViewController::showWelcomeVC() {
  std::lock_guard lock(lock_);
  if (!welcomeVC_) {
    welcomeVC_ = new WelcomeViewController(this);
    welcomeVC_->setMainController(this);
  }
  // Already up with nothing over it: taking it down and up again would make this screen
  // appear in between, and that appearance asks for the welcome screen once more.
  if (presentedViewController() == welcomeVC_ && !welcomeVC_->presentedViewController()) return;
  if (welcomeVC_->isViewLoaded()) welcomeVC_->dismissViewController(false);
  presentViewController(welcomeVC_, false);
}

void MainViewController::hideWelcomeVC() {
  if (welcomeVC_) welcomeVC_->dismissViewController(false);
}

void MainViewController::enterRegistration() {
  estado_ = kRegistration;
  setTitle(QCoreApplication::translate("MainViewController", "REGISTRO"));
  setButtonImage(ui_->buttonHome, kRegistroOn);
  ui_->scrollView->setScrollEnabled(false);
  hideWelcomeVC();
}

void MainViewController::showCellNumberVC() {
  enterRegistration();
  if (!cellNumberVC_) {
    cellNumberVC_ = new CellNumberViewController(this);
    cellNumberVC_->setMainController(this);
  }
  ui::PagingArea* area = ui_->scrollView;
  area->removeAllSubviews();
  area->setContentWidth(area->pageWidth());
  QWidget* page = cellNumberVC_->view();
  page->setGeometry(0, 0, area->width(), area->height());
  cellNumberVC_->viewWillAppear(false);
  area->addSubview(page);
  page->show();
  area->setContentOffset(0, false);
  cellNumberVC_->viewDidAppear(false);
}

void MainViewController::showPinValidationVCWithPhone(const std::string& phone) {
  if (!pinValidationVC_) {
    pinValidationVC_ = new PinValidationViewController(this);
    pinValidationVC_->setMainController(this);
  }
  pinValidationVC_->setPhoneNumber(phone);
  QWidget* page = pinValidationVC_->view();
  pinValidationVC_->viewWillAppear(true);
  addViewToScroll(page);
  pinValidationVC_->viewDidAppear(true);
}

void MainViewController::hidePinValidationVC() {
  showWelcomeVC();
}

void MainViewController::ensureAddLicence() {
  if (!addLicenceVC_) {
    addLicenceVC_ = new AddLiceneViewController(this);
    addLicenceVC_->setMainController(this);
  }
}

void MainViewController::showAddLicenceVCFirstTime() {
  enterRegistration();
  ensureAddLicence();
  // The root screen is this screen's delegate in the first-time mode, but offers no updateView
  // of its own: nothing is told.
  addLicenceVC_->setDelegate(nullptr);
  addLicenceVC_->setFirstOne(true);
  QWidget* page = addLicenceVC_->view();
  addLicenceVC_->viewWillAppear(true);
  addViewToScroll(page);
  addLicenceVC_->viewDidAppear(true);
}

void MainViewController::showAddLicenceVC() {
  ensureAddLicence();
  addLicenceVC_->setFirstOne(false);
  QWidget* page = addLicenceVC_->view();
  // A second tap on the add button while the page shows must not append it twice.
  if (ui_->scrollView->containsView(page)) return;
  addLicenceVC_->viewWillAppear(true);
  addViewToScroll(page);
  addLicenceVC_->viewDidAppear(true);
}

void MainViewController::hideAddLicenceVC() {
  if (!addLicenceVC_ || !addLicenceVC_->isViewLoaded()) return;
  ui::PagingArea* area = ui_->scrollView;
  QWidget* page = addLicenceVC_->view();
  if (!area->containsView(page)) return;
  area->setContentWidth(area->contentWidth() - area->pageWidth());
  ui::removeFromSuperview(page);
}

void MainViewController::addViewToScroll(QWidget* view) {
  ui::PagingArea* area = ui_->scrollView;
  double end = area->contentWidth();
  view->setGeometry(static_cast<int>(end), 0, area->width(), area->height());
  area->addSubview(view);
  view->show();
  area->setContentWidth(end + area->pageWidth());
  area->setContentOffset(end, true);
}

void MainViewController::showConfirmBuyVC(const Ticket& ticket, ConfirmBuyDelegate* delegate,
                                          bool isSpeed) {
  if (!confirmBuyVC_) {
    if (!factory_.confirmBuy) {
      logLine("showConfirmBuyVC: no confirmation screen in this build");
      return;
    }
    confirmBuyVC_ = factory_.confirmBuy();
    confirmBuyVC_->setParent(this);
    confirmBuyVC_->setMainController(this);
  }
  confirmBuyVC_->setDelegate(delegate);
  confirmBuyVC_->setTicket(ticket);
  confirmBuyVC_->setSpeedSell(isSpeed);
  presentTransparentModalViewController(confirmBuyVC_, true, 0.95);
}

void MainViewController::hideConfirmBuyVc() {
  if (confirmBuyVC_) dismissTransparentModalViewControllerAnimated(true);
}

void MainViewController::presentTransparentModalViewController(ui::ViewController* controller,
                                                               bool animated, double alpha) {
  if (!controller) return;
  transparentModalViewController_ = controller;
  QWidget* overlay = controller->view();
  QWidget* root = view();
  overlay->setAutoFillBackground(false);
  // The alpha goes once, to the backmost view (the backdrop that dims the page). Given to the
  // view and again to each subview, it was applied twice over the card and the page showed
  // through its text.
  QList<QWidget*> layers = ui::subviews(overlay);
  for (QWidget* child : layers) child->setAutoFillBackground(false);
  ui::setAlpha(layers.isEmpty() ? overlay : layers.front(), alpha);
  ui::setModalLayer(overlay);
  controller->viewWillAppear(animated);
  QRect full(0, 0, root->width(), root->height());
  if (animated) {
    overlay->setGeometry(full.translated(0, root->height()));
    ui::addSubview(root, overlay);
    overlay->show();
    QPointer<ui::ViewController> guard(controller);
    ui::animateFrame(overlay, full, ui::kOverlayAnimationDuration, [guard](bool) {
      if (guard) guard->viewDidAppear(true);
    });
  } else {
    overlay->setGeometry(full);
    ui::addSubview(root, overlay);
    overlay->show();
    controller->viewDidAppear(false);
  }
}

void MainViewController::dismissTransparentModalViewControllerAnimated(bool animated) {
  // Only the animated form was ever used; the instant one does nothing, as before.
  if (!animated || !transparentModalViewController_) return;
  QPointer<ui::ViewController> controller = transparentModalViewController_;
  QWidget* overlay = controller->view();
  QWidget* root = view();
  controller->viewWillDisappear(true);
  QRect below(0, root->height(), root->width(), root->height());
  ui::animateFrame(overlay, below, ui::kOverlayAnimationDuration,
                   [this, controller, overlay = QPointer<QWidget>(overlay)](bool) {
                     if (overlay) ui::removeFromSuperview(overlay);
                     if (transparentModalViewController_ == controller)
                       transparentModalViewController_ = nullptr;
                     if (controller) controller->viewDidDisappear(true);
                   });
}

void MainViewController::showWaitingView() {
  showWaitingValidationVc();
}

void MainViewController::ensureWaitingValidation() {
  if (waitingValidationVC_ || !factory_.waitingValidation) return;
  waitingValidationVC_ = factory_.waitingValidation();
  waitingValidationVC_->setParent(this);
  waitingValidationVC_->setMainController(this);
}

// Shown when not already up. (Dismissing a screen that had been loaded once, instead of
// showing it, left every purchase after the first without its validation screen.)
void MainViewController::presentOrDismissWaitingValidation() {
  std::lock_guard lock(lock_);
  if (waitingValidationVC_->presentingViewController()) return;
  presentViewController(waitingValidationVC_, true);
}

void MainViewController::showWaitingValidationVc() {
  ensureWaitingValidation();
  if (!waitingValidationVC_) {
    logLine("showWaitingValidationVc: no validation screen in this build");
    return;
  }
  presentOrDismissWaitingValidation();
  waitingValidationVC_->setTitleBuying();
  waitingValidationVC_->startBackgroundProcess();
}

void MainViewController::showWaitingValidationVcWithTitle(const std::string& text) {
  ensureWaitingValidation();
  if (!waitingValidationVC_) return;
  presentOrDismissWaitingValidation();
  waitingValidationVC_->setTitleBuyed(text);
}

void MainViewController::hideWaitingValidationVc() {
  if (!waitingValidationVC_) return;
  waitingValidationVC_->dismissViewController(false);
  updateAll();
}

bool MainViewController::isWaitingValidationVc() const {
  return waitingValidationVC_ && waitingValidationVC_->isViewInHierarchy();
}

void MainViewController::updateAll() {
  for (MainPage* page : {homeVC_.data(), buyVC_.data(), ticketVC_.data(), settingsVC_.data()})
    if (page) page->updateView();
}

void MainViewController::menuBarSelected(QObject* sender) {
  // A page's link to a menu page shows it as the menu button does (bringing a page to the
  // front of the pager's content moved nothing into view).
  auto* widget = qobject_cast<QWidget*>(sender);
  switch (widget ? ui::tag(widget) : sender ? sender->property("tag").toInt() : 0) {
    case kTagHome:
      actionButtonHome(sender);
      break;
    case kTagBuy:
      actionButtonBuy(sender);
      break;
    case kTagTickets:
      actionButtonHistory(sender);
      break;
    case kTagSettings:
      actionButtonOption(sender);
      break;
    default:
      break;
  }
  if (appDelegate_) appDelegate_->menuBarSelected(sender);
}

}  // namespace est
