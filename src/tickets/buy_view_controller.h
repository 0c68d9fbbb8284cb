#pragma once

#include <QString>

#include "app/screens.h"
#include "ui/picker_view.h"
#include "ui_BuyViewController.h"

namespace est {

// The buy page: plate, start time and duration of a new ticket. Its working state lives in
// its widgets' texts, and the purchase reads it back from there.
class BuyViewController : public MainPage,
                          public ConfirmBuyDelegate,
                          public ui::PickerViewDataSource,
                          public ui::PickerViewDelegate {
  Q_OBJECT

 public:
  static constexpr int kHourPickerTag = 123;
  static constexpr int kFirstPaidHour = 10;
  static constexpr int kEndOfPaidHour = 18;

  explicit BuyViewController(QObject* parent = nullptr);

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void updateView() override;

  void updateSliderMax();
  void updateEndTime();

  void sliderValueChanged();
  void btnLicenseTouched();
  void btnTimeTouched();
  void hideShowPicker();
  void hideShowTimePicker();
  void btnGuardarTouched();
  void btnPickerHourSelected();
  void btnComprarTouched();

  // ConfirmBuyDelegate
  void removeCvc() override;
  void showWaitingView() override;

  // Picker data source and delegate (hour picker by its tag, plates otherwise).
  int numberOfComponents(ui::PickerView* picker) override;
  int numberOfRowsInComponent(ui::PickerView* picker, int component) override;
  QString titleForRow(ui::PickerView* picker, int row, int component) override;
  double widthForComponent(ui::PickerView* picker, int component) override;
  double rowHeightForComponent(ui::PickerView* picker, int component) override;

  // The layout's widgets, for the root screen's tests and renders.
  Ui::BuyViewController& layout() { return ui; }

 protected:
  void setupLayout(QWidget* view) override { ui.setupUi(view); }

 private:
  void placePanels();
  QWidget* panelContainer();

  Ui::BuyViewController ui;
};

}  // namespace est
