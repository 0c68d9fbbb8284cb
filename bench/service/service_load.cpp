// Load check of the parking service (not a test): N keep-alive clients issue M requests in all
// against the program, started as a child process, and the run reports failed requests,
// throughput, latency and the service's resident memory (start and peak).
//
//   service-load [--clients N] [--requests M] [--gzip] [--program PATH]
//
// Each client registers its own phone (validateNumber, then validatePin with the PIN read
// from the service's log), then repeats a purchase cycle: solicitarEstacionamiento, three
// consultarEstacionamiento polls (pending, pending, confirmed), getPriceOf30,
// consultarRegistro and a registry query. Every reply is checked with the protocol readers.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/format.h"
#include "protocol/parking_protocol.h"
#include "protocol/registry_protocol.h"

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Steady = std::chrono::steady_clock;
using namespace est;

constexpr const char* kDevice = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";

struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

std::optional<Child> spawnService(const std::string& program, std::vector<std::string> args) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child child;
  int rc = posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  child.out = out[0];
  child.err = err[0];
  if (rc != 0) return std::nullopt;
  return child;
}

// One line from a pipe, waiting at most `seconds`.
std::optional<std::string> readLine(int fd, double seconds) {
  std::string line;
  auto deadline = Steady::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (Steady::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c;
    if (read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return std::nullopt;
}

// Resident memory figures of a process, in KiB, from /proc.
long statusKiB(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  }
  return -1;
}

struct Run {
  int total = 0;
  int issued = 0;
  int answered = 0;
  int failed = 0;
  std::vector<std::string> samples;  // first failures, for the report
  std::vector<double> latenciesMs;
  std::mutex pinMutex;
  std::map<std::string, std::string> pins;  // filled from the service's log
  std::string host;
  std::uint16_t port = 0;

  void fail(std::string why) {
    ++failed;
    if (samples.size() < 8) samples.push_back(std::move(why));
  }
};

struct Connection {
  explicit Connection(asio::any_io_executor executor) : stream(executor) {}
  beast::tcp_stream stream;
  beast::flat_buffer buffer;
  bool open = false;
};

// One request; nothing when the exchange failed or was not a 200. Claims a slot of the total.
asio::awaitable<std::optional<est::Data>> exchange(Run& run, Connection& c, std::string url) {
  if (run.issued >= run.total) co_return std::nullopt;
  ++run.issued;
  std::string target = url.substr(url.find('/', std::strlen("http://")));
  beast::error_code ec;
  auto start = Steady::now();
  if (!c.open) {
    c.stream.expires_after(std::chrono::seconds(10));
    co_await c.stream.async_connect(tcp::endpoint(asio::ip::make_address(run.host), run.port),
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      run.fail("connect: " + ec.message());
      co_return std::nullopt;
    }
    c.open = true;
  }
  http::request<http::empty_body> request{http::verb::get, target, 11};
  request.set(http::field::host, run.host);
  request.set(http::field::accept_encoding, "identity");
  request.keep_alive(true);
  c.stream.expires_after(std::chrono::seconds(10));
  co_await http::async_write(c.stream, request, asio::redirect_error(asio::use_awaitable, ec));
  http::response<http::string_body> response;
  if (!ec)
    co_await http::async_read(c.stream, c.buffer, response,
                              asio::redirect_error(asio::use_awaitable, ec));
  if (ec) {
    run.fail(target + ": " + ec.message());
    c.stream.close();
    c.buffer.clear();
    c.open = false;
    co_return std::nullopt;
  }
  run.latenciesMs.push_back(
      std::chrono::duration<double, std::milli>(Steady::now() - start).count());
  if (!response.keep_alive()) {
    c.stream.close();
    c.open = false;
  }
  if (response.result_int() != 200) {
    run.fail(target + ": HTTP " + std::to_string(response.result_int()));
    co_return std::nullopt;
  }
  ++run.answered;
  co_return est::toData(response.body());
}

asio::awaitable<void> client(Run& run, int index, std::string base) {
  auto executor = co_await asio::this_coro::executor;
  Connection c(executor);
  std::string phone = strprintf("091%06d", index);
  auto check = [&run](bool ok, const std::string& what) {
    if (!ok) run.fail(what);
    return ok;
  };

  std::optional<Data> reply = co_await exchange(run, c, validateNumberURL(base, phone, kDevice));
  if (!reply) co_return;
  if (!check(readValidateNumberReply(reply) == ValidateNumberOutcome::Accepted,
             "validateNumber not accepted"))
    co_return;
  // The PIN reaches the log before the reply leaves; the reader thread may lag a little.
  std::string pin;
  asio::steady_timer timer(executor);
  for (int i = 0; i < 5000 && pin.empty(); ++i) {
    {
      std::lock_guard lock(run.pinMutex);
      auto it = run.pins.find(phone);
      if (it != run.pins.end()) pin = it->second;
    }
    if (pin.empty()) {
      timer.expires_after(std::chrono::milliseconds(1));
      co_await timer.async_wait(asio::use_awaitable);
    }
  }
  if (!check(!pin.empty(), "no PIN logged for " + phone)) co_return;
  reply = co_await exchange(run, c, validatePinURL(base, phone, kDevice, pin));
  if (!reply || !check(readValidatePinReply(reply) == ValidatePinOutcome::Correct, "bad PIN"))
    co_return;

  for (std::int64_t n = 0; run.issued < run.total; ++n) {
    std::int64_t id = index * 1000000LL + n;
    ParkingPurchase purchase{phone, id, kDevice, "ABC 1234", 60, "11:00"};
    reply = co_await exchange(run, c, solicitarEstacionamientoURL(base, purchase));
    if (!reply) continue;
    check(readSolicitarEstacionamientoReply(reply).kind ==
              SolicitarEstacionamientoOutcome::Kind::Accepted,
          "purchase refused");
    using K = ConsultarEstacionamientoOutcome::Kind;
    for (K expected : {K::InProgress, K::InProgress, K::Confirmed}) {
      reply = co_await exchange(run, c, consultarEstacionamientoURL(base, phone, id, kDevice));
      if (reply) check(readConsultarEstacionamientoReply(reply).kind == expected, "poll outcome");
    }
    reply = co_await exchange(run, c, getPriceOf30URL(base, phone));
    if (reply) check(readPriceOf30Reply(reply) == 25.0, "price");
    reply = co_await exchange(run, c, consultarRegistroURL(base, phone));
    if (reply) check(readConsultarRegistroReply(reply).registrado, "no account after purchase");
    reply = co_await exchange(run, c, registryQueryURL(base, "ABC1234", "123456"));
    if (reply)
      check(readRegistryQueryReply(reply).kind == RegistryQueryOutcome::Kind::Found, "registry");
  }
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 200, requests = 10000;
  bool gzip = false;
  std::string program = PARKING_SERVICE_PATH;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--clients" && i + 1 < argc) {
      clients = std::atoi(argv[++i]);
    } else if (arg == "--requests" && i + 1 < argc) {
      requests = std::atoi(argv[++i]);
    } else if (arg == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (arg == "--gzip") {
      gzip = true;
    } else {
      std::fprintf(stderr,
                   "usage: service-load [--clients N] [--requests M] [--gzip] [--program P]\n");
      return 2;
    }
  }
  if (clients < 1 || requests < 1) return 2;

  std::vector<std::string> args = {"--listen",   "127.0.0.1:0",     "--quiet",
                                   "--any-hour", "--confirm-after", "2"};
  if (gzip) args.push_back("--gzip");
  std::optional<Child> child = spawnService(program, args);
  if (!child) {
    std::fprintf(stderr, "service-load: cannot start %s\n", program.c_str());
    return 1;
  }
  std::optional<std::string> ready = readLine(child->out, 10);
  std::size_t colon = ready ? ready->rfind(':') : std::string::npos;
  if (!ready || colon == std::string::npos) {
    std::fprintf(stderr, "service-load: the service did not start\n");
    kill(child->pid, SIGKILL);
    waitpid(child->pid, nullptr, 0);
    return 1;
  }
  Run run;
  run.total = requests;
  run.host = "127.0.0.1";
  run.port = static_cast<std::uint16_t>(std::atoi(ready->c_str() + colon + 1));
  std::string base = "http://127.0.0.1:" + std::to_string(run.port);

  std::thread logReader([&run, fd = child->err] {
    while (std::optional<std::string> line = readLine(fd, 3600)) {
      // "PIN for PHONE: NNNN"
      if (line->rfind("PIN for ", 0) != 0) continue;
      std::size_t sep = line->find(": ");
      if (sep == std::string::npos) continue;
      std::lock_guard lock(run.pinMutex);
      run.pins[line->substr(8, sep - 8)] = line->substr(sep + 2);
    }
  });

  long startRss = statusKiB(child->pid, "VmRSS:");
  asio::io_context io(1);
  for (int i = 0; i < clients; ++i) asio::co_spawn(io, client(run, i, base), asio::detached);
  auto started = Steady::now();
  io.run();
  double seconds = std::chrono::duration<double>(Steady::now() - started).count();
  long peakRss = statusKiB(child->pid, "VmHWM:");
  long endRss = statusKiB(child->pid, "VmRSS:");

  kill(child->pid, SIGTERM);
  int status = 0;
  waitpid(child->pid, &status, 0);
  logReader.join();

  std::printf("parking-service load: %d clients, %d requests%s\n", clients, requests,
              gzip ? " (gzip replies)" : "");
  std::printf("  answered %d, failed %d, not issued %d\n", run.answered, run.failed,
              requests - run.issued);
  std::printf("  %.2f s, %.0f requests/s; latency p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", seconds,
              run.answered / seconds, percentile(run.latenciesMs, 0.50),
              percentile(run.latenciesMs, 0.99), percentile(run.latenciesMs, 1.0));
  std::printf("  service memory: %.1f MiB resident at start, %.1f MiB at end, peak %.1f MiB\n",
              startRss / 1024.0, endRss / 1024.0, peakRss / 1024.0);
  std::printf("  service exit status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  for (const std::string& s : run.samples) std::printf("  failure: %s\n", s.c_str());
  bool ok =
      run.failed == 0 && run.answered == requests && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return ok ? 0 : 1;
}
