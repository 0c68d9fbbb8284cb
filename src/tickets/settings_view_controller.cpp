#include "tickets/settings_view_controller.h"

#include <QPushButton>

#include "app/main_view_controller.h"
#include "platform/format.h"
#include "tickets/page_support.h"
#include "ui/animation.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est {

SettingsViewController::SettingsViewController(QObject* parent) : MainPage(parent) {}

QWidget* SettingsViewController::panelContainer() {
  MainViewController* main = mainController();
  return main ? main->view() : view();
}

void SettingsViewController::viewDidLoad() {
  QColor blue = ui::colorWithHexString("005c84");
  ui::setBackgroundColor(view(), blue);
  ui.lblTitle->setFont(ui::fontNamed("MyriadPro-Bold", 20));
  ui.lblDescription->setFont(ui::fontNamed("MyriadPro-Regular", 16));
  ui.lblLicenseSelected->setFont(ui::fontNamed("MyriadPro-Regular", 16));
  for (QLabel* label : {ui.lblTime, ui.lblTimeMin})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 16));
  for (QLabel* label : view()->findChildren<QLabel*>()) ui::setTextColor(label, Qt::white);
  ui::setTextColor(ui.lblLicenseSelected, blue);
  ui.lblLicenseSelected->setAutoFillBackground(true);
  ui::setBackgroundColor(ui.lblLicenseSelected, Qt::white);
  ui.sliderTime->setMinimumTrackColor(ui::colorWithHexString("b5f1ff"));
  ui::setBackgroundColor(ui.pickerView, ui::colorWithHexString("dde8ea"));
  ui.pickerLicense->setDataSource(this);
  ui.pickerLicense->setDelegate(this);
  ui.pickerLicense->setFont(ui::fontNamed("MyriadPro-Regular", 18));
  ui.pickerLicense->setTextColor(blue);

  connect(ui.sliderTime, &ui::Slider::valueChanged, this, [this] { sliderTimeValueChanged(); });
  connect(ui.sliderTime, &ui::Slider::released, this, [this] { sliderEndEditing(); });
  connect(ui.btnLicense, &QPushButton::clicked, this, [this] { btnLicenseTouched(); });
  connect(ui.btnGuardar, &QPushButton::clicked, this, [this] { btnGuardarTouched(); });
  connect(ui.btnAddLicense, &QPushButton::clicked, this, [this] { btnAddLicenseTouched(); });
  ui::setMainAction(ui.btnGuardar);  // in the plate panel: Return takes the plate shown
  ui.sliderTime->setStep(1);
  ui::nameAfter(ui.lblCaptionTime, {ui.sliderTime});
  ui::nameAfter(ui.lblCaptionLicense, {ui.btnLicense, ui.pickerLicense});
}

void SettingsViewController::updateView() {
  view();
  if (std::optional<std::string> stored = preferenceText("defaultTime")) {
    long long minutes = pagePreferences().integerForKey("defaultTime");
    ui.sliderTime->setValue(static_cast<float>(minutes / 30));
    ui.lblTime->setText(qstr(*stored));
  }
  if (std::optional<std::string> plate = preferenceText("defaultLicense"))
    ui.lblLicenseSelected->setText(qstr(plateWithModel(*plate)));
  ui.pickerLicense->reloadAllComponents();
  ui::addPanelOutOfSight(panelContainer(), ui.pickerView);
}

void SettingsViewController::sliderTimeValueChanged() {
  ui.lblTime->setText(qstr(strprintf("%i", roundedUnits(ui.sliderTime->value()) * 30)));
}

void SettingsViewController::sliderEndEditing() {
  Preferences& prefs = pagePreferences();
  prefs.setObject("defaultTime", PrefValue(sstr(ui.lblTime->text())));
  prefs.flush();
  if (MainViewController* main = mainController()) main->updateAll();
}

void SettingsViewController::btnLicenseTouched() {
  hideShowPicker();
}

void SettingsViewController::hideShowPicker() {
  if (ui.pickerView->parentWidget() != panelContainer())
    ui::addPanelOutOfSight(panelContainer(), ui.pickerView);
  ui::togglePanel(ui.pickerView);
}

void SettingsViewController::btnGuardarTouched() {
  std::vector<std::string> plates = registeredPlates();
  if (!pagePreferences().objectForKey("Licenses")) return;
  int row = ui.pickerLicense->selectedRowInComponent(0);
  // An empty list has no selected row: nothing to save.
  if (row < 0 || row >= static_cast<int>(plates.size())) return;
  Preferences& prefs = pagePreferences();
  prefs.setObject("defaultLicense", PrefValue(plates[static_cast<std::size_t>(row)]));
  prefs.flush();
  ui.lblLicenseSelected->setText(
      qstr(plateWithModel(preferenceText("defaultLicense").value_or(""))));
  hideShowPicker();
  if (MainViewController* main = mainController()) main->updateAll();
}

void SettingsViewController::btnAddLicenseTouched() {
  if (MainViewController* main = mainController()) main->showAddLicenceVC();
}

void SettingsViewController::menuBarSelected(QObject* sender) {
  if (MainViewController* main = mainController()) main->menuBarSelected(sender);
}

int SettingsViewController::numberOfComponents(ui::PickerView* picker) {
  (void)picker;
  return 1;
}

int SettingsViewController::numberOfRowsInComponent(ui::PickerView* picker, int component) {
  (void)picker, (void)component;
  return static_cast<int>(registeredPlates().size());
}

QString SettingsViewController::titleForRow(ui::PickerView* picker, int row, int component) {
  (void)picker, (void)component;
  std::vector<std::string> plates = registeredPlates();
  if (row < 0 || row >= static_cast<int>(plates.size())) return QString();
  return qstr(plateWithModel(plates[static_cast<std::size_t>(row)]));
}

double SettingsViewController::widthForComponent(ui::PickerView* picker, int component) {
  (void)picker, (void)component;
  return 300;
}

double SettingsViewController::rowHeightForComponent(ui::PickerView* picker, int component) {
  (void)picker, (void)component;
  return 40;
}

}  // namespace est
