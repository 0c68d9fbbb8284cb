#pragma once

// First registration page: the user types the mobile number; the parking service checks it
// and the root screen moves on to the PIN page.

#include <QList>
#include <memory>

#include "app/busy_overlay.h"
#include "http/http_request.h"
#include "ui/text_field.h"
#include "ui/view_controller.h"

class QLabel;
class QAbstractButton;
namespace Ui {
class CellNumberViewController;
}

namespace est {

namespace ui {
class ImageView;
}
class MainViewController;

class CellNumberViewController : public ui::ViewController,
                                 public ui::TextFieldDelegate,
                                 public HTTPRequestDelegate {
  Q_OBJECT

 public:
  explicit CellNumberViewController(QObject* parent = nullptr);
  ~CellNumberViewController() override;

  MainViewController* mainController() const { return mainController_; }
  void setMainController(MainViewController* main) { mainController_ = main; }

  ui::TextField* txtCellNumber() const;
  ui::ImageView* backTxtCellNumber() const;
  QAbstractButton* btnValidar() const;
  QList<QLabel*> labels() const;

  void viewDidLoad() override;
  void btnValidarTouched(QObject* sender = nullptr);

  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

  bool textFieldShouldBeginEditing(ui::TextField* field) override;
  void textFieldDidEndEditing(ui::TextField* field) override;

  BusyOverlay& busyOverlay() { return overlay_; }

 protected:
  void setupLayout(QWidget* view) override;

 private:
  // The user stopped waiting: the request is dropped; nothing was stored.
  void stopWaiting();

  std::unique_ptr<Ui::CellNumberViewController> ui_;
  MainViewController* mainController_ = nullptr;
  HTTPRequestPtr request_;
  BusyOverlay overlay_;
};

}  // namespace est
