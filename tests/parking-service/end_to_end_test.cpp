// The protocol layer and the project's HTTP client against the service, embedded and as a
// child process.
#include <gtest/gtest.h>

#include <regex>

#include "http/http_request.h"
#include "http/support/request_fixture.h"
#include "parking-service/child_service.h"
#include "parking_service.h"
#include "protocol/parking_protocol.h"
#include "protocol/registry_protocol.h"

namespace est::testing {
namespace {

constexpr const char* kPhone = "099123456";
constexpr const char* kDevice = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

// What a screen sees of one exchange.
struct Exchange {
  bool finished = false;
  bool failed = false;
  int status = 0;
  std::optional<Data> body;
  std::optional<Error> error;
  bool compressed = false;
};

class EndToEnd : public HttpRequestTest {
 protected:
  void TearDown() override {
    HttpRequestTest::TearDown();
    if (service) service->stop();
  }

  void startService(ParkingServiceOptions options = {}) {
    service = std::make_unique<ParkingService>(std::move(options));
    Error error;
    ASSERT_TRUE(service->start("127.0.0.1", 0, &error)) << error.description;
    base = service->baseAddress();
  }

  // The screens' pattern: GET, the screen as delegate, started asynchronously.
  Exchange get(const std::string& url) {
    HTTPRequestPtr request = HTTPRequest::requestWithURL(url);
    request->setRequestMethod("GET");
    RecordingDelegate delegate;
    Exchange out;
    run(request, delegate);
    out.finished = delegate.finished == 1;
    out.failed = delegate.failed == 1;
    out.status = request->responseStatusCode();
    out.body = request->responseData();
    out.error = delegate.lastError;
    out.compressed = request->isResponseCompressed();
    return out;
  }

  std::string registerPhone() {
    EXPECT_EQ(readValidateNumberReply(get(validateNumberURL(base, kPhone, kDevice)).body),
              ValidateNumberOutcome::Accepted);
    std::optional<std::string> pin = service->pinFor(kPhone);
    EXPECT_TRUE(pin);
    EXPECT_EQ(readValidatePinReply(get(validatePinURL(base, kPhone, kDevice, *pin)).body),
              ValidatePinOutcome::Correct);
    return *pin;
  }

  std::unique_ptr<ParkingService> service;
  std::string base;
};

class EndToEndStatus : public EndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(EndToEndStatus, RegistrationPurchaseAndRegistryWithNumberOrTextStatus) {
  ParkingServiceOptions options;
  options.statusAsText = GetParam();
  options.confirmAfter = 2;
  options.price = 12.5;
  startService(options);

  registerPhone();
  auto registro = readConsultarRegistroReply(get(consultarRegistroURL(base, kPhone)).body);
  EXPECT_EQ(registro.kind, ConsultarRegistroOutcome::Kind::Answered);
  EXPECT_FALSE(registro.registrado);
  EXPECT_EQ(readPriceOf30Reply(get(getPriceOf30URL(base, kPhone)).body), 12.5);

  std::int64_t id = 1773244800123LL;
  ParkingPurchase purchase{kPhone, id, kDevice, "ABC 1234", 90, "14:00"};
  Exchange bought = get(solicitarEstacionamientoURL(base, purchase));
  EXPECT_TRUE(bought.finished);
  EXPECT_EQ(readSolicitarEstacionamientoReply(bought.body).kind,
            SolicitarEstacionamientoOutcome::Kind::Accepted);
  std::string url = consultarEstacionamientoURL(base, kPhone, id, kDevice);
  EXPECT_EQ(readConsultarEstacionamientoReply(get(url).body).kind,
            ConsultarEstacionamientoOutcome::Kind::InProgress);
  EXPECT_EQ(readConsultarEstacionamientoReply(get(url).body).kind,
            ConsultarEstacionamientoOutcome::Kind::InProgress);
  ConsultarEstacionamientoOutcome done = readConsultarEstacionamientoReply(get(url).body);
  ASSERT_EQ(done.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_EQ(formatHourMinute(done.inicio), "14:00");
  EXPECT_EQ(formatHourMinute(done.fin), "15:30");
  EXPECT_EQ(done.matricula, "ABC1234");
  EXPECT_EQ(done.costo, "37.5");
  EXPECT_EQ(readConsultarEstacionamientoReply(get(url).body).idTicket, done.idTicket);
  EXPECT_TRUE(readConsultarRegistroReply(get(consultarRegistroURL(base, kPhone)).body).registrado);
  // The next purchase gets its own ticket; a one-digit hour comes back as "HH:mm".
  ParkingPurchase next{kPhone, id + 1, kDevice, "ABC1234", 30, "9:05"};
  get(solicitarEstacionamientoURL(base, next));
  url = consultarEstacionamientoURL(base, kPhone, id + 1, kDevice);
  get(url);
  get(url);
  ConsultarEstacionamientoOutcome second = readConsultarEstacionamientoReply(get(url).body);
  ASSERT_EQ(second.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_NE(second.idTicket, done.idTicket);
  EXPECT_EQ(second.inicioText, "09:05");
  EXPECT_EQ(second.finText, "09:35");

  auto found = readRegistryQueryReply(get(registryQueryURL(base, "abc1234", "123456")).body);
  EXPECT_EQ(found.kind, RegistryQueryOutcome::Kind::Found);
  EXPECT_EQ(readRegistryQueryReply(get(registryQueryURL(base, "ABC1234", "1")).body).kind,
            RegistryQueryOutcome::Kind::NoResult);
}

INSTANTIATE_TEST_SUITE_P(StatusForms, EndToEndStatus, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Text" : "Number"; });

TEST_F(EndToEnd, ValuesWithBlanksAndAmpersandsReachTheServiceIntact) {
  startService();
  // Unescaped, a blank made the URL unparsable and the screen said there was no internet.
  Exchange blank = get(validateNumberURL(base, "099 12345", kDevice));
  EXPECT_TRUE(blank.finished);
  EXPECT_EQ(readValidateNumberReply(blank.body), ValidateNumberOutcome::NotAccepted);
  // Unescaped, "&deviceId=" here would have replaced the device.
  Exchange injected =
      get(validateNumberURL(base, std::string(kPhone) + "&deviceId=" + kDevice, "x"));
  EXPECT_TRUE(injected.finished);
  EXPECT_EQ(readValidateNumberReply(injected.body), ValidateNumberOutcome::NotAccepted);
  EXPECT_FALSE(service->pinFor(kPhone));

  registerPhone();
  ParkingPurchase purchase{kPhone, 5, kDevice, "AB\t123", 30, "10:00"};
  EXPECT_EQ(
      readSolicitarEstacionamientoReply(get(solicitarEstacionamientoURL(base, purchase)).body).kind,
      SolicitarEstacionamientoOutcome::Kind::Accepted);
  EXPECT_EQ(readRegistryQueryReply(get(registryQueryURL(base, "ABC1234", "12 3&4")).body).kind,
            RegistryQueryOutcome::Kind::NoResult);
}

TEST_F(EndToEnd, GzipRepliesAreInflatedForTheReaders) {
  ParkingServiceOptions options;
  options.gzip = true;
  startService(options);
  Exchange price = get(getPriceOf30URL(base, kPhone));
  EXPECT_TRUE(price.compressed);
  EXPECT_EQ(readPriceOf30Reply(price.body), 25.0);
  Exchange number = get(validateNumberURL(base, kPhone, kDevice));
  EXPECT_TRUE(number.compressed);
  EXPECT_EQ(readValidateNumberReply(number.body), ValidateNumberOutcome::Accepted);
}

TEST_F(EndToEnd, DropsFailGarbageAndServerErrorsFinishAndReadAsTheLastOutcome) {
  ParkingServiceOptions dropping;
  dropping.faults = {{ServiceFault::Kind::Drop, 1.0}};
  startService(dropping);
  Exchange dropped = get(getPriceOf30URL(base, kPhone));
  EXPECT_TRUE(dropped.failed);
  ASSERT_TRUE(dropped.error);
  EXPECT_EQ(dropped.error->domain, NetworkRequestErrorDomain);
  EXPECT_EQ(dropped.error->code, ConnectionFailureErrorType);
  service->stop();

  ParkingServiceOptions garbage;
  garbage.faults = {{ServiceFault::Kind::Garbage, 1.0}};
  startService(garbage);
  Exchange junk = get(validatePinURL(base, kPhone, kDevice, "1234"));
  EXPECT_TRUE(junk.finished);
  EXPECT_EQ(junk.status, 200);
  EXPECT_EQ(readValidatePinReply(junk.body), ValidatePinOutcome::NotRegistered);
  EXPECT_EQ(readConsultarEstacionamientoReply(
                get(consultarEstacionamientoURL(base, kPhone, 1, kDevice)).body)
                .kind,
            ConsultarEstacionamientoOutcome::Kind::NoDecision);
  service->stop();

  ParkingServiceOptions failing;
  failing.faults = {{ServiceFault::Kind::Http500, 1.0}};
  startService(failing);
  Exchange error = get(solicitarEstacionamientoURL(
      base, ParkingPurchase{kPhone, 1, kDevice, "ABC1234", 30, "10:00"}));
  EXPECT_TRUE(error.finished);
  EXPECT_EQ(error.status, 500);
  SolicitarEstacionamientoOutcome refused = readSolicitarEstacionamientoReply(error.body);
  EXPECT_EQ(refused.kind, SolicitarEstacionamientoOutcome::Kind::Refused);
  EXPECT_TRUE(refused.errors);
}

TEST_F(EndToEnd, SilentServiceTimesTheRequestOut) {
  HTTPRequest::setStatusTimerLoop(&loop);  // the client's time-out on virtual time
  ParkingServiceOptions options;
  options.faults = {{ServiceFault::Kind::Silent, 1.0}};
  startService(options);
  HTTPRequestPtr request = HTTPRequest::requestWithURL(getPriceOf30URL(base, kPhone));
  RecordingDelegate delegate;
  request->setDelegate(&delegate);
  request->startAsynchronous();
  ASSERT_TRUE(eventually([&] { return service->requestCount() == 1; }));
  for (int i = 0; i < 48 && delegate.outcomes() == 0; ++i) {
    loop.advance(Seconds(0.25));
    loop.waitUntil([] { return false; }, Seconds(0.002));
  }
  ASSERT_TRUE(waitForOutcome(delegate, 5));
  EXPECT_EQ(delegate.failed, 1);
  EXPECT_EQ(delegate.lastError->code, RequestTimedOutErrorType);
}

TEST_F(EndToEnd, ChildProcessServesTheClient) {
  ChildService child;
  ASSERT_TRUE(
      child.spawn(PARKING_SERVICE_PATH, {"--listen", "127.0.0.1:0", "--gzip", "--any-hour",
                                         "--confirm-after", "0", "--refuse-plates", "SBA4321"}));
  std::optional<std::uint16_t> port = child.waitUntilListening();
  ASSERT_TRUE(port) << child.standardError();
  base = "http://127.0.0.1:" + std::to_string(*port);

  EXPECT_EQ(readValidateNumberReply(get(validateNumberURL(base, kPhone, kDevice)).body),
            ValidateNumberOutcome::Accepted);
  std::optional<std::string> log = child.waitForError("PIN for 099123456: ");
  ASSERT_TRUE(log);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(*log, match, std::regex("PIN for 099123456: ([0-9]{4})")));
  EXPECT_EQ(readValidatePinReply(get(validatePinURL(base, kPhone, kDevice, match[1].str())).body),
            ValidatePinOutcome::Correct);
  ParkingPurchase refused{kPhone, 41, kDevice, "SBA 4321", 60, "12:00"};
  Exchange bought = get(solicitarEstacionamientoURL(base, refused));
  EXPECT_TRUE(bought.compressed);
  EXPECT_EQ(readSolicitarEstacionamientoReply(bought.body).kind,
            SolicitarEstacionamientoOutcome::Kind::Accepted);
  EXPECT_EQ(readConsultarEstacionamientoReply(
                get(consultarEstacionamientoURL(base, kPhone, 41, kDevice)).body)
                .kind,
            ConsultarEstacionamientoOutcome::Kind::Refused);
  EXPECT_EQ(child.stop(), 0);
  // Gone: the client reports a failure, as a screen would show "no internet".
  HTTPRequest::closeIdlePersistentConnections();
  EXPECT_TRUE(get(getPriceOf30URL(base, kPhone)).failed);
}

}  // namespace
}  // namespace est::testing
