#pragma once

// Registers a vehicle on the device: a plate and the car's model. The first plate is part of
// the registration flow; later ones are added from the options page.

#include <QString>
#include <memory>

#include "app/screens.h"
#include "ui/text_field.h"
#include "ui/view_controller.h"

class QLabel;
class QAbstractButton;
namespace Ui {
class AddLiceneViewController;
}

namespace est {

namespace ui {
class ImageView;
}
class MainViewController;

class AddLiceneViewController : public ui::ViewController, public ui::TextFieldDelegate {
  Q_OBJECT

 public:
  explicit AddLiceneViewController(QObject* parent = nullptr);
  ~AddLiceneViewController() override;

  MainViewController* mainController() const { return mainController_; }
  void setMainController(MainViewController* main) { mainController_ = main; }
  bool firstOne() const { return firstOne_; }
  void setFirstOne(bool firstOne) { firstOne_ = firstOne; }
  // Told updateView after a plate is stored. Not owned.
  RefreshablePage* delegate() const { return delegate_; }
  void setDelegate(RefreshablePage* delegate) { delegate_ = delegate; }

  ui::TextField* txtLicense() const;
  ui::TextField* txtCarModel() const;
  ui::ImageView* backTxtLicense() const;
  ui::ImageView* backTxtModel() const;
  QAbstractButton* btnConfirm() const;
  QAbstractButton* btnCancel() const;
  QLabel* lblNoLicenseText() const;

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;

  void btnConfirmTouched(QObject* sender = nullptr);
  void btnCancelTouched(QObject* sender = nullptr);
  // The whole text is one to four letters, optional white space, one to eight digits.
  static bool validateInputWithString(const QString& text);

  bool textFieldShouldReturn(ui::TextField* field) override;
  bool textFieldShouldBeginEditing(ui::TextField* field) override;
  void textFieldDidEndEditing(ui::TextField* field) override;

 protected:
  void setupLayout(QWidget* view) override;

 private:
  std::unique_ptr<Ui::AddLiceneViewController> ui_;
  MainViewController* mainController_ = nullptr;
  RefreshablePage* delegate_ = nullptr;
  bool firstOne_ = false;
};

}  // namespace est
