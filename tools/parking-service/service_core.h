#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "json/value.h"
#include "parking_service.h"
#include "platform/error.h"
#include "state_store.h"

namespace est {

struct ServiceReply {
  int httpStatus = 200;
  Json body;
};

// What the service knows and decides, apart from the network. Thread-safe.
class ServiceCore {
 public:
  explicit ServiceCore(const ParkingServiceOptions& options);
  ~ServiceCore();

  // Opens the state file when one is configured; a missing file is an empty state.
  bool load(Error* error);
  // Every change is already stored when its request is answered; kept for callers that stop.
  bool save(Error* error);

  // Answers one GET for `target` (path and query) from `client` (an address; empty when the
  // caller is not on the network).
  ServiceReply handle(std::string_view target, std::string_view client = {});

  std::optional<std::string> pinFor(std::string_view phone) const;

  // Draws a number in [0, 1) for the fault rates, from the service's seeded generator.
  double draw();

 private:
  using Params = std::map<std::string, std::string, std::less<>>;
  struct SentPin {
    std::string phone;
    std::string pin;
  };
  // Wrong PINs from one client address, across phones; kept in memory only.
  struct Guesser {
    int failures = 0;
    int lockouts = 0;
    std::int64_t lockedUntilMs = 0;
    std::int64_t lastFailureMs = 0;
  };

  ServiceReply route(std::string_view path, const Params& params, std::string_view client,
                     std::optional<SentPin>& sent);
  ServiceReply validateNumber(const Params& params, std::string_view client,
                              std::optional<SentPin>& sent);
  ServiceReply validatePin(const Params& params, std::string_view client);
  ServiceReply consultarRegistro(const Params& params);
  ServiceReply getPriceOf30(const Params& params);
  ServiceReply solicitarEstacionamiento(const Params& params);
  ServiceReply consultarEstacionamiento(const Params& params);
  ServiceReply registryQuery(const Params& params);

  Json status(int code) const;
  ServiceReply failure(std::string_view errors, int httpStatus = 200) const;
  ServiceReply purchaseReply(const PurchaseRecord& purchase) const;
  void remember(PurchaseRecord purchase);

  // A refusal while `client` or `phone` must wait, or nothing.
  std::optional<ServiceReply> lockedOut(const PhoneRecord* phone, std::string_view client,
                                        std::int64_t nowMs);
  // Counts a wrong PIN; gives the refusal when it starts a wait.
  std::optional<ServiceReply> countWrongPin(PhoneRecord& phone, std::string_view client,
                                            std::int64_t nowMs);

  ParkingServiceOptions options_;
  mutable std::mutex mutex_;
  std::mt19937_64 random_;
  ServiceState state_;
  StateChanges changes_;
  std::unique_ptr<StateStore> store_;
  std::map<std::string, Guesser, std::less<>> guessers_;
};

}  // namespace est
