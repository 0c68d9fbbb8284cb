#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "json/value.h"
#include "parking_service.h"
#include "platform/error.h"

namespace est {

struct ServiceReply {
  int httpStatus = 200;
  Json body;
};

// What the service knows and decides, apart from the network. Thread-safe.
class ServiceCore {
 public:
  explicit ServiceCore(const ParkingServiceOptions& options);

  // Reads the state file when one is configured; a missing file is an empty state.
  bool load(Error* error);
  // Writes the state file atomically (temporary file, fsync, rename); true without a file.
  bool save(Error* error);

  // Answers one GET for `target` (path and query).
  ServiceReply handle(std::string_view target);

  std::optional<std::string> pinFor(std::string_view phone) const;

  // Draws a number in [0, 1) for the fault rates, from the service's seeded generator.
  double draw();

 private:
  struct Phone {
    std::string pin;        // last PIN sent; empty when none is kept
    std::string pinDevice;  // the device that asked for it
    int failedAttempts = 0;
    std::string device;  // the device that verified the phone; empty until then
  };
  enum class PurchaseState { Pending, Confirmed, Refused };
  struct Purchase {
    std::string phone;
    std::int32_t id = 0;
    std::string device;
    std::string plate;
    int minutes = 0;
    std::string hour;  // "HH:mm"
    int polls = 0;
    PurchaseState state = PurchaseState::Pending;
    std::int64_t idTicket = 0;
    std::string fin;
    double costo = 0;
  };
  using Params = std::map<std::string, std::string, std::less<>>;
  struct SentPin {
    std::string phone;
    std::string pin;
  };

  ServiceReply route(std::string_view path, const Params& params, std::optional<SentPin>& sent);
  ServiceReply validateNumber(const Params& params, std::optional<SentPin>& sent);
  ServiceReply validatePin(const Params& params);
  ServiceReply consultarRegistro(const Params& params);
  ServiceReply getPriceOf30(const Params& params);
  ServiceReply solicitarEstacionamiento(const Params& params);
  ServiceReply consultarEstacionamiento(const Params& params);
  ServiceReply registryQuery(const Params& params);

  Json status(int code) const;
  ServiceReply failure(std::string_view errors, int httpStatus = 200) const;
  ServiceReply purchaseReply(const Purchase& purchase) const;
  void remember(Purchase purchase);

  bool saveLocked(Error* error);
  Json stateJson() const;
  bool readState(const Json& state, Error* error);

  ParkingServiceOptions options_;
  mutable std::mutex mutex_;
  std::mt19937_64 random_;
  std::map<std::string, Phone, std::less<>> phones_;
  std::set<std::string, std::less<>> accounts_;
  std::map<std::string, Purchase, std::less<>> purchases_;  // by "phone/id"
  std::deque<std::string> purchaseOrder_;                   // oldest first, for the cap
  std::int64_t nextTicket_ = 1001;
  bool dirty_ = false;
};

}  // namespace est
