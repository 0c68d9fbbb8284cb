#include "http/user_agent.h"

#include <mutex>

#include "platform/device.h"
#include "platform/format.h"

namespace est {
namespace {

struct State {
  std::mutex mutex;
  ApplicationInfo app;
  std::function<DeviceInfo()> provider;
};
State& state() {
  static auto* s = new State;
  return *s;
}

// Device facts do not change while the program runs: read them once.
const DeviceInfo& platformDeviceInfo() {
  static const DeviceInfo info = [] {
    SystemRelease release = systemRelease();
    return DeviceInfo{deviceModel(), release.name, release.version, localeIdentifier()};
  }();
  return info;
}

}  // namespace

void UserAgent::setApplicationInfo(ApplicationInfo info) {
  std::lock_guard lock(state().mutex);
  state().app = std::move(info);
}

ApplicationInfo UserAgent::applicationInfo() {
  std::lock_guard lock(state().mutex);
  return state().app;
}

void UserAgent::setDeviceInfoProvider(std::function<DeviceInfo()> provider) {
  std::lock_guard lock(state().mutex);
  state().provider = std::move(provider);
}

DeviceInfo UserAgent::deviceInfo() {
  std::function<DeviceInfo()> provider;
  {
    std::lock_guard lock(state().mutex);
    provider = state().provider;
  }
  return provider ? provider() : platformDeviceInfo();
}

std::optional<std::string> UserAgent::userAgentString(const ApplicationInfo& app,
                                                      const DeviceInfo& device) {
  std::string name = !app.displayName.empty() ? app.displayName : app.name;
  if (name.empty()) return std::nullopt;
  std::string version;
  if (!app.shortVersion.empty() && !app.buildVersion.empty())
    version = app.shortVersion != app.buildVersion
                  ? strprintf("%s rv:%s", app.shortVersion.c_str(), app.buildVersion.c_str())
                  : app.shortVersion;
  else
    version = !app.shortVersion.empty() ? app.shortVersion : app.buildVersion;
  return strprintf("%s %s (%s; %s %s; %s)", name.c_str(), version.c_str(), device.model.c_str(),
                   device.systemName.c_str(), device.systemVersion.c_str(),
                   device.localeIdentifier.c_str());
}

std::optional<std::string> UserAgent::defaultUserAgentString() {
  ApplicationInfo app = applicationInfo();
  if (app.displayName.empty() && app.name.empty()) return std::nullopt;
  return userAgentString(app, deviceInfo());
}

}  // namespace est
