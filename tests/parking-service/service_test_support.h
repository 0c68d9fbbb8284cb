#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "parking-service/raw_client.h"
#include "parking_service.h"
#include "platform/data.h"
#include "protocol/parking_protocol.h"

namespace est::testing {

inline constexpr const char* kPhone = "099123456";
inline constexpr const char* kDevice = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
inline constexpr const char* kOtherDevice = "11111111-2222-3333-4444-555555555555";

inline std::optional<Data> bodyOf(const RawReply& reply) {
  if (!reply.received) return std::nullopt;
  return toData(reply.body);
}

// An embedded service on an ephemeral loopback port, and calls through the protocol builders.
class EmbeddedService : public ::testing::Test {
 protected:
  void TearDown() override {
    if (service) service->stop();
  }

  void startService(ParkingServiceOptions options = {}) {
    service = std::make_unique<ParkingService>(std::move(options));
    Error error;
    std::optional<std::uint16_t> port = service->start("127.0.0.1", 0, &error);
    ASSERT_TRUE(port) << error.description;
    base = service->baseAddress();
    ASSERT_EQ(base, "http://127.0.0.1:" + std::to_string(*port));
  }

  RawReply call(const std::string& url,
                const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    return rawGet(service->port(), url.substr(base.size()), headers);
  }
  RawReply path(const std::string& target) { return rawGet(service->port(), target); }

  // validateNumber then validatePin with the PIN the service "sent".
  void registerPhone(const std::string& phone = kPhone, const std::string& device = kDevice) {
    ASSERT_EQ(readValidateNumberReply(bodyOf(call(validateNumberURL(base, phone, device)))),
              ValidateNumberOutcome::Accepted);
    std::optional<std::string> pin = service->pinFor(phone);
    ASSERT_TRUE(pin);
    ASSERT_EQ(readValidatePinReply(bodyOf(call(validatePinURL(base, phone, device, *pin)))),
              ValidatePinOutcome::Correct);
  }

  ValidateNumberOutcome checkNumber(const std::string& phone, const std::string& device = kDevice) {
    return readValidateNumberReply(bodyOf(call(validateNumberURL(base, phone, device))));
  }
  ValidatePinOutcome checkPin(const std::string& pin, const std::string& device = kDevice) {
    return readValidatePinReply(bodyOf(call(validatePinURL(base, kPhone, device, pin))));
  }

  ParkingPurchase purchase(std::int64_t id, std::string plate = "ABC 1234", int minutes = 90,
                           std::string hour = "14:00") const {
    return ParkingPurchase{kPhone, id, kDevice, std::move(plate), minutes, std::move(hour)};
  }

  SolicitarEstacionamientoOutcome buy(const ParkingPurchase& p) {
    return readSolicitarEstacionamientoReply(bodyOf(call(solicitarEstacionamientoURL(base, p))));
  }
  ConsultarEstacionamientoOutcome poll(std::int64_t id, const std::string& device = kDevice) {
    return readConsultarEstacionamientoReply(
        bodyOf(call(consultarEstacionamientoURL(base, kPhone, id, device))));
  }

  std::unique_ptr<ParkingService> service;
  std::string base;
};

}  // namespace est::testing
