// The buy page: defaults, the paid-hours rules and the ticket handed to confirmation.
#include "tickets/pages_test_support.h"

namespace est::testing {
namespace {

constexpr const char* kFree = "El estacionamiento es gratis en el horario seleccionado";

class BuyPageTest : public PagesTest {
 protected:
  Ui::BuyViewController& w() { return buy()->layout(); }
  void openBuyPage() {
    showMain();
    buy()->updateView();
  }
  void setUnits(float units) {
    w().slider->setValue(units);
    buy()->sliderValueChanged();
  }
  void pickHour(int hourRow, int minuteRow) {
    w().pickerHour->selectRow(hourRow, 0, false);
    w().pickerHour->selectRow(minuteRow, 1, false);
    buy()->btnPickerHourSelected();
  }
};

TEST_F(BuyPageTest, WednesdayAtTwoDefaultsSliderEndAndTicketHandedOn) {
  openBuyPage();
  EXPECT_EQ(w().txtStartTime->text(), "14:00");
  EXPECT_EQ(w().slider->maximumValue(), 8.0f);
  EXPECT_EQ(w().lblLicense->text(), "ABC 1234 - Fiat Uno");
  EXPECT_EQ(w().lblTime->text(), "30");
  EXPECT_EQ(w().txtEndTime->text(), "14:30");

  // Minutes round half to even, as printf does.
  for (auto [units, minutes] :
       {std::pair{2.5f, "60"}, {3.5f, "120"}, {3.51f, "120"}, {1.49f, "30"}}) {
    setUnits(units);
    EXPECT_EQ(w().lblTime->text(), minutes) << units;
  }
  setUnits(3);
  EXPECT_EQ(w().lblTime->text(), "90");
  EXPECT_EQ(w().txtEndTime->text(), "15:30");

  buy()->btnComprarTouched();
  EXPECT_TRUE(alerts.record().empty());
  ASSERT_TRUE(confirmShown());
  const std::optional<Ticket>& t = confirm()->ticket();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->license, "ABC 1234");
  EXPECT_EQ(t->timeStart, wednesdayAt(14, 0));
  EXPECT_EQ(t->timeEnd, wednesdayAt(15, 30));
  EXPECT_EQ(t->minutes, 90);
  EXPECT_TRUE(t->transactionId);
  EXPECT_FALSE(confirm()->speedSell());
  auto& c = confirm()->layout();
  EXPECT_EQ(c.lblTitle->text(), "COMPRA");
  EXPECT_EQ(c.lblLicenseTime->text(), "ABC 1234 / 90 min.");
  EXPECT_EQ(c.lblPrice->text(), "Precio $75.0");
  EXPECT_EQ(c.timeInitLabel->text(), "14:00");
  EXPECT_EQ(c.timeEndLabel->text(), "15:30");

  // Cancelling stores nothing and takes the overlay away.
  confirm()->cancelBtnTouched();
  EXPECT_FALSE(confirmShown());
  EXPECT_TRUE(TicketManager::getInstance().getTickets().empty());
}

TEST_F(BuyPageTest, StartFollowsTheClockUntilPicked) {
  clock.set(wednesdayAt(10, 5, 3));
  openBuyPage();
  EXPECT_EQ(w().txtStartTime->text(), "10:05");
  clock.set(wednesdayAt(10, 6, 1));
  buy()->updateView();
  EXPECT_EQ(w().txtStartTime->text(), "10:06");

  pickHour(1, 0);  // 11:00
  EXPECT_EQ(w().txtStartTime->text(), "11:00");
  EXPECT_EQ(w().slider->maximumValue(), 14.0f);
  clock.set(wednesdayAt(10, 7, 1));
  buy()->updateView();
  EXPECT_EQ(w().txtStartTime->text(), "11:00");

  // A past choice becomes the current time, minutes padded and hour not.
  clock.set(wednesdayAt(14, 7));
  pickHour(1, 0);
  EXPECT_EQ(w().txtStartTime->text(), "14:07");
  clock.set(wednesdayAt(9, 5));
  pickHour(0, 0);
  EXPECT_EQ(w().txtStartTime->text(), "10:00");
  pickHour(7, 30);
  EXPECT_EQ(w().txtStartTime->text(), "17:30");
  EXPECT_EQ(w().slider->maximumValue(), 1.0f);
}

TEST_F(BuyPageTest, QuarterToSixEndsAtSix) {
  clock.set(wednesdayAt(17, 45));
  openBuyPage();
  EXPECT_EQ(w().slider->maximumValue(), 1.0f);
  setUnits(1);
  EXPECT_EQ(w().txtEndTime->text(), "18:00");
  buy()->btnComprarTouched();
  ASSERT_TRUE(confirmShown());
  EXPECT_EQ(confirm()->ticket()->timeEnd, wednesdayAt(18, 0));
  EXPECT_EQ(confirm()->ticket()->minutes, 30);
}

struct FreeCase {
  int day, hour, minute;
};

class BuyPageFreeParking : public BuyPageTest, public ::testing::WithParamInterface<FreeCase> {};

TEST_P(BuyPageFreeParking, ShowsTheFreeParkingAlertAndHandsNothingOn) {
  clock.set(dayAt(GetParam().day, GetParam().hour, GetParam().minute));
  openBuyPage();
  buy()->btnComprarTouched();
  EXPECT_EQ(alertMessages(), std::vector<std::string>{kFree});
  EXPECT_EQ(alerts.record()[0].title, "");
  EXPECT_EQ(alerts.record()[0].buttonTitle, "Ok");
  EXPECT_FALSE(confirmShown());
}

INSTANTIATE_TEST_SUITE_P(Hours, BuyPageFreeParking,
                         ::testing::Values(FreeCase{7, 14, 0}, FreeCase{8, 11, 0},
                                           FreeCase{4, 9, 30}, FreeCase{4, 18, 10}));

TEST_F(BuyPageTest, AfterSixNothingCanBeBoughtAndNoDurationDropsToZero) {
  clock.set(wednesdayAt(18, 10));
  openBuyPage();
  EXPECT_EQ(w().slider->maximumValue(), 1.0f) << "pinned at the minimum, never below it";
  EXPECT_EQ(w().slider->minimumValue(), 1.0f);
  EXPECT_EQ(w().lblTime->text(), "30");
  EXPECT_EQ(w().txtEndTime->text(), "18:00");

  // The next morning, in the same session, the slider still stops at one half hour.
  clock.set(wednesdayAt(18, 10) + std::chrono::hours(16));
  w().txtStartTime->clear();
  buy()->updateView();
  EXPECT_EQ(w().slider->minimumValue(), 1.0f);
  setUnits(0);
  EXPECT_EQ(w().lblTime->text(), "30");
  buy()->btnComprarTouched();
  EXPECT_TRUE(alerts.record().empty());
  ASSERT_TRUE(confirmShown());
}

TEST_F(BuyPageTest, APurchaseWithNoMinutesIsRefused) {
  openBuyPage();
  w().slider->setMinimumValue(0);  // a layout that lets the slider reach zero
  setUnits(0);
  EXPECT_EQ(w().lblTime->text(), "0");
  buy()->btnComprarTouched();
  ASSERT_EQ(alerts.record().size(), 1u);
  EXPECT_EQ(alerts.record()[0].message.toStdString(),
            "Elija al menos 30 minutos de estacionamiento");
  EXPECT_FALSE(confirmShown());
}

TEST_F(BuyPageTest, PickingTenAtHalfPastNineAllowsSixteenUnits) {
  clock.set(wednesdayAt(9, 30));
  openBuyPage();
  pickHour(0, 0);
  EXPECT_EQ(w().txtStartTime->text(), "10:00");
  EXPECT_EQ(w().slider->maximumValue(), 16.0f);
  buy()->btnComprarTouched();
  EXPECT_TRUE(alerts.record().empty());
  EXPECT_TRUE(confirmShown());
}

TEST_F(BuyPageTest, PassedOrUnreadableStartIsRefused) {
  openBuyPage();
  pickHour(4, 30);  // 14:30
  setUnits(1);
  EXPECT_EQ(w().txtEndTime->text(), "15:00");
  clock.set(wednesdayAt(15, 10));
  buy()->btnComprarTouched();
  EXPECT_EQ(alertMessages(), std::vector<std::string>{"Hora invalida"});
  EXPECT_FALSE(confirmShown());

  // An unreadable start leaves the end empty and reads as hour 0, outside the paid hours.
  w().txtStartTime->setText("ab:cd");
  buy()->updateEndTime();
  EXPECT_EQ(w().txtEndTime->text(), "");
  buy()->btnComprarTouched();
  EXPECT_EQ(alertMessages().back(), kFree);
  EXPECT_FALSE(confirmShown());
}

TEST_F(BuyPageTest, ChosenPlateIsKeptAndAnEmptyPlateListSavesNothing) {
  openBuyPage();
  ASSERT_EQ(w().pickerLicense->numberOfRowsInComponent(0), 2);
  EXPECT_EQ(w().pickerLicense->titleForRow(1, 0), "SBA4321 - Ford Ka");
  buy()->btnLicenseTouched();
  EXPECT_FALSE(ui::isPanelOutOfSight(w().pickerView));
  w().pickerLicense->selectRow(1, 0, false);
  buy()->btnGuardarTouched();
  EXPECT_EQ(w().lblLicense->text(), "SBA4321 - Ford Ka");
  EXPECT_TRUE(ui::isPanelOutOfSight(w().pickerView));
  buy()->updateView();
  EXPECT_EQ(w().lblLicense->text(), "SBA4321 - Ford Ka");

  Preferences::standard().setObject("Licenses", PrefValue(PrefArray{}));
  buy()->updateView();
  EXPECT_EQ(w().pickerLicense->numberOfRowsInComponent(0), 0);
  buy()->btnGuardarTouched();
  EXPECT_EQ(w().lblLicense->text(), "SBA4321 - Ford Ka");
}

}  // namespace
}  // namespace est::testing
