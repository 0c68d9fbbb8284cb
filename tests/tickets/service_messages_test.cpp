// What each screen tells the user when the service cannot be reached, fails (HTTP 5xx or an
// unreadable reply) or says no: three different messages, none empty, and what was typed stays.
#include <QAbstractButton>

#include "account/cell_number_view_controller.h"
#include "account/pin_validation_view_controller.h"
#include "account/welcome_view_controller.h"
#include "app/app_delegate.h"
#include "tickets/purchase_faults_test.h"
#include "ui/text_field.h"

namespace est::testing {
namespace {

using Fault = FaultProxy::Fault;

constexpr const char* kServiceFailed =
    "El servicio no respondió correctamente. Por favor intente de nuevo en unos minutos.";

struct Said {
  std::string title;
  std::string message;
  bool operator==(const Said&) const = default;
};
void PrintTo(const Said& s, std::ostream* out) {
  *out << '"' << s.title << "\" / \"" << s.message << '"';
}

class ServiceMessagesTest : public FaultsTest {
 protected:
  // A fresh install launched against the service behind the proxy, on the phone page.
  CellNumberViewController* phonePage() {
    freshInstall();
    startBehindProxy();
    launchApp();
    run(1.25);
    return app().cellNumberVC();
  }

  // Everything a call under `call` meets is `fault`.
  void failCalls(const std::string& call, Fault fault) {
    proxy->setRule([call, fault](const FaultProxy::Request& r) {
      return r.call() == call ? fault : Fault::pass();
    });
  }

  Said lastSaid() {
    if (alerts.record().empty()) return {};
    return {alerts.record().back().title.toStdString(),
            alerts.record().back().message.toStdString()};
  }
};

TEST_F(ServiceMessagesTest, PhoneNumberScreen) {
  CellNumberViewController* cell = phonePage();
  ASSERT_TRUE(cell);
  const Said noInternet{"No hay Internet", "Por favor comprobar conexion y realizar de nuevo."};
  const Said failed{"Servicio no disponible", kServiceFailed};
  const Said refused{"", "Numero no registrado"};
  struct Case {
    const char* number;
    Fault fault;
    Said said;
  } cases[] = {
      {kPhone, Fault::drop(), noInternet},   {kPhone, Fault::http500(), failed},
      {kPhone, Fault::garble(), failed},     {kPhone, Fault::empty(), failed},
      {"abcdefghi", Fault::pass(), refused},  // the service refuses it
  };
  for (const Case& c : cases) {
    failCalls("validateNumber", c.fault);
    cell->txtCellNumber()->setText(c.number);
    size_t before = alerts.record().size();
    cell->btnValidar()->click();
    ASSERT_TRUE(runUntil([&] { return alerts.record().size() > before; }, 5)) << c.number;
    EXPECT_EQ(lastSaid(), c.said);
    EXPECT_EQ(cell->txtCellNumber()->text(), c.number);  // kept
    EXPECT_FALSE(cell->busyOverlay().isShown());
  }
  EXPECT_EQ(app().pinValidationVC(), nullptr);
}

TEST_F(ServiceMessagesTest, PinScreenStoresTheRegistrationOnlyWhenBothStepsSucceeded) {
  CellNumberViewController* cell = phonePage();
  ASSERT_TRUE(cell);
  cell->txtCellNumber()->setText(kPhone);
  cell->btnValidar()->click();
  ASSERT_TRUE(runUntil([&] { return app().pinValidationVC() != nullptr; }, 5));
  PinValidationViewController* pin = app().pinValidationVC();
  std::string code = service->pinFor(kPhone).value_or("0000");
  Preferences& prefs = Preferences::standard();
  auto nothingStored = [&] {
    return !prefs.objectForKey("pin_sended") && !prefs.objectForKey("userPhoneNumber") &&
           !prefs.objectForKey("firstTime");
  };

  struct Case {
    const char* call;
    Fault fault;
    Said said;
  } cases[] = {
      {"validatePin", Fault::http500(), {"Servicio no disponible", kServiceFailed}},
      {"validatePin", Fault::garble(), {"Servicio no disponible", kServiceFailed}},
      {"validatePin",
       Fault::drop(),
       {"Sin accesso a internet",
        "No se puede conectar con el servidor. Por favor compruebe su conexión a internet."}},
      // The PIN is right, but the account query that follows fails.
      {"consultarRegistro", Fault::http500(), {"Servicio no disponible", kServiceFailed}},
      {"consultarRegistro",
       Fault::drop(),
       {"Sin accesso a internet",
        "No se puede conectar con el servidor. Por favor compruebe su conexión a internet."}},
      {"validatePin", Fault::reply(200, R"({"status":3})"), {"", "Numero no registrado"}},
  };
  for (const Case& c : cases) {
    failCalls(c.call, c.fault);
    pin->txtPin()->setText(QString::fromStdString(code));
    size_t before = alerts.record().size();
    pin->btnValidar()->click();
    ASSERT_TRUE(runUntil([&] { return alerts.record().size() > before; }, 5)) << c.call;
    EXPECT_EQ(lastSaid(), c.said) << c.call;
    EXPECT_EQ(pin->txtPin()->text().toStdString(), code);
    EXPECT_TRUE(nothingStored()) << c.call;
  }

  // With the service well again the same PIN goes through, and only then is it all stored.
  failCalls("none", Fault::pass());
  pin->btnValidar()->click();
  ASSERT_TRUE(runUntil([&] { return prefs.boolForKey("pin_sended"); }, 5));
  EXPECT_EQ(*prefs.objectForKey("userPhoneNumber")->text(), kPhone);
  EXPECT_TRUE(prefs.boolForKey("firstTime"));
  EXPECT_TRUE(prefs.boolForKey("sessionStarted"));
}

TEST_F(ServiceMessagesTest, PurchaseRequest) {
  startBehindProxy();
  showMain();
  const std::string stillPending =
      "La compra queda en proceso y se consultará su estado hasta saber si se registró.";
  struct Case {
    Fault fault;
    Said said;
    bool keptPending;
  } cases[] = {
      {Fault::http500(),
       {"Estacionamiento Tarifado", "El servicio no respondió correctamente. " + stillPending},
       true},
      {Fault::garble(),
       {"Estacionamiento Tarifado", "El servicio no respondió correctamente. " + stillPending},
       true},
      {Fault::drop(),
       {"Sin conexión a internet", "No se pudo comunicar con el servidor. " + stillPending},
       true},
      // A refusal the service did not explain still says something.
      {Fault::reply(200, R"({"status":1})"),
       {"Estacionamiento Tarifado", "El servicio no aceptó la compra. Intente nuevamente."},
       false},
      {Fault::reply(200, R"({"status":1,"errors":"  "})"),
       {"Estacionamiento Tarifado", "El servicio no aceptó la compra. Intente nuevamente."},
       false},
      {Fault::reply(200, R"({"status":1,"errors":"Saldo insuficiente."})"),
       {"Estacionamiento Tarifado", "Saldo insuficiente."},
       false},
  };
  for (const Case& c : cases) {
    failCalls("solicitarEstacionamiento", c.fault);
    PurchaseTracker::shared().reset();
    for (const PendingPurchase& p : pendingPurchases()) PendingPurchases().remove(p.transactionId);
    main->hideWaitingValidationVc();
    quickPurchase("ABC 1234");
    std::int64_t id = *confirm()->ticket()->transactionId;
    size_t before = alerts.record().size();
    confirm()->confirmBtnTouched();
    ASSERT_TRUE(runUntil([&] { return alerts.record().size() > before; }, 5));
    EXPECT_EQ(lastSaid(), c.said);
    EXPECT_EQ(PendingPurchases().contains(id), c.keptPending) << c.said.message;
    // Kept pending: validation takes over; refused: the user may confirm again or cancel.
    EXPECT_EQ(confirmShown(), !c.keptPending);
    EXPECT_EQ(main->isWaitingValidationVc(), c.keptPending);
    if (confirmShown()) confirm()->cancelBtnTouched();
  }
}

TEST_F(ServiceMessagesTest, RegistryQuery) {
  startBehindProxy();
  showMain();
  main->showSucive();
  const Said failed{"Error Sucive",
                    "El servicio de consulta no respondió correctamente. Por favor intente de "
                    "nuevo en unos minutos."};
  struct Case {
    Fault fault;
    Said said;
  } cases[] = {
      {Fault::http500(), failed},
      {Fault::garble(), failed},
      {Fault::reply(200, R"({"response":{"status":0}})"), failed},  // found, but nothing to show
      {Fault::drop(), {"Error", "Han ocurrido problemas con la conexión a internet"}},
      {Fault::pass(),
       {"Error Sucive",
        "No hay resultados para la consulta, por favor diríjase al gobierno departamental"}},
  };
  for (const Case& c : cases) {
    failCalls("sucive", c.fault);
    sucive()->layout().txtMatricula->setText("ABC1234");
    sucive()->layout().txtPadron->setText("999");
    size_t before = alerts.record().size();
    sucive()->querySucive();
    ASSERT_TRUE(runUntil([&] { return alerts.record().size() > before; }, 5));
    EXPECT_EQ(lastSaid(), c.said);
    EXPECT_EQ(sucive()->layout().txtMatricula->text(), "ABC1234");
  }
}

TEST_F(ServiceMessagesTest, AnUnknownPriceIsAskedForAgainBeforeAConfirmation) {
  startBehindProxy();
  Preferences::standard().removeObject("price");
  Preferences::standard().setObject("sessionStarted", PrefValue(true));
  failCalls("getPriceOf30", Fault::http500());
  showMain();
  settle();
  EXPECT_EQ(proxy->count("getPriceOf30"), 1);
  EXPECT_FALSE(Preferences::standard().objectForKey("price"));

  failCalls("none", Fault::pass());
  composeNinetyMinutes();
  EXPECT_EQ(confirm()->layout().lblPrice->text(), "");
  settle();
  EXPECT_EQ(proxy->count("getPriceOf30"), 2);
  EXPECT_EQ(confirm()->layout().lblPrice->text(), "Precio $75.0");
  // Known now: the next confirmation does not ask.
  confirm()->cancelBtnTouched();
  composeNinetyMinutes();
  settle();
  EXPECT_EQ(proxy->count("getPriceOf30"), 2);
}

}  // namespace
}  // namespace est::testing
