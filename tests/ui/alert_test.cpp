#include "ui/alert.h"

#include "platform/log.h"
#include "ui/test_fixture.h"

namespace est::ui {
namespace {

class AlertTest : public test::UiTest {};

TEST_F(AlertTest, WithoutAPresenterAnAlertIsOnlyLogged) {
  LogCapture log;
  showAlert(QString(), QStringLiteral("Numero no válido"), QStringLiteral("Reintentar"));
  EXPECT_TRUE(log.contains("Numero no válido"));
}

TEST_F(AlertTest, AlertsAreRecordedAndShownOneAtATimeInTheOrderRaised) {
  AlertPresenter presenter;
  ScopedAlertPresenter scope(presenter);
  std::vector<int> dismissed;
  showAlert(QString(), QStringLiteral("Numero no válido"), QStringLiteral("Reintentar"),
            [&] { dismissed.push_back(1); });
  showAlert(QStringLiteral("No hay Internet"),
            QStringLiteral("Por favor comprobar conexion y realizar de nuevo."),
            QStringLiteral("Ok"), [&] { dismissed.push_back(2); });
  ASSERT_EQ(presenter.record().size(), 2u);
  EXPECT_EQ(presenter.record()[1].title, QStringLiteral("No hay Internet"));
  EXPECT_EQ(presenter.record()[1].buttonTitle, QStringLiteral("Ok"));
  ASSERT_NE(presenter.visibleAlert(), nullptr);
  EXPECT_EQ(presenter.visibleAlert()->message, QStringLiteral("Numero no válido"));
  EXPECT_TRUE(dismissed.empty());  // showing never waits for the user

  EXPECT_TRUE(presenter.tapButton());
  EXPECT_EQ(dismissed, std::vector<int>({1}));
  EXPECT_EQ(presenter.visibleAlert()->title, QStringLiteral("No hay Internet"));
  EXPECT_TRUE(presenter.tapButton());
  EXPECT_EQ(dismissed, std::vector<int>({1, 2}));
  EXPECT_FALSE(presenter.tapButton());
  EXPECT_EQ(presenter.record().size(), 2u);  // the record keeps what was shown

  // An alert raised on dismissal waits behind the queue.
  showAlert(QString(), QStringLiteral("a"), QStringLiteral("Ok"),
            [] { showAlert(QString(), QStringLiteral("c"), QStringLiteral("Ok")); });
  showAlert(QString(), QStringLiteral("b"), QStringLiteral("Ok"));
  presenter.tapButton();
  EXPECT_EQ(presenter.visibleAlert()->message, QStringLiteral("b"));
  presenter.tapButton();
  EXPECT_EQ(presenter.visibleAlert()->message, QStringLiteral("c"));
}

TEST_F(AlertTest, WindowPresenterDrawsTheAlertAndItsButtonDismissesIt) {
  QWidget window;
  window.resize(320, 568);
  WindowAlertPresenter presenter(&window);
  ScopedAlertPresenter scope(presenter);
  bool dismissed = false;
  showAlert(QStringLiteral("Estacionamiento Tarifado"),
            QStringLiteral("No se pudo registrar la compra."), QStringLiteral("Ok"),
            [&] { dismissed = true; });
  QWidget* card = presenter.alertWidget();
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->parentWidget(), &window);
  EXPECT_EQ(card->geometry(), window.rect());
  QRectF button = presenter.buttonRect();
  EXPECT_GT(button.top(), 284);  // below the middle of the window, across the card
  EXPECT_NEAR(button.center().x(), 160, 1);
  test::press(card, {160, 20});  // a click on the dimmed window around the card does nothing
  test::release(card, {160, 20});
  EXPECT_FALSE(dismissed);
  test::press(card, button.center());
  test::release(card, button.center());
  EXPECT_TRUE(dismissed);
  EXPECT_EQ(presenter.alertWidget(), nullptr);
  EXPECT_EQ(presenter.visibleAlert(), nullptr);
}

}  // namespace
}  // namespace est::ui
