#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parking_service.h"
#include "platform/error.h"

namespace est {

struct ParkingServiceCommandLine {
  ParkingServiceOptions options = ParkingServiceOptions::commandLineDefaults();
  std::string host = "127.0.0.1";
  std::uint16_t port = 8080;
  bool help = false;
};

// Reads the arguments after the program name. Nothing, with a message in `error`, on a bad
// option or value.
std::optional<ParkingServiceCommandLine> parseParkingServiceCommandLine(
    const std::vector<std::string>& arguments, Error* error = nullptr);

// The --help text.
std::string parkingServiceUsage();

}  // namespace est
