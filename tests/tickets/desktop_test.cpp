// The launched application as a desktop user meets it: a scaled window, the mouse and the
// keyboard on the real root screen and pages, and what a screen reader is told.
#include <QAccessible>
#include <QTest>
#include <QWheelEvent>
#include <random>

#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "app/app_delegate.h"
#include "tickets/pages_test_support.h"
#include "ui/input_scope.h"
#include "ui/slider.h"
#include "ui/text_field.h"
#include "ui/window_frame.h"

namespace est::testing {
namespace {

class DesktopTest : public LaunchedAppTest {
 protected:
  void TearDown() override {
    ui::AlertPresenter::setCurrent(&alerts);
    presenter.reset();
    LaunchedAppTest::TearDown();
  }

  void launch() {
    launchApp();
    presenter = std::make_unique<ui::WindowAlertPresenter>(delegate->window());
    ui::AlertPresenter::setCurrent(presenter.get());
    QApplication::setActiveWindow(delegate->frame());
  }

  HomeViewController* homePage() { return static_cast<HomeViewController*>(app().homeVC()); }
  BuyViewController* buyPage() { return static_cast<BuyViewController*>(app().buyVC()); }
  SettingsViewController* settingsPage() {
    return static_cast<SettingsViewController*>(app().settingsVC());
  }
  SuciveViewController* registryPage() {
    return static_cast<SuciveViewController*>(app().suciveVC());
  }
  ConfirmBuyViewController* card() {
    return static_cast<ConfirmBuyViewController*>(app().confirmBuyVC());
  }
  bool cardShown() {
    return card() && app().transparentModalViewController() == card() &&
           card()->isViewInHierarchy();
  }
  double offset() { return app().scrollView()->contentOffset(); }

  // What has the keyboard in the drawn window (the application's focus is on the frame).
  QWidget* focused() { return delegate->window()->focusWidget(); }
  // A key as the user types it: to whatever has the focus, else to the window.
  // Replies are handled only when the loop runs: `settle` false keeps a request in flight.
  void key(int k, Qt::KeyboardModifiers mods = Qt::NoModifier, bool settle = true) {
    QWidget* target = focused();
    QTest::keyClick(target ? target : delegate->frame(), Qt::Key(k), mods);
    if (settle) loop.runPending();
  }
  void type(const QString& text) {
    QTest::keyClicks(focused(), text);
    loop.runPending();
  }
  void click(QWidget* target, bool settle = true) {
    QPointF middle(target->width() / 2.0, target->height() / 2.0);
    ui::test::press(target, middle);
    ui::test::release(target, middle);
    if (settle) loop.runPending();
  }
  void drag(QWidget* target, QPointF from, QPointF to, QWidget* frame) {
    ui::test::press(target, from, frame);
    for (int i = 1; i <= 8; ++i) {
      loop.advance(Seconds(0.05));
      ui::test::move(target, from + (to - from) * i / 8.0, frame);
    }
    ui::test::release(target, to, frame);
    loop.runPending();
  }
  void wheel(QWidget* target, int notch) {
    QPointF at(target->width() / 2.0, target->height() / 2.0);
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, notch), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
    loop.runPending();
  }
  bool alertShown() { return presenter->alertWidget() != nullptr; }
  QString accessibleName(QWidget* w) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
    return face ? face->text(QAccessible::Name) : QString();
  }

  std::unique_ptr<ui::WindowAlertPresenter> presenter;
};

TEST_F(DesktopTest, ThumbDragSetsTheDurationWhileABackgroundDragStillSwipes) {
  launch();
  app().actionButtonBuy();
  ASSERT_EQ(offset(), 320);
  auto& buy = buyPage()->layout();
  ui::Slider* slider = buy.slider;
  ASSERT_EQ(slider->maximumValue(), 8.0f);  // 14:00 to 18:29
  double span = slider->width() - 28;
  double thumb = 14 + span * (slider->value() - slider->minimumValue()) /
                          (slider->maximumValue() - slider->minimumValue());
  drag(slider, {thumb, 17}, {thumb + span * 0.55, 17}, slider);
  EXPECT_EQ(offset(), 320);
  EXPECT_NE(buy.lblTime->text(), QStringLiteral("30"));
  drag(slider, {thumb + span * 0.55, 17}, {slider->width() + 80.0, 17}, slider);
  EXPECT_EQ(buy.lblTime->text(), QStringLiteral("240"));
  EXPECT_EQ(offset(), 320);

  // From the page's background the same drag turns the page.
  QWidget* page = buyPage()->view();
  drag(buy.lblTitle, {300, 10}, {20, 10}, page);
  EXPECT_EQ(offset(), 640);
  EXPECT_EQ(app().labelPageSelected()->text(), QStringLiteral("MIS TICKETS"));
}

TEST_F(DesktopTest, TabStaysAmongTheControlsOfThePageShownOrOfWhatIsOnTop) {
  launch();
  QWidget* pages[] = {homePage()->view(), buyPage()->view(), app().ticketVC()->view(),
                      settingsPage()->view(), registryPage()->view()};
  std::function<void()> show[] = {[&] { app().actionButtonHome(); },
                                  [&] { app().actionButtonBuy(); },
                                  [&] { app().actionButtonHistory(); },
                                  [&] { app().actionButtonOption(); }, [&] { app().showSucive(); }};
  for (int shown = 0; shown < 5; ++shown) {
    SCOPED_TRACE(shown);
    if (QWidget* f = focused()) f->clearFocus();
    show[shown]();
    loop.runPending();
    for (int i = 0; i < 14; ++i) {
      key(i % 5 == 4 ? Qt::Key_Backtab : Qt::Key_Tab);
      QWidget* focus = focused();
      ASSERT_TRUE(focus);
      EXPECT_TRUE(ui::isOnScreen(focus)) << focus->objectName().toStdString();
      for (int other = 0; other < 5; ++other)
        if (other != shown) {
          EXPECT_FALSE(pages[other]->isAncestorOf(focus));
        }
    }
    // Whatever Tab opened on the page, Escape closes; nothing opened elsewhere.
    key(Qt::Key_Escape);
    auto& buy = buyPage()->layout();
    EXPECT_TRUE(ui::isPanelOutOfSight(buy.pickerView));
    if (shown != 1) {
      EXPECT_TRUE(ui::isPanelOutOfSight(buy.pickerHourView));
    }
  }

  // The confirmation card holds the keyboard: Tab goes round its two buttons only.
  app().actionButtonBuy();
  loop.runPending();
  key(Qt::Key_Escape);  // the start-time panel, if Tab left it open
  buyPage()->layout().slider->setFocus();
  key(Qt::Key_Return);
  ASSERT_TRUE(cardShown());
  for (int i = 0; i < 5; ++i) {
    key(Qt::Key_Tab);
    EXPECT_TRUE(card()->view()->isAncestorOf(focused()));
    // Drawn flat, the button shows its focus by an outline around it.
    QList<QWidget*> outlines;
    for (auto* w : focused()->parentWidget()->findChildren<QWidget*>("focusRing"))
      if (w->isVisible()) outlines.append(w);
    ASSERT_EQ(outlines.size(), 1);
    EXPECT_TRUE(outlines[0]->geometry().contains(focused()->geometry()));
  }
  key(Qt::Key_Escape);
  EXPECT_FALSE(cardShown());

  // An alert holds everything: typing does not reach the field behind it.
  app().showSucive();
  loop.runPending();
  auto& registry = registryPage()->layout();
  ASSERT_EQ(focused(), registry.txtMatricula);  // the form's first field
  type("ab");
  key(Qt::Key_Return);  // too short: an alert
  ASSERT_TRUE(alertShown());
  key(Qt::Key_Tab);
  type("cd");
  EXPECT_EQ(registry.txtMatricula->text(), QStringLiteral("ab"));
  EXPECT_EQ(registry.txtPadron->text(), QString());
  key(Qt::Key_Escape);
  EXPECT_FALSE(alertShown());
}

TEST_F(DesktopTest, ReturnPressesTheMainActionAndEscapeCancels) {
  startService();
  launch();
  // The buy page: Return buys, Escape cancels the card, Return confirms.
  app().actionButtonBuy();
  loop.runPending();
  buyPage()->layout().slider->setFocus();
  key(Qt::Key_Return);
  ASSERT_TRUE(cardShown());
  key(Qt::Key_Escape);
  EXPECT_FALSE(cardShown());
  EXPECT_EQ(offset(), 320);
  key(Qt::Key_Return);
  ASSERT_TRUE(cardShown());
  std::uint64_t before = service->requestCount();
  key(Qt::Key_Return, Qt::NoModifier, false);
  // Pressed again, by key and by mouse, while the request runs: nothing more is sent.
  key(Qt::Key_Return, Qt::NoModifier, false);
  key(Qt::Key_Space, Qt::NoModifier, false);
  click(card()->layout().btnConfirm, false);
  ASSERT_TRUE(waitFor([&] { return app().isWaitingValidationVc(); }));
  EXPECT_EQ(service->requestCount(), before + 1);  // the first poll is 4 seconds away
  EXPECT_FALSE(PendingPurchases().empty());

  // The validation screen's only button, CERRAR, is both its main action and its cancel.
  key(Qt::Key_Return);
  EXPECT_FALSE(app().isWaitingValidationVc());
  app().showWaitingValidationVcWithTitle("Ticket Comprado");
  loop.runPending();
  ASSERT_TRUE(app().isWaitingValidationVc());
  key(Qt::Key_Escape);
  EXPECT_FALSE(app().isWaitingValidationVc());

  // The registry page: Return queries once, Escape goes home and keeps the fields.
  app().showSucive();
  loop.runPending();
  auto& registry = registryPage()->layout();
  QRect form = registry.scroll->geometry();
  type("ABC1234");
  key(Qt::Key_Tab);
  type("9041");
  before = service->requestCount();
  key(Qt::Key_Return, Qt::NoModifier, false);
  key(Qt::Key_Return, Qt::NoModifier, false);
  click(registry.btnQuery, false);
  ASSERT_TRUE(waitFor([&] { return registryPage()->requestsUnderWay() == 0; }));
  EXPECT_EQ(service->requestCount(), before + 1);
  ASSERT_TRUE(alertShown());
  key(Qt::Key_Return);  // the alert's button
  EXPECT_FALSE(alertShown());
  EXPECT_EQ(offset(), 1280);
  key(Qt::Key_Escape);
  EXPECT_EQ(offset(), 0);
  EXPECT_EQ(app().labelPageSelected()->text(), QStringLiteral("INICIO"));
  EXPECT_EQ(registry.txtMatricula->text(), QStringLiteral("ABC1234"));
  EXPECT_EQ(registry.txtPadron->text(), QStringLiteral("9041"));
  EXPECT_EQ(registry.scroll->geometry(), form);  // no on-screen keyboard, so it never moved
}

TEST_F(DesktopTest, ArrowsAndTheWheelMoveSlidersAndPickersOneStep) {
  launch();
  app().actionButtonBuy();
  loop.runPending();
  auto& buy = buyPage()->layout();
  QString start = buy.lblTime->text();
  buy.slider->setFocus();
  key(Qt::Key_Right);
  key(Qt::Key_Right);
  EXPECT_EQ(buy.lblTime->text().toInt(), start.toInt() + 60);
  wheel(buy.slider, -120);
  EXPECT_EQ(buy.lblTime->text().toInt(), start.toInt() + 30);
  EXPECT_EQ(offset(), 320);

  // The plate panel: Tab reaches its picker, Down picks the next plate, Return takes it.
  buy.btnLicense->click();
  loop.runPending();
  key(Qt::Key_Tab);
  ASSERT_EQ(focused(), buy.pickerLicense);
  key(Qt::Key_Down);
  ui::finishAllAnimations();
  key(Qt::Key_Return);
  EXPECT_EQ(buy.lblLicense->text(), QStringLiteral("SBA4321 - Ford Ka"));
  EXPECT_TRUE(ui::isPanelOutOfSight(buy.pickerView));

  // The options page's default duration, in whole half hours, saved at each step.
  app().actionButtonOption();
  loop.runPending();
  auto& options = settingsPage()->layout();
  options.sliderTime->setFocus();
  key(Qt::Key_Right);
  EXPECT_EQ(pagePreferences().integerForKey("defaultTime"), 60);
  wheel(options.sliderTime, 120);
  EXPECT_EQ(pagePreferences().integerForKey("defaultTime"), 90);
  EXPECT_EQ(offset(), 960);
}

TEST_F(DesktopTest, ShortcutsAndLinksBringPagesIntoView) {
  launch();
  const std::pair<int, const char*> menu[] = {{Qt::Key_2, "COMPRAR"},
                                              {Qt::Key_3, "MIS TICKETS"},
                                              {Qt::Key_4, "AJUSTES"},
                                              {Qt::Key_1, "INICIO"}};
  for (auto [k, title] : menu) {
    key(k, Qt::ControlModifier);
    EXPECT_EQ(app().labelPageSelected()->text(), QString::fromUtf8(title));
  }
  EXPECT_EQ(offset(), 0);

  click(homePage()->layout().btnMoreTickets);  // "VER MIS TICKETS"
  EXPECT_EQ(offset(), 640);
  EXPECT_EQ(app().labelPageSelected()->text(), QStringLiteral("MIS TICKETS"));
  EXPECT_EQ(app().buttonImageName(app().buttonHistory()), QStringLiteral("menu_ico_ticket_on.png"));

  click(homePage()->layout().btnSucive);
  app().showSucive();
  loop.runPending();
  click(registryPage()->layout().btnCancel);
  EXPECT_EQ(offset(), 0);

  // The busy overlay holds the menu keys too; Ctrl+Q still quits through the window's close.
  ui::KvProgressHUD::showHUDAddedTo(homePage()->view(), false);
  key(Qt::Key_2, Qt::ControlModifier);
  EXPECT_EQ(offset(), 0);
  click(app().buttonBuy());
  EXPECT_EQ(offset(), 0);
  key(Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(delegate->frame()->isVisible());
}

TEST_F(DesktopTest, ScreensScaleIntoAnyWindowSizeWithNothingUncovered) {
  launch();
  ui::WindowFrame* frame = delegate->frame();
  QColor margin = frame->backgroundBrush().color();
  ASSERT_NE(margin, QColor(Qt::white));
  const QSize sizes[] = {{320, 568}, {1000, 620}, {420, 1100}};
  for (QSize size : sizes) {
    SCOPED_TRACE(size.width());
    frame->resize(size);
    double scale = std::min(size.width() / 320.0, size.height() / 568.0);
    EXPECT_NEAR(frame->scaleFactor(), scale, 1e-9);
    QImage shot = frame->grab().toImage();
    shot.save(QString(EST_RENDER_DIR "/frame_%1x%2.png").arg(size.width()).arg(size.height()));
    ASSERT_EQ(shot.size(), size * shot.devicePixelRatio());
    // The canvas, centred; around it only the margin colour: no white, no parked panel.
    QRectF canvas(0, 0, 320 * scale, 568 * scale);
    canvas.moveCenter(QPointF(size.width() / 2.0, size.height() / 2.0));
    int uncovered = 0;
    for (int y = 0; y < size.height(); y += 3)
      for (int x = 0; x < size.width(); x += 3) {
        if (canvas.adjusted(-2, -2, 2, 2).contains(x, y)) continue;
        if (shot.pixelColor(x, y) != margin) ++uncovered;
      }
    EXPECT_EQ(uncovered, 0);
    // Inside it the page is drawn, corner to corner.
    EXPECT_NE(shot.pixelColor(QPoint(canvas.center().x(), canvas.top() + 4)), margin);
    EXPECT_NE(shot.pixelColor(QPoint(canvas.center().x(), canvas.bottom() - 4)), QColor(Qt::white));
  }

  // Faded views are drawn at any size too: the card's backdrop darkens the page beside it.
  frame->resize(1000, 620);
  app().actionButtonBuy();
  loop.runPending();
  double scale = frame->scaleFactor();
  QPoint beside(
      static_cast<int>(frame->width() / 2 + (10 - 160) * scale),  // the page's background,
      static_cast<int>(310 + (300 - 284) * scale));               // left of the card
  QColor page = frame->grab().toImage().pixelColor(beside);
  buyPage()->layout().slider->setFocus();
  key(Qt::Key_Return);
  ASSERT_TRUE(cardShown());
  QCoreApplication::processEvents();  // the scene redraws what changed on its next turn
  QColor dimmed = frame->grab().toImage().pixelColor(beside);
  EXPECT_LT(dimmed.value() + 15, page.value())
      << page.name().toStdString() << " " << dimmed.name().toStdString();
}

TEST_F(DesktopTest, ScreenReadersHearNamesAndRoles) {
  startService();
  launch();
  const std::pair<QAbstractButton*, const char*> menu[] = {{app().buttonHome(), "INICIO"},
                                                           {app().buttonBuy(), "COMPRAR"},
                                                           {app().buttonHistory(), "MIS TICKETS"},
                                                           {app().buttonOption(), "AJUSTES"}};
  for (auto [button, title] : menu) EXPECT_EQ(accessibleName(button), QString::fromUtf8(title));

  // Every control Tab reaches on every page has a name.
  std::function<void()> show[] = {[&] { app().actionButtonHome(); },
                                  [&] { app().actionButtonBuy(); },
                                  [&] { app().actionButtonOption(); }, [&] { app().showSucive(); }};
  for (auto& page : show) {
    page();
    loop.runPending();
    for (QWidget* control : ui::tabChain(delegate->window()))
      EXPECT_FALSE(accessibleName(control).isEmpty()) << control->objectName().toStdString();
  }
  auto& buy = buyPage()->layout();
  EXPECT_EQ(QAccessible::queryAccessibleInterface(buy.slider)->role(), QAccessible::Slider);
  EXPECT_EQ(accessibleName(buy.slider), QStringLiteral("Duración"));

  // A query under way is a status; its answer a dialog with its texts.
  auto& registry = registryPage()->layout();
  registry.txtMatricula->setText("ABC1234");
  registry.txtPadron->setText("12");
  key(Qt::Key_Return, Qt::NoModifier, false);
  auto huds = registryPage()->view()->findChildren<ui::KvProgressHUD*>();
  ASSERT_EQ(huds.size(), 1);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(huds[0])->role(), QAccessible::StatusBar);
  EXPECT_FALSE(accessibleName(huds[0]).isEmpty());
  ASSERT_TRUE(waitFor([&] { return alertShown(); }));
  QAccessibleInterface* dialog = QAccessible::queryAccessibleInterface(presenter->alertWidget());
  EXPECT_EQ(dialog->role(), QAccessible::Dialog);
  EXPECT_FALSE(dialog->text(QAccessible::Name).isEmpty());
  auto buttons = presenter->alertWidget()->findChildren<QAbstractButton*>();
  ASSERT_EQ(buttons.size(), 1);
  EXPECT_EQ(accessibleName(buttons[0]), QStringLiteral("Ok"));
}

TEST_F(DesktopTest, RegistrationFormsTakeTheFocusAndReturnSubmitsOnce) {
  Preferences& prefs = Preferences::standard();
  for (const std::string& k : prefs.keys()) prefs.removeObject(k);
  ParkingServiceOptions options;
  service = std::make_unique<ParkingService>(options);
  Error error;
  ASSERT_TRUE(service->start("127.0.0.1", 0, &error)) << error.description;
  AppConfig::setParkingServiceURL(service->baseAddress());
  launch();
  advance(1.1);  // the welcome screen's pause
  ASSERT_EQ(app().estado(), MainViewController::kRegistration);
  ui::TextField* phone = app().cellNumberVC()->txtCellNumber();
  ASSERT_EQ(focused(), phone);
  type("099123456");
  std::uint64_t before = service->requestCount();
  key(Qt::Key_Return, Qt::NoModifier, false);
  key(Qt::Key_Space, Qt::NoModifier, false);
  key(Qt::Key_Return, Qt::NoModifier, false);
  ASSERT_TRUE(waitFor([&] { return app().pinValidationVC() != nullptr; }));
  EXPECT_EQ(service->requestCount(), before + 1);
  loop.runPending();
  EXPECT_EQ(focused(), app().pinValidationVC()->txtPin());
  EXPECT_FALSE(ui::topLayer(delegate->window(), false));  // nothing left over the page
}

// Keys and clicks in any order, at any pace: nothing crashes, and once every reply is in
// and every message answered, nothing is left covering the pages.
TEST_F(DesktopTest, RandomKeysAndClicksNeverLeaveAPageLocked) {
  startService();
  launch();
  std::mt19937 random(11);
  const int keys[] = {Qt::Key_Tab,   Qt::Key_Backtab, Qt::Key_Return, Qt::Key_Escape,
                      Qt::Key_Space, Qt::Key_Up,      Qt::Key_Down,   Qt::Key_Left,
                      Qt::Key_Right, Qt::Key_1,       Qt::Key_A};
  for (int step = 0; step < 600; ++step) {
    int action = static_cast<int>(random() % 10);
    if (action < 6) {
      int k = keys[random() % std::size(keys)];
      bool menu = random() % 4 == 0;
      key(menu ? Qt::Key_1 + static_cast<int>(random() % 4) : k,
          menu ? Qt::ControlModifier : Qt::NoModifier, random() % 3 == 0);
    } else if (action < 9) {
      QList<QAbstractButton*> buttons;
      for (auto* b : delegate->window()->findChildren<QAbstractButton*>())
        if (ui::isOnScreen(b)) buttons.append(b);
      if (!buttons.isEmpty())
        click(buttons[static_cast<int>(random() % buttons.size())], random() % 3 == 0);
    } else {
      advance(0.5);
    }
  }
  // Let every request answer, then answer every message.
  for (int round = 0; round < 40; ++round) {
    waitFor([] { return HTTPRequest::sharedQueue().operationCount() == 0; });
    advance(1.0);
    while (alertShown()) key(Qt::Key_Return);
    if (app().isWaitingValidationVc()) key(Qt::Key_Return);
  }
  ASSERT_TRUE(waitFor([] { return HTTPRequest::sharedQueue().operationCount() == 0; }));
  loop.runPending();
  for (auto* hud : delegate->window()->findChildren<ui::KvProgressHUD*>())
    EXPECT_FALSE(hud->isVisible());
  EXPECT_FALSE(alertShown());
  QWidget* layer = ui::topLayer(delegate->window(), false);
  EXPECT_TRUE(!layer || layer == app().transparentModalViewController()->view())
      << (layer ? layer->objectName().toStdString() : "");
  // The pages still answer: the menu shows the buy page.
  if (!layer) {
    key(Qt::Key_2, Qt::ControlModifier);
    EXPECT_EQ(offset(), 320);
  }
}

}  // namespace
}  // namespace est::testing
