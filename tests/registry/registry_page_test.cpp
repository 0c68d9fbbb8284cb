// The registry page against the embedded registry.
#include "tickets/pages_test_support.h"

namespace est::testing {
namespace {

class RegistryPageTest : public PagesTest {
 protected:
  void query(const QString& plate, const QString& padron) {
    sucive()->layout().txtMatricula->setText(plate);
    sucive()->layout().txtPadron->setText(padron);
    std::size_t before = alerts.record().size();
    sucive()->querySucive();
    ASSERT_TRUE(waitFor([&] { return alerts.record().size() > before; }));
  }
  ui::AlertPresenter::Record last() const { return alerts.record().back(); }
};

TEST_F(RegistryPageTest, BadFieldsAreRefusedWithoutARequest) {
  startService();
  showMain();
  std::uint64_t before = service->requestCount();
  for (auto [plate, padron] : std::vector<std::pair<QString, QString>>{{"AB12345", "1"},
                                                                       {"ABCD123", "1"},
                                                                       {"ABC123", "1"},
                                                                       {"ABC 1234", "1"},
                                                                       {"ABC1234", ""},
                                                                       {"", "1"},
                                                                       {"ABñ1234", "1"}}) {
    query(plate, padron);
    EXPECT_EQ(last().title, "Error") << plate.toStdString();
    EXPECT_EQ(last().message, "Formato inválido de los campos");
    EXPECT_EQ(sucive()->layout().txtMatricula->text(), plate);
  }
  EXPECT_EQ(service->requestCount(), before);
}

TEST_F(RegistryPageTest, FoundVehicleShowsTheRegistryMessageAndNoResultTheFixedOne) {
  startService();
  showMain();
  query("abc1234", "123456");
  EXPECT_EQ(last().title, "Infromación");
  EXPECT_TRUE(last().message.startsWith("Matrícula ABC1234, padrón 123456: Volkswagen Gol"))
      << last().message.toStdString();
  EXPECT_EQ(last().buttonTitle, "Ok");
  EXPECT_FALSE(ui::KvProgressHUD::hideHUDForView(sucive()->view(), false));

  query("ZZZ0000", "1");
  EXPECT_EQ(last().title, "Error Sucive");
  EXPECT_EQ(last().message,
            "No hay resultados para la consulta, por favor diríjase al gobierno departamental");
}

TEST_F(RegistryPageTest, TransportFailureShowsTheConnectionMessage) {
  startService();
  std::string closed = service->baseAddress();
  service->stop();
  AppConfig::setRegistryServiceURL(closed);
  showMain();
  query("ABC1234", "123456");
  EXPECT_EQ(last().title, "Error");
  EXPECT_EQ(last().message, "Han ocurrido problemas con la conexión a internet");
  EXPECT_FALSE(ui::KvProgressHUD::hideHUDForView(sucive()->view(), false));
}

}  // namespace
}  // namespace est::testing
