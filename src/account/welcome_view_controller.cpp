#include "account/welcome_view_controller.h"

#include <QLabel>
#include <QPointer>

#include "app/color.h"
#include "app/main_view_controller.h"
#include "app/preference_keys.h"
#include "platform/preferences.h"
#include "platform/run_loop.h"
#include "ui/fonts.h"
#include "ui/view.h"
#include "ui_WelcomeViewController.h"

namespace est {

WelcomeViewController::WelcomeViewController(QObject* parent) : ui::ViewController(parent) {}
WelcomeViewController::~WelcomeViewController() = default;

void WelcomeViewController::setupLayout(QWidget* view) {
  ui_ = std::make_unique<Ui::WelcomeViewController>();
  ui_->setupUi(view);
}

QLabel* WelcomeViewController::label() const {
  return ui_ ? ui_->label : nullptr;
}
QLabel* WelcomeViewController::labelOrvane() const {
  return ui_ ? ui_->labelOrvane : nullptr;
}

void WelcomeViewController::viewDidLoad() {
  ui_->label->setFont(ui::fontNamed("MyriadPro-Bold", 14));
  ui_->labelOrvane->setFont(ui::fontNamed("MyriadPro-Regular", 10));
  ui::setTextColor(ui_->label, Qt::white);
  ui::setTextColor(ui_->labelOrvane, colorWithHexString("b5f1ff"));
}

void WelcomeViewController::viewDidAppear(bool animated) {
  (void)animated;
  Preferences& prefs = Preferences::standard();
  bool pinSended = prefs.boolForKey(prefs::kPinSended);
  prefs.setObject(prefs::kSessionStarted, true);
  QPointer<WelcomeViewController> self(this);
  RunLoop* loop = RunLoop::main();
  if (!pinSended) {
    loop->schedule(Seconds(1.0), [self] {
      if (self) self->showValidateNumberView();
    });
  } else if (prefs.objectForKey(prefs::kLicenses)) {
    hideThisView();
  } else {
    loop->schedule(Seconds(1.0), [self] {
      if (self) self->showFirstLicenseView();
    });
  }
}

void WelcomeViewController::showValidateNumberView() {
  if (mainController_) mainController_->showCellNumberVC();
}

void WelcomeViewController::showFirstLicenseView() {
  if (mainController_) mainController_->showAddLicenceVCFirstTime();
}

void WelcomeViewController::hideThisView() {
  if (mainController_) mainController_->showStandardView();
}

}  // namespace est
