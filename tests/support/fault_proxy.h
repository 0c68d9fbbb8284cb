#pragma once

// A loopback HTTP proxy in front of a real service that delays, garbles, fails or drops its
// replies, on the test's virtual time. The application is pointed at the proxy as if it were
// the service. Every request still reaches the service (unless its fault says otherwise) and
// the service acts on it; only what comes back is changed. One request per connection: each
// reply carries "Connection: close".
//
//   FaultProxy proxy(service.baseAddress(), [&] { return loop.now(); });
//   proxy.setRule([](const FaultProxy::Request& r) {
//     return r.call() == "consultarEstacionamiento" ? FaultProxy::Fault::delayed(8.5)
//                                                  : FaultProxy::Fault{};
//   });
//   AppConfig::setParkingServiceURL(proxy.baseAddress());

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace est::testing {

class FaultProxy {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using VirtualClock = std::function<TimePoint()>;

  struct Fault {
    enum class Kind {
      Pass,     // the service's reply, as it is
      Garble,   // 200 with a body that is not JSON (a reply cut short)
      Empty,    // 200 with an empty body
      Http500,  // 500 with an HTML body
      Drop,     // the connection closed without a reply
      Silent,   // no reply at all, the connection kept open until the client leaves
      Body,     // `status` with `body` (JSON), in place of the service's reply
    };
    Kind kind = Kind::Pass;
    double delay = 0;     // virtual seconds between the request and the reply (or drop)
    bool forward = true;  // whether the service sees the request at all
    int status = 200;     // Body only
    std::string body;     // Body only

    static Fault pass(double delay = 0) { return {Kind::Pass, delay, true, 200, {}}; }
    static Fault delayed(double delay) { return {Kind::Pass, delay, true, 200, {}}; }
    static Fault garble(double delay = 0) { return {Kind::Garble, delay, true, 200, {}}; }
    static Fault empty(double delay = 0) { return {Kind::Empty, delay, true, 200, {}}; }
    static Fault http500(double delay = 0) { return {Kind::Http500, delay, true, 200, {}}; }
    static Fault drop(double delay = 0) { return {Kind::Drop, delay, true, 200, {}}; }
    static Fault silent() { return {Kind::Silent, 0, true, 200, {}}; }
    static Fault reply(int status, std::string body) {
      return {Kind::Body, 0, true, status, std::move(body)};
    }
    // Never reaches the service: the connection is closed at once.
    static Fault lost() { return {Kind::Drop, 0, false, 200, {}}; }
  };

  struct Request {
    int index = 0;       // 0 for the first request the proxy received
    std::string target;  // path and query as sent
    // The call name: the last path segment ("validatePin", "consultarEstacionamiento").
    std::string call() const;
    // A query parameter's raw value; empty when absent.
    std::string param(const std::string& name) const;
  };

  // What happened to one request, for assertions.
  struct Record {
    Request request;
    Fault fault;
    int upstreamStatus = 0;   // 0 when not forwarded or the service did not answer
    bool replied = false;     // a reply (faulted or not) was written to the client
    bool clientLeft = false;  // the client closed before the reply was due
    TimePoint arrived{};      // virtual time the request came in
    TimePoint ended{};        // virtual time the exchange ended (reply, drop or client gone)
  };

  using Rule = std::function<Fault(const Request&)>;

  // Proxies to `upstreamBase` ("http://127.0.0.1:PORT"); delays are measured on `clock`.
  FaultProxy(std::string upstreamBase, VirtualClock clock);
  ~FaultProxy();  // stops
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  // Listens on 127.0.0.1 at a free port. False when it cannot.
  bool start();
  void stop();
  std::string baseAddress() const;

  // Decides each request's fault; the default passes everything at once.
  void setRule(Rule rule);
  // Points at another upstream (a restarted service).
  void setUpstream(std::string upstreamBase);

  // Nothing to do until virtual time moves: every connection is either finished or holding a
  // reply that is not due at `now` (or a silent one).
  bool quiet(TimePoint now) const;
  // Connections holding a reply for later (or for ever).
  int held() const;
  int requestCount() const;
  std::vector<Record> records() const;
  // Requests for `call` so far.
  int count(const std::string& call) const;

 private:
  struct Connection;
  void acceptLoop();
  void serve(Connection& connection);

  std::string upstreamHost_;
  int upstreamPort_ = 0;
  VirtualClock clock_;
  Rule rule_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::vector<Record> records_;
};

}  // namespace est::testing
