#include "http/support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>

namespace est::testing {
namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Connections the server still owns, so stop() can wake their threads.
thread_local TestServer* currentServer = nullptr;

}  // namespace

bool ReceivedRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](auto& h) { return iequals(h.first, name); });
}

std::string ReceivedRequest::header(std::string_view name) const {
  auto it =
      std::find_if(headers.begin(), headers.end(), [&](auto& h) { return iequals(h.first, name); });
  return it == headers.end() ? std::string() : it->second;
}

ServerConnection::ServerConnection(int fd, int index, std::atomic<bool>& stopping)
    : fd_(fd), index_(index), stopping_(stopping) {}

bool ServerConnection::fill(double timeoutSeconds) {
  if (fd_ < 0) return false;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  while (!stopping_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::min<long>(left, 50)));
    if (r < 0) return false;
    if (r == 0) continue;
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffered_.append(buf, static_cast<size_t>(n));
    return true;
  }
  return false;
}

std::optional<ReceivedRequest> ServerConnection::readRequest(double timeoutSeconds) {
  size_t end;
  while ((end = buffered_.find("\r\n\r\n")) == std::string::npos)
    if (!fill(timeoutSeconds)) return std::nullopt;
  ReceivedRequest r;
  r.head = buffered_.substr(0, end + 2);
  buffered_.erase(0, end + 4);
  size_t lineEnd = r.head.find("\r\n");
  std::string line = r.head.substr(0, lineEnd);
  auto sp1 = line.find(' '), sp2 = line.rfind(' ');
  r.method = line.substr(0, sp1);
  r.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  r.version = line.substr(sp2 + 1);
  size_t pos = lineEnd + 2;
  while (pos < r.head.size()) {
    size_t e = r.head.find("\r\n", pos);
    std::string field = r.head.substr(pos, e - pos);
    pos = e + 2;
    auto colon = field.find(':');
    if (colon == std::string::npos) continue;
    std::string value = field.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.headers.emplace_back(field.substr(0, colon), value);
  }
  if (r.hasHeader("Content-Length")) {
    size_t length = std::stoul(r.header("Content-Length"));
    while (buffered_.size() < length)
      if (!fill(timeoutSeconds)) return std::nullopt;
    r.body = buffered_.substr(0, length);
    buffered_.erase(0, length);
  } else if (iequals(r.header("Transfer-Encoding"), "chunked")) {
    for (;;) {
      size_t le;
      while ((le = buffered_.find("\r\n")) == std::string::npos)
        if (!fill(timeoutSeconds)) return std::nullopt;
      size_t size = std::stoul(buffered_.substr(0, le), nullptr, 16);
      while (buffered_.size() < le + 2 + size + 2)
        if (!fill(timeoutSeconds)) return std::nullopt;
      r.body += buffered_.substr(le + 2, size);
      buffered_.erase(0, le + 2 + size + 2);
      if (size == 0) break;
    }
  }
  if (currentServer) currentServer->record(r);
  return r;
}

bool ServerConnection::send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return fd_ >= 0;
}

bool ServerConnection::sendResponse(int status, std::string_view body,
                                    std::string_view extraHeaders, std::string_view reason) {
  return send(httpResponse(status, body, extraHeaders, reason));
}

bool ServerConnection::waitForPeerClose(double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  while (fd_ >= 0 && !stopping_ && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, 50);
    if (r < 0) return true;
    if (r == 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
  return false;
}

void ServerConnection::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void ServerConnection::close() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void ServerConnection::abort() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  aborted_ = true;  // the reset goes out when the server thread closes the descriptor
}

TestServer::TestServer(Script script, int receiveBuffer) : script_(std::move(script)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0)
    ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, 64);
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  // Also on ::1, for clients (and proxies) that reach "localhost" there first.
  listenFd6_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr6{};
  addr6.sin6_family = AF_INET6;
  addr6.sin6_addr = in6addr_loopback;
  addr6.sin6_port = htons(static_cast<std::uint16_t>(port_));
  ::setsockopt(listenFd6_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  ::setsockopt(listenFd6_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (listenFd6_ >= 0 &&
      (::bind(listenFd6_, reinterpret_cast<sockaddr*>(&addr6), sizeof addr6) != 0 ||
       ::listen(listenFd6_, 64) != 0)) {
    ::close(listenFd6_);
    listenFd6_ = -1;
  }
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer() {
  stop();
}

void TestServer::stop() {
  if (stopping_.exchange(true)) return;
  ::shutdown(listenFd_, SHUT_RDWR);
  if (listenFd6_ >= 0) ::shutdown(listenFd6_, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<Worker> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& w : threads) w.thread.join();
  ::close(listenFd_);
  if (listenFd6_ >= 0) ::close(listenFd6_);
}

void TestServer::acceptLoop() {
  while (!stopping_) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {listenFd6_, POLLIN, 0}};
    int r = ::poll(p, listenFd6_ >= 0 ? 2 : 1, 50);
    if (r <= 0) continue;
    int ready = (p[0].revents & POLLIN) ? listenFd_ : listenFd6_;
    int fd = ::accept4(ready, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int index = accepted_++;
    std::lock_guard lock(mutex_);
    // Join connections that are over, so a long run does not pile up threads.
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (*it->done) {
        it->thread.join();
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
    openFds_.push_back(fd);
    auto done = std::make_shared<std::atomic<bool>>(false);
    threads_.push_back({std::thread([this, fd, index, done] {
                          currentServer = this;
                          ServerConnection c(fd, index, stopping_);
                          script_(c);
                          if (!c.aborted()) {
                            // Close cleanly: say we are done, then read until the client closes.
                            ::shutdown(fd, SHUT_WR);
                            c.waitForPeerClose(2);
                          }
                          {
                            std::lock_guard l(mutex_);
                            openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd),
                                           openFds_.end());
                          }
                          ::close(fd);
                          *done = true;
                        }),
                        done});
  }
}

std::string TestServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void TestServer::record(const ReceivedRequest& r) {
  std::lock_guard lock(mutex_);
  requests_.push_back(r);
}

std::vector<ReceivedRequest> TestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t TestServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

TestServer::Script TestServer::replyForever(std::string reply) {
  return [reply](ServerConnection& c) {
    while (auto request = c.readRequest()) {
      if (request->method == "HEAD")
        c.send(std::string_view(reply).substr(0, reply.find("\r\n\r\n") + 4));
      else
        c.send(reply);
    }
  };
}

std::string httpResponse(int status, std::string_view body, std::string_view extraHeaders,
                         std::string_view reason, std::string_view version) {
  std::string out =
      std::string(version) + " " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  out += extraHeaders;
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

std::string chunked(const std::vector<std::string>& pieces) {
  std::string out;
  char size[32];
  for (auto& p : pieces) {
    std::snprintf(size, sizeof size, "%zx\r\n", p.size());
    out += size;
    out += p;
    out += "\r\n";
  }
  out += "0\r\n\r\n";
  return out;
}

std::string gzipBytes(std::string_view plain) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, plain.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string gzipZeros(std::uint64_t count) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
  std::vector<Bytef> zeros(1 << 16), piece(1 << 16);
  std::string out;
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    std::uint64_t n = std::min<std::uint64_t>(count, zeros.size());
    count -= n;
    flush = count ? Z_NO_FLUSH : Z_FINISH;
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = piece.data();
      z.avail_out = static_cast<uInt>(piece.size());
      deflate(&z, flush);
      out.append(reinterpret_cast<char*>(piece.data()), piece.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return out;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
}

}  // namespace est::testing
