#include "account/cell_number_view_controller.h"

#include <QCoreApplication>
#include <QLabel>
#include <utility>

#include "account/field_focus.h"
#include "app/app_config.h"
#include "app/color.h"
#include "app/main_view_controller.h"
#include "app/service_request.h"
#include "platform/device.h"
#include "platform/log.h"
#include "protocol/parking_protocol.h"
#include "protocol/reply.h"
#include "ui/alert.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/progress_hud.h"
#include "ui/view.h"
#include "ui_CellNumberViewController.h"

namespace est {

CellNumberViewController::CellNumberViewController(QObject* parent) : ui::ViewController(parent) {}

CellNumberViewController::~CellNumberViewController() {
  // A reply that arrives after the screen is gone finds no one to tell.
  if (request_) request_->setDelegate(nullptr);
}

void CellNumberViewController::setupLayout(QWidget* view) {
  ui_ = std::make_unique<Ui::CellNumberViewController>();
  ui_->setupUi(view);
}

ui::TextField* CellNumberViewController::txtCellNumber() const {
  return ui_ ? ui_->txtCellNumber : nullptr;
}
ui::ImageView* CellNumberViewController::backTxtCellNumber() const {
  return ui_ ? ui_->backTxtCellNumber : nullptr;
}
QAbstractButton* CellNumberViewController::btnValidar() const {
  return ui_ ? ui_->btnValidar : nullptr;
}
QList<QLabel*> CellNumberViewController::labels() const {
  if (!ui_) return {};
  return {ui_->lblTitle, ui_->lblExplanation};
}

void CellNumberViewController::viewDidLoad() {
  ui_->txtCellNumber->setDelegate(this);
  for (QLabel* label : labels()) {
    label->setFont(ui::fontNamed("MyriadPro-Regular", 15));
    ui::setTextColor(label, colorWithHexString("b5f1ff"));
  }
  ui_->txtCellNumber->setFont(ui::fontNamed("MyriadPro-Bold", 15));
  ui::setTextColor(ui_->txtCellNumber, colorWithHexString("005c84"));
  account::styleButton(ui_->btnValidar);
  connect(ui_->btnValidar, &QAbstractButton::clicked, this, [this] { btnValidarTouched(); });
  ui::setMainAction(ui_->btnValidar);
  ui::nameAfter(ui_->lblTitle, {ui_->txtCellNumber});
  ui_->txtCellNumber->becomeFirstResponder();
}

void CellNumberViewController::btnValidarTouched(QObject* sender) {
  (void)sender;
  ui::TextField* field = ui_->txtCellNumber;
  field->resignFirstResponder();
  QString number = field->text();
  // The number stays in the field on every failure, to be corrected rather than typed again.
  if (number.isEmpty() || number.length() != 9) {
    ui::showAlert("", QCoreApplication::translate("CellNumberViewController", "Numero no válido"),
                  QCoreApplication::translate("CellNumberViewController", "Reintentar"));
    return;
  }
  std::string base = AppConfig::parkingServiceURL();
  logf("validateNumber at %s", base.c_str());
  std::string deviceId = vendorIdentifier();
  if (request_) request_->setDelegate(nullptr);
  request_ = makeServiceRequest(validateNumberURL(base, number.toStdString(), deviceId), this);
  request_->startAsynchronous();
  overlay_.show(view(), QCoreApplication::translate("CellNumberViewController", "CANCELAR"),
                [this] { stopWaiting(); });
}

void CellNumberViewController::stopWaiting() {
  if (request_) request_->clearDelegatesAndCancel();
  request_.reset();
}

void CellNumberViewController::requestFinished(HTTPRequest& request) {
  overlay_.hide();
  std::optional<Data> body = request.responseData();
  std::optional<Json> reply = decodeReply(body);
  std::optional<std::string> status =
      reply ? replyText(std::as_const(*reply)["status"]) : std::nullopt;
  logf("validateNumber status: %s (HTTP %d)", status ? status->c_str() : "(none)",
       request.responseStatusCode());
  if (isServiceError(request)) {
    // The service failed; the number was not judged.
    ui::showAlert(serviceErrorTitle(), serviceErrorMessage(),
                  QCoreApplication::translate("CellNumberViewController", "Ok"));
    return;
  }
  switch (readValidateNumberReply(body)) {
    case ValidateNumberOutcome::Accepted:
      if (mainController_)
        mainController_->showPinValidationVCWithPhone(ui_->txtCellNumber->text().toStdString());
      break;
    case ValidateNumberOutcome::NoOutcome:
      break;
    case ValidateNumberOutcome::NotAccepted:
      ui::showAlert("",
                    QCoreApplication::translate("CellNumberViewController", "Numero no registrado"),
                    QCoreApplication::translate("CellNumberViewController", "Reintentar"));
      break;
  }
}

void CellNumberViewController::requestFailed(HTTPRequest& request) {
  overlay_.hide();
  std::optional<Error> error = request.error();
  logf("validateNumber failed: %s", error ? error->description.c_str() : "");
  ui::showAlert(QCoreApplication::translate("CellNumberViewController", "No hay Internet"),
                QCoreApplication::translate("CellNumberViewController",
                                            "Por favor comprobar conexion y realizar de nuevo."),
                QCoreApplication::translate("CellNumberViewController", "Ok"));
}

bool CellNumberViewController::textFieldShouldBeginEditing(ui::TextField* field) {
  if (field == ui_->txtCellNumber) account::showFieldFocus(ui_->backTxtCellNumber, true);
  return true;
}

void CellNumberViewController::textFieldDidEndEditing(ui::TextField* field) {
  if (field == ui_->txtCellNumber) account::showFieldFocus(ui_->backTxtCellNumber, false);
}

}  // namespace est
