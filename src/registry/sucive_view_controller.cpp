#include "registry/sucive_view_controller.h"

#include <QCoreApplication>
#include <QPushButton>

#include "app/app_config.h"
#include "app/main_view_controller.h"
#include "app/service_request.h"
#include "platform/log.h"
#include "protocol/registry_protocol.h"
#include "ui/alert.h"
#include "ui/animation.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/progress_hud.h"
#include "ui/view.h"

namespace est {

namespace {
constexpr int kKeyboardLift = 90;
}

SuciveViewController::SuciveViewController(QObject* parent) : MainPage(parent) {}
SuciveViewController::~SuciveViewController() = default;

void SuciveViewController::viewDidLoad() {
  QColor blue = ui::colorWithHexString("005c84");
  ui::setBackgroundColor(view(), blue);
  for (QLabel* label : view()->findChildren<QLabel*>()) ui::setTextColor(label, Qt::white);
  ui.lblTitle->setFont(ui::fontNamed("MyriadPro-Bold", 20));
  for (ui::TextField* field : {ui.txtMatricula, ui.txtPadron}) {
    field->setDelegate(this);
    field->setBackgroundColor(Qt::white);
    field->setCornerRadius(5);
    field->setFont(ui::fontNamed("MyriadPro-Bold", 18));
    ui::setTextColor(field, blue);
    field->setTextMargins(8, 0, 8, 0);
  }
  scrollFrame_ = ui.scroll->geometry();
  connect(ui.btnQuery, &QPushButton::clicked, this, [this] { querySucive(); });
  connect(ui.btnCancel, &QPushButton::clicked, this, [this] { cancelSucive(); });
  ui::setMainAction(ui.btnQuery);
  ui::setCancelAction(ui.btnCancel);
  ui::nameAfter(ui.lblMatricula, {ui.txtMatricula});
  ui::nameAfter(ui.lblPadron, {ui.txtPadron});
}

bool SuciveViewController::containCharacter(const QString& set, const QString& text, int index) {
  if (index < 0 || index >= text.size()) return false;
  QString wanted = text.mid(index, 1).toUpper();
  for (int i = 0; i < set.size(); ++i)
    if (set.mid(i, 1).toUpper() == wanted) return true;
  return false;
}

bool SuciveViewController::fieldsAreValid(const QString& matricula, const QString& padron) {
  if (matricula.isEmpty() || padron.isEmpty()) return false;
  if (matricula.size() != 7) return false;
  static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  static const QString digits = QStringLiteral("0123456789");
  for (int i = 0; i < 3; ++i)
    if (!containCharacter(letters, matricula, i)) return false;
  for (int i = 3; i < 7; ++i)
    if (!containCharacter(digits, matricula, i)) return false;
  return true;
}

void SuciveViewController::querySucive() {
  QString matricula = ui.txtMatricula->text();
  QString padron = ui.txtPadron->text();
  if (!fieldsAreValid(matricula, padron)) {
    ui::showAlert(
        QCoreApplication::translate("SuciveViewController", "Error"),
        QCoreApplication::translate("SuciveViewController", "Formato inválido de los campos"),
        QCoreApplication::translate("SuciveViewController", "Ok"));
    return;
  }
  // Nothing is lost by leaving: the query is read-only and can be asked again.
  overlay_.show(view(), QCoreApplication::translate("SuciveViewController", "CANCELAR"),
                [this] { requests_.cancelAll(); });
  requests_.get(registryQueryURL(AppConfig::registryServiceURL(), sstr(matricula), sstr(padron)),
                this);
}

// The page is one of the pager's, never presented: dismissing it did nothing. It goes back to
// the home page and leaves the fields as they are.
void SuciveViewController::cancelSucive() {
  hideKeyboard();
  if (MainViewController* main = mainController()) main->actionButtonHome();
}

void SuciveViewController::requestFinished(HTTPRequest& request) {
  overlay_.hide();
  RegistryQueryOutcome outcome = readRegistryQueryReply(request.responseData());
  requests_.done(request);
  bool found = outcome.kind == RegistryQueryOutcome::Kind::Found;
  // A failed service, or a "found" without a text to show, is not "no results".
  if (isServiceError(request) || (found && outcome.mensaje.value_or("").empty())) {
    ui::showAlert(
        QCoreApplication::translate("SuciveViewController", "Error Sucive"),
        QCoreApplication::translate("SuciveViewController",
                                    "El servicio de consulta no respondió correctamente. Por favor "
                                    "intente de nuevo en unos minutos."),
        QCoreApplication::translate("SuciveViewController", "Ok"));
    return;
  }
  if (found) {
    ui::showAlert(QCoreApplication::translate("SuciveViewController", "Infromación"),
                  qstr(outcome.mensaje.value_or("")),
                  QCoreApplication::translate("SuciveViewController", "Ok"));
    return;
  }
  ui::showAlert(
      QCoreApplication::translate("SuciveViewController", "Error Sucive"),
      QCoreApplication::translate("SuciveViewController",
                                  "No hay resultados para la consulta, por favor diríjase al "
                                  "gobierno departamental"),
      QCoreApplication::translate("SuciveViewController", "Ok"));
}

void SuciveViewController::requestFailed(HTTPRequest& request) {
  overlay_.hide();
  if (std::optional<Error> error = request.error()) logLine(error->description);
  requests_.done(request);
  ui::showAlert(QCoreApplication::translate("SuciveViewController", "Error"),
                QCoreApplication::translate("SuciveViewController",
                                            "Han ocurrido problemas con la conexión a internet"),
                QCoreApplication::translate("SuciveViewController", "Ok"));
}

void SuciveViewController::hideKeyboard() {
  ui::animateFrame(ui.scroll, scrollFrame_, ui::kPanelAnimationDuration);
  ui::endEditing(view());
}

// Only an on-screen keyboard covers the form; with a physical one nothing moves.
void SuciveViewController::textFieldDidBeginEditing(ui::TextField* field) {
  int keyboard = ui::onScreenKeyboardHeight();
  logf("keyboard: field at %d, form height %d, keyboard %d", field->y(), scrollFrame_.height(),
       keyboard);
  if (keyboard > 0)
    ui::animateFrame(ui.scroll, scrollFrame_.translated(0, -kKeyboardLift),
                     ui::kPanelAnimationDuration);
}

bool SuciveViewController::textFieldShouldReturn(ui::TextField* field) {
  (void)field;
  hideKeyboard();
  return true;
}

}  // namespace est
