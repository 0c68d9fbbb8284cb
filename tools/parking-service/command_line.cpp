#include "command_line.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace est {
namespace {

std::optional<double> toDouble(std::string_view text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

template <class T>
std::optional<T> toInteger(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::vector<std::string> splitList(std::string_view list) {
  std::vector<std::string> items;
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    if (!item.empty()) items.emplace_back(item);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return items;
}

bool isNineDigits(std::string_view s) {
  if (s.size() != 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "HOST:PORT", "[V6]:PORT".
bool parseListen(std::string_view text, std::string& host, std::uint16_t& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view h = text.substr(0, colon);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']') return false;
    h = h.substr(1, h.size() - 2);
  }
  std::optional<std::uint16_t> p = toInteger<std::uint16_t>(text.substr(colon + 1));
  if (!p) return false;
  host = std::string(h);
  port = *p;
  return true;
}

std::optional<ServiceFault> parseFault(std::string_view text) {
  std::size_t colon = text.find(':');
  std::string_view kind = text.substr(0, colon);
  ServiceFault fault;
  if (kind == "drop")
    fault.kind = ServiceFault::Kind::Drop;
  else if (kind == "garbage")
    fault.kind = ServiceFault::Kind::Garbage;
  else if (kind == "http500")
    fault.kind = ServiceFault::Kind::Http500;
  else if (kind == "silent")
    fault.kind = ServiceFault::Kind::Silent;
  else
    return std::nullopt;
  if (colon != std::string_view::npos) {
    std::optional<double> rate = toDouble(text.substr(colon + 1));
    if (!rate || !(*rate >= 0 && *rate <= 1)) return std::nullopt;
    fault.rate = *rate;
  }
  return fault;
}

}  // namespace

std::optional<ParkingServiceCommandLine> parseParkingServiceCommandLine(
    const std::vector<std::string>& arguments, Error* error) {
  ParkingServiceCommandLine line;
  auto fail = [error](std::string message) {
    Error::assign(error, Error(ParkingServiceErrorDomain, 10, std::move(message)));
    return std::nullopt;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view arg = arguments[i];
    std::string_view name = arg;
    std::optional<std::string_view> inlineValue;
    if (std::size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
    }
    bool flag = name == "--help" || name == "-h" || name == "--status-as-text" ||
                name == "--gzip" || name == "--quiet" || name == "--any-hour";
    if (flag) {
      if (inlineValue) return fail(std::string(name) + " takes no value");
      if (name == "--help" || name == "-h") line.help = true;
      if (name == "--status-as-text") line.options.statusAsText = true;
      if (name == "--gzip") line.options.gzip = true;
      if (name == "--quiet") line.options.quiet = true;
      if (name == "--any-hour") line.options.anyHour = true;
      continue;
    }
    std::string_view value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return fail(std::string(name) +
                  (name.starts_with("--") ? " needs a value" : ": unknown argument"));
    }
    std::string bad = "bad value for " + std::string(name) + ": " + std::string(value);
    if (name == "--listen") {
      if (!parseListen(value, line.host, line.port)) return fail(bad + " (HOST:PORT)");
    } else if (name == "--price") {
      std::optional<double> price = toDouble(value);
      if (!price || !std::isfinite(*price) || *price < 0) return fail(bad);
      line.options.price = *price;
    } else if (name == "--confirm-after") {
      std::optional<int> n = toInteger<int>(value);
      if (!n || *n < 0) return fail(bad);
      line.options.confirmAfter = *n;
    } else if (name == "--refuse-plates") {
      for (std::string& plate : splitList(value)) line.options.refusePlates.push_back(plate);
    } else if (name == "--account") {
      for (std::string& phone : splitList(value)) {
        if (!isNineDigits(phone)) return fail(bad + " (nine digits)");
        line.options.accounts.push_back(phone);
      }
    } else if (name == "--state") {
      if (value.empty()) return fail(bad);
      line.options.stateFile = std::string(value);
    } else if (name == "--delay-ms") {
      std::optional<int> n = toInteger<int>(value);
      if (!n || *n < 0 || *n > 600000) return fail(bad);
      line.options.delayMs = *n;
    } else if (name == "--fault") {
      std::optional<ServiceFault> fault = parseFault(value);
      if (!fault) return fail(bad + " (drop, garbage, http500 or silent, optionally :RATE)");
      line.options.faults.push_back(*fault);
    } else if (name == "--seed") {
      std::optional<std::uint64_t> seed = toInteger<std::uint64_t>(value);
      if (!seed) return fail(bad);
      line.options.seed = *seed;
    } else {
      return fail("unknown option " + std::string(name));
    }
  }
  return line;
}

std::string parkingServiceUsage() {
  return R"(Usage: parking-service [OPTIONS]

A stand-in for the operator's parking service ("/qorvix/json/...") and the vehicle
registry ("/halvaro/meridel/sucive"), answering HTTP GET with JSON.

  --listen HOST:PORT     address to serve on (default 127.0.0.1:8080; port 0 picks a
                         free one). Prints "listening on http://HOST:PORT" once ready.
  --price P              price of 30 minutes of parking (default 25.0)
  --confirm-after N      status polls answered "IN_PROGRESS" before the verdict (default 2)
  --refuse-plates LIST   comma-separated plates whose purchases end in "ERROR"
  --account PHONE[,...]  phones that already hold an account (repeatable); any phone
                         gets one with its first confirmed purchase
  --any-hour             take purchases at any hour and on weekends (for demos); by
                         default only Monday to Friday, starting 10:00 to 17:59
  --status-as-text       send "status" as the text "0" instead of the number 0
  --state FILE           keep accounts, PINs and purchases in FILE across restarts
                         (an SQLite database, one transaction per change; a JSON
                         state file of earlier versions is imported once)
  --gzip                 gzip replies to clients that send "Accept-Encoding: gzip"
  --delay-ms N           wait N milliseconds before every reply
  --fault KIND[:RATE]    misbehave on a share RATE (0..1, default 1) of requests, before
                         looking at them (repeatable): drop (close without a reply),
                         garbage (a body that is not JSON), http500 (status 500),
                         silent (never answer)
  --seed N               fixed seed for PINs and fault draws
  --quiet                no line per request (PINs are still logged)
  -h, --help             this text

validateNumber "sends" a four-digit PIN by logging "PIN for PHONE: NNNN" on standard
error. The registry knows, among others, ABC1234 with padron 123456.
Stop with SIGINT or SIGTERM.
)";
}

}  // namespace est
