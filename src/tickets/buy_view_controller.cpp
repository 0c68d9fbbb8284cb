#include "tickets/buy_view_controller.h"

#include <QCoreApplication>
#include <QPushButton>
#include <algorithm>

#include "app/main_view_controller.h"
#include "platform/format.h"
#include "platform/text.h"
#include "protocol/parking_protocol.h"
#include "tickets/page_support.h"
#include "tickets/ticket_manager.h"
#include "ui/alert.h"
#include "ui/animation.h"
#include "ui/color.h"
#include "ui/fonts.h"
#include "ui/input_scope.h"
#include "ui/view.h"

namespace est {

namespace {
constexpr const char* kFreeParking = QT_TRANSLATE_NOOP(
    "BuyViewController", "El estacionamiento es gratis en el horario seleccionado");
constexpr const char* kNoMinutes =
    QT_TRANSLATE_NOOP("BuyViewController", "Elija al menos 30 minutos de estacionamiento");
constexpr int kSaturday = 7;
constexpr int kSunday = 1;
}  // namespace

BuyViewController::BuyViewController(QObject* parent) : MainPage(parent) {}

void BuyViewController::viewDidLoad() {
  ui::setBackgroundColor(view(), ui::colorWithHexString("005c84"));
  ui.lblTitle->setFont(ui::fontNamed("MyriadPro-Bold", 20));
  ui.lblTimeText->setFont(ui::fontNamed("MyriadPro-Bold", 15));
  for (QLabel* label : {ui.lblTime, ui.lblTimeMin})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 15));
  for (QLabel* label : {ui.lblLicense, ui.lblInit, ui.lblEnd})
    label->setFont(ui::fontNamed("MyriadPro-Regular", 16));
  for (QWidget* w : {static_cast<QWidget*>(ui.lblTitle), static_cast<QWidget*>(ui.lblTimeText),
                     static_cast<QWidget*>(ui.lblTime), static_cast<QWidget*>(ui.lblTimeMin),
                     static_cast<QWidget*>(ui.lblInit), static_cast<QWidget*>(ui.lblEnd),
                     static_cast<QWidget*>(ui.lblCaptionLicense)})
    ui::setTextColor(w, Qt::white);
  QColor blue = ui::colorWithHexString("005c84");
  ui.lblLicense->setAutoFillBackground(true);
  ui::setBackgroundColor(ui.lblLicense, Qt::white);
  for (ui::TextField* field : {ui.txtStartTime, ui.txtEndTime}) {
    field->setFont(ui::fontNamed("MyriadPro-Regular", 20));
    field->setAlignment(Qt::AlignCenter);
    field->setBackgroundColor(Qt::white);
    field->setCornerRadius(5);
  }
  for (QWidget* w : {static_cast<QWidget*>(ui.lblLicense), static_cast<QWidget*>(ui.txtStartTime),
                     static_cast<QWidget*>(ui.txtEndTime)})
    ui::setTextColor(w, blue);
  ui.txtEndTime->setFocusPolicy(Qt::NoFocus);
  ui.txtStartTime->setInputView(ui.pickerHourView);
  ui.slider->setMinimumTrackColor(ui::colorWithHexString("b5f1ff"));
  for (QWidget* panel : {ui.pickerHourView, ui.pickerView}) {
    ui::setBackgroundColor(panel, ui::colorWithHexString("dde8ea"));
  }
  for (ui::PickerView* picker : {ui.pickerHour, ui.pickerLicense}) {
    picker->setDataSource(this);
    picker->setDelegate(this);
    picker->setFont(ui::fontNamed("MyriadPro-Regular", 18));
    picker->setTextColor(blue);
    picker->reloadAllComponents();
  }

  connect(ui.slider, &ui::Slider::valueChanged, this, [this] { sliderValueChanged(); });
  connect(ui.btnLicense, &QPushButton::clicked, this, [this] { btnLicenseTouched(); });
  connect(ui.btnTime, &QPushButton::clicked, this, [this] { btnTimeTouched(); });
  connect(ui.btnGuardar, &QPushButton::clicked, this, [this] { btnGuardarTouched(); });
  connect(ui.btnPickerHourSelected, &QPushButton::clicked, this,
          [this] { btnPickerHourSelected(); });
  connect(ui.btnComprar, &QPushButton::clicked, this, [this] { btnComprarTouched(); });
  // Return buys, or takes what an open panel shows; arrows move the duration by 30 minutes.
  for (QPushButton* button : {ui.btnComprar, ui.btnPickerHourSelected, ui.btnGuardar})
    ui::setMainAction(button);
  ui.slider->setStep(1);
  ui::nameAfter(ui.lblCaptionLicense, {ui.btnLicense, ui.pickerLicense});
  ui::nameAfter(ui.lblTimeText, {ui.slider});
  ui::nameAfter(ui.lblInit, {ui.txtStartTime, ui.btnTime, ui.pickerHour});
  ui::nameAfter(ui.lblEnd, {ui.txtEndTime});
}

QWidget* BuyViewController::panelContainer() {
  MainViewController* main = mainController();
  return main ? main->view() : view();
}

void BuyViewController::placePanels() {
  QWidget* container = panelContainer();
  for (QWidget* panel : {ui.pickerHourView, ui.pickerView})
    ui::addPanelOutOfSight(container, panel);
}

void BuyViewController::viewDidAppear(bool animated) {
  (void)animated;
  placePanels();
}

void BuyViewController::updateView() {
  view();
  // 1. The default plate fills an empty label; a plate chosen here is kept.
  if (std::optional<std::string> plate = preferenceText("defaultLicense")) {
    if (ui.lblLicense->text().isEmpty()) ui.lblLicense->setText(qstr(plateWithModel(*plate)));
  }
  // 2.
  ui.pickerLicense->reloadAllComponents();
  // 3. An untouched start follows the clock.
  TimePoint now = Clock::current().now();
  QString nowText = qstr(formatHourMinute(now));
  QString before = qstr(formatHourMinute(now - std::chrono::seconds(60)));
  QString start = ui.txtStartTime->text();
  if (start.isEmpty() || start == before) ui.txtStartTime->setText(nowText);
  // 4. to 6.
  updateSliderMax();
  ui.lblTime->setText(qstr(strprintf("%i", roundedUnits(ui.slider->value()) * 30)));
  updateEndTime();
}

void BuyViewController::updateSliderMax() {
  TimePoint now = Clock::current().now();
  TimePoint limit = todayAt(kEndOfPaidHour, 29, now);
  SplitTime split = splitHourMinute(sstr(ui.txtStartTime->text()));
  TimePoint start = todayAt(split.hour, split.minute, now);
  double seconds = std::chrono::duration<double>(limit - start).count();
  int minutes = static_cast<int>(seconds / 60.0);
  int units = minutes / 30;
  if (units < 0) units = 0;
  // Never below the slider's minimum: the slider would lower the minimum with it, and from then
  // on, for the rest of the session, a duration of no minutes could be composed.
  ui.slider->setMaximumValue(std::max(static_cast<float>(units), ui.slider->minimumValue()));
}

void BuyViewController::updateEndTime() {
  QString start = ui.txtStartTime->text();
  if (start.isEmpty()) return;
  std::optional<HourMinute> parsed = readHourMinute(sstr(start));
  if (!parsed) {
    ui.txtEndTime->setText(QString());
    return;
  }
  long long minutes = textIntegerValue(sstr(ui.lblTime->text()));
  // The formatter's reference day has no clock changes, so plain minute arithmetic matches it.
  long long end = (parsed->hour * 60LL + parsed->minute + minutes) % (24 * 60);
  if (end < 0) end += 24 * 60;
  int hour = static_cast<int>(end / 60);
  if (hour < kEndOfPaidHour)
    ui.txtEndTime->setText(qstr(strprintf("%02d:%02d", hour, static_cast<int>(end % 60))));
  else
    ui.txtEndTime->setText(QStringLiteral("18:00"));
}

void BuyViewController::sliderValueChanged() {
  ui.lblTime->setText(qstr(strprintf("%i", roundedUnits(ui.slider->value()) * 30)));
  updateEndTime();
}

void BuyViewController::btnLicenseTouched() {
  hideShowPicker();
}
void BuyViewController::btnTimeTouched() {
  hideShowTimePicker();
}

void BuyViewController::hideShowPicker() {
  if (ui.pickerView->parentWidget() != panelContainer()) placePanels();
  ui::togglePanel(ui.pickerView);
}

void BuyViewController::hideShowTimePicker() {
  if (ui.pickerHourView->parentWidget() != panelContainer()) placePanels();
  ui::togglePanel(ui.pickerHourView);
}

void BuyViewController::btnGuardarTouched() {
  std::optional<PrefValue> licenses = pagePreferences().objectForKey("Licenses");
  if (!licenses || !licenses->array()) return;
  const PrefArray& plates = *licenses->array();
  int row = ui.pickerLicense->selectedRowInComponent(0);
  // An empty list has no selected row: nothing to take.
  if (row < 0 || row >= static_cast<int>(plates.size())) return;
  ui.lblLicense->setText(qstr(plateWithModel(plates[static_cast<std::size_t>(row)])));
  hideShowPicker();
}

void BuyViewController::btnPickerHourSelected() {
  ui.txtStartTime->resignFirstResponder();
  int h = std::max(0, ui.pickerHour->selectedRowInComponent(0));
  int m = std::max(0, ui.pickerHour->selectedRowInComponent(1));
  int hour = h + kFirstPaidHour;
  ui.txtStartTime->setText(
      qstr(m >= 10 ? strprintf("%i:%i", hour, m) : strprintf("%i:0%i", hour, m)));
  TimePoint now = Clock::current().now();
  if (todayAt(hour, m, now) < now) {
    LocalTime local = toLocal(now);
    std::string minute = strprintf("%i", local.minute);
    if (minute.size() == 1) minute = "0" + minute;
    ui.txtStartTime->setText(qstr(strprintf("%i:%s", local.hour, minute.c_str())));
  }
  updateSliderMax();
  updateEndTime();
  if (!ui::isPanelOutOfSight(ui.pickerHourView)) hideShowTimePicker();
}

void BuyViewController::btnComprarTouched() {
  Ticket ticket;
  TimePoint now = Clock::current().now();
  LocalTime today = toLocal(now);
  SplitTime start = splitHourMinute(sstr(ui.txtStartTime->text()));
  ticket.timeStart = todayAt(start.hour, start.minute, now);
  SplitTime end = splitHourMinute(sstr(ui.txtEndTime->text()));
  ticket.timeEnd = todayAt(end.hour, end.minute, now);
  QString plate = ui.lblLicense->text();
  qsizetype dash = plate.indexOf(QStringLiteral(" - "));
  ticket.license = sstr(dash >= 0 ? plate.left(dash) : plate);
  ticket.transactionId = TicketManager::getInstance().nextID();
  ticket.minutes = static_cast<int>(textIntegerValue(sstr(ui.lblTime->text())));

  bool paidHour = start.hour >= kFirstPaidHour && start.hour < kEndOfPaidHour;
  if (!paidHour || today.weekday == kSaturday || today.weekday == kSunday) {
    ui::showAlert(QString(), QCoreApplication::translate("BuyViewController", kFreeParking),
                  QCoreApplication::translate("BuyViewController", "Ok"));
    return;
  }
  if (*ticket.minutes <= 0) {
    ui::showAlert(QString(), QCoreApplication::translate("BuyViewController", kNoMinutes),
                  QCoreApplication::translate("BuyViewController", "Ok"));
    return;
  }
  if (*ticket.timeEnd < now) {
    ui::showAlert(QString(), QCoreApplication::translate("BuyViewController", "Hora invalida"),
                  QCoreApplication::translate("BuyViewController", "Ok"));
    return;
  }
  if (MainViewController* main = mainController()) main->showConfirmBuyVC(ticket, this, false);
}

void BuyViewController::removeCvc() {
  if (MainViewController* main = mainController()) main->hideConfirmBuyVc();
}

void BuyViewController::showWaitingView() {
  if (MainViewController* main = mainController()) main->showWaitingValidationVc();
}

int BuyViewController::numberOfComponents(ui::PickerView* picker) {
  return ui::tag(picker) == kHourPickerTag ? 2 : 1;
}

int BuyViewController::numberOfRowsInComponent(ui::PickerView* picker, int component) {
  if (ui::tag(picker) == kHourPickerTag) return component == 0 ? 8 : 60;
  return static_cast<int>(registeredPlates().size());
}

QString BuyViewController::titleForRow(ui::PickerView* picker, int row, int component) {
  if (ui::tag(picker) == kHourPickerTag) {
    if (component == 0) return qstr(strprintf("%i", row + kFirstPaidHour));
    return qstr(row < 10 ? strprintf("0%i", row) : strprintf("%i", row));
  }
  std::vector<std::string> plates = registeredPlates();
  if (row < 0 || row >= static_cast<int>(plates.size())) return QString();
  return qstr(plateWithModel(plates[static_cast<std::size_t>(row)]));
}

double BuyViewController::widthForComponent(ui::PickerView* picker, int component) {
  (void)component;
  return ui::tag(picker) == kHourPickerTag ? 150 : 300;
}

double BuyViewController::rowHeightForComponent(ui::PickerView* picker, int component) {
  (void)picker, (void)component;
  return 40;
}

}  // namespace est
