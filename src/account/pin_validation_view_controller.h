#pragma once

// Second registration page: the PIN the parking service sent to the number. A correct PIN
// records the verified number, then the service says whether an account already exists.

#include <QList>
#include <memory>
#include <string>

#include "app/busy_overlay.h"
#include "http/http_request.h"
#include "ui/text_field.h"
#include "ui/view_controller.h"

class QLabel;
class QAbstractButton;
namespace Ui {
class PinValidationViewController;
}

namespace est {

namespace ui {
class ImageView;
}
class MainViewController;

class PinValidationViewController : public ui::ViewController,
                                    public ui::TextFieldDelegate,
                                    public HTTPRequestDelegate {
  Q_OBJECT

 public:
  explicit PinValidationViewController(QObject* parent = nullptr);
  ~PinValidationViewController() override;

  MainViewController* mainController() const { return mainController_; }
  void setMainController(MainViewController* main) { mainController_ = main; }
  const std::string& phoneNumber() const { return phoneNumber_; }
  void setPhoneNumber(std::string phone) { phoneNumber_ = std::move(phone); }

  ui::TextField* txtPin() const;
  ui::ImageView* backTxtPin() const;
  QAbstractButton* btnValidar() const;
  QList<QLabel*> labels() const;
  // True while the reply awaited is the PIN check's.
  bool isValidatingPin() const { return validatePin_; }

  void viewDidLoad() override;
  void btnValidarTouched(QObject* sender = nullptr);
  void dismissView();

  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

  bool textFieldShouldBeginEditing(ui::TextField* field) override;
  void textFieldDidEndEditing(ui::TextField* field) override;

  BusyOverlay& busyOverlay() { return overlay_; }

 protected:
  void setupLayout(QWidget* view) override;

 private:
  void send(const std::string& url);
  // The user stopped waiting: the request is dropped; nothing was stored.
  void stopWaiting();

  std::unique_ptr<Ui::PinValidationViewController> ui_;
  MainViewController* mainController_ = nullptr;
  std::string phoneNumber_;
  bool validatePin_ = false;
  HTTPRequestPtr request_;
  BusyOverlay overlay_;
};

}  // namespace est
