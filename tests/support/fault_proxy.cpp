#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace est::testing {
namespace {

constexpr auto kStep = std::chrono::milliseconds(1);

// Reads until the end of the request head (and a Content-Length body). False on EOF or error.
bool readRequest(int fd, std::string& head, const std::atomic<bool>& stopping) {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (stopping) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 20);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    head.append(buffer, static_cast<std::size_t>(n));
    if (head.size() > 65536) return false;
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// True when the peer has closed (or reset) the connection; never consumes request bytes
// (there are none left: one request per connection).
bool peerClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR)) return true;
  char byte;
  ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// The request with "Connection: close" in place of whatever the client asked.
std::string rewriteForUpstream(const std::string& head, const std::string& host, int port) {
  std::size_t end = head.find("\r\n\r\n");
  std::string lines = head.substr(0, end);
  std::string out;
  std::size_t pos = 0;
  bool first = true;
  while (pos <= lines.size()) {
    std::size_t eol = lines.find("\r\n", pos);
    std::string line = lines.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    pos = eol == std::string::npos ? lines.size() + 1 : eol + 2;
    if (first) {
      out += line + "\r\n";
      first = false;
      continue;
    }
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("connection:", 0) == 0 || lower.rfind("keep-alive:", 0) == 0 ||
        lower.rfind("host:", 0) == 0)
      continue;
    out += line + "\r\n";
  }
  out += "Host: " + host + ":" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
  return out;
}

// Sends the request upstream and reads the whole reply (the service closes after it).
std::string forward(const std::string& request, const std::string& host, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      writeAll(fd, request)) {
    char buffer[8192];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      int ready = ::poll(&p, 1, 5000);
      if (ready <= 0) break;
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return reply;
}

// The service's reply with "Connection: close", so the client does not keep the connection.
std::string closingReply(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return reply;
  std::string head = reply.substr(0, end);
  std::string out;
  std::size_t pos = 0;
  while (pos <= head.size()) {
    std::size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    pos = eol == std::string::npos ? head.size() + 1 : eol + 2;
    std::string lower = line;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("connection:", 0) == 0 || lower.rfind("keep-alive:", 0) == 0) continue;
    out += line + "\r\n";
  }
  return out + "Connection: close\r\n\r\n" + reply.substr(end + 4);
}

int statusOf(const std::string& reply) {
  // "HTTP/1.1 200 OK"
  if (reply.size() < 12 || reply.compare(0, 5, "HTTP/") != 0) return 0;
  return std::atoi(reply.c_str() + 9);
}

std::string replyWith(int status, const char* reason, const std::string& type,
                      const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

}  // namespace

struct FaultProxy::Connection {
  enum class State { Reading, Forwarding, Holding, Silent, Writing, Done };
  int fd = -1;
  State state = State::Reading;
  TimePoint due{};
  std::thread thread;
};

std::string FaultProxy::Request::call() const {
  std::string path = target.substr(0, target.find('?'));
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FaultProxy::Request::param(const std::string& name) const {
  std::size_t q = target.find('?');
  if (q == std::string::npos) return {};
  std::string query = target.substr(q + 1);
  std::size_t pos = 0;
  while (pos <= query.size()) {
    std::size_t amp = query.find('&', pos);
    std::string pair = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return {};
}

FaultProxy::FaultProxy(std::string upstreamBase, VirtualClock clock) : clock_(std::move(clock)) {
  setUpstream(std::move(upstreamBase));
}

FaultProxy::~FaultProxy() {
  stop();
}

void FaultProxy::setUpstream(std::string upstreamBase) {
  // "http://127.0.0.1:PORT"
  std::string rest = upstreamBase.substr(upstreamBase.find("://") + 3);
  std::size_t colon = rest.rfind(':');
  std::lock_guard lock(mutex_);
  upstreamHost_ = rest.substr(0, colon);
  upstreamPort_ = std::atoi(rest.c_str() + colon + 1);
}

void FaultProxy::setRule(Rule rule) {
  std::lock_guard lock(mutex_);
  rule_ = std::move(rule);
}

bool FaultProxy::start() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listenFd_ < 0) return false;
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0)
    return false;
  socklen_t size = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  stopping_ = false;
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return true;
}

void FaultProxy::stop() {
  if (listenFd_ < 0) return;
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  listenFd_ = -1;
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections)
    if (c->thread.joinable()) c->thread.join();
}

std::string FaultProxy::baseAddress() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void FaultProxy::acceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    Connection* raw = connection.get();
    {
      std::lock_guard lock(mutex_);
      connections_.push_back(std::move(connection));
    }
    raw->thread = std::thread([this, raw] { serve(*raw); });
  }
}

void FaultProxy::serve(Connection& c) {
  auto setState = [&](Connection::State state) {
    std::lock_guard lock(mutex_);
    c.state = state;
  };
  std::string head;
  if (!readRequest(c.fd, head, stopping_)) {
    ::close(c.fd);
    setState(Connection::State::Done);
    return;
  }
  TimePoint arrival = clock_();
  std::size_t space = head.find(' ');
  std::size_t space2 = head.find(' ', space + 1);
  Request request;
  request.target = head.substr(space + 1, space2 - space - 1);
  Fault fault;
  std::string host;
  int port = 0;
  std::size_t recordIndex = 0;
  {
    std::lock_guard lock(mutex_);
    request.index = static_cast<int>(records_.size());
    if (rule_) fault = rule_(request);  // rules must not take the clock's lock either
    host = upstreamHost_;
    port = upstreamPort_;
    c.state = Connection::State::Forwarding;
    recordIndex = records_.size();
    Record record;
    record.request = request;
    record.fault = fault;
    record.arrived = arrival;
    records_.push_back(record);
  }
  std::string reply;
  if (fault.forward) reply = forward(rewriteForUpstream(head, host, port), host, port);
  {
    std::lock_guard lock(mutex_);
    records_[recordIndex].upstreamStatus = statusOf(reply);
    c.due = arrival + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(fault.delay));
    c.state =
        fault.kind == Fault::Kind::Silent ? Connection::State::Silent : Connection::State::Holding;
  }
  // Held until the reply is due on virtual time, or the client gives up, or the proxy stops.
  bool clientLeft = false;
  for (;;) {
    if (stopping_) break;
    if (peerClosed(c.fd)) {
      clientLeft = true;
      break;
    }
    TimePoint now = clock_();  // not under mutex_: the clock has a lock of its own
    {
      std::lock_guard lock(mutex_);
      if (c.state == Connection::State::Holding && now >= c.due) {
        c.state = Connection::State::Writing;
        break;
      }
    }
    std::this_thread::sleep_for(kStep);
  }
  bool replied = false;
  if (!clientLeft && !stopping_) {
    switch (fault.kind) {
      case Fault::Kind::Pass:
        replied = !reply.empty() && writeAll(c.fd, closingReply(reply));
        break;
      case Fault::Kind::Garble:
        replied = writeAll(c.fd, replyWith(200, "OK", "application/json",
                                           "{\"status\":0,\"transactionStatus\":\"O"));
        break;
      case Fault::Kind::Empty:
        replied = writeAll(c.fd, replyWith(200, "OK", "application/json", ""));
        break;
      case Fault::Kind::Http500:
        replied = writeAll(c.fd, replyWith(500, "Internal Server Error", "text/html",
                                           "<html><body>Internal Server Error</body></html>"));
        break;
      case Fault::Kind::Body:
        replied = writeAll(c.fd, replyWith(fault.status, fault.status < 400 ? "OK" : "Error",
                                           "application/json", fault.body));
        break;
      case Fault::Kind::Drop:
      case Fault::Kind::Silent:
        break;
    }
  }
  TimePoint ended = clock_();
  ::shutdown(c.fd, SHUT_RDWR);
  ::close(c.fd);
  std::lock_guard lock(mutex_);
  records_[recordIndex].replied = replied;
  records_[recordIndex].clientLeft = clientLeft;
  records_[recordIndex].ended = ended;
  c.state = Connection::State::Done;
}

bool FaultProxy::quiet(TimePoint now) const {
  std::lock_guard lock(mutex_);
  for (const auto& c : connections_) {
    switch (c->state) {
      case Connection::State::Done:
      case Connection::State::Silent:
        break;
      case Connection::State::Holding:
        if (c->due <= now) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

int FaultProxy::held() const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& c : connections_)
    if (c->state == Connection::State::Holding || c->state == Connection::State::Silent) ++n;
  return n;
}

int FaultProxy::requestCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(records_.size());
}

std::vector<FaultProxy::Record> FaultProxy::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

int FaultProxy::count(const std::string& call) const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const Record& r : records_)
    if (r.request.call() == call) ++n;
  return n;
}

}  // namespace est::testing
