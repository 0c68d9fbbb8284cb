#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "protocol/parking_protocol.h"
#include "protocol/registry_protocol.h"
#include "protocol/reply.h"
#include "protocol/url_escape.h"

namespace est {
namespace {

constexpr const char* kBase = "http://127.0.0.1:8080";
constexpr const char* kDevice = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

std::optional<Data> body(std::string_view text) {
  return toData(text);
}

// A fixed zone without tzdata, so local times do not depend on the machine.
class FixedZone : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "<-03>3", 1);
    tzset();
  }
};
const auto* const kZone = ::testing::AddGlobalTestEnvironment(new FixedZone);

TEST(PercentEscape, LeavesEverydayValuesAloneAndEscapesEverythingElse) {
  EXPECT_EQ(percentEscape("099123456"), "099123456");
  EXPECT_EQ(percentEscape(kDevice), kDevice);
  EXPECT_EQ(percentEscape("14:05"), "14:05");
  EXPECT_EQ(percentEscape("azAZ09-._~:"), "azAZ09-._~:");
  EXPECT_EQ(percentEscape("ABC 1234"), "ABC%201234");
  EXPECT_EQ(percentEscape("a&b=c+d#e%f"), "a%26b%3Dc%2Bd%23e%25f");
  EXPECT_EQ(percentEscape("ñ/?"), "%C3%B1%2F%3F");
  EXPECT_EQ(percentEscape(std::string_view("\0\x7f", 2)), "%00%7F");
  EXPECT_EQ(percentEscape(""), "");
}

TEST(PercentEscape, UnescapeReversesEscapeAndRefusesBrokenEscapes) {
  for (std::string_view v : {"ABC 1234", "a&b=c+d#e%f", "ñandú", "", "100%"}) {
    EXPECT_EQ(percentUnescape(percentEscape(v)), std::string(v));
  }
  EXPECT_EQ(percentUnescape("a+b%2b"), "a+b+");
  EXPECT_FALSE(percentUnescape("%"));
  EXPECT_FALSE(percentUnescape("ab%4"));
  EXPECT_FALSE(percentUnescape("%G0"));
}

TEST(ParkingRequests, EveryCallHasItsPathAfterOneSlashAndParametersInOrder) {
  EXPECT_EQ(validateNumberURL(kBase, "099123456", kDevice),
            std::string(kBase) + "/qorvix/json/validateNumber?phone=099123456&deviceId=" + kDevice);
  EXPECT_EQ(validatePinURL(kBase, "099123456", kDevice, "0042"),
            std::string(kBase) + "/qorvix/json/validatePin?phone=099123456&deviceId=" + kDevice +
                "&pin=0042");
  EXPECT_EQ(consultarRegistroURL(kBase, "099123456"),
            std::string(kBase) + "/qorvix/json/consultarRegistro?phone=099123456&");
  EXPECT_EQ(getPriceOf30URL(kBase, "099123456"),
            std::string(kBase) + "/qorvix/json/getPriceOf30?phone=099123456");

  ParkingPurchase purchase{"099123456", 1234, kDevice, "ABC 1234", 90, "14:05"};
  EXPECT_EQ(solicitarEstacionamientoURL(kBase, purchase),
            std::string(kBase) +
                "/qorvix/json/solicitarEstacionamiento?phone=099123456&appTransactionId=1234"
                "&deviceId=" +
                kDevice + "&plate=ABC1234&minutes=90&hour=14:05");
  EXPECT_EQ(consultarEstacionamientoURL(kBase, "099123456", 1234, kDevice),
            std::string(kBase) +
                "/qorvix/json/consultarEstacionamiento?phone=099123456&appTransactionId=1234"
                "&deviceId=" +
                kDevice);
  // A base address with trailing slashes gives one slash.
  EXPECT_EQ(getPriceOf30URL("http://h:1/", "1"), "http://h:1/qorvix/json/getPriceOf30?phone=1");
  EXPECT_EQ(registryQueryURL("http://h:1//", "A", "1"),
            "http://h:1/halvaro/meridel/sucive?consulta=consultaPatente&patente=A&padron=1");
}

TEST(ParkingRequests, TransactionIdTravelsAsItsLow32BitsSigned) {
  EXPECT_EQ(appTransactionIdFor(5), 5);
  EXPECT_EQ(appTransactionIdFor(-5), -5);
  EXPECT_EQ(appTransactionIdFor(0x7FFFFFFFLL), 2147483647);
  EXPECT_EQ(appTransactionIdFor(0x80000000LL), -2147483647 - 1);
  EXPECT_EQ(appTransactionIdFor(0x100000005LL), 5);
  // A millisecond identifier of 2026: both purchase calls carry the same negative value.
  std::int64_t id = 1773244800123LL;
  std::int32_t low = appTransactionIdFor(id);
  EXPECT_EQ(low, static_cast<std::int32_t>(id - 413LL * 4294967296LL));
  std::string expected = "appTransactionId=" + std::to_string(low) + "&";
  ParkingPurchase purchase{"099123456", id, kDevice, "ABC1234", 30, "10:00"};
  EXPECT_NE(solicitarEstacionamientoURL(kBase, purchase).find(expected), std::string::npos);
  EXPECT_NE(consultarEstacionamientoURL(kBase, "099123456", id, kDevice).find(expected),
            std::string::npos);
}

TEST(ParkingRequests, ValuesThatWouldBreakTheUrlAreEscaped) {
  // A phone with a blank used to make the URL unparsable; "&pin=" used to inject a parameter.
  EXPECT_EQ(validateNumberURL(kBase, "099 123&pin=1", kDevice),
            std::string(kBase) +
                "/qorvix/json/validateNumber?phone=099%20123%26pin%3D1&deviceId=" + kDevice);
  ParkingPurchase purchase{"099123456", 1, kDevice, " Ñu 1\t2#", -30, "9:5"};
  EXPECT_EQ(solicitarEstacionamientoURL(kBase, purchase),
            std::string(kBase) +
                "/qorvix/json/solicitarEstacionamiento?phone=099123456&appTransactionId=1"
                "&deviceId=" +
                kDevice + "&plate=%C3%91u1%092%23&minutes=-30&hour=9:5");
  EXPECT_EQ(
      registryQueryURL(kBase, "abc1234", "12 34&x"),
      std::string(kBase) +
          "/halvaro/meridel/sucive?consulta=consultaPatente&patente=abc1234&padron=12%2034%26x");
}

TEST(ReplyDecoding, NonJsonNonObjectAndNonAsciiRepliesDecodeToNothing) {
  EXPECT_FALSE(decodeReply(std::nullopt));
  EXPECT_FALSE(decodeReply(body("")));
  EXPECT_FALSE(decodeReply(body("<html>500</html>")));
  EXPECT_FALSE(decodeReply(body("0")));
  EXPECT_FALSE(decodeReply(body("{\"status\":0,\"errors\":\"caf\xc3\xa9\"}")));
  EXPECT_TRUE(decodeReply(body("{\"status\":0,\"errors\":\"caf\\u00e9\"}")));
  EXPECT_TRUE(decodeReply(body("[1]")));
}

TEST(ReplyDecoding, AServiceErrorIsA5xxOrAReplyThatIsNoObject) {
  // A refusal is an answer, whatever it says.
  EXPECT_FALSE(isServiceError(200, body("{\"status\":1,\"errors\":\"no\"}")));
  EXPECT_FALSE(isServiceError(404, body("{\"status\":1}")));
  EXPECT_FALSE(isServiceError(200, body("{}")));
  // Whatever a server error's body holds, the service did not answer.
  EXPECT_TRUE(isServiceError(500, body("{\"status\":0}")));
  EXPECT_TRUE(isServiceError(503, std::nullopt));
  EXPECT_TRUE(isServiceError(200, std::nullopt));
  EXPECT_TRUE(isServiceError(200, body("")));
  EXPECT_TRUE(isServiceError(200, body("{\"status\":0,\"transactionStatus\":\"O")));
  EXPECT_TRUE(isServiceError(200, body("[{\"status\":0}]")));
}

TEST(ReplyDecoding, BooleanConversionFollowsThePlatformRule) {
  auto read = [](std::string_view json) {
    std::optional<Json> v = decodeReply(toData(std::string("{\"v\":") + std::string(json) + "}"));
    return v && replyBool((*v)["v"]);
  };
  for (std::string_view t : {"true", "1", "-2", "0.5", "\"YES\"", "\"y\"", "\"true\"", "\"T\"",
                             "\"  +0009\"", "\"1abc\"", "\"-007\""})
    EXPECT_TRUE(read(t)) << t;
  for (std::string_view f : {"false", "0", "0.0", "null", "\"\"", "\"no\"", "\"0\"", "\"000\"",
                             "\"false\"", "\"  x1\"", "[1]", "{\"a\":1}", "\"+-1\""})
    EXPECT_FALSE(read(f)) << f;
  EXPECT_FALSE(replyBool(Json::null()["absent"]));
}

TEST(ValidateNumberReply, StatusByTextFormThenResultado) {
  using O = ValidateNumberOutcome;
  EXPECT_EQ(readValidateNumberReply(body(R"({"status":0,"resultado":"OK"})")), O::Accepted);
  EXPECT_EQ(readValidateNumberReply(body(R"({"status":"0","resultado":"OK"})")), O::Accepted);
  EXPECT_EQ(readValidateNumberReply(body(R"({"status":"0","resultado":"ok"})")), O::NoOutcome);
  EXPECT_EQ(readValidateNumberReply(body(R"({"status":0})")), O::NoOutcome);
  EXPECT_EQ(readValidateNumberReply(body(R"({"status":1,"resultado":"OK"})")), O::NotAccepted);
  EXPECT_EQ(readValidateNumberReply(body(R"({"status":" 0","resultado":"OK"})")), O::NotAccepted);
  EXPECT_EQ(readValidateNumberReply(body(R"({"resultado":"OK"})")), O::NotAccepted);
  EXPECT_EQ(readValidateNumberReply(body(R"([{"status":0,"resultado":"OK"}])")), O::NotAccepted);
  EXPECT_EQ(readValidateNumberReply(body("garbage")), O::NotAccepted);
  EXPECT_EQ(readValidateNumberReply(std::nullopt), O::NotAccepted);
}

TEST(ValidatePinReply, MissingFlagIsAWrongPinAndOtherStatusIsNotRegistered) {
  using O = ValidatePinOutcome;
  EXPECT_EQ(readValidatePinReply(body(R"({"status":0,"validationSucesfull":true})")), O::Correct);
  EXPECT_EQ(readValidatePinReply(body(R"({"status":"0","validationSucesfull":"true"})")),
            O::Correct);
  EXPECT_EQ(readValidatePinReply(body(R"({"status":0,"validationSucesfull":false})")), O::WrongPin);
  EXPECT_EQ(readValidatePinReply(body(R"({"status":0})")), O::WrongPin);
  EXPECT_EQ(readValidatePinReply(body(R"({"status":0,"validationSucesfull":null})")), O::WrongPin);
  EXPECT_EQ(readValidatePinReply(body(R"({"status":2,"validationSucesfull":true})")),
            O::NotRegistered);
  EXPECT_EQ(readValidatePinReply(body("{}")), O::NotRegistered);
  EXPECT_EQ(readValidatePinReply(body("\xff")), O::NotRegistered);
}

TEST(ConsultarRegistroReply, RegistradoReadAsBooleanOnlyOnSuccess) {
  using K = ConsultarRegistroOutcome::Kind;
  auto yes = readConsultarRegistroReply(body(R"({"status":0,"registrado":true})"));
  EXPECT_EQ(yes.kind, K::Answered);
  EXPECT_TRUE(yes.registrado);
  auto no = readConsultarRegistroReply(body(R"({"status":"0","registrado":0})"));
  EXPECT_EQ(no.kind, K::Answered);
  EXPECT_FALSE(no.registrado);
  auto absent = readConsultarRegistroReply(body(R"({"status":0})"));
  EXPECT_EQ(absent.kind, K::Answered);
  EXPECT_FALSE(absent.registrado);
  auto refused = readConsultarRegistroReply(body(R"({"status":2,"registrado":true})"));
  EXPECT_EQ(refused.kind, K::NotRegistered);
  EXPECT_FALSE(refused.registrado);
  EXPECT_EQ(readConsultarRegistroReply(body("[]")).kind, K::NotRegistered);
}

TEST(PriceOf30Reply, NumberOrNumericTextWithoutLookingAtStatus) {
  EXPECT_EQ(readPriceOf30Reply(body(R"({"price":12.5})")), 12.5);
  EXPECT_EQ(readPriceOf30Reply(body(R"({"price":"12.5"})")), 12.5);
  EXPECT_EQ(readPriceOf30Reply(body(R"({"status":1,"price":25})")), 25.0);
  EXPECT_FALSE(readPriceOf30Reply(body(R"({"status":0})")));
  EXPECT_FALSE(readPriceOf30Reply(body(R"({"price":"doce"})")));
  EXPECT_FALSE(readPriceOf30Reply(body(R"({"price":true})")));
  EXPECT_FALSE(readPriceOf30Reply(body("12.5")));
}

TEST(SolicitarEstacionamientoReply, AcceptedOnlyOnStatusZeroWithErrorsOtherwise) {
  using K = SolicitarEstacionamientoOutcome::Kind;
  EXPECT_EQ(readSolicitarEstacionamientoReply(body(R"({"status":0})")).kind, K::Accepted);
  EXPECT_EQ(readSolicitarEstacionamientoReply(body(R"({"status":"0"})")).kind, K::Accepted);
  auto refused = readSolicitarEstacionamientoReply(
      body(R"({"status":1,"errors":"Saldo insuficiente en la l\u00ednea"})"));
  EXPECT_EQ(refused.kind, K::Refused);
  EXPECT_EQ(refused.errors, "Saldo insuficiente en la línea");
  auto bare = readSolicitarEstacionamientoReply(body(R"({"status":1})"));
  EXPECT_EQ(bare.kind, K::Refused);
  EXPECT_FALSE(bare.errors);
  auto garbage = readSolicitarEstacionamientoReply(body("Internal Server Error"));
  EXPECT_EQ(garbage.kind, K::Refused);
  EXPECT_FALSE(garbage.errors);
}

class ConsultarEstacionamientoReply : public ::testing::Test {
 protected:
  // A Wednesday afternoon in the fixed zone.
  TimePoint reference = fromLocal(LocalTime{2026, 3, 11, 14, 3, 27});
  ConsultarEstacionamientoOutcome read(std::string_view json) {
    return readConsultarEstacionamientoReply(toData(json), reference);
  }
};

TEST_F(ConsultarEstacionamientoReply, ConfirmationCarriesTodaysTimesAndItsOptionalTexts) {
  auto o = read(R"({"transactionStatus":"OK","idTicket":4711,"inicio":"14:00","fin":"15:30",)"
                R"("matricula":"ABC1234","costo":75})");
  ASSERT_EQ(o.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_EQ(o.idTicket, 4711);
  EXPECT_EQ(o.inicio, fromLocal(LocalTime{2026, 3, 11, 14, 0, 0}));
  EXPECT_EQ(o.fin, fromLocal(LocalTime{2026, 3, 11, 15, 30, 0}));
  EXPECT_EQ(o.inicioText, "14:00");
  EXPECT_EQ(o.finText, "15:30");
  EXPECT_EQ(o.matricula, "ABC1234");
  EXPECT_EQ(o.costo, "75");

  // The ticket number may come as text; one-digit hours are read; the texts are optional.
  auto text = read(R"({"transactionStatus":"OK","idTicket":"4711","inicio":"9:05","fin":"9:35"})");
  ASSERT_EQ(text.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_EQ(text.idTicket, 4711);
  EXPECT_EQ(formatHourMinute(text.inicio), "09:05");
  EXPECT_EQ(formatHourMinute(text.fin), "09:35");
  EXPECT_FALSE(text.matricula);
  EXPECT_FALSE(text.costo);

  auto unparsable = read(R"({"transactionStatus":"OK","idTicket":"T-1","inicio":"10:00",)"
                         R"("fin":"10:30"})");
  ASSERT_EQ(unparsable.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_FALSE(unparsable.idTicket);

  // An end before the start stays on the same day.
  auto late = read(R"({"transactionStatus":"OK","idTicket":1,"inicio":"23:30","fin":"00:30"})");
  ASSERT_EQ(late.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_EQ(late.fin, fromLocal(LocalTime{2026, 3, 11, 0, 30, 0}));
  EXPECT_LT(late.fin, late.inicio);
}

TEST_F(ConsultarEstacionamientoReply, ConfirmationWithUnreadableTimesStaysUndecided) {
  for (std::string_view times :
       {R"("inicio":"1400","fin":"15:30")", R"("inicio":"14:00","fin":"25:00")",
        R"("inicio":"14:60","fin":"15:00")", R"("inicio":"ab:cd","fin":"15:00")",
        R"("inicio":"14:00")", R"("inicio":14,"fin":15)", R"("inicio":"-1:00","fin":"1:00")",
        R"("inicio":"14:","fin":"15:00")", R"("inicio":"14:00:99","fin":"15:00")",
        R"("inicio":"123:00","fin":"15:00")", R"("inicio":"","fin":":")"}) {
    auto o =
        read(std::string(R"({"transactionStatus":"OK","idTicket":1,)") + std::string(times) + "}");
    EXPECT_EQ(o.kind, ConsultarEstacionamientoOutcome::Kind::NoDecision) << times;
  }
  auto seconds = read(R"({"transactionStatus":"OK","inicio":"14:00:00","fin":"14:30:59"})");
  EXPECT_EQ(seconds.kind, ConsultarEstacionamientoOutcome::Kind::Confirmed);
  EXPECT_EQ(formatHourMinute(seconds.fin), "14:30");
}

TEST_F(ConsultarEstacionamientoReply, OtherStatusesAndBrokenReplies) {
  using K = ConsultarEstacionamientoOutcome::Kind;
  EXPECT_EQ(read(R"({"transactionStatus":"IN_PROGRESS"})").kind, K::InProgress);
  EXPECT_EQ(read(R"({"transactionStatus":"ERROR","errors":"x"})").kind, K::Refused);
  EXPECT_EQ(read(R"({"transactionStatus":"ok","inicio":"10:00","fin":"11:00"})").kind,
            K::NoDecision);
  EXPECT_EQ(read(R"({"transactionStatus":0})").kind, K::NoDecision);
  EXPECT_EQ(read(R"({"status":0})").kind, K::NoDecision);
  EXPECT_EQ(read(R"(["OK"])").kind, K::NoDecision);
  EXPECT_EQ(read("").kind, K::NoDecision);
  EXPECT_EQ(readConsultarEstacionamientoReply(std::nullopt).kind, K::NoDecision);
}

TEST(RegistryReply, FoundOnlyWithResponseStatusZero) {
  using K = RegistryQueryOutcome::Kind;
  auto number =
      readRegistryQueryReply(body(R"({"response":{"status":0,"mensaje":"Al d\u00eda"}})"));
  EXPECT_EQ(number.kind, K::Found);
  EXPECT_EQ(number.mensaje, "Al día");
  EXPECT_EQ(readRegistryQueryReply(body(R"({"response":{"status":"0"}})")).kind, K::Found);
  EXPECT_EQ(readRegistryQueryReply(body(R"({"response":{"status":1,"mensaje":"x"}})")).kind,
            K::NoResult);
  EXPECT_EQ(readRegistryQueryReply(body(R"({"status":0,"mensaje":"x"})")).kind, K::NoResult);
  EXPECT_EQ(readRegistryQueryReply(body(R"({"response":"0"})")).kind, K::NoResult);
  EXPECT_EQ(readRegistryQueryReply(body("nope")).kind, K::NoResult);
}

TEST(RegistryPlate, ThreeLettersThenFourDigits) {
  EXPECT_TRUE(isRegistryPlate("ABC1234"));
  EXPECT_TRUE(isRegistryPlate("abc1234"));
  for (std::string_view bad :
       {"AB12345", "ABCD123", "ABC123", "ABC 1234", "", "ÑBC1234", "ABC123X", "1BC1234"})
    EXPECT_FALSE(isRegistryPlate(bad)) << bad;
}

}  // namespace
}  // namespace est
