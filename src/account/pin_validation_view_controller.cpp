#include "account/pin_validation_view_controller.h"

#include <QCoreApplication>
#include <QLabel>
#include <utility>

#include "account/field_focus.h"
#include "app/app_config.h"
#include "app/color.h"
#include "app/main_view_controller.h"
#include "app/preference_keys.h"
#include "app/service_request.h"
#include "platform/device.h"
#include "platform/log.h"
#include "platform/preferences.h"
#include "protocol/parking_protocol.h"
#include "protocol/reply.h"
#include "ui/alert.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/progress_hud.h"
#include "ui/view.h"
#include "ui_PinValidationViewController.h"

namespace est {

PinValidationViewController::PinValidationViewController(QObject* parent)
    : ui::ViewController(parent) {}

PinValidationViewController::~PinValidationViewController() {
  if (request_) request_->setDelegate(nullptr);
}

void PinValidationViewController::setupLayout(QWidget* view) {
  ui_ = std::make_unique<Ui::PinValidationViewController>();
  ui_->setupUi(view);
}

ui::TextField* PinValidationViewController::txtPin() const {
  return ui_ ? ui_->txtPin : nullptr;
}
ui::ImageView* PinValidationViewController::backTxtPin() const {
  return ui_ ? ui_->backTxtPin : nullptr;
}
QAbstractButton* PinValidationViewController::btnValidar() const {
  return ui_ ? ui_->btnValidar : nullptr;
}
QList<QLabel*> PinValidationViewController::labels() const {
  if (!ui_) return {};
  return {ui_->lblTitle, ui_->lblExplanation};
}

void PinValidationViewController::viewDidLoad() {
  ui_->txtPin->setDelegate(this);
  for (QLabel* label : labels()) {
    label->setFont(ui::fontNamed("MyriadPro-Regular", 15));
    ui::setTextColor(label, colorWithHexString("b5f1ff"));
  }
  ui_->txtPin->setFont(ui::fontNamed("MyriadPro-Bold", 15));
  ui::setTextColor(ui_->txtPin, colorWithHexString("005c84"));
  account::styleButton(ui_->btnValidar);
  connect(ui_->btnValidar, &QAbstractButton::clicked, this, [this] { btnValidarTouched(); });
  ui::setMainAction(ui_->btnValidar);
  ui::nameAfter(ui_->lblTitle, {ui_->txtPin});
}

void PinValidationViewController::send(const std::string& url) {
  if (request_) request_->setDelegate(nullptr);
  request_ = makeServiceRequest(url, this);
  request_->startAsynchronous();
}

void PinValidationViewController::stopWaiting() {
  if (request_) request_->clearDelegatesAndCancel();
  request_.reset();
}

void PinValidationViewController::btnValidarTouched(QObject* sender) {
  (void)sender;
  ui::TextField* field = ui_->txtPin;
  field->resignFirstResponder();
  QString pin = field->text();
  // The PIN stays in the field on every failure, to be corrected rather than typed again.
  if (pin.isEmpty() || pin.length() != 4) {
    ui::showAlert("",
                  QCoreApplication::translate("PinValidationViewController",
                                              "El numero debe contener de 4 digitos"),
                  QCoreApplication::translate("PinValidationViewController", "Reintentar"));
    return;
  }
  // One busy period for both requests (the PIN check, then the registration query).
  overlay_.show(view(), QCoreApplication::translate("PinValidationViewController", "CANCELAR"),
                [this] { stopWaiting(); });
  std::string base = AppConfig::parkingServiceURL();
  logf("validatePin at %s", base.c_str());
  std::string deviceId = vendorIdentifier();
  validatePin_ = true;
  send(validatePinURL(base, phoneNumber_, deviceId, pin.toStdString()));
}

void PinValidationViewController::requestFinished(HTTPRequest& request) {
  std::optional<Data> body = request.responseData();
  std::optional<Json> reply = decodeReply(body);
  std::optional<std::string> status =
      reply ? replyText(std::as_const(*reply)["status"]) : std::nullopt;
  logf("%s status: %s (HTTP %d)", validatePin_ ? "validatePin" : "consultarRegistro",
       status ? status->c_str() : "(none)", request.responseStatusCode());
  if (isServiceError(request)) {
    // The service failed: nothing was judged and nothing is stored. validatePin_ keeps its
    // value, so the next validate starts again from the step that failed (the PIN check
    // when the registration query failed: the service keeps the PIN for that).
    overlay_.hide();
    ui::showAlert(serviceErrorTitle(), serviceErrorMessage(),
                  QCoreApplication::translate("PinValidationViewController", "Ok"));
    return;
  }
  if (!reply || !replySucceeded(*reply)) {
    overlay_.hide();
    ui::showAlert(
        "", QCoreApplication::translate("PinValidationViewController", "Numero no registrado"),
        QCoreApplication::translate("PinValidationViewController", "Reintentar"));
    return;
  }
  if (validatePin_) {
    if (readValidatePinReply(body) != ValidatePinOutcome::Correct) {
      overlay_.hide();
      ui::showAlert("", QCoreApplication::translate("PinValidationViewController", "Pin no válido"),
                    QCoreApplication::translate("PinValidationViewController", "Reintentar"));
      return;
    }
    // Correct; nothing is stored until the registration query has answered too, so a
    // failure there leaves no half-made registration behind.
    validatePin_ = false;
    send(consultarRegistroURL(AppConfig::parkingServiceURL(), phoneNumber_));
    return;
  }
  ConsultarRegistroOutcome outcome = readConsultarRegistroReply(body);
  Preferences& prefs = Preferences::standard();
  prefs.setObject(prefs::kPinSended, true);
  prefs.setObject(prefs::kSessionStarted, true);
  prefs.setObject(prefs::kUserPhoneNumber, phoneNumber_);
  prefs.setObject(prefs::kFirstTime, !outcome.registrado);
  prefs.flush();
  dismissView();
}

void PinValidationViewController::requestFailed(HTTPRequest& request) {
  overlay_.hide();
  std::optional<Error> error = request.error();
  logf("PIN request failed: %s", error ? error->description.c_str() : "");
  ui::showAlert(
      QCoreApplication::translate("PinValidationViewController", "Sin accesso a internet"),
      QCoreApplication::translate(
          "PinValidationViewController",
          "No se puede conectar con el servidor. Por favor compruebe su conexión a "
          "internet."),
      QCoreApplication::translate("PinValidationViewController", "Ok"));
}

void PinValidationViewController::dismissView() {
  overlay_.hide();
  if (mainController_) mainController_->hidePinValidationVC();
}

bool PinValidationViewController::textFieldShouldBeginEditing(ui::TextField* field) {
  if (field == ui_->txtPin) account::showFieldFocus(ui_->backTxtPin, true);
  return true;
}

void PinValidationViewController::textFieldDidEndEditing(ui::TextField* field) {
  if (field == ui_->txtPin) account::showFieldFocus(ui_->backTxtPin, false);
}

}  // namespace est
