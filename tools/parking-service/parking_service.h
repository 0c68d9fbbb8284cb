#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace est {

inline constexpr const char* ParkingServiceErrorDomain = "ParkingServiceErrorDomain";

// A deliberate failure of the service, for exercising clients.
struct ServiceFault {
  enum class Kind {
    Drop,     // close the connection without a reply
    Garbage,  // answer 200 with a body that is not JSON
    Http500,  // answer 500
    Silent,   // keep the connection open and never answer
  };
  Kind kind = Kind::Drop;
  double rate = 1.0;  // chance per request, 0..1
};

// Called with the phone and the PIN each time the service "sends" a PIN.
using PinObserver = std::function<void(const std::string& phone, const std::string& pin)>;

// Defaults suit an embedded demo: purchases are taken at any hour on any day and requests are
// not logged. The command line starts from commandLineDefaults(), which follows the paid hours.
struct ParkingServiceOptions {
  double price = 25.0;                    // price of 30 minutes
  int confirmAfter = 2;                   // status polls answered "IN_PROGRESS" before the verdict
  std::vector<std::string> refusePlates;  // purchases for these plates end in "ERROR"
  std::vector<std::string> accounts;      // phones that already hold an account
  bool statusAsText = false;              // "status" as the text "0" instead of the number
  std::string stateFile;                  // empty: state lives in memory only
  bool gzip = false;                      // gzip replies to clients that accept it
  int delayMs = 0;                        // delay before every reply
  std::vector<ServiceFault> faults;
  bool anyHour = true;  // false: purchases only Monday to Friday, starting 10:00 to 17:59
  bool quiet = true;    // no line per request (the PIN line is always logged)
  std::optional<std::uint64_t> seed;  // fixes PINs and fault draws
  PinObserver pinObserver;

  static ParkingServiceOptions commandLineDefaults();
};

// The parking service and the vehicle registry on one HTTP listener, served from a thread of
// its own. "Now" (paid hours, weekday) comes from Clock::current().
class ParkingService {
 public:
  explicit ParkingService(ParkingServiceOptions options = {});
  ~ParkingService();  // stops
  ParkingService(const ParkingService&) = delete;
  ParkingService& operator=(const ParkingService&) = delete;

  // Loads the state file, binds host:port (port 0 picks a free one) and starts serving.
  // Gives the bound port, or nothing with `error` (address in use, unreadable state file).
  std::optional<std::uint16_t> start(std::string_view host = "127.0.0.1", std::uint16_t port = 0,
                                     Error* error = nullptr);
  // Closes the listener and every connection, waits for the service thread and writes the
  // state file. Safe to call twice; start() may follow.
  void stop();

  bool running() const;
  std::uint16_t port() const;
  // "http://HOST:PORT" of the running listener (IPv6 hosts in brackets).
  std::string baseAddress() const;

  // The last PIN sent to `phone`, while it is kept.
  std::optional<std::string> pinFor(std::string_view phone) const;
  // Requests answered or faulted since start().
  std::uint64_t requestCount() const;
  // Connections that could not be taken since start() (descriptors or memory ran out).
  std::uint64_t acceptFailures() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace est
