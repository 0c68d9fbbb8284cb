#pragma once

// The application's whole configuration: the two service base addresses. Set once at start-up
// (command line, environment, or the embedded demo service) and read by every screen.

#include <string>

namespace est {

class AppConfig {
 public:
  static std::string parkingServiceURL();
  static std::string registryServiceURL();
  static void setParkingServiceURL(std::string url);
  static void setRegistryServiceURL(std::string url);
  // True when both addresses point at the embedded demo service.
  static bool isDemo();
  static void setDemo(bool demo);
};

}  // namespace est
