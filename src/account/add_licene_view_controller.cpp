#include "account/add_licene_view_controller.h"

#include <QCoreApplication>
#include <QLabel>
#include <QRegularExpression>

#include "account/field_focus.h"
#include "app/color.h"
#include "app/main_view_controller.h"
#include "app/preference_keys.h"
#include "platform/preferences.h"
#include "ui/alert.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/view.h"
#include "ui_AddLiceneViewController.h"

namespace est {

AddLiceneViewController::AddLiceneViewController(QObject* parent) : ui::ViewController(parent) {}
AddLiceneViewController::~AddLiceneViewController() = default;

void AddLiceneViewController::setupLayout(QWidget* view) {
  ui_ = std::make_unique<Ui::AddLiceneViewController>();
  ui_->setupUi(view);
}

ui::TextField* AddLiceneViewController::txtLicense() const {
  return ui_ ? ui_->txtLicense : nullptr;
}
ui::TextField* AddLiceneViewController::txtCarModel() const {
  return ui_ ? ui_->txtCarModel : nullptr;
}
ui::ImageView* AddLiceneViewController::backTxtLicense() const {
  return ui_ ? ui_->backTxtLicense : nullptr;
}
ui::ImageView* AddLiceneViewController::backTxtModel() const {
  return ui_ ? ui_->backTxtModel : nullptr;
}
QAbstractButton* AddLiceneViewController::btnConfirm() const {
  return ui_ ? ui_->btnConfirm : nullptr;
}
QAbstractButton* AddLiceneViewController::btnCancel() const {
  return ui_ ? ui_->btnCancel : nullptr;
}
QLabel* AddLiceneViewController::lblNoLicenseText() const {
  return ui_ ? ui_->lblNoLicenseText : nullptr;
}

void AddLiceneViewController::viewDidLoad() {
  for (QLabel* label : {ui_->lblNoLicenseText, ui_->txtTitle1, ui_->txtTitle2}) {
    label->setFont(ui::fontNamed("MyriadPro-Regular", 15));
    ui::setTextColor(label, colorWithHexString("b5f1ff"));
  }
  for (ui::TextField* field : {ui_->txtLicense, ui_->txtCarModel}) {
    field->setFont(ui::fontNamed("MyriadPro-Bold", 15));
    ui::setTextColor(field, colorWithHexString("005c84"));
    field->setDelegate(this);
  }
  account::styleButton(ui_->btnConfirm);
  account::styleButton(ui_->btnCancel, false);
  connect(ui_->btnConfirm, &QAbstractButton::clicked, this, [this] { btnConfirmTouched(); });
  connect(ui_->btnCancel, &QAbstractButton::clicked, this, [this] { btnCancelTouched(); });
  ui::setMainAction(ui_->btnConfirm);
  ui::nameAfter(ui_->txtTitle1, {ui_->txtLicense});
  ui::nameAfter(ui_->txtTitle2, {ui_->txtCarModel});
}

void AddLiceneViewController::viewWillAppear(bool animated) {
  (void)animated;
  ui_->lblNoLicenseText->setHidden(!firstOne_);
  ui_->txtLicense->clear();
  ui_->txtCarModel->clear();
  ui_->btnCancel->setHidden(firstOne_);
  QRect frame = ui_->btnConfirm->geometry();
  frame.moveLeft(firstOne_ ? 104 : 170);
  ui_->btnConfirm->setGeometry(frame);
}

bool AddLiceneViewController::validateInputWithString(const QString& text) {
  static const QRegularExpression pattern(
      QRegularExpression::anchoredPattern(QStringLiteral("[a-zA-Z]{1,4}\\s*[0-9]{1,8}")));
  return pattern.match(text).hasMatch();
}

void AddLiceneViewController::btnConfirmTouched(QObject* sender) {
  (void)sender;
  QString plate = ui_->txtLicense->text();
  QString model = ui_->txtCarModel->text();
  Preferences& prefs = Preferences::standard();
  std::optional<PrefValue> stored = prefs.objectForKey(prefs::kLicenses);
  PrefArray licenses;
  if (stored && stored->array()) licenses = *stored->array();
  std::string plateText = plate.toStdString();

  const char* message = nullptr;
  if (!validateInputWithString(plate))
    message = QT_TRANSLATE_NOOP("AddLiceneViewController", "Matricula incorrecta");
  else if (std::find(licenses.begin(), licenses.end(), plateText) != licenses.end())
    message = QT_TRANSLATE_NOOP("AddLiceneViewController", "Matricula ya registrada.");
  else if (model.isEmpty())
    message = QT_TRANSLATE_NOOP("AddLiceneViewController", "Debe ingresar el modelo del auto");
  if (message) {
    ui::showAlert("", QCoreApplication::translate("AddLiceneViewController", message),
                  QCoreApplication::translate("AddLiceneViewController", "Reintentar"));
    return;
  }

  licenses.push_back(plateText);
  prefs.setObject(plateText, model.toStdString());
  prefs.setObject(prefs::kLicenses, licenses);
  prefs.setObject(prefs::kDefaultLicense, plateText);
  prefs.flush();
  if (delegate_) delegate_->updateView();
  if (!mainController_) return;
  if (firstOne_)
    mainController_->showWelcomeVC();
  else
    mainController_->showStandardView();
}

void AddLiceneViewController::btnCancelTouched(QObject* sender) {
  (void)sender;
  if (mainController_) mainController_->actionButtonOption(nullptr);
}

bool AddLiceneViewController::textFieldShouldReturn(ui::TextField* field) {
  QWidget* parent = field->parentWidget();
  QWidget* next = nullptr;
  if (parent)
    for (QWidget* sibling : ui::subviews(parent))
      if (sibling != field && ui::tag(sibling) == ui::tag(field) + 1) next = sibling;
  if (next && !next->isHidden()) {
    if (auto* nextField = qobject_cast<ui::TextField*>(next))
      nextField->becomeFirstResponder();
    else
      next->setFocus();
  } else {
    field->resignFirstResponder();
  }
  return false;
}

bool AddLiceneViewController::textFieldShouldBeginEditing(ui::TextField* field) {
  if (field == ui_->txtLicense) account::showFieldFocus(ui_->backTxtLicense, true);
  if (field == ui_->txtCarModel) account::showFieldFocus(ui_->backTxtModel, true);
  return true;
}

void AddLiceneViewController::textFieldDidEndEditing(ui::TextField* field) {
  if (field == ui_->txtLicense) account::showFieldFocus(ui_->backTxtLicense, false);
  if (field == ui_->txtCarModel) account::showFieldFocus(ui_->backTxtModel, false);
}

}  // namespace est
