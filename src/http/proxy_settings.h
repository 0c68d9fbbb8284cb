#pragma once

// Where a request's connection goes: the machine's proxy settings (environment variables,
// else the GNOME desktop's) and the proxies they give for a URL.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/support/url.h"

namespace est {

enum class ProxyKind { Direct, HTTP, HTTPS, SOCKS, SOCKS4A, AutoConfig };

struct ProxyEntry {
  ProxyKind kind = ProxyKind::Direct;
  std::string host;
  int port = 0;
  std::string autoConfigURL;  // for AutoConfig
  std::string username, password;

  bool operator==(const ProxyEntry&) const = default;
};

// The request's `proxyType` text for a kind ("HTTP", "HTTPS", "SOCKS", "SOCKS4A"); empty for
// the others.
std::string proxyTypeName(ProxyKind kind);
// The kind a `proxyType` text names; empty means HTTP, unknown texts nothing.
std::optional<ProxyKind> proxyKindFromName(std::string_view name);

// Reads "host:port", "http://[user:pass@]host[:port]", "https://", "socks5://", "socks5h://",
// "socks://", "socks4a://". Ports default to 80, 443 and 1080 by scheme. Nothing for text
// that names no usable proxy.
std::optional<ProxyEntry> parseProxyURL(std::string_view text);

// The settings in the shape of the proxy environment variables.
struct SystemProxySettings {
  std::string http;           // for "http" URLs
  std::string https;          // for "https" URLs
  std::string all;            // for both when the scheme's own is empty
  std::string noProxy;        // comma- or blank-separated exceptions
  std::string autoConfigURL;  // a proxy auto-configuration script
  bool empty() const {
    return http.empty() && https.empty() && all.empty() && autoConfigURL.empty();
  }
};

// Whether `url` is exempt under a no_proxy list: "*", host names, ".suffix" or "suffix"
// domains, IP addresses and CIDR ranges (IPv4 and IPv6), each optionally with ":port".
bool noProxyMatches(std::string_view noProxy, const Url& url);

// The proxies to try for `url`, best first: empty or Direct for none, AutoConfig when a
// script must decide. Nothing when the settings cannot be understood.
std::optional<std::vector<ProxyEntry>> proxiesForURL(const SystemProxySettings& settings,
                                                     const Url& url);

class ProxySettingsSource {
 public:
  virtual ~ProxySettingsSource() = default;
  // Nothing when the settings cannot be read at all.
  virtual std::optional<SystemProxySettings> proxySettings() = 0;
};

// http_proxy, https_proxy, all_proxy, no_proxy and auto_proxy, lower case first.
class EnvironmentProxySource : public ProxySettingsSource {
 public:
  using Lookup = std::function<std::optional<std::string>(const char* name)>;
  explicit EnvironmentProxySource(Lookup lookup = {});
  std::optional<SystemProxySettings> proxySettings() override;

 private:
  Lookup lookup_;
};

// The org.gnome.system.proxy settings, read through the gsettings command at most every
// few seconds, away from the caller's thread; a command that is missing, fails or hangs
// gives empty settings. Only the first question waits for an answer, at most
// `firstReadWaitSeconds`.
class GnomeProxySource : public ProxySettingsSource {
 public:
  explicit GnomeProxySource(std::string gsettingsPath = "/usr/bin/gsettings",
                            double cacheSeconds = 5.0, double commandTimeoutSeconds = 2.0,
                            double firstReadWaitSeconds = 0.5);
  ~GnomeProxySource() override;
  std::optional<SystemProxySettings> proxySettings() override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// "gsettings list-recursively org.gnome.system.proxy" output as settings.
SystemProxySettings parseGsettingsListing(std::string_view text);

// The environment where it names any proxy, else GNOME's settings.
class DefaultProxySource : public ProxySettingsSource {
 public:
  DefaultProxySource();
  std::optional<SystemProxySettings> proxySettings() override;

 private:
  EnvironmentProxySource environment_;
  GnomeProxySource gnome_;
};

// The source every request asks; replaceable (tests, embedders). Null restores the default.
void setProxySettingsSource(std::shared_ptr<ProxySettingsSource> source);
std::shared_ptr<ProxySettingsSource> proxySettingsSource();

// Runs `argv` with standard output captured, killing it after `timeoutSeconds`. Nothing when
// it could not run, failed or was killed.
std::optional<std::string> runCommandWithTimeout(const std::vector<std::string>& argv,
                                                 double timeoutSeconds);

}  // namespace est
