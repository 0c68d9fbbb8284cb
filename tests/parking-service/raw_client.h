#pragma once

// A small synchronous HTTP/1.1 client on Boost.Beast for poking the service with exactly the
// bytes a test wants, each step bounded by a time-out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace est::testing {

struct RawReply {
  bool received = false;
  int status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
  std::string error;  // why nothing was received
  bool timedOut = false;

  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

class RawConnection {
 public:
  // `source` picks the loopback address the connection comes from.
  explicit RawConnection(std::uint16_t port,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5),
                         const std::string& source = {})
      : stream_(io_), timeout_(timeout) {
    namespace asio = boost::asio;
    if (!source.empty()) {
      boost::beast::error_code ec;
      stream_.socket().open(asio::ip::tcp::v4(), ec);
      if (!ec) stream_.socket().bind({asio::ip::make_address(source), 0}, ec);
      if (ec) return;
    }
    stream_.expires_after(timeout_);
    stream_.async_connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                          [this](boost::beast::error_code ec) { connected_ = !ec; });
    run();
  }

  bool connected() const { return connected_; }

  // Sends raw bytes and reads one response.
  RawReply exchange(const std::string& bytes) {
    namespace asio = boost::asio;
    namespace http = boost::beast::http;
    RawReply reply;
    if (!connected_) {
      reply.error = "not connected";
      return reply;
    }
    parser_.emplace();
    parser_->body_limit(1 << 20);
    stream_.expires_after(timeout_);
    asio::async_write(stream_, asio::buffer(bytes),
                      [this, &reply](boost::beast::error_code ec, std::size_t) {
                        if (ec) {
                          reply.error = ec.message();
                          return;
                        }
                        http::async_read(stream_, buffer_, *parser_,
                                         [this, &reply](boost::beast::error_code ec, std::size_t) {
                                           if (ec) {
                                             reply.error = ec.message();
                                             reply.timedOut = ec == boost::beast::error::timeout;
                                             return;
                                           }
                                           fill(reply);
                                         });
                      });
    run();
    return reply;
  }

  RawReply get(const std::string& target,
               const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    return exchange(request + "\r\n");
  }

  // True when the peer has closed the connection (reading gives end of file at once).
  bool closedByPeer() {
    namespace asio = boost::asio;
    bool closed = false;
    char byte;
    stream_.expires_after(timeout_);
    stream_.async_read_some(
        asio::buffer(&byte, 1), [&closed](boost::beast::error_code ec, std::size_t) {
          closed = ec == asio::error::eof || ec == asio::error::connection_reset;
        });
    run();
    return closed;
  }

 private:
  void run() {
    io_.restart();
    io_.run();
  }

  void fill(RawReply& reply) {
    const auto& message = parser_->get();
    reply.received = true;
    reply.status = static_cast<int>(message.result_int());
    for (const auto& field : message) {
      std::string name(field.name_string());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      reply.headers[name] = std::string(field.value());
    }
    reply.body = message.body();
  }

  boost::asio::io_context io_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::response_parser<boost::beast::http::string_body>> parser_;
  std::chrono::milliseconds timeout_;
  bool connected_ = false;
};

// Connected sockets that send nothing, holding the service's descriptors.
class IdleClients {
 public:
  ~IdleClients() { release(); }
  // Makes the sockets now (they need descriptors of this process), connects them later.
  void make(int count) {
    for (int i = 0; i < count; ++i)
      fds_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  }
  void connectAll(std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int fd : fds_) ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  void release() {
    for (int fd : fds_) ::close(fd);
    fds_.clear();
  }

 private:
  std::vector<int> fds_;
};

inline int openDescriptors(pid_t pid) {
  std::error_code ec;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++count;
  return count;
}

// One request on a fresh connection.
inline RawReply rawGet(std::uint16_t port, const std::string& target,
                       const std::vector<std::pair<std::string, std::string>>& headers = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(5),
                       const std::string& source = {}) {
  RawConnection connection(port, timeout, source);
  return connection.get(target, headers);
}

}  // namespace est::testing
