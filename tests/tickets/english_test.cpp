// With the English catalogue every screen, overlay and alert the user can reach shows no
// Spanish source text: each visible text is compared with the catalogue's sources.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "app/translations.h"
#include "tickets/pages_test_support.h"

namespace est::testing {
namespace {

// The catalogue's Spanish sources that English says differently; "%1" stands for a value of
// one or two words (a number, a time, a plate).
std::vector<QRegularExpression> spanishSources() {
  QFile file(EST_TS_PATH);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << EST_TS_PATH;
  std::vector<QRegularExpression> out;
  QXmlStreamReader xml(&file);
  QString source;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (xml.name() == u"source") source = xml.readElementText();
    if (xml.name() == u"translation" && xml.readElementText() != source) {
      QStringList pieces = source.trimmed().split(QRegularExpression(R"(%\d)"));
      for (QString& piece : pieces) piece = QRegularExpression::escape(piece);
      QString pattern = pieces.join(R"(\S+(?: \S+)?)");
      out.emplace_back(QRegularExpression::anchoredPattern(pattern));
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  return out;
}

class EnglishScreensTest : public PagesTest {
 protected:
  void SetUp() override {
    PagesTest::SetUp();
    ASSERT_TRUE(installTranslations(*QCoreApplication::instance(), Language::English));
    sources = spanishSources();
    ASSERT_GT(sources.size(), 100u);
  }
  void TearDown() override {
    PagesTest::TearDown();
    for (QTranslator* t : QCoreApplication::instance()->findChildren<QTranslator*>()) {
      QCoreApplication::removeTranslator(t);
      delete t;
    }
  }

  void expectEnglish(const QString& text, const std::string& where) {
    if (text.trimmed().isEmpty()) return;
    ++seen;
    for (const QRegularExpression& source : sources)
      EXPECT_FALSE(source.match(text.trimmed()).hasMatch())
          << where << " shows the Spanish \"" << text.toStdString() << "\"";
  }

  // Every text the window shows now: labels, buttons, fields and their placeholders, the
  // busy overlay's lines and the window title.
  void expectScreenInEnglish(const std::string& where) {
    loop.runPending();
    QWidget* root = window.get();
    expectEnglish(root->windowTitle(), where + " title");
    for (QLabel* l : root->findChildren<QLabel*>())
      if (l->isVisible()) expectEnglish(l->text(), where + " " + l->objectName().toStdString());
    for (QAbstractButton* b : root->findChildren<QAbstractButton*>())
      if (b->isVisible()) expectEnglish(b->text(), where + " " + b->objectName().toStdString());
    for (QLineEdit* e : root->findChildren<QLineEdit*>()) {
      if (!e->isVisible()) continue;
      expectEnglish(e->text(), where + " " + e->objectName().toStdString());
      expectEnglish(e->placeholderText(), where + " " + e->objectName().toStdString());
    }
    for (ui::KvProgressHUD* hud : root->findChildren<ui::KvProgressHUD*>()) {
      if (!hud->isVisible()) continue;
      expectEnglish(hud->labelText().value_or(""), where + " busy overlay");
      expectEnglish(hud->detailsLabelText().value_or(""), where + " busy overlay");
    }
  }

  void expectAlertsInEnglish() {
    ASSERT_FALSE(alerts.record().empty());
    for (const auto& r : alerts.record()) {
      std::string where = "alert \"" + r.message.toStdString() + "\"";
      expectEnglish(r.title, where);
      expectEnglish(r.message, where);
      expectEnglish(r.buttonTitle, where);
    }
  }

  std::vector<QRegularExpression> sources;
  int seen = 0;
};

TEST_F(EnglishScreensTest, PagesOverlaysAndTheirAlerts) {
  clock.set(wednesdayAt(14, 52, 20));
  storeTicket("ABC 1234", 14, 0, 15, 30, 90);
  storeTicket("SBA4321", 10, 0, 11, 0, 60);
  addPendingExtension();
  showMain();
  main->updateAll();
  expectScreenInEnglish("home");
  // The longer English line still fits its label.
  QLabel* times = home()->layout().active2TicketStartTime;
  EXPECT_EQ(times->text(), "/ 15:30 - 16:30 in progress");
  EXPECT_LE(times->fontMetrics().horizontalAdvance(times->text()), times->width());

  main->actionButtonBuy();
  buy()->updateView();
  expectScreenInEnglish("buy");
  main->actionButtonHistory();
  expectScreenInEnglish("tickets");
  main->actionButtonOption();
  main->updateAll();
  expectScreenInEnglish("options");
  main->showSucive();
  expectScreenInEnglish("registry");
  sucive()->querySucive();  // empty fields
  main->actionButtonHome();

  main->actionButtonBuy();
  buy()->btnComprarTouched();
  ASSERT_TRUE(confirmShown());
  expectScreenInEnglish("confirm");
  BusyOverlay& overlay = confirm()->busyOverlay();
  overlay.show(confirm()->view(),
               QCoreApplication::translate("ConfirmBuyViewController", "SEGUIR EN SEGUNDO PLANO"),
               [] {});
  advance(BusyOverlay::kWayOutDelay);
  ASSERT_TRUE(overlay.offersWayOut());
  expectScreenInEnglish("confirm, slow service");
  overlay.hide();
  // Nothing listens at the service address: the purchase stays in process, told in English.
  confirm()->confirmBtnTouched();
  ASSERT_TRUE(waitFor([&] { return alerts.record().size() >= 2; }));
  loop.runPending();
  expectScreenInEnglish("waiting");
  main->showWaitingValidationVcWithTitle(
      QCoreApplication::translate("WaitingValidationViewController",
                                  "El estacionamiento del vehículo matrícula %1 comienza a las "
                                  "%2 hs y finaliza a las %3 hs. Costo %4 pesos. Gracias por "
                                  "utilizar Estacionamiento Tarifado Telvana")
          .arg("ABC1234", "14:52", "16:22", "75")
          .toStdString());
  expectScreenInEnglish("purchase summary");

  // Saturday: parking is free.
  clock.set(dayAt(7, 14, 0));
  main->actionButtonBuy();
  buy()->updateView();
  buy()->btnComprarTouched();
  expectAlertsInEnglish();
  EXPECT_GT(seen, 60);
}

TEST_F(EnglishScreensTest, RegistrationScreensAndTheirAlerts) {
  freshInstall();
  main = std::make_unique<MainViewController>(pageScreens());
  window = std::make_unique<ui::Window>();
  window->setRootViewController(main.get());
  window->makeKeyAndVisible();
  loop.runPending();
  expectScreenInEnglish("welcome");

  main->showCellNumberVC();
  expectScreenInEnglish("phone number");
  main->cellNumberVC()->txtCellNumber()->setText("12");
  main->cellNumberVC()->btnValidarTouched();

  main->showPinValidationVCWithPhone(kPhone);
  expectScreenInEnglish("PIN");
  main->pinValidationVC()->txtPin()->setText("1");
  main->pinValidationVC()->btnValidarTouched();

  main->showAddLicenceVCFirstTime();
  expectScreenInEnglish("first plate");
  main->addLicenceVC()->txtLicense()->setText("??");
  main->addLicenceVC()->btnConfirmTouched();
  expectAlertsInEnglish();
  EXPECT_EQ(alerts.record().size(), 3u);
  EXPECT_GT(seen, 15);
}

}  // namespace
}  // namespace est::testing
