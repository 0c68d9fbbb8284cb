#pragma once

#include "app/screens.h"
#include "ui/picker_view.h"
#include "ui_SettingsViewController.h"

namespace est {

// The options page: the default duration and the default plate of quick purchases.
class SettingsViewController : public MainPage,
                               public ui::PickerViewDataSource,
                               public ui::PickerViewDelegate {
  Q_OBJECT

 public:
  explicit SettingsViewController(QObject* parent = nullptr);

  void viewDidLoad() override;
  void updateView() override;

  void sliderTimeValueChanged();
  void sliderEndEditing();
  void btnLicenseTouched();
  void hideShowPicker();
  void btnGuardarTouched();
  void btnAddLicenseTouched();
  void menuBarSelected(QObject* sender);

  int numberOfComponents(ui::PickerView* picker) override;
  int numberOfRowsInComponent(ui::PickerView* picker, int component) override;
  QString titleForRow(ui::PickerView* picker, int row, int component) override;
  double widthForComponent(ui::PickerView* picker, int component) override;
  double rowHeightForComponent(ui::PickerView* picker, int component) override;

  Ui::SettingsViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  QWidget* panelContainer();
  Ui::SettingsViewController ui;
};

}  // namespace est
