#include "http/pac.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

#include "duktape.h"
#include "http/header_map.h"
#include "http/support/charset.h"
#include "platform/clock.h"
#include "platform/format.h"

namespace est {

namespace {

constexpr const char* kPACDomain = "est.pac";

// The standard helpers, in plain ECMAScript 5 so that the script's own engine runs them.
// The clock and addresses come from the parent through __est* globals.
constexpr const char* kHelpers = R"JS(
var __estDays = ['SUN','MON','TUE','WED','THU','FRI','SAT'];
var __estMonths = ['JAN','FEB','MAR','APR','MAY','JUN','JUL','AUG','SEP','OCT','NOV','DEC'];
function __estIsIPv4(s) {
  var m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(String(s));
  if (!m) return false;
  for (var i = 1; i < 5; i++) if (+m[i] > 255) return false;
  return true;
}
function isPlainHostName(host) { return String(host).indexOf('.') < 0; }
function dnsDomainIs(host, domain) {
  host = String(host).toLowerCase(); domain = String(domain).toLowerCase();
  return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
}
function localHostOrDomainIs(host, hostdom) {
  host = String(host).toLowerCase(); hostdom = String(hostdom).toLowerCase();
  if (host === hostdom) return true;
  return host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0;
}
function dnsResolve(host) {
  host = String(host).toLowerCase();
  if (__estIsIPv4(host)) return host;
  if (host === __estHost && __estHostAddress) return __estHostAddress;
  if (host === 'localhost') return '127.0.0.1';
  return null;
}
function isResolvable(host) { return dnsResolve(host) !== null; }
function myIpAddress() { return __estMyAddress; }
function convertAddr(ip) {
  var p = String(ip).split('.');
  return (((p[0] & 255) << 24) | ((p[1] & 255) << 16) | ((p[2] & 255) << 8) | (p[3] & 255)) >>> 0;
}
function isInNet(host, pattern, mask) {
  var a = dnsResolve(host);
  if (a === null || !__estIsIPv4(a) || !__estIsIPv4(pattern) || !__estIsIPv4(mask)) return false;
  var m = convertAddr(mask);
  return ((convertAddr(a) & m) >>> 0) === ((convertAddr(pattern) & m) >>> 0);
}
function dnsDomainLevels(host) { return String(host).split('.').length - 1; }
function shExpMatch(str, shexp) {
  var re = String(shexp).replace(/[.+^${}()|[\]\\\/]/g, '\\$&')
      .replace(/\*/g, '.*').replace(/\?/g, '.');
  return new RegExp('^' + re + '$').test(String(str));
}
function __estFields(gmt) {
  var t = __estNow + (gmt ? 0 : __estOffset);
  var days = Math.floor(t / 86400), secs = t - days * 86400;
  var z = days + 719468, era = Math.floor(z / 146097), doe = z - era * 146097;
  var yoe = Math.floor((doe - Math.floor(doe / 1460) + Math.floor(doe / 36524) -
                        Math.floor(doe / 146096)) / 365);
  var doy = doe - (365 * yoe + Math.floor(yoe / 4) - Math.floor(yoe / 100));
  var mp = Math.floor((5 * doy + 2) / 153);
  var d = doy - Math.floor((153 * mp + 2) / 5) + 1, m = mp < 10 ? mp + 3 : mp - 9;
  var y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  return { year: y, month: m - 1, day: d, wday: ((days % 7) + 11) % 7,
           hour: Math.floor(secs / 3600), min: Math.floor(secs / 60) % 60, sec: secs % 60 };
}
function __estArgs(args) {
  var a = Array.prototype.slice.call(args), gmt = false;
  if (a.length && String(a[a.length - 1]).toUpperCase() === 'GMT') { gmt = true; a.pop(); }
  return { list: a, gmt: gmt };
}
function __estWithin(cur, lo, hi, exclusiveEnd) {
  if (lo <= hi) return cur >= lo && (exclusiveEnd ? cur < hi : cur <= hi);
  return cur >= lo || (exclusiveEnd ? cur < hi : cur <= hi);
}
function weekdayRange() {
  var a = __estArgs(arguments), l = a.list;
  if (l.length < 1 || l.length > 2) return false;
  var w1 = __estDays.indexOf(String(l[0]).toUpperCase());
  var w2 = l.length > 1 ? __estDays.indexOf(String(l[1]).toUpperCase()) : w1;
  if (w1 < 0 || w2 < 0) return false;
  return __estWithin(__estFields(a.gmt).wday, w1, w2, false);
}
function dateRange() {
  var a = __estArgs(arguments), l = a.list, f = __estFields(a.gmt);
  function parse(list) {
    var o = {};
    for (var i = 0; i < list.length; i++) {
      var v = list[i], mon = __estMonths.indexOf(String(v).toUpperCase());
      if (mon >= 0) { o.month = mon; continue; }
      var n = Number(v);
      if (typeof v !== 'number' && !/^\d+$/.test(String(v))) return null;
      if (n > 31) o.year = n; else if (n >= 1) o.day = n; else return null;
    }
    return o;
  }
  var lo, hi;
  if (l.length === 1) { lo = hi = parse(l); }
  else if (l.length === 2 || l.length === 4 || l.length === 6) {
    lo = parse(l.slice(0, l.length / 2)); hi = parse(l.slice(l.length / 2));
  } else return false;
  if (!lo || !hi) return false;
  function key(o, ref) {
    return ('year' in ref ? o.year : 0) * 10000 + ('month' in ref ? o.month + 1 : 0) * 100 +
           ('day' in ref ? o.day : 0);
  }
  for (var k in lo) if (!(k in hi)) return false;
  return __estWithin(key(f, lo), key(lo, lo), key(hi, lo), false);
}
function timeRange() {
  var a = __estArgs(arguments), l = a.list, f = __estFields(a.gmt);
  for (var i = 0; i < l.length; i++) if (isNaN(Number(l[i]))) return false;
  var cur = f.hour * 3600 + f.min * 60 + f.sec;
  if (l.length === 1) return f.hour === Number(l[0]);
  if (l.length === 2) return __estWithin(cur, l[0] * 3600, l[1] * 3600, true);
  if (l.length === 4)
    return __estWithin(cur, l[0] * 3600 + l[1] * 60, l[2] * 3600 + l[3] * 60, true);
  if (l.length === 6)
    return __estWithin(cur, l[0] * 3600 + l[1] * 60 + +l[2], l[3] * 3600 + l[4] * 60 + +l[5], false);
  return false;
}
)JS";

// ---- the child's heap: size classes over one private mapping, no malloc after fork ----

struct Arena {
  char* base = nullptr;
  std::size_t size = 0;
  std::size_t used = 0;
  void* freeLists[40] = {};
};

constexpr std::size_t kHeader = 16;

int classFor(std::size_t n) {
  std::size_t need = n + kHeader;
  int c = 5;  // 32 bytes
  while ((std::size_t{1} << c) < need) ++c;
  return c;
}

void* arenaAlloc(void* udata, duk_size_t n) {
  auto* a = static_cast<Arena*>(udata);
  if (n == 0) n = 1;
  if (n > a->size) return nullptr;
  int c = classFor(n);
  if (c >= 40) return nullptr;
  char* block;
  if (a->freeLists[c]) {
    block = static_cast<char*>(a->freeLists[c]);
    std::memcpy(&a->freeLists[c], block + kHeader, sizeof(void*));
  } else {
    std::size_t bytes = std::size_t{1} << c;
    if (a->used + bytes > a->size) return nullptr;
    block = a->base + a->used;
    a->used += bytes;
  }
  std::memcpy(block, &c, sizeof c);
  return block + kHeader;
}

void arenaFree(void* udata, void* p) {
  if (!p) return;
  auto* a = static_cast<Arena*>(udata);
  char* block = static_cast<char*>(p) - kHeader;
  int c;
  std::memcpy(&c, block, sizeof c);
  std::memcpy(block + kHeader, &a->freeLists[c], sizeof(void*));
  a->freeLists[c] = block;
}

void* arenaRealloc(void* udata, void* p, duk_size_t n) {
  if (!p) return arenaAlloc(udata, n);
  if (n == 0) {
    arenaFree(udata, p);
    return nullptr;
  }
  char* block = static_cast<char*>(p) - kHeader;
  int c;
  std::memcpy(&c, block, sizeof c);
  std::size_t capacity = (std::size_t{1} << c) - kHeader;
  if (n <= capacity) return p;
  void* fresh = arenaAlloc(udata, n);
  if (!fresh) return nullptr;
  std::memcpy(fresh, p, capacity);
  arenaFree(udata, p);
  return fresh;
}

void childFatal(void*, const char*) {
  ::_exit(3);
}

void writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void reply(int fd, char kind, const char* text, std::size_t n) {
  if (n > 65536) n = 65536;
  writeAll(fd, &kind, 1);
  writeAll(fd, text, n);
}

// Current size of the address space, from /proc, without the C library's allocating calls.
std::size_t addressSpaceBytes() {
  int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[64] = {};
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  std::size_t pages = 0;
  for (ssize_t i = 0; i < n && buf[i] >= '0' && buf[i] <= '9'; ++i)
    pages = pages * 10 + static_cast<std::size_t>(buf[i] - '0');
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

struct ChildInput {
  const std::string* script;
  const std::string* url;
  const std::string* host;
  const PACEnvironment* env;
  const PACLimits* limits;
  int fd;
};

[[noreturn]] void runChild(const ChildInput& in) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  Arena arena;
  arena.size = in.limits->heapBytes;
  void* mem = ::mmap(nullptr, arena.size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) ::_exit(2);
  arena.base = static_cast<char*>(mem);

  // Beyond the heap nothing may grow much, nothing may be opened, and the CPU is bounded
  // even if the parent were gone.
  rlimit as{};
  as.rlim_cur = as.rlim_max = addressSpaceBytes() + (std::size_t{32} << 20);
  ::setrlimit(RLIMIT_AS, &as);
  rlimit cpu{};
  cpu.rlim_cur = cpu.rlim_max = static_cast<rlim_t>(std::ceil(in.limits->timeoutSeconds)) + 1;
  ::setrlimit(RLIMIT_CPU, &cpu);
  rlimit files{};
  ::setrlimit(RLIMIT_NOFILE, &files);
  ::setrlimit(RLIMIT_FSIZE, &files);
  ::setrlimit(RLIMIT_NPROC, &files);

  duk_context* ctx = duk_create_heap(arenaAlloc, arenaRealloc, arenaFree, &arena, childFatal);
  if (!ctx) ::_exit(2);
  duk_push_number(ctx, static_cast<double>(in.env->unixTime));
  duk_put_global_string(ctx, "__estNow");
  duk_push_int(ctx, in.env->utcOffsetSeconds);
  duk_put_global_string(ctx, "__estOffset");
  duk_push_lstring(ctx, in.host->data(), in.host->size());
  duk_put_global_string(ctx, "__estHost");
  duk_push_lstring(ctx, in.env->hostAddress.data(), in.env->hostAddress.size());
  duk_put_global_string(ctx, "__estHostAddress");
  duk_push_lstring(ctx, in.env->myAddress.data(), in.env->myAddress.size());
  duk_put_global_string(ctx, "__estMyAddress");

  if (duk_peval_string(ctx, kHelpers) != 0) ::_exit(4);
  duk_pop(ctx);
  if (duk_peval_lstring(ctx, in.script->data(), in.script->size()) != 0) {
    duk_size_t n = 0;
    const char* msg = duk_safe_to_lstring(ctx, -1, &n);
    reply(in.fd, 'E', msg, n);
    ::_exit(0);
  }
  duk_pop(ctx);
  if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_function(ctx, -1)) {
    const char msg[] = "the script defines no FindProxyForURL";
    reply(in.fd, 'E', msg, sizeof msg - 1);
    ::_exit(0);
  }
  duk_push_lstring(ctx, in.url->data(), in.url->size());
  duk_push_lstring(ctx, in.host->data(), in.host->size());
  if (duk_pcall(ctx, 2) != 0) {
    duk_size_t n = 0;
    const char* msg = duk_safe_to_lstring(ctx, -1, &n);
    reply(in.fd, 'E', msg, n);
    ::_exit(0);
  }
  if (!duk_is_string(ctx, -1)) {
    const char msg[] = "FindProxyForURL answered something other than a text";
    reply(in.fd, 'E', msg, sizeof msg - 1);
    ::_exit(0);
  }
  duk_size_t n = 0;
  const char* result = duk_get_lstring(ctx, -1, &n);
  reply(in.fd, 'R', result, n);
  ::_exit(0);
}

Error pacError(int code, std::string text) {
  return Error(kPACDomain, code, std::move(text));
}

}  // namespace

std::optional<std::string> runPACScript(const std::string& script, const std::string& url,
                                        const std::string& host, const PACEnvironment& env,
                                        const PACLimits& limits, Error* error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    Error::assign(error, pacError(1, "Could not make a pipe for the script"));
    return std::nullopt;
  }
  ChildInput in{&script, &url, &host, &env, &limits, fds[1]};
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    Error::assign(error, pacError(1, "Could not start a process for the script"));
    return std::nullopt;
  }
  if (pid == 0) {
    ::close(fds[0]);
    runChild(in);
  }
  ::close(fds[1]);

  std::string out;
  bool timedOut = false;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(limits.timeoutSeconds * 1000));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buf[4096];
    ssize_t got = ::read(fds[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (out.size() < 65537) out.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  ::kill(pid, SIGKILL);  // harmless once it has exited: it stays a zombie until reaped below
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    Error::assign(error, pacError(2, strprintf("The script ran longer than %.1f seconds",
                                               limits.timeoutSeconds)));
    return std::nullopt;
  }
  if (out.empty()) {
    Error::assign(error,
                  pacError(3, "The script's process ended without an answer (out of memory?)"));
    return std::nullopt;
  }
  if (out[0] == 'E') {
    Error::assign(error, pacError(4, "The script failed: " + out.substr(1)));
    return std::nullopt;
  }
  return out.substr(1);
}

PACEnvironment currentPACEnvironment(const std::string& host, bool resolveHost) {
  PACEnvironment env;
  std::time_t t = std::chrono::system_clock::to_time_t(Clock::current().now());
  env.unixTime = static_cast<std::int64_t>(t);
  std::tm local{};
  if (::localtime_r(&t, &local)) env.utcOffsetSeconds = static_cast<int>(local.tm_gmtoff);

  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
      if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127) continue;
      char buf[INET_ADDRSTRLEN];
      if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) {
        env.myAddress = buf;
        break;
      }
    }
    ::freeifaddrs(list);
  }

  in_addr probe{};
  if (::inet_pton(AF_INET, host.c_str(), &probe) == 1) {
    env.hostAddress = host;
  } else if (resolveHost && !host.empty()) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0 && res) {
      char buf[INET_ADDRSTRLEN];
      auto* sin = reinterpret_cast<sockaddr_in*>(res->ai_addr);
      if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) env.hostAddress = buf;
      ::freeaddrinfo(res);
    }
  }
  return env;
}

std::vector<ProxyEntry> parsePACResult(std::string_view result) {
  std::vector<ProxyEntry> out;
  while (!result.empty()) {
    auto semi = result.find(';');
    std::string_view item = trimWhitespace(result.substr(0, semi));
    result = semi == std::string_view::npos ? std::string_view() : result.substr(semi + 1);
    if (item.empty()) continue;
    auto space = item.find_first_of(" \t");
    std::string word = toLower(item.substr(0, space));
    if (word == "direct" && space == std::string_view::npos) {
      out.push_back({});
      continue;
    }
    if (space == std::string_view::npos) continue;
    std::string_view address = trimWhitespace(item.substr(space));
    std::string prefix;
    if (word == "proxy")
      prefix = "http://";
    else if (word == "https")
      prefix = "https://";
    else if (word == "socks" || word == "socks5")
      prefix = "socks5://";
    else
      continue;
    // host:port only: a port is required, and nothing else may come with it.
    if (address.find_first_of("/@ \t") != std::string_view::npos) continue;
    auto colon = address.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == address.size()) continue;
    auto entry = parseProxyURL(prefix + std::string(address));
    if (entry) out.push_back(*entry);
  }
  return out;
}

std::optional<ProxyEntry> firstUsablePACEntry(std::string_view result) {
  auto entries = parsePACResult(result);
  if (entries.empty()) return std::nullopt;
  return entries.front();
}

std::string urlForProxyScript(const Url& url) {
  std::string origin = url.scheme() + "://" + url.hostHeader();
  if (url.scheme() == "https" || url.scheme() == "wss") return origin + "/";
  return origin + url.requestTarget();
}

std::optional<ProxyEntry> evaluatePACScriptForURL(const std::string& script, const Url& url,
                                                  double timeoutSeconds, Error* error) {
  if (trimWhitespace(script).empty()) return std::nullopt;
  bool resolve = script.find("dnsResolve") != std::string::npos ||
                 script.find("isInNet") != std::string::npos ||
                 script.find("isResolvable") != std::string::npos;
  PACEnvironment env = currentPACEnvironment(url.host(), resolve);
  PACLimits limits;
  if (timeoutSeconds > 0) limits.timeoutSeconds = timeoutSeconds;
  auto result = runPACScript(script, urlForProxyScript(url), url.host(), env, limits, error);
  if (!result) return std::nullopt;
  auto entry = firstUsablePACEntry(*result);
  if (!entry) {
    Error::assign(error,
                  pacError(7, "The script named no usable proxy: " + result->substr(0, 200)));
    return std::nullopt;
  }
  if (entry->kind == ProxyKind::Direct) return std::nullopt;
  return entry;
}

std::optional<Data> readPACFile(const std::string& path, double timeoutSeconds, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Error::assign(error, pacError(5, strprintf("Could not open '%s'", path.c_str())));
    return std::nullopt;
  }
  Data data;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  std::uint8_t piece[16384];
  bool ok = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      Error::assign(error, pacError(2, "Reading the script timed out"));
      break;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) continue;
    ssize_t got = ::read(fd, piece, sizeof piece);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      Error::assign(error, pacError(5, strprintf("Could not read '%s'", path.c_str())));
      break;
    }
    if (got == 0) {
      ok = true;
      break;
    }
    if (data.size() > (std::size_t{16} << 20)) {
      Error::assign(error, pacError(6, "The script is too large"));
      break;
    }
    data.insert(data.end(), piece, piece + got);
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return data;
}

std::string decodePACScript(const Data& bytes) {
  if (isValidUTF8(bytes.data(), bytes.size())) return std::string(bytes.begin(), bytes.end());
  return decodeString(bytes, ISOLatin1StringEncoding).value_or(std::string());
}

}  // namespace est
