#pragma once

#include <QString>

#include "app/busy_overlay.h"
#include "app/screens.h"
#include "http/http_request.h"
#include "tickets/page_support.h"
#include "ui/text_field.h"
#include "ui_SuciveViewController.h"

namespace est {

// The vehicle registry page: looks a vehicle up by plate and registration number.
class SuciveViewController : public MainPage,
                             public HTTPRequestDelegate,
                             public ui::TextFieldDelegate {
  Q_OBJECT

 public:
  static constexpr int kPadronTag = 1001;

  explicit SuciveViewController(QObject* parent = nullptr);
  ~SuciveViewController() override;

  void viewDidLoad() override;

  void querySucive();
  void cancelSucive();
  // Whether the character at `index` of `text` is one of `set`, compared in upper case.
  static bool containCharacter(const QString& set, const QString& text, int index);
  // The registry's field rule: both fields filled, the plate three letters then four digits.
  static bool fieldsAreValid(const QString& matricula, const QString& padron);

  void requestFinished(HTTPRequest& request) override;
  void requestFailed(HTTPRequest& request) override;

  void hideKeyboard();
  void textFieldDidBeginEditing(ui::TextField* field) override;
  bool textFieldShouldReturn(ui::TextField* field) override;

  std::size_t requestsUnderWay() const { return requests_.count(); }
  BusyOverlay& busyOverlay() { return overlay_; }
  Ui::SuciveViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  Ui::SuciveViewController ui;
  QRect scrollFrame_;
  PageRequests requests_;
  BusyOverlay overlay_;
};

}  // namespace est
