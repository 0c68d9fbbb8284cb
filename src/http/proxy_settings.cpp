#include "http/proxy_settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "http/header_map.h"
#include "platform/clock.h"

extern char** environ;

namespace est {

std::string proxyTypeName(ProxyKind kind) {
  switch (kind) {
    case ProxyKind::HTTP:
      return "HTTP";
    case ProxyKind::HTTPS:
      return "HTTPS";
    case ProxyKind::SOCKS:
      return "SOCKS";
    case ProxyKind::SOCKS4A:
      return "SOCKS4A";
    default:
      return {};
  }
}

std::optional<ProxyKind> proxyKindFromName(std::string_view name) {
  if (name.empty() || equalsIgnoringCase(name, "HTTP")) return ProxyKind::HTTP;
  if (equalsIgnoringCase(name, "HTTPS")) return ProxyKind::HTTPS;
  if (equalsIgnoringCase(name, "SOCKS") || equalsIgnoringCase(name, "SOCKS5"))
    return ProxyKind::SOCKS;
  if (equalsIgnoringCase(name, "SOCKS4A")) return ProxyKind::SOCKS4A;
  return std::nullopt;
}

std::optional<ProxyEntry> parseProxyURL(std::string_view text) {
  std::string t(trimWhitespace(text));
  if (t.empty()) return std::nullopt;
  if (t.find("://") == std::string::npos) t = "http://" + t;
  auto url = Url::parse(t);
  if (!url || url->host().empty()) return std::nullopt;
  ProxyEntry e;
  const std::string& scheme = url->scheme();
  int defaultPort = 80;
  if (scheme == "http") {
    e.kind = ProxyKind::HTTP;
  } else if (scheme == "https") {
    e.kind = ProxyKind::HTTPS;
    defaultPort = 443;
  } else if (scheme == "socks" || scheme == "socks5" || scheme == "socks5h") {
    e.kind = ProxyKind::SOCKS;
    defaultPort = 1080;
  } else if (scheme == "socks4a") {
    e.kind = ProxyKind::SOCKS4A;
    defaultPort = 1080;
  } else {
    return std::nullopt;
  }
  e.host = url->host();
  e.port = url->port().value_or(defaultPort);
  // The parser folds ports past 65535 into range; read the written one.
  std::string authority = t.substr(t.find("://") + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  authority =
      authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  if (auto colon = authority.rfind(':');
      colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    std::string digits = authority.substr(colon + 1);
    if (digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c); }) ||
        (!digits.empty() && std::stoi(digits) > 65535))
      return std::nullopt;
  }
  if (e.port <= 0 || e.port > 65535) return std::nullopt;
  e.username = url->user();
  e.password = url->password();
  return e;
}

namespace {

struct Address {
  int family = 0;
  unsigned char bytes[16] = {};
  int length() const { return family == AF_INET ? 4 : 16; }
};

std::optional<Address> parseAddress(const std::string& text) {
  Address a;
  if (::inet_pton(AF_INET, text.c_str(), a.bytes) == 1) {
    a.family = AF_INET;
    return a;
  }
  if (::inet_pton(AF_INET6, text.c_str(), a.bytes) == 1) {
    a.family = AF_INET6;
    return a;
  }
  return std::nullopt;
}

bool prefixMatches(const Address& a, const Address& net, int bits) {
  if (a.family != net.family || bits < 0 || bits > net.length() * 8) return false;
  for (int i = 0; i < bits; ++i) {
    int mask = 0x80 >> (i % 8);
    if ((a.bytes[i / 8] & mask) != (net.bytes[i / 8] & mask)) return false;
  }
  return true;
}

bool allDigits(std::string_view s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool entryMatches(std::string token, const Url& url) {
  if (token == "*") return true;
  // An optional ":port": bracketed IPv6, or a single colon.
  std::optional<int> port;
  if (!token.empty() && token[0] == '[') {
    auto close = token.find(']');
    if (close == std::string::npos) return false;
    std::string rest = token.substr(close + 1);
    if (rest.size() > 1 && rest[0] == ':' && allDigits(rest.substr(1)))
      port = std::atoi(rest.c_str() + 1);
    else if (!rest.empty() && rest[0] != '/')
      return false;
    token = token.substr(1, close - 1) + (rest.empty() || rest[0] != '/' ? "" : rest);
  } else if (std::count(token.begin(), token.end(), ':') == 1) {
    auto colon = token.find(':');
    if (!allDigits(std::string_view(token).substr(colon + 1))) return false;
    port = std::atoi(token.c_str() + colon + 1);
    token.resize(colon);
  }
  if (port && *port != url.effectivePort()) return false;
  if (token.empty()) return false;
  const std::string& host = url.host();

  if (auto slash = token.find('/'); slash != std::string::npos) {
    std::string bitsText = token.substr(slash + 1);
    auto net = parseAddress(token.substr(0, slash));
    auto addr = parseAddress(host);
    if (!net || !addr || !allDigits(bitsText)) return false;
    return prefixMatches(*addr, *net, std::atoi(bitsText.c_str()));
  }
  if (auto net = parseAddress(token)) {
    auto addr = parseAddress(host);
    return addr && prefixMatches(*addr, *net, net->length() * 8);
  }
  if (token[0] == '.') {
    std::string bare = token.substr(1);
    return host == bare || (host.size() > token.size() &&
                            host.compare(host.size() - token.size(), token.size(), token) == 0);
  }
  if (token.rfind("*.", 0) == 0) return entryMatches(token.substr(1), url);
  return host == token || (host.size() > token.size() + 1 &&
                           host.compare(host.size() - token.size(), token.size(), token) == 0 &&
                           host[host.size() - token.size() - 1] == '.');
}

}  // namespace

bool noProxyMatches(std::string_view noProxy, const Url& url) {
  std::string token;
  auto flush = [&]() {
    bool hit = !token.empty() && entryMatches(toLower(token), url);
    token.clear();
    return hit;
  };
  for (char c : noProxy) {
    if (c == ',' || c == ' ' || c == '\t' || c == ';') {
      if (flush()) return true;
    } else {
      token += c;
    }
  }
  return flush();
}

std::optional<std::vector<ProxyEntry>> proxiesForURL(const SystemProxySettings& settings,
                                                     const Url& url) {
  std::vector<ProxyEntry> out;
  if (noProxyMatches(settings.noProxy, url)) {
    out.push_back({});
    return out;
  }
  if (!trimWhitespace(settings.autoConfigURL).empty()) {
    ProxyEntry e;
    e.kind = ProxyKind::AutoConfig;
    e.autoConfigURL = std::string(trimWhitespace(settings.autoConfigURL));
    out.push_back(e);
    return out;
  }
  std::string chosen = url.scheme() == "https" ? settings.https : settings.http;
  if (trimWhitespace(chosen).empty()) chosen = settings.all;
  if (trimWhitespace(chosen).empty()) {
    out.push_back({});
    return out;
  }
  auto entry = parseProxyURL(chosen);
  if (!entry) return std::nullopt;
  out.push_back(*entry);
  return out;
}

// ---- environment ----

EnvironmentProxySource::EnvironmentProxySource(Lookup lookup) : lookup_(std::move(lookup)) {
  if (!lookup_) {
    lookup_ = [](const char* name) -> std::optional<std::string> {
      const char* v = std::getenv(name);
      if (!v) return std::nullopt;
      return std::string(v);
    };
  }
}

std::optional<SystemProxySettings> EnvironmentProxySource::proxySettings() {
  auto read = [&](const char* lower, const char* upper) {
    auto v = lookup_(lower);
    if (!v || v->empty()) v = lookup_(upper);
    return v.value_or(std::string());
  };
  SystemProxySettings s;
  s.http = read("http_proxy", "HTTP_PROXY");
  s.https = read("https_proxy", "HTTPS_PROXY");
  s.all = read("all_proxy", "ALL_PROXY");
  s.noProxy = read("no_proxy", "NO_PROXY");
  s.autoConfigURL = read("auto_proxy", "AUTO_PROXY");
  return s;
}

// ---- GNOME ----

namespace {

// The quoted texts of a GVariant string or string array, unescaped.
std::vector<std::string> variantStrings(std::string_view v) {
  std::vector<std::string> out;
  for (size_t i = 0; i < v.size(); ++i) {
    char quote = v[i];
    if (quote != '\'' && quote != '"') continue;
    std::string s;
    for (++i; i < v.size() && v[i] != quote; ++i) {
      if (v[i] == '\\' && i + 1 < v.size()) ++i;
      s += v[i];
    }
    out.push_back(std::move(s));
  }
  return out;
}

std::string variantString(std::string_view v) {
  auto all = variantStrings(v);
  return all.empty() ? std::string() : all.front();
}

}  // namespace

SystemProxySettings parseGsettingsListing(std::string_view text) {
  std::map<std::string, std::string> values;  // "schema key" -> value
  while (!text.empty()) {
    auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    auto a = line.find(' ');
    if (a == std::string_view::npos) continue;
    auto b = line.find(' ', a + 1);
    if (b == std::string_view::npos) continue;
    values[std::string(line.substr(0, b))] = std::string(trimWhitespace(line.substr(b + 1)));
  }
  auto get = [&](const char* key) {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  };
  SystemProxySettings s;
  std::string mode = variantString(get("org.gnome.system.proxy mode"));
  if (mode == "auto") {
    s.autoConfigURL = variantString(get("org.gnome.system.proxy autoconfig-url"));
  } else if (mode == "manual") {
    auto hostPort = [&](const std::string& schema) -> std::string {
      std::string host = variantString(get((schema + " host").c_str()));
      std::string port = get((schema + " port").c_str());
      if (host.empty() || !allDigits(port) || std::atoi(port.c_str()) <= 0) return {};
      if (host.find(':') != std::string::npos && host[0] != '[') host = "[" + host + "]";
      return host + ":" + port;
    };
    if (auto h = hostPort("org.gnome.system.proxy.http"); !h.empty()) s.http = "http://" + h;
    if (auto h = hostPort("org.gnome.system.proxy.https"); !h.empty()) s.https = "http://" + h;
    if (auto h = hostPort("org.gnome.system.proxy.socks"); !h.empty()) s.all = "socks5://" + h;
    std::string ignore;
    for (auto& h : variantStrings(get("org.gnome.system.proxy ignore-hosts")))
      ignore += (ignore.empty() ? "" : ",") + h;
    s.noProxy = ignore;
  }
  return s;
}

std::optional<std::string> runCommandWithTimeout(const std::vector<std::string>& args,
                                                 double timeoutSeconds) {
  if (args.empty()) return std::nullopt;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The command runs beside live transfers: it must hold none of their sockets, or a
  // connection closed here would stay open in the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  bool killed = false;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || out.size() > (1 << 20)) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    char buf[4096];
    ssize_t got = ::read(fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (killed || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

struct GnomeProxySource::State {
  std::string path;
  double cacheSeconds;
  double timeoutSeconds;
  double firstReadWaitSeconds;
  std::mutex mutex;
  std::condition_variable readDone;
  std::optional<TimePoint> readAt;
  bool reading = false;
  bool haveRead = false;
  bool askedBefore = false;
  SystemProxySettings cached;
};

GnomeProxySource::GnomeProxySource(std::string path, double cacheSeconds, double timeoutSeconds,
                                   double firstReadWaitSeconds)
    : state_(std::make_shared<State>()) {
  state_->path = std::move(path);
  state_->cacheSeconds = cacheSeconds;
  state_->timeoutSeconds = timeoutSeconds;
  state_->firstReadWaitSeconds = firstReadWaitSeconds;
}

GnomeProxySource::~GnomeProxySource() = default;

// The command runs on a thread of its own: whoever asks (the network thread) gets the last
// answer at once, and a stale one is refreshed behind it. Only the very first question
// waits, and only briefly, so that a desktop proxy is known from the first request on.
std::optional<SystemProxySettings> GnomeProxySource::proxySettings() {
  std::unique_lock lock(state_->mutex);
  auto now = Clock::current().now();
  bool fresh = state_->readAt && now >= *state_->readAt &&
               std::chrono::duration<double>(now - *state_->readAt).count() < state_->cacheSeconds;
  if (!fresh && !state_->reading) {
    state_->reading = true;
    state_->readAt = now;
    std::thread([state = state_] {
      SystemProxySettings settings;
      if (::access(state->path.c_str(), X_OK) == 0) {
        if (auto text = runCommandWithTimeout(
                {state->path, "list-recursively", "org.gnome.system.proxy"}, state->timeoutSeconds))
          settings = parseGsettingsListing(*text);
      }
      std::lock_guard done(state->mutex);
      state->cached = std::move(settings);
      state->haveRead = true;
      state->reading = false;
      state->readDone.notify_all();
    }).detach();
  }
  if (!state_->haveRead && !std::exchange(state_->askedBefore, true))
    state_->readDone.wait_for(lock, std::chrono::duration<double>(state_->firstReadWaitSeconds),
                              [&] { return state_->haveRead; });
  return state_->cached;
}

DefaultProxySource::DefaultProxySource() = default;

std::optional<SystemProxySettings> DefaultProxySource::proxySettings() {
  auto env = environment_.proxySettings();
  if (env && !env->empty()) return env;
  auto gnome = gnome_.proxySettings();
  // The environment's exceptions still count when the desktop names the proxy.
  if (gnome && env && !env->noProxy.empty())
    gnome->noProxy = env->noProxy + (gnome->noProxy.empty() ? "" : "," + gnome->noProxy);
  return gnome;
}

namespace {
std::mutex sourceMutex;
std::shared_ptr<ProxySettingsSource>& sourceSlot() {
  static auto* slot = new std::shared_ptr<ProxySettingsSource>;
  return *slot;
}
}  // namespace

void setProxySettingsSource(std::shared_ptr<ProxySettingsSource> source) {
  std::lock_guard lock(sourceMutex);
  sourceSlot() = std::move(source);
}

std::shared_ptr<ProxySettingsSource> proxySettingsSource() {
  std::lock_guard lock(sourceMutex);
  if (!sourceSlot()) sourceSlot() = std::make_shared<DefaultProxySource>();
  return sourceSlot();
}

}  // namespace est
