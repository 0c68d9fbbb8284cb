// The home page, the tickets page and the options page, reading the stores.
#include "tickets/pages_test_support.h"

#include <QFontMetrics>

namespace est::testing {
namespace {

constexpr const char* kFree = "El estacionamiento es gratis en el horario seleccionado";

class HomePageTest : public PagesTest {
 protected:
  Ui::HomeViewController& w() { return home()->layout(); }
};

TEST_F(HomePageTest, OneRunningTicketWithMinutesLeft) {
  storeTicket("ABC 1234", 14, 0, 15, 30);
  clock.set(wednesdayAt(14, 52, 20));
  showMain();
  home()->updateView();
  EXPECT_TRUE(w().activeTicketView->isVisibleTo(w().activeTicketView->parentWidget()));
  EXPECT_EQ(w().activeTickerLicense->text(), "ABC 1234");
  EXPECT_EQ(w().activeTicketStartTime->text(), "/ 14:00 - 15:30");
  EXPECT_EQ(w().lblTicketInfo->text(), "Su ticket vence en 38 min");
  EXPECT_FALSE(w().btnRenew->isHidden());
  EXPECT_TRUE(w().btnRenew->isEnabled());
  EXPECT_TRUE(w().active2ViewTicket->isHidden());
  EXPECT_TRUE(w().lblNoActiveTickets->isHidden());
  EXPECT_FALSE(w().lblNoInactiveTickets->isHidden());
  EXPECT_EQ(w().lblLicenseTime->text(), "ABC 1234 - Fiat Uno / 30 min");

  // Minutes left round half to even.
  clock.set(wednesdayAt(15, 27, 30));  // 2.5 minutes left
  home()->updateView();
  EXPECT_EQ(w().lblTicketInfo->text(), "Su ticket vence en 2 min");
  clock.set(wednesdayAt(15, 26, 30));  // 3.5
  home()->updateView();
  EXPECT_EQ(w().lblTicketInfo->text(), "Su ticket vence en 4 min");
}

TEST_F(HomePageTest, SecondRunningAndTwoExpiredTicketsSkippingDuplicates) {
  storeTicket("ABC 1234", 14, 0, 15, 30);
  storeTicket("SBA4321", 14, 0, 16, 0);
  storeTicket("XYZ9999", 14, 0, 16, 0);  // same start and end as the running one
  storeTicket("OLD1", 10, 0, 11, 0);
  storeTicket("OLD2", 11, 0, 12, 30);
  storeTicket("OLD3", 9, 0, 10, 15);
  showMain();
  home()->updateView();
  ASSERT_TRUE(home()->activeTicket());
  EXPECT_EQ(home()->activeTicket()->timeEnd, wednesdayAt(16, 0));
  EXPECT_FALSE(w().active2ViewTicket->isHidden());
  EXPECT_EQ(w().active2TicketLicense->text(), "ABC 1234");
  EXPECT_EQ(w().active2TicketStartTime->text(), "/ 14:00 - 15:30");
  EXPECT_EQ(w().inActiveTicketLicense->text(), "OLD2");
  EXPECT_EQ(w().inActive2TicketLicense->text(), "OLD1");
  EXPECT_EQ(w().inActive2TicketStartTime->text(), "/ 10:00 - 11:00");
  EXPECT_TRUE(w().lblNoInactiveTickets->isHidden());
}

TEST_F(HomePageTest, ALongCarModelShrinksTheQuickPurchaseLineToShowItWhole) {
  showMain();
  home()->updateView();
  QLabel* line = w().lblLicenseTime;
  EXPECT_EQ(line->font().pixelSize(), 20);
  Preferences::standard().setObject("ABC 1234", PrefValue("Volkswagen Gol Trend"));
  home()->updateView();
  EXPECT_EQ(line->text(), "ABC 1234 - Volkswagen Gol Trend / 30 min");
  EXPECT_LT(line->font().pixelSize(), 20);
  EXPECT_LE(QFontMetrics(line->font()).horizontalAdvance(line->text()),
            line->contentsRect().width());
  Preferences::standard().setObject("ABC 1234", PrefValue("Fiat Uno"));
  home()->updateView();
  EXPECT_EQ(line->font().pixelSize(), 20);
}

TEST_F(HomePageTest, NoTicketsShowsPlaceholdersAndHidesTheExtension) {
  showMain();
  home()->updateView();
  EXPECT_EQ(w().lblTicketInfo->text(), "No tienes tickets activos");
  EXPECT_FALSE(w().lblNoActiveTickets->isHidden());
  EXPECT_FALSE(w().lblNoInactiveTickets->isHidden());
  for (QWidget* panel : {w().activeTicketView, w().active2ViewTicket, w().inActiveTicketView,
                         w().inActive2TicketView})
    EXPECT_TRUE(panel->isHidden());
  EXPECT_TRUE(w().btnRenew->isHidden());
  EXPECT_FALSE(w().btnRenew->isEnabled());
  home()->btnRenewTouched();
  EXPECT_FALSE(confirmShown());
}

TEST_F(HomePageTest, ExtensionStartsAtTheEndWithoutAPaidHoursCheckUnlessTheDefaultIsDamaged) {
  Preferences::standard().setObject("defaultTime", PrefValue("60"));
  clock.set(dayAt(7, 17, 0));  // Saturday
  storeTicket("ABC 1234", 16, 0, 18, 0);
  showMain();
  home()->updateView();
  home()->btnRenewTouched();
  ASSERT_TRUE(confirmShown());
  EXPECT_TRUE(alerts.record().empty());
  const Ticket& t = *confirm()->ticket();
  EXPECT_EQ(t.timeStart, dayAt(7, 18, 0));
  EXPECT_EQ(t.timeEnd, dayAt(7, 19, 0));
  EXPECT_EQ(t.minutes, 60);
  EXPECT_TRUE(confirm()->speedSell());
  EXPECT_EQ(confirm()->layout().lblTitle->text(), "COMPRA RÁPIDA");
  EXPECT_EQ(confirm()->layout().timeInitLabel->text(), "18:00");
  EXPECT_EQ(confirm()->layout().timeEndLabel->text(), "19:00");
  main->hideConfirmBuyVc();

  Preferences::standard().setObject("defaultTime", PrefValue("-30"));
  home()->btnRenewTouched();
  EXPECT_FALSE(confirmShown());
}

TEST_F(HomePageTest, QuickPurchaseFollowsThePaidHours) {
  clock.set(dayAt(9, 9, 59));  // Monday
  showMain();
  home()->btnFastBuyTouched();
  clock.set(dayAt(8, 12, 0));  // Sunday
  home()->btnFastBuyTouched();
  EXPECT_EQ(alertMessages(), (std::vector<std::string>{kFree, kFree}));
  EXPECT_FALSE(confirmShown());

  clock.set(dayAt(9, 10, 0));
  home()->btnFastBuyTouched();
  ASSERT_TRUE(confirmShown());
  EXPECT_EQ(confirm()->ticket()->timeStart, dayAt(9, 10, 0));
  EXPECT_EQ(confirm()->ticket()->timeEnd, dayAt(9, 10, 30));
  EXPECT_EQ(confirm()->ticket()->license, "ABC 1234");
  EXPECT_EQ(confirm()->layout().lblTitle->text(), "COMPRA RÁPIDA");
  main->hideConfirmBuyVc();

  // Not cut at six o'clock.
  Preferences::standard().setObject("defaultTime", PrefValue("60"));
  clock.set(dayAt(9, 17, 50));
  home()->btnFastBuyTouched();
  ASSERT_TRUE(confirmShown());
  EXPECT_EQ(confirm()->ticket()->timeEnd, dayAt(9, 18, 50));
  main->hideConfirmBuyVc();

  Preferences::standard().setObject("defaultTime", PrefValue("-30"));
  home()->btnFastBuyTouched();
  EXPECT_EQ(alertMessages().back(), "Hora invalida");
  EXPECT_FALSE(confirmShown());
}

TEST_F(HomePageTest, OptionsSliderAndPlateReachTheHomeAndBuyPagesAndNoPlatesSaveNothing) {
  showMain();
  auto& o = settings()->layout();
  settings()->updateView();
  EXPECT_EQ(o.lblTime->text(), "30");
  EXPECT_EQ(o.sliderTime->value(), 1.0f);

  o.sliderTime->setValue(4);
  settings()->sliderTimeValueChanged();
  EXPECT_EQ(o.lblTime->text(), "120");
  EXPECT_EQ(*Preferences::standard().objectForKey("defaultTime")->text(), "30");
  settings()->sliderEndEditing();
  EXPECT_EQ(*Preferences::standard().objectForKey("defaultTime")->text(), "120");
  EXPECT_EQ(home()->layout().lblLicenseTime->text(), "ABC 1234 - Fiat Uno / 120 min");

  settings()->btnLicenseTouched();
  EXPECT_FALSE(ui::isPanelOutOfSight(o.pickerView));
  o.pickerLicense->selectRow(1, 0, false);
  buy()->layout().lblLicense->setText(QString());
  settings()->btnGuardarTouched();
  EXPECT_EQ(*Preferences::standard().objectForKey("defaultLicense")->text(), "SBA4321");
  EXPECT_EQ(o.lblLicenseSelected->text(), "SBA4321 - Ford Ka");
  EXPECT_TRUE(ui::isPanelOutOfSight(o.pickerView));
  EXPECT_EQ(home()->layout().lblLicenseTime->text(), "SBA4321 - Ford Ka / 120 min");
  EXPECT_EQ(buy()->layout().lblLicense->text(), "SBA4321 - Ford Ka");

  // A stored value off the half-hour grid is shown as stored; the refresh closes the panel.
  Preferences::standard().setObject("defaultTime", PrefValue("45"));
  settings()->btnLicenseTouched();
  settings()->updateView();
  EXPECT_EQ(o.lblTime->text(), "45");
  EXPECT_EQ(o.sliderTime->value(), 1.0f);
  EXPECT_TRUE(ui::isPanelOutOfSight(o.pickerView));

  Preferences::standard().removeObject("Licenses");
  settings()->updateView();
  EXPECT_EQ(o.pickerLicense->numberOfRowsInComponent(0), 0);
  settings()->btnGuardarTouched();
  EXPECT_EQ(*Preferences::standard().objectForKey("defaultLicense")->text(), "SBA4321");
}

class TicketsPageTest : public PagesTest {
 protected:
  QStringList rows(ui::TableView* table) {
    QStringList out;
    for (int r = 0; r < table->numberOfRowsInSection(0); ++r) {
      ui::TableViewCell* cell = table->cellForRow({0, r});
      if (!cell) continue;
      QStringList parts;
      for (int tag = 1; tag <= 5; ++tag) {
        auto* label = qobject_cast<QLabel*>(ui::viewWithTag(cell->contentView(), tag));
        if (label && !label->isHidden()) parts << label->text();
      }
      out << parts.join(' ');
    }
    return out;
  }
};

TEST_F(TicketsPageTest, PlaceholdersOrRunningAndExpiredLatestEndFirstWithAlternatingRows) {
  clock.set(dayAt(7, 14, 0));
  showMain();
  tickets()->updateView();
  auto& w = tickets()->layout();
  EXPECT_EQ(rows(w.tableViewActive), QStringList{"No tiene tickets vigentes."});
  EXPECT_EQ(rows(w.tableViewInActive), QStringList{"No tiene tickets vencidos."});

  storeTicket("E12", 11, 0, 12, 0);
  storeTicket("R16", 14, 0, 16, 0);
  storeTicket("E0930", 9, 0, 9, 30);
  storeTicket("R17", 10, 0, 17, 0);
  tickets()->updateView();
  EXPECT_EQ(rows(w.tableViewActive),
            (QStringList{"R17 - 07/03/26 - 10:00 - 17:00", "R16 - 07/03/26 - 14:00 - 16:00"}));
  EXPECT_EQ(rows(w.tableViewInActive),
            (QStringList{"E12 - 07/03/26 - 11:00 - 12:00", "E0930 - 07/03/26 - 09:00 - 09:30"}));
  EXPECT_EQ(w.tableViewActive->cellForRow({0, 0})->backgroundColor(), QColor("#dde8ea"));
  EXPECT_EQ(w.tableViewActive->cellForRow({0, 1})->backgroundColor(), QColor(Qt::white));
  EXPECT_DOUBLE_EQ(w.tableViewActive->rectForRow({0, 1}).top(), 27.0);

  // A ticket whose end passes moves over at the next refresh.
  clock.set(dayAt(7, 16, 0));
  tickets()->updateView();
  EXPECT_EQ(rows(w.tableViewActive).size(), 1);
  EXPECT_EQ(rows(w.tableViewInActive).first(), "R16 - 07/03/26 - 14:00 - 16:00");
}

TEST_F(TicketsPageTest, LateDecemberDatesCarryTheirOwnYear) {
  clock.set(fromLocal(LocalTime{2026, 12, 29, 12, 0, 0, 1}));
  storeTicket("ABC 1234", 10, 0, 11, 0);
  showMain();
  tickets()->updateView();
  EXPECT_EQ(rows(tickets()->layout().tableViewInActive).first(),
            "ABC 1234 - 29/12/26 - 10:00 - 11:00");
}

}  // namespace
}  // namespace est::testing
