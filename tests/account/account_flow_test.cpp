// The account flow against the embedded parking service: phone, PIN, first plate, main
// pages; every message on the way; the two connection messages with the service stopped.

#include <QAbstractButton>
#include <QLabel>

#include "account/add_licene_view_controller.h"
#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "account/welcome_view_controller.h"
#include "app/app_test_support.h"
#include "ui/image.h"
#include "ui/text_field.h"

namespace est::apptest {
namespace {

constexpr const char* kPhone = "099123456";

class AccountFlowTest : public AppTest {
 protected:
  // Launch on a fresh install and wait for the phone page.
  CellNumberViewController* phonePage() {
    launch();
    advance(1.1);
    return main().cellNumberVC();
  }

  PinValidationViewController* pinPageFor(const std::string& phone) {
    CellNumberViewController* cell = phonePage();
    if (!cell) return nullptr;
    cell->txtCellNumber()->setText(QString::fromStdString(phone));
    cell->btnValidar()->click();
    pump([this] { return main().pinValidationVC() != nullptr; });
    return main().pinValidationVC();
  }

  // Waits for the exchange in flight to reach the screen (alert, page, or stored flag).
  bool replied(
      size_t alertsBefore, const std::function<bool()>& also = [] { return false; }) {
    return pump([&] { return alerts.record().size() > alertsBefore || also(); });
  }
};

TEST_F(AccountFlowTest, WholeRegistrationAgainstTheService) {
  startService();
  PinValidationViewController* pin = pinPageFor(kPhone);
  ASSERT_TRUE(pin) << (lastAlertMessage() ? *lastAlertMessage() : "no alert");
  EXPECT_EQ(pin->phoneNumber(), kPhone);
  settle();
  EXPECT_EQ(main().scrollView()->contentWidth(), 640);
  EXPECT_EQ(main().scrollView()->contentOffset(), 320);
  EXPECT_FALSE(Preferences::standard().boolForKey(prefs::kPinSended));  // not before the PIN

  std::optional<std::string> code = pinSentTo(kPhone);
  ASSERT_TRUE(code);
  pin->txtPin()->setText(QString::fromStdString(*code));
  pin->btnValidar()->click();
  ASSERT_TRUE(pump([this] { return main().presentedViewController() == main().welcomeVC(); }));
  EXPECT_TRUE(alerts.record().empty());
  EXPECT_TRUE(Preferences::standard().boolForKey(prefs::kPinSended));
  EXPECT_EQ(pref(prefs::kUserPhoneNumber), kPhone);
  EXPECT_TRUE(Preferences::standard().boolForKey(prefs::kFirstTime));  // no account yet

  advance(1.1);
  AddLiceneViewController* add = main().addLicenceVC();
  ASSERT_TRUE(add);
  EXPECT_TRUE(add->firstOne());
  add->txtLicense()->setText("ABC 1234");
  add->txtCarModel()->setText("Fiat");
  add->btnConfirm()->click();
  advance(0.5);  // the welcome screen slides away; the root screen appears and starts a session
  EXPECT_EQ(main().presentedViewController(), nullptr);
  EXPECT_EQ(main().estado(), MainViewController::kStandard);
  auto licenses = Preferences::standard().objectForKey(prefs::kLicenses);
  ASSERT_TRUE(licenses && licenses->array());
  EXPECT_EQ(*licenses->array(), PrefArray{"ABC 1234"});
  EXPECT_EQ(pref("ABC 1234"), "Fiat");
  EXPECT_EQ(pref(prefs::kDefaultLicense), "ABC 1234");
  ASSERT_TRUE(pump([] { return Preferences::standard().objectForKey(prefs::kPrice).has_value(); }));
  EXPECT_DOUBLE_EQ(Preferences::standard().doubleForKey(prefs::kPrice), 25.0);
}

TEST_F(AccountFlowTest, AnExistingAccountClearsFirstTime) {
  ParkingServiceOptions options;
  options.accounts = {kPhone};
  startService(options);
  PinValidationViewController* pin = pinPageFor(kPhone);
  ASSERT_TRUE(pin);
  pin->txtPin()->setText(QString::fromStdString(pinSentTo(kPhone).value_or("0000")));
  pin->btnValidar()->click();
  ASSERT_TRUE(pump([this] { return main().presentedViewController() == main().welcomeVC(); }));
  EXPECT_TRUE(Preferences::standard().objectForKey(prefs::kFirstTime).has_value());
  EXPECT_FALSE(Preferences::standard().boolForKey(prefs::kFirstTime));
}

TEST_F(AccountFlowTest, WrongLengthNumbersNeverReachTheServiceAndARefusedOneStaysToBeCorrected) {
  startService();
  CellNumberViewController* cell = phonePage();
  ASSERT_TRUE(cell);
  for (const char* number : {"", "09912345", "0991234567"}) {
    cell->txtCellNumber()->setText(number);
    cell->btnValidar()->click();
    ASSERT_TRUE(lastAlertMessage());
    EXPECT_EQ(*lastAlertMessage(), "Numero no válido") << number;
    EXPECT_EQ(alerts.record().back().title, "");
    EXPECT_EQ(alerts.record().back().buttonTitle, "Reintentar");
    EXPECT_EQ(cell->txtCellNumber()->text(), number);  // kept, to be corrected
  }
  EXPECT_EQ(service->requestCount(), 0u);

  cell->txtCellNumber()->setText("abcdefghi");  // passes the length check; the service refuses
  size_t before = alerts.record().size();
  cell->btnValidar()->click();
  ASSERT_TRUE(replied(before));
  EXPECT_EQ(*lastAlertMessage(), "Numero no registrado");
  EXPECT_EQ(cell->txtCellNumber()->text(), "abcdefghi");
  EXPECT_EQ(main().pinValidationVC(), nullptr);
  EXPECT_FALSE(hasHUD(cell->view()));
}

TEST_F(AccountFlowTest, WrongAndMalformedPins) {
  startService();
  PinValidationViewController* pin = pinPageFor(kPhone);
  ASSERT_TRUE(pin);
  for (const char* bad : {"123", "12345", ""}) {
    pin->txtPin()->setText(bad);
    pin->btnValidar()->click();
    EXPECT_EQ(*lastAlertMessage(), "El numero debe contener de 4 digitos") << bad;
    EXPECT_EQ(pin->txtPin()->text(), bad);
  }
  std::string right = pinSentTo(kPhone).value_or("0000");
  std::string wrong = right == "1111" ? "2222" : "1111";
  pin->txtPin()->setText(QString::fromStdString(wrong));
  size_t before = alerts.record().size();
  pin->btnValidar()->click();
  ASSERT_TRUE(replied(before));
  EXPECT_EQ(*lastAlertMessage(), "Pin no válido");
  EXPECT_EQ(pin->txtPin()->text().toStdString(), wrong);
  EXPECT_TRUE(pin->isValidatingPin());
  EXPECT_FALSE(Preferences::standard().boolForKey(prefs::kPinSended));

  // The next try with the right PIN goes through.
  pin->txtPin()->setText(QString::fromStdString(right));
  pin->btnValidar()->click();
  ASSERT_TRUE(pump([] { return Preferences::standard().boolForKey(prefs::kPinSended); }));
}

TEST_F(AccountFlowTest, PlateChecksInOrderAndTheReturnKeyMovesToTheModel) {
  Preferences::standard().setObject(prefs::kPinSended, true);
  launch();
  advance(1.1);
  AddLiceneViewController* add = main().addLicenceVC();
  ASSERT_TRUE(add);
  add->txtLicense()->becomeFirstResponder();
  EXPECT_EQ(add->backTxtLicense()->imageName(), "caja_texto_focus.png");
  EXPECT_FALSE(add->textFieldShouldReturn(add->txtLicense()));
  EXPECT_TRUE(add->txtCarModel()->isEditing());
  EXPECT_EQ(add->backTxtLicense()->imageName(), "caja_texto.png");
  EXPECT_EQ(add->backTxtModel()->imageName(), "caja_texto_focus.png");
  add->textFieldShouldReturn(add->txtCarModel());
  EXPECT_FALSE(add->txtCarModel()->isEditing());

  auto tryPlate = [&](const char* plate, const char* model) {
    add->txtLicense()->setText(plate);
    add->txtCarModel()->setText(model);
    size_t before = alerts.record().size();
    add->btnConfirm()->click();
    return alerts.record().size() > before ? *lastAlertMessage() : std::string("stored");
  };
  for (const char* bad : {"ABCDE123", "AB123456789", "ABC-1234", "1234ABC", " ABC1234", "ABC1234 "})
    EXPECT_EQ(tryPlate(bad, "Fiat"), "Matricula incorrecta") << bad;
  EXPECT_EQ(tryPlate("ABC1234", ""), "Debe ingresar el modelo del auto");
  EXPECT_EQ(add->txtLicense()->text(), "ABC1234");  // input kept
  EXPECT_FALSE(Preferences::standard().objectForKey(prefs::kLicenses));

  EXPECT_EQ(tryPlate("ABC1234", " "), "stored");  // a blank model is a model
  EXPECT_EQ(main().estado(), MainViewController::kStandard);

  main().showAddLicenceVC();
  EXPECT_TRUE(add->txtLicense()->text().isEmpty());  // emptied for each showing
  EXPECT_EQ(tryPlate("ABC1234", "Ford"), "Matricula ya registrada.");
  EXPECT_EQ(tryPlate("abc1234", "Ford"), "stored");
  main().showAddLicenceVC();
  EXPECT_EQ(tryPlate("A 1", "Ka"), "stored");
  auto licenses = Preferences::standard().objectForKey(prefs::kLicenses);
  ASSERT_TRUE(licenses && licenses->array());
  EXPECT_EQ(*licenses->array(), (PrefArray{"ABC1234", "abc1234", "A 1"}));
  EXPECT_EQ(pref(prefs::kDefaultLicense), "A 1");
  EXPECT_EQ(pref("abc1234"), "Ford");
  EXPECT_EQ(pref("ABC1234"), " ");
}

TEST_F(AccountFlowTest, ServiceStoppedGivesTheConnectionMessages) {
  startService();
  PinValidationViewController* pin = pinPageFor(kPhone);
  ASSERT_TRUE(pin);
  std::string code = pinSentTo(kPhone).value_or("0000");
  service->stop();

  pin->txtPin()->setText(QString::fromStdString(code));
  pin->btnValidar()->click();
  ASSERT_TRUE(replied(0));
  EXPECT_EQ(alerts.record().back().title, "Sin accesso a internet");
  EXPECT_EQ(*lastAlertMessage(),
            "No se puede conectar con el servidor. Por favor compruebe su conexión a internet.");
  EXPECT_EQ(alerts.record().back().buttonTitle, "Ok");
  EXPECT_FALSE(Preferences::standard().boolForKey(prefs::kPinSended));
  ASSERT_TRUE(pump([&] { return !hasHUD(pin->view()); }, 3));

  CellNumberViewController* cell = main().cellNumberVC();
  cell->txtCellNumber()->setText(kPhone);
  cell->btnValidar()->click();
  ASSERT_TRUE(replied(1));
  EXPECT_EQ(alerts.record().back().title, "No hay Internet");
  EXPECT_EQ(*lastAlertMessage(), "Por favor comprobar conexion y realizar de nuevo.");
  EXPECT_EQ(cell->txtCellNumber()->text(), kPhone);  // kept
}

TEST_F(AccountFlowTest, GarbageRepliesSayTheServiceFailedAndLeaveTheScreenUsable) {
  ParkingServiceOptions options;
  options.faults = {{ServiceFault::Kind::Garbage, 1.0}};
  startService(options);
  CellNumberViewController* cell = phonePage();
  ASSERT_TRUE(cell);
  cell->txtCellNumber()->setText(kPhone);
  cell->btnValidar()->click();
  ASSERT_TRUE(replied(0));
  // Not the user's fault: the number is not called unregistered, and it stays.
  EXPECT_EQ(alerts.record().back().title, "Servicio no disponible");
  EXPECT_EQ(*lastAlertMessage(),
            "El servicio no respondió correctamente. Por favor intente de nuevo en unos minutos.");
  EXPECT_EQ(cell->txtCellNumber()->text(), kPhone);
  ASSERT_TRUE(pump([&] { return !hasHUD(cell->view()); }, 3));
}

}  // namespace
}  // namespace est::apptest
