#include "http/user_agent.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

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

std::string readLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
  return line;
}

// Stand-in until the platform layer answers: DMI product name, kernel name and release,
// and the locale from the environment.
DeviceInfo fallbackDeviceInfo() {
  DeviceInfo d;
  d.model = readLine("/sys/class/dmi/id/product_name");
  struct utsname u {};
  if (uname(&u) == 0) {
    d.systemName = u.sysname;
    d.systemVersion = u.release;
    if (d.model.empty()) d.model = u.machine;
  }
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      std::string s(v);
      s = s.substr(0, s.find_first_of(".@"));
      d.localeIdentifier = s == "C" || s == "POSIX" ? "en_US_POSIX" : s;
      break;
    }
  }
  return d;
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
  return provider ? provider() : fallbackDeviceInfo();
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
  return userAgentString(applicationInfo(), deviceInfo());
}

}  // namespace est
