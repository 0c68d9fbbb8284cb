#include "app/app_config.h"

#include <mutex>

namespace est {
namespace {

struct State {
  std::mutex mutex;
  std::string parking;
  std::string registry;
  bool demo = false;
};

State& state() {
  static State s;
  return s;
}

}  // namespace

std::string AppConfig::parkingServiceURL() {
  std::lock_guard lock(state().mutex);
  return state().parking;
}

std::string AppConfig::registryServiceURL() {
  std::lock_guard lock(state().mutex);
  return state().registry;
}

void AppConfig::setParkingServiceURL(std::string url) {
  std::lock_guard lock(state().mutex);
  state().parking = std::move(url);
}

void AppConfig::setRegistryServiceURL(std::string url) {
  std::lock_guard lock(state().mutex);
  state().registry = std::move(url);
}

bool AppConfig::isDemo() {
  std::lock_guard lock(state().mutex);
  return state().demo;
}

void AppConfig::setDemo(bool demo) {
  std::lock_guard lock(state().mutex);
  state().demo = demo;
}

}  // namespace est
