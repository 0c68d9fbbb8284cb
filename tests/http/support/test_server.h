#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace est::testing {

// One request as the test server read it.
struct ReceivedRequest {
  std::string method;
  std::string target;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;
  std::string head;  // request line and header lines, raw

  // First value of a header (name compared without case), or empty.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
};

// The server side of one accepted connection, driven by the test's script.
class ServerConnection {
 public:
  ServerConnection(int fd, int index, std::atomic<bool>& stopping);

  int index() const { return index_; }  // 0 for the first connection the server accepted
  // Reads one request (head and a Content-Length or chunked body); nothing once the peer
  // closed or the server stops.
  std::optional<ReceivedRequest> readRequest(double timeoutSeconds = 10);
  bool send(std::string_view bytes);
  // Sends a whole reply: status line, the given header lines, Content-Length, body.
  bool sendResponse(int status, std::string_view body, std::string_view extraHeaders = "",
                    std::string_view reason = "OK");
  // Waits for the client to close (or the server to stop); true when it did in time.
  bool waitForPeerClose(double timeoutSeconds);
  void shutdownWrite();
  void close();  // without draining: unread input makes the kernel send a reset
  void abort();  // closes with a reset on purpose (SO_LINGER 0)
  bool aborted() const { return aborted_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  int index_;
  std::atomic<bool>& stopping_;
  std::string buffered_;
  bool aborted_ = false;
  bool fill(double timeoutSeconds);
};

// A scripted HTTP server on 127.0.0.1 with an ephemeral port. Each accepted connection runs
// the script on a thread of its own; when the script returns the connection is closed
// cleanly (write side first, then input drained).
class TestServer {
 public:
  using Script = std::function<void(ServerConnection&)>;

  // A `receiveBuffer` above 0 sizes the kernel's receive buffer (and so the window the
  // client may fill) before any connection: acknowledgements then follow a slow reader as
  // they would across a real network, not megabytes ahead of it as on loopback.
  explicit TestServer(Script script, int receiveBuffer = 0);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  std::string url(std::string_view path = "/") const;
  int connectionCount() const { return accepted_.load(); }
  std::vector<ReceivedRequest> requests() const;
  size_t requestCount() const;
  // Records a request read by a script (readRequest does this by itself).
  void record(const ReceivedRequest& r);
  void stop();

  // Scripts that answer every request on a connection with `reply` (its head alone for HEAD)
  // until the peer closes.
  static Script replyForever(std::string reply);

 private:
  void acceptLoop();

  Script script_;
  int listenFd_ = -1;
  int listenFd6_ = -1;  // the same port on ::1, when the machine has it
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> threads_;
  std::vector<int> openFds_;
  std::vector<ReceivedRequest> requests_;
  friend class ServerConnection;
};

// "HTTP/1.1 <status> <reason>\r\n<headers>Content-Length: n\r\n\r\n<body>"
std::string httpResponse(int status, std::string_view body, std::string_view extraHeaders = "",
                         std::string_view reason = "OK", std::string_view version = "HTTP/1.1");
std::string chunked(const std::vector<std::string>& pieces);
std::string gzipBytes(std::string_view plain);
// A gzip of `count` zero bytes, made a piece at a time: a bomb that never sits whole in memory.
std::string gzipZeros(std::uint64_t count);
// Whole-file reads and writes for fixtures.
std::string slurp(const std::string& path);
void writeFile(const std::string& path, std::string_view bytes);

}  // namespace est::testing
