#pragma once

// The router of the account flow: each time it appears it reads the registration flags and
// sends the user to phone verification, to the first plate, or to the main pages.

#include <memory>

#include "ui/view_controller.h"

class QLabel;
namespace Ui {
class WelcomeViewController;
}

namespace est {

class MainViewController;

class WelcomeViewController : public ui::ViewController {
  Q_OBJECT

 public:
  explicit WelcomeViewController(QObject* parent = nullptr);
  ~WelcomeViewController() override;

  MainViewController* mainController() const { return mainController_; }
  void setMainController(MainViewController* main) { mainController_ = main; }
  QLabel* label() const;
  QLabel* labelOrvane() const;

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;

  void showValidateNumberView();
  void showFirstLicenseView();
  void hideThisView();

 protected:
  void setupLayout(QWidget* view) override;

 private:
  std::unique_ptr<Ui::WelcomeViewController> ui_;
  MainViewController* mainController_ = nullptr;
};

}  // namespace est
