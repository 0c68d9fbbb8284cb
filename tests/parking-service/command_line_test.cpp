#include "command_line.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "json/json.h"
#include "parking-service/child_service.h"
#include "parking-service/raw_client.h"
#include "platform/test_support.h"
#include "protocol/parking_protocol.h"
#include "protocol/reply.h"

namespace est::testing {
namespace {

constexpr const char* kPhone = "099123456";
constexpr const char* kDevice = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

std::optional<ParkingServiceCommandLine> parse(std::vector<std::string> args,
                                               std::string* message = nullptr) {
  Error error;
  auto line = parseParkingServiceCommandLine(args, &error);
  if (message) *message = error.description;
  return line;
}

TEST(CommandLine, EveryOptionInBothSpellings) {
  auto line = parse({"--listen",
                     "[::1]:0",
                     "--price=12.5",
                     "--confirm-after",
                     "0",
                     "--refuse-plates",
                     "ABC1234,SBA4321",
                     "--refuse-plates=X1",
                     "--account",
                     "098765432",
                     "--account=091111111,092222222",
                     "--status-as-text",
                     "--state",
                     "/tmp/s.json",
                     "--gzip",
                     "--delay-ms=20",
                     "--fault",
                     "drop:0.25",
                     "--fault=silent",
                     "--seed",
                     "9",
                     "--quiet",
                     "--any-hour"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->host, "::1");
  EXPECT_EQ(line->port, 0);
  const ParkingServiceOptions& o = line->options;
  EXPECT_EQ(o.price, 12.5);
  EXPECT_EQ(o.confirmAfter, 0);
  EXPECT_EQ(o.refusePlates, (std::vector<std::string>{"ABC1234", "SBA4321", "X1"}));
  EXPECT_EQ(o.accounts, (std::vector<std::string>{"098765432", "091111111", "092222222"}));
  EXPECT_TRUE(o.statusAsText);
  EXPECT_EQ(o.stateFile, "/tmp/s.json");
  EXPECT_TRUE(o.gzip);
  EXPECT_EQ(o.delayMs, 20);
  ASSERT_EQ(o.faults.size(), 2u);
  EXPECT_EQ(o.faults[0].kind, ServiceFault::Kind::Drop);
  EXPECT_EQ(o.faults[0].rate, 0.25);
  EXPECT_EQ(o.faults[1].kind, ServiceFault::Kind::Silent);
  EXPECT_EQ(o.faults[1].rate, 1.0);
  EXPECT_EQ(o.seed, 9u);
  EXPECT_TRUE(o.quiet);
  EXPECT_TRUE(o.anyHour);
}

TEST(CommandLine, BadOptionsAndValuesAreNamed) {
  std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                               {"--price"},
                                               {"--price", "cheap"},
                                               {"--price", "-1"},
                                               {"--price", "nan"},
                                               {"--listen", "8080"},
                                               {"--listen", "h:99999"},
                                               {"--listen", "[::1:0"},
                                               {"--confirm-after", "-1"},
                                               {"--delay-ms", "x"},
                                               {"--fault", "boom"},
                                               {"--fault", "drop:2"},
                                               {"--fault", "drop:"},
                                               {"--account", "123"},
                                               {"--gzip=yes"},
                                               {"--seed", "-3"},
                                               {"stray"},
                                               {"--state", ""}};
  for (const auto& args : bad) {
    std::string message;
    EXPECT_FALSE(parse(args, &message)) << args[0];
    EXPECT_FALSE(message.empty()) << args[0];
  }
}

TEST(CommandLine, HelpDescribesEveryOption) {
  std::string usage = parkingServiceUsage();
  for (const char* option :
       {"--listen", "--price", "--confirm-after", "--refuse-plates", "--account", "--any-hour",
        "--status-as-text", "--state", "--gzip", "--delay-ms", "--fault", "drop", "garbage",
        "http500", "silent", "--seed", "--quiet", "--help"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  EXPECT_TRUE(parse({"-h"})->help);
}

class Program : public ::testing::Test {
 protected:
  TempDir dir;
  std::string program = PARKING_SERVICE_PATH;

  RawReply get(std::uint16_t port, const std::string& url) {
    std::string target = url.substr(url.find('/', std::strlen("http://")));
    return rawGet(port, target);
  }
  std::optional<Data> body(const RawReply& r) {
    return r.received ? std::optional<Data>(toData(r.body)) : std::nullopt;
  }
};

TEST_F(Program, HelpAndBadArguments) {
  ChildService help;
  ASSERT_TRUE(help.spawn(program, {"--help"}));
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(help.standardOutput().find("--fault KIND[:RATE]"), std::string::npos);

  ChildService bad;
  ASSERT_TRUE(bad.spawn(program, {"--price", "free"}));
  EXPECT_EQ(bad.wait(), 2);
  EXPECT_NE(bad.standardError().find("--price"), std::string::npos);
}

TEST_F(Program, StateSurvivesARestartAfterSigterm) {
  std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--state",
                                   (dir / "state.json").string()};
  ChildService child;
  ASSERT_TRUE(child.spawn(program, args));
  std::optional<std::uint16_t> port = child.waitUntilListening();
  ASSERT_TRUE(port) << child.standardError();
  std::string base = "http://127.0.0.1:" + std::to_string(*port);
  EXPECT_EQ(readValidateNumberReply(body(get(*port, validateNumberURL(base, kPhone, kDevice)))),
            ValidateNumberOutcome::Accepted);
  std::optional<std::string> log = child.waitForError("PIN for 099123456: ");
  ASSERT_TRUE(log);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(*log, match, std::regex("PIN for 099123456: ([0-9]{4})")));
  EXPECT_EQ(child.stop(SIGTERM), 0);

  ChildService again;
  ASSERT_TRUE(again.spawn(program, args));
  port = again.waitUntilListening();
  ASSERT_TRUE(port) << again.standardError();
  base = "http://127.0.0.1:" + std::to_string(*port);
  EXPECT_EQ(
      readValidatePinReply(body(get(*port, validatePinURL(base, kPhone, kDevice, match[1].str())))),
      ValidatePinOutcome::Correct);
  EXPECT_EQ(again.stop(SIGINT), 0);
}

TEST_F(Program, FaultsQuietAndABusyPort) {
  ChildService child;
  ASSERT_TRUE(child.spawn(program, {"--listen=127.0.0.1:0", "--fault", "garbage", "--quiet"}));
  std::optional<std::uint16_t> port = child.waitUntilListening();
  ASSERT_TRUE(port);
  RawReply reply = rawGet(*port, "/qorvix/json/getPriceOf30?phone=099123456");
  EXPECT_EQ(reply.status, 200);
  EXPECT_FALSE(decodeReply(body(reply)));

  ChildService clash;
  ASSERT_TRUE(clash.spawn(program, {"--listen", "127.0.0.1:" + std::to_string(*port)}));
  EXPECT_EQ(clash.wait(), 1);
  EXPECT_NE(clash.standardError().find("cannot listen"), std::string::npos);

  EXPECT_EQ(child.stop(), 0);
  EXPECT_EQ(child.standardError().find("GET "), std::string::npos) << child.standardError();
}

TEST_F(Program, ConnectionsStayBelowTheDescriptorLimit) {
  ChildService child;
  ASSERT_TRUE(child.spawn(
      "/bin/sh", {"-c", "ulimit -n 64 && exec " + program + " --listen 127.0.0.1:0 --quiet"}));
  std::optional<std::uint16_t> port = child.waitUntilListening();
  ASSERT_TRUE(port) << child.standardError();
  IdleClients crowd;
  crowd.make(100);
  crowd.connectAll(*port);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // Spare descriptors are left: the state file, the log and accepting stay possible.
  EXPECT_LT(openDescriptors(child.pid()), 56);
  crowd.release();
  RawReply reply = rawGet(*port, "/qorvix/json/getPriceOf30?phone=099123456");
  EXPECT_EQ(readPriceOf30Reply(body(reply)), 25.0) << reply.error;
  EXPECT_EQ(child.stop(), 0);
}

}  // namespace
}  // namespace est::testing
