#pragma once

#include <functional>
#include <optional>
#include <string>

namespace est {

// What the embedding program says about itself (set once, at start-up).
struct ApplicationInfo {
  std::string displayName;
  std::string name;
  std::string shortVersion;
  std::string buildVersion;
};

// What the device says about itself.
struct DeviceInfo {
  std::string model;
  std::string systemName;
  std::string systemVersion;
  std::string localeIdentifier;
};

class UserAgent {
 public:
  static void setApplicationInfo(ApplicationInfo info);
  static ApplicationInfo applicationInfo();
  // Replaces where device facts come from (tests); by default the platform layer answers.
  static void setDeviceInfoProvider(std::function<DeviceInfo()> provider);
  static DeviceInfo deviceInfo();

  // "Name version (model; system version; locale)", or nothing without an application name.
  static std::optional<std::string> defaultUserAgentString();
  static std::optional<std::string> userAgentString(const ApplicationInfo& app,
                                                    const DeviceInfo& device);
};

}  // namespace est
