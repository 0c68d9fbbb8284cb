// The shell and the root screen: start-up routing, menu and swipe titles, the sixth page,
// the purchase overlays' gates, the refresh timer and the pending-purchase reminder.

#include <QAbstractButton>
#include <QLabel>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/welcome_view_controller.h"
#include "app/app_test_support.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/test_support.h"

namespace est::apptest {
namespace {

constexpr const char* kPhone = "099123456";

class RootTest : public AppTest {
 protected:
  void storeRegisteredUser() {
    Preferences& prefs = Preferences::standard();
    prefs.setObject(prefs::kPinSended, true);
    prefs.setObject(prefs::kUserPhoneNumber, kPhone);
    prefs.setObject(prefs::kLicenses, PrefArray{"ABC 1234"});
    prefs.setObject("ABC 1234", "Fiat");
    prefs.setObject(prefs::kDefaultLicense, "ABC 1234");
  }
  void launchRegistered() {
    storeRegisteredUser();
    launch();
  }
};

using StartupTest = RootTest;

TEST_F(StartupTest, FreshInstallSeedsDefaultsAndAsksForThePhoneWithTheMenuInert) {
  launch();
  EXPECT_EQ(pref(prefs::kDefaultTime), "30");
  ASSERT_TRUE(main().welcomeVC());
  EXPECT_EQ(main().presentedViewController(), main().welcomeVC());
  EXPECT_TRUE(Preferences::standard().boolForKey(prefs::kSessionStarted));
  EXPECT_EQ(main().estado(), MainViewController::kInitial);
  {
    // The window's own appearance comes on top of the launch's: the welcome screen stays
    // up as it is, neither taken down nor asked for a second time.
    LogCapture log;
    main().viewDidAppear(false);
    EXPECT_EQ(main().presentedViewController(), main().welcomeVC());
    EXPECT_FALSE(log.contains("already presents"));
  }

  advance(0.9);
  EXPECT_FALSE(main().cellNumberVC());
  advance(0.2);
  ASSERT_TRUE(main().cellNumberVC());
  EXPECT_EQ(main().estado(), MainViewController::kRegistration);
  EXPECT_EQ(main().presentedViewController(), nullptr);
  EXPECT_EQ(title(), "REGISTRO");
  EXPECT_EQ(image(main().buttonHome()), "menu_ico_registro_on.png");
  EXPECT_FALSE(main().scrollView()->isScrollEnabled());
  EXPECT_EQ(main().scrollView()->contentWidth(), 320);
  EXPECT_TRUE(main().scrollView()->containsView(main().cellNumberVC()->view()));

  // The menu does nothing during registration.
  for (QAbstractButton* b :
       {main().buttonHome(), main().buttonBuy(), main().buttonHistory(), main().buttonOption()})
    b->click();
  EXPECT_EQ(title(), "REGISTRO");
  EXPECT_EQ(main().scrollView()->contentOffset(), 0);
  main().scrollViewDidEndDecelerating(main().scrollView());
  EXPECT_EQ(title(), "REGISTRO");
}

TEST_F(StartupTest, VerifiedPhoneWithoutPlatesGoesToTheFirstPlate) {
  Preferences::standard().setObject(prefs::kPinSended, true);
  Preferences::standard().setObject(prefs::kDefaultTime, "60");
  launch();
  EXPECT_EQ(pref(prefs::kDefaultTime), "60");  // a stored value is kept
  advance(1.1);
  AddLiceneViewController* add = main().addLicenceVC();
  ASSERT_TRUE(add);
  EXPECT_TRUE(add->firstOne());
  EXPECT_EQ(main().estado(), MainViewController::kRegistration);
  EXPECT_FALSE(add->lblNoLicenseText()->isHidden());
  EXPECT_TRUE(add->btnCancel()->isHidden());
  EXPECT_EQ(add->btnConfirm()->x(), 104);
  EXPECT_TRUE(main().scrollView()->containsView(add->view()));
}

TEST_F(StartupTest, RegisteredUserSeesTheMainPagesAtOnceAndTheSessionFetchesThePrice) {
  ParkingServiceOptions options;
  options.price = 12.5;
  startService(options);
  launchRegistered();
  EXPECT_EQ(main().estado(), MainViewController::kStandard);
  EXPECT_EQ(main().scrollView()->contentWidth(), 1600);
  EXPECT_EQ(title(), "INICIO");
  EXPECT_EQ(image(main().buttonHome()), "menu_ico_inicio_on.png");
  ASSERT_TRUE(home && sucive);
  EXPECT_EQ(home->view()->x(), 0);
  EXPECT_EQ(sucive->view()->x(), 1280);
  EXPECT_TRUE(delegate->isTimerRunning());
  // The session start is consumed once.
  EXPECT_FALSE(Preferences::standard().boolForKey(prefs::kSessionStarted));
  ASSERT_TRUE(pump([] { return Preferences::standard().doubleForKey(prefs::kPrice) > 0; }));
  EXPECT_DOUBLE_EQ(Preferences::standard().doubleForKey(prefs::kPrice), 12.5);
  // Nothing pending: no validation screen.
  EXPECT_EQ(waiting, nullptr);
}

TEST_F(StartupTest, APendingPurchaseOpensValidationOnceAtStartUp) {
  storeRegisteredUser();
  Preferences::standard().setObject(prefs::kTicketInProcess, 42);
  launch();
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->polls, 1);
  EXPECT_EQ(waiting->buyingTitles, 1);
  EXPECT_TRUE(main().isWaitingValidationVc());
  // A later appearance with a fresh session start (counter >= 2) fetches the price only.
  Preferences::standard().setObject(prefs::kSessionStarted, true);
  settle();
  main().hideWaitingValidationVc();
  EXPECT_FALSE(main().isWaitingValidationVc());
  main().viewDidAppear(false);
  EXPECT_EQ(waiting->polls, 1);
  EXPECT_FALSE(Preferences::standard().boolForKey(prefs::kSessionStarted));
}

using NavigationTest = RootTest;

TEST_F(NavigationTest, TapAndSwipeTitlesDifferOnlyForOptions) {
  launchRegistered();
  ui::PagingArea* area = main().scrollView();

  main().buttonOption()->click();
  settle();
  EXPECT_EQ(title(), "AJUSTES");
  EXPECT_EQ(area->contentOffset(), 960);
  EXPECT_EQ(image(main().buttonOption()), "menu_btn_settings_on.png");
  EXPECT_EQ(image(main().buttonHome()), "menu_ico_inicio_off.png");
  EXPECT_EQ(main().backViewButton()->geometry().center().x(),
            main().buttonOption()->geometry().center().x());

  main().buttonHistory()->click();
  EXPECT_EQ(title(), "MIS TICKETS");
  EXPECT_EQ(image(main().buttonHistory()), "menu_ico_ticket_on.png");

  area->setContentOffset(960, false);
  main().scrollViewDidEndDecelerating(area);
  EXPECT_EQ(title(), "OPCIONES");
  EXPECT_EQ(image(main().buttonOption()), "menu_btn_settings_on.png");
  EXPECT_EQ(image(main().buttonHistory()), "menu_ico_ticket_off.png");

  // The registry page: every button off, the title kept.
  area->setContentOffset(1280, false);
  main().scrollViewDidEndDecelerating(area);
  EXPECT_EQ(title(), "OPCIONES");
  for (QAbstractButton* b :
       {main().buttonHome(), main().buttonBuy(), main().buttonHistory(), main().buttonOption()})
    EXPECT_TRUE(image(b).endsWith("_off.png")) << image(b).toStdString();

  area->setContentOffset(320, false);
  main().scrollViewDidEndDecelerating(area);
  EXPECT_EQ(title(), "COMPRAR");
  main().buttonHome()->click();
  settle();
  EXPECT_EQ(title(), "INICIO");
  EXPECT_EQ(area->contentOffset(), 0);
}

TEST_F(NavigationTest, PlateRegistrationFromOptionsIsASixthPageThatAnyMoveRemoves) {
  launchRegistered();
  ui::PagingArea* area = main().scrollView();
  main().showAddLicenceVC();
  AddLiceneViewController* add = main().addLicenceVC();
  ASSERT_TRUE(add);
  settle();
  EXPECT_EQ(area->contentWidth(), 1920);
  EXPECT_EQ(add->view()->x(), 1600);
  EXPECT_EQ(area->contentOffset(), 1600);
  EXPECT_FALSE(add->btnCancel()->isHidden());
  EXPECT_EQ(add->btnConfirm()->x(), 170);
  EXPECT_TRUE(add->lblNoLicenseText()->isHidden());

  main().buttonBuy()->click();
  EXPECT_EQ(area->contentWidth(), 1600);
  EXPECT_FALSE(area->containsView(add->view()));

  main().showAddLicenceVC();
  main().showAddLicenceVC();  // a double tap appends it once
  EXPECT_EQ(area->contentWidth(), 1920);
  area->setContentOffset(640, false);
  main().scrollViewDidEndDecelerating(area);
  EXPECT_EQ(area->contentWidth(), 1600);

  // Cancel goes back to the options page.
  main().showAddLicenceVC();
  add->btnCancel()->click();
  settle();
  EXPECT_EQ(title(), "AJUSTES");
  EXPECT_EQ(area->contentOffset(), 960);
  EXPECT_EQ(area->contentWidth(), 1600);
}

TEST_F(NavigationTest, ShellMenuSelectionRefreshesTheTaggedPage) {
  launchRegistered();
  ASSERT_TRUE(buy);
  int before = buy->updates;
  main().menuBarSelected(main().buttonBuy());  // tag 32
  EXPECT_EQ(buy->updates, before + 1);
  int homeBefore = home->updates;
  delegate->menuBarSelected(35);  // no page
  EXPECT_EQ(home->updates, homeBefore);
}

using OverlayTest = RootTest;

TEST_F(OverlayTest, ConfirmationSlidesOverTheScreenAndAwayAgain) {
  launchRegistered();
  Ticket ticket;
  ticket.license = "ABC 1234";
  main().showConfirmBuyVC(ticket, nullptr, true);
  ASSERT_TRUE(confirm);
  EXPECT_EQ(confirm->plate, "ABC 1234");
  EXPECT_TRUE(confirm->speed);
  EXPECT_EQ(confirm->main, &main());
  EXPECT_EQ(main().transparentModalViewController(), confirm);
  EXPECT_EQ(confirm->view()->y(), main().view()->height());  // starts below the screen
  advance(0.4);
  EXPECT_GT(confirm->view()->y(), 0);  // still on its way after 0.4 of 0.8 s
  advance(0.5);
  EXPECT_EQ(confirm->view()->geometry(), main().view()->rect());
  EXPECT_NEAR(ui::alpha(confirm->view()), 0.95, 1e-9);
  main().hideConfirmBuyVc();
  EXPECT_EQ(main().transparentModalViewController(), confirm);  // until it has slid away
  advance(0.9);
  EXPECT_EQ(main().transparentModalViewController(), nullptr);
  EXPECT_FALSE(confirm->isViewInHierarchy());
}

TEST_F(OverlayTest, EveryPurchaseShowsItsValidationScreen) {
  launchRegistered();
  settle();
  for (int purchase = 1; purchase <= 2; ++purchase) {
    main().showWaitingValidationVc();
    settle();
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(main().isWaitingValidationVc()) << "purchase " << purchase;
    EXPECT_EQ(waiting->polls, purchase);
    main().hideWaitingValidationVc();
    EXPECT_FALSE(main().isWaitingValidationVc());
    main().showWaitingValidationVcWithTitle("Compra realizada");
    settle();
    EXPECT_TRUE(main().isWaitingValidationVc());
    EXPECT_EQ(waiting->buyedTitle, "Compra realizada");
    waiting->dismissViewController(false);
  }
}

using ShellTest = RootTest;

TEST_F(ShellTest, OneRefreshTimerAfterTwoActivationsStoppedInTheBackground) {
  launchRegistered();
  settle();
  delegate->applicationDidBecomeActive();
  delegate->applicationDidBecomeActive();
  int homeBefore = home->updates, ticketsBefore = tickets->updates, suciveBefore = sucive->updates;
  advance(9.9);
  EXPECT_EQ(home->updates, homeBefore);
  advance(0.2);
  EXPECT_EQ(home->updates, homeBefore + 1);
  EXPECT_EQ(tickets->updates, ticketsBefore + 1);
  EXPECT_EQ(sucive->updates, suciveBefore);  // the registry page is not refreshed
  advance(10);
  EXPECT_EQ(home->updates, homeBefore + 2);

  delegate->applicationDidEnterBackground();
  EXPECT_FALSE(delegate->isTimerRunning());
  advance(30);
  EXPECT_EQ(home->updates, homeBefore + 2);
}

TEST_F(ShellTest, QtStatesMapToTheLifecycle) {
  launchRegistered();
  delegate->handleApplicationState(Qt::ApplicationActive);
  delegate->stopTimer();
  delegate->handleApplicationState(Qt::ApplicationActive);
  EXPECT_FALSE(delegate->isTimerRunning());  // already active: no event
  delegate->handleApplicationState(Qt::ApplicationInactive);
  EXPECT_TRUE(notifications->scheduledLocalNotifications().empty());
  delegate->handleApplicationState(Qt::ApplicationActive);
  EXPECT_TRUE(delegate->isTimerRunning());
  Preferences::standard().setObject(prefs::kTicketInProcess, 7);
  delegate->handleApplicationState(Qt::ApplicationInactive);
  EXPECT_EQ(notifications->scheduledLocalNotifications().size(), 1u);
  delegate->handleWindowMinimized(true);
  EXPECT_FALSE(delegate->isTimerRunning());
  EXPECT_EQ(notifications->scheduledLocalNotifications().size(), 1u);  // resigned once
  delegate->handleWindowMinimized(false);
  delegate->handleApplicationState(Qt::ApplicationActive);
  EXPECT_TRUE(delegate->isTimerRunning());
}

TEST_F(ShellTest, ResigningWithAPendingPurchaseRemindsAfterFifteenSeconds) {
  launchRegistered();
  delegate->applicationWillResignActive();
  EXPECT_TRUE(notifications->scheduledLocalNotifications().empty());

  Preferences::standard().setObject(prefs::kTicketInProcess, 42);
  ManualClock wall{SystemClock().now()};
  ScopedClock pinned{wall};
  TimePoint before = Clock::current().now();
  delegate->applicationWillResignActive();
  delegate->applicationWillResignActive();
  auto scheduled = notifications->scheduledLocalNotifications();
  ASSERT_EQ(scheduled.size(), 1u) << "a new reminder replaces the one not yet shown";
  const LocalNotification& n = scheduled.front();
  EXPECT_EQ(n.alertBody, "Verifique el estato de su solicitud");
  EXPECT_EQ(n.applicationIconBadgeNumber, 1);
  EXPECT_EQ(n.soundName, kDefaultSoundName);
  EXPECT_EQ(n.repeatInterval, 0);
  EXPECT_FALSE(n.timeZone.empty());
  double lead = std::chrono::duration<double>(n.fireDate - before).count();
  EXPECT_GE(lead, 14.9);
  EXPECT_LE(lead, 16);

  wall.advance(std::chrono::seconds(14));
  advance(14);
  EXPECT_TRUE(shown.empty());
  wall.advance(std::chrono::seconds(2));
  advance(2);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(notifications->applicationIconBadgeNumber(), 1);
  EXPECT_TRUE(delegate->window()->windowTitle().startsWith("(1)"));
  delegate->applicationDidBecomeActive();
  EXPECT_EQ(notifications->applicationIconBadgeNumber(), 0);
  EXPECT_FALSE(delegate->window()->windowTitle().startsWith("("));
}

TEST_F(ShellTest, AnUnreadableStoreIsToldOnceInSpanish) {
  launchRegistered();
  delegate->applicationDidBecomeActive();
  advance(10);
  EXPECT_TRUE(alerts.record().empty()) << "nothing to tell while every file reads";

  noteUnreadableFile("/nowhere/MyTicketsList.plist", posixError(EIO, "read", "/nowhere"));
  advance(10);
  ASSERT_EQ(alerts.record().size(), 1u) << "the refresh finds it";
  EXPECT_EQ(alerts.record()[0].title, "Estacionamiento Tarifado");
  EXPECT_EQ(alerts.record()[0].message.toStdString(), AppDelegate::kUnreadableDataText);
  EXPECT_TRUE(alerts.record()[0].message.contains(QString::fromUtf8("No se borró nada")));
  noteUnreadableFile("/nowhere/preferences.plist", posixError(EIO, "read", "/nowhere"));
  delegate->applicationDidBecomeActive();
  advance(20);
  EXPECT_EQ(alerts.record().size(), 1u) << "told once per run";
  forgetUnreadableFiles();
}

TEST(LocalNotificationSchedule, SurvivesARestartAndDeliversWhatIsOverdue) {
  ManualClock clock{SystemClock().now()};
  ScopedClock pinned{clock};
  ManualRunLoop loop{&clock};
  RunLoop::setMain(&loop);
  auto file = std::filesystem::temp_directory_path() /
              ("est-notifications-" + std::to_string(::getpid()) + ".plist");
  std::filesystem::remove(file);
  {
    LocalNotificationCenter center(file);
    LocalNotification soon;
    soon.fireDate = Clock::current().now() - std::chrono::seconds(5);  // passed while closed
    soon.alertBody = "Su ticket vence en 5 minutos";
    soon.applicationIconBadgeNumber = 1;
    LocalNotification later = soon;
    later.fireDate = Clock::current().now() + std::chrono::seconds(600);
    later.alertBody = "Su ticket\tha vencido";
    center.setDeliverer([](const LocalNotification&) { FAIL() << "delivered before restart"; });
    // Written without a running loop, as if the process ended right after scheduling.
    RunLoop::setMain(nullptr);
    center.scheduleLocalNotification(soon);
    center.scheduleLocalNotification(later);
    RunLoop::setMain(&loop);
  }
  std::vector<LocalNotification> got;
  LocalNotificationCenter center(file);
  center.setDeliverer([&](const LocalNotification& n) { got.push_back(n); });
  center.resume();
  loop.runPending();
  loop.advance(Seconds(0.01));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].alertBody, "Su ticket vence en 5 minutos");
  EXPECT_EQ(center.scheduledLocalNotifications().size(), 1u);
  loop.advance(Seconds(601));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].alertBody, "Su ticket\tha vencido");
  EXPECT_TRUE(center.scheduledLocalNotifications().empty());
  std::filesystem::remove(file);
  RunLoop::setMain(nullptr);
}

// Ticket reminders on a virtual wall clock that the run loop moves along, and that a test can
// also move alone: a clock change, or a suspend during which elapsed time stands still.
class WallClockReminders : public ::testing::Test {
 protected:
  void SetUp() override {
    RunLoop::setMain(&loop);
    center.setDeliverer([this](const LocalNotification& n) { got.push_back(n.alertBody); });
  }
  void TearDown() override { RunLoop::setMain(nullptr); }

  // The two reminders of a ticket ending at `end`, as purchase validation schedules them.
  static std::vector<LocalNotification> ticketReminders(TimePoint end, const char* id = "1") {
    LocalNotification ending;
    ending.fireDate = end - std::chrono::minutes(5);
    ending.expiryDate = end;
    ending.alertBody = "El ticket de la matricula ABC 1234 va a finalizar";
    ending.replaceKey = std::string("ticket-") + id + "-ending";
    LocalNotification ended;
    ended.fireDate = end;
    ended.alertBody = "El ticket de la matricula ABC 1234 finalizó";
    ended.replaceKey = std::string("ticket-") + id + "-ended";
    return {ending, ended};
  }
  void schedule(TimePoint end) {
    for (const auto& n : ticketReminders(end)) center.scheduleLocalNotification(n);
  }

  ManualClock clock{fromUnixSeconds(1772643600)};  // a Wednesday, 14:00 in Montevideo
  ScopedClock scoped{clock};
  ManualRunLoop loop{&clock};
  LocalNotificationCenter center;
  std::vector<std::string> got;
  const std::string kEnding = "El ticket de la matricula ABC 1234 va a finalizar";
  const std::string kEnded = "El ticket de la matricula ABC 1234 finalizó";
};

TEST_F(WallClockReminders, FireAtCalendarTimeAfterTheClockIsSet) {
  const TimePoint start = clock.now();
  schedule(start + std::chrono::minutes(30));
  clock.set(start + std::chrono::minutes(20));  // the user puts the clock right
  center.clockChanged();
  loop.advance(Seconds(4 * 60 + 59));
  EXPECT_TRUE(got.empty());
  loop.advance(Seconds(2));
  EXPECT_EQ(got, std::vector<std::string>{kEnding}) << "at 14:25 by the clock, not 20 min late";

  // Set back: the end notice waits for the clock to reach the end again.
  clock.set(start);
  center.clockChanged();
  loop.advance(Seconds(29 * 60));
  EXPECT_EQ(got.size(), 1u);
  loop.advance(Seconds(61));
  EXPECT_EQ(got, (std::vector<std::string>{kEnding, kEnded}));
}

TEST_F(WallClockReminders, AfterASuspendOnlyWhatStillHoldsIsShown) {
  const TimePoint start = clock.now();
  schedule(start + std::chrono::minutes(30));
  // 40 minutes asleep: the wall clock moves, elapsed time does not.
  clock.advance(std::chrono::minutes(40));
  center.clockChanged();
  loop.advance(Seconds(0.01));
  EXPECT_EQ(got, std::vector<std::string>{kEnded}) << "no warning for a ticket already over";
  EXPECT_TRUE(center.scheduledLocalNotifications().empty());
}

TEST_F(WallClockReminders, ASuspendNobodyReportedIsCaughtWithinAMinute) {
  const TimePoint start = clock.now();
  schedule(start + std::chrono::minutes(30));
  clock.advance(std::chrono::minutes(26));  // asleep through 14:25; no resume signal heard
  loop.advance(Seconds(60));
  EXPECT_EQ(got, std::vector<std::string>{kEnding}) << "the ticket still runs: the warning holds";
}

TEST_F(WallClockReminders, OverdueAtStartShownOnlyWhileMeaningfulAndOncePerTicket) {
  est::testing::TempDir dir;
  const auto file = dir / "notifications.plist";
  const TimePoint start = clock.now();
  {
    RunLoop::setMain(nullptr);  // the application closes right after scheduling
    LocalNotificationCenter before(file);
    for (const auto& n : ticketReminders(start + std::chrono::minutes(10), "1"))
      before.scheduleLocalNotification(n);
    for (const auto& n : ticketReminders(start + std::chrono::minutes(10), "1"))
      before.scheduleLocalNotification(n);  // the same ticket confirmed twice
    for (const auto& n : ticketReminders(start + std::chrono::minutes(62), "2"))
      before.scheduleLocalNotification(n);
    EXPECT_EQ(before.scheduledLocalNotifications().size(), 4u);
    RunLoop::setMain(&loop);
  }
  clock.advance(std::chrono::minutes(60));  // reopened at 15:00
  LocalNotificationCenter after(file);
  after.setDeliverer([this](const LocalNotification& n) { got.push_back(n.alertBody); });
  after.resume();
  loop.advance(Seconds(0.01));
  // Ticket 1 ended at 14:10: one end notice, no warning. Ticket 2 ends at 15:02: its warning
  // (due 14:57) still holds.
  EXPECT_EQ(got, (std::vector<std::string>{kEnded, kEnding}));
  loop.advance(Seconds(120));
  EXPECT_EQ(got, (std::vector<std::string>{kEnded, kEnding, kEnded}));
}

TEST_F(WallClockReminders, ASavedScheduleOfTheEarlierFormatFollowsTheSameRules) {
  est::testing::TempDir dir;
  const auto file = dir / "notifications.plist";
  const TimePoint end = clock.now() + std::chrono::minutes(10);
  auto line = [](TimePoint fire, const std::string& body) {
    return std::to_string(
               std::chrono::duration_cast<std::chrono::milliseconds>(fire.time_since_epoch())
                   .count()) +
           "\t1\t0\tAmerica/Montevideo\tUILocalNotificationDefaultSoundName\t" + body;
  };
  {
    Preferences saved(file);
    saved.setObject("scheduled",
                    PrefArray{line(end - std::chrono::minutes(5), kEnding), line(end, kEnded),
                              line(end - std::chrono::minutes(5), kEnding), line(end, kEnded)});
    ASSERT_TRUE(saved.flush());
  }
  clock.advance(std::chrono::minutes(60));
  LocalNotificationCenter after(file);
  after.setDeliverer([this](const LocalNotification& n) { got.push_back(n.alertBody); });
  after.resume();
  loop.advance(Seconds(0.01));
  EXPECT_EQ(got, std::vector<std::string>{kEnded});
}

}  // namespace
}  // namespace est::apptest
