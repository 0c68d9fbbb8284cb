#pragma once

// The HTTP client's byte transport: TCP or TLS connections on an Asio io_context, and the
// incremental reply parser. Internal to the client (and its tests); callers use HTTPRequest.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/header_map.h"
#include "http/proxy_connect.h"
#include "http/tls_settings.h"
#include "platform/error.h"

namespace est::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

// Test seam: while set, host names are looked up here instead of by the system, and the
// addresses are dialled in the order given; an empty list is a failed lookup. Names the
// system must answer (no /etc/hosts change) are then no obstacle to a test.
using HostLookup = std::function<std::vector<asio::ip::address>(const std::string& host)>;
void setHostLookupForTesting(HostLookup lookup);

// Handshake: TLS with the origin; ProxyHandshake: TLS with the proxy itself; Proxy: the
// proxy's own protocol (CONNECT, SOCKS).
enum class OpenStage { Resolve, Connect, Handshake, ProxyHandshake, Proxy };

// A connection to the origin, straight or through a proxy: plain TCP, TLS, TCP or TLS to an
// HTTP proxy, and the origin's TLS inside a tunnel through a proxy reached over TLS.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using OpenHandler = std::function<void(ErrorCode, OpenStage)>;
  using IoHandler = std::function<void(ErrorCode, size_t)>;

  Connection(asio::io_context& io, bool tls, TlsSettings settings);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Resolves (off the loop thread, inside Asio), connects and, for TLS, shakes hands with
  // SNI and host-name verification.
  void asyncOpen(const std::string& host, int port, bool hostIsIP, OpenHandler done);
  // Makes asyncOpen dial the proxy and reach the host through it. Set before opening.
  void setProxy(std::optional<ProxyTarget> proxy) { proxy_ = std::move(proxy); }
  const std::optional<ProxyTarget>& proxy() const { return proxy_; }
  // The proxy's reply when it refused a tunnel (after an OpenStage::Proxy failure).
  std::shared_ptr<ProxyRefusal> proxyRefusal() const { return proxyRefusal_; }
  void asyncReadSome(asio::mutable_buffer buffer, IoHandler done);
  // Hands what the connection takes now (at least one byte) and says how much that was. The
  // buffers must stay valid until `done` runs.
  void asyncWriteSome(const std::vector<asio::const_buffer>& buffers, IoHandler done);
  void close();

  // A plain socket (no TLS on it) can hand reply bytes to a file inside the kernel.
  bool canMoveToFile() const { return open_ && !outer_ && !inner_; }
  // Moves at most `max` reply bytes, as soon as some arrive, from the socket straight into
  // the file `fd` at its current offset, through a pipe and never through our memory. Calls
  // `done` with the socket's error, the bytes moved and whether the file took them all.
  using MoveHandler = std::function<void(ErrorCode, size_t, bool fileTookAll)>;
  void asyncMoveSomeToFile(int fd, size_t max, MoveHandler done);
  // Bytes written to the connection that the peer has not acknowledged yet (the kernel's
  // send queue; under TLS, once or twice, it holds them encrypted and so never understates
  // them); nothing when it cannot be read.
  std::optional<size_t> unsentBytes();
  size_t sendBufferSize();

  bool isOpen() const { return open_; }
  bool isTls() const { return originTls_; }
  asio::io_context& context() { return io_; }
  const TlsSettings& tlsSettings() const { return settings_; }

  int requestsServed = 0;  // replies completed on this connection
  // Reply bytes land here; kept with the connection so each request does not allocate anew.
  std::vector<char> readBuffer;

 private:
  using Outer = asio::ssl::stream<tcp::socket&>;
  using Inner = asio::ssl::stream<Outer&>;

  void connect(const tcp::resolver::results_type& endpoints, const std::string& host, bool hostIsIP,
               OpenHandler done);
  void throughProxy(const std::string& host, bool hostIsIP, OpenHandler done);
  template <class Stream>
  void negotiate(Stream& stream, const std::string& host, bool hostIsIP, OpenHandler done);
  void secure(const std::string& host, bool hostIsIP, OpenHandler done);
  template <class Stream>
  void handshake(Stream& stream, const std::string& host, bool hostIsIP,
                 const TlsSettings& settings, std::function<void(ErrorCode)> done);
  // Runs `f` on the stream that carries the origin's bytes.
  template <class F>
  void onTopStream(F&& f);

  asio::io_context& io_;
  TlsSettings settings_;
  bool originTls_;
  std::shared_ptr<asio::ssl::context> sslContext_, proxySslContext_;
  tcp::socket socket_;
  // TLS with the first peer on the socket: the origin, or a proxy reached over TLS.
  std::unique_ptr<Outer> outer_;
  // The origin's TLS inside the proxy's.
  std::unique_ptr<Inner> inner_;
  tcp::resolver resolver_;
  bool open_ = false;
  std::optional<ProxyTarget> proxy_;
  bool proxyHostIsIP_ = false;
  std::shared_ptr<ProxyRefusal> proxyRefusal_;
  int originPort_ = 0;
  // The kernel pipe that reply bytes pass through on their way to a file; made on first use.
  int pipe_[2] = {-1, -1};
  size_t pipeCapacity_ = 0;
};

// True for errors that mean the peer dropped the connection (reset, broken pipe, not
// connected): on a reused connection the request is tried once more on a fresh one.
bool isConnectionLostError(const ErrorCode& ec);
bool isEndOfStream(const ErrorCode& ec);
bool isTlsError(const ErrorCode& ec);

// The transport's own error as an est::Error (domain = error category).
Error transportError(const ErrorCode& ec);

// Receives the parsed reply. Setting `ec` stops parsing.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  virtual void onResponseHead(int status, int version, std::string_view reason, HeaderMap headers,
                              std::vector<std::string> setCookies, ErrorCode& ec) = 0;
  virtual void onResponseBody(std::string_view bytes, ErrorCode& ec) = 0;
};

// Incremental HTTP/1.x reply parser (Content-Length, chunked and close-delimited bodies).
// Interim 1xx replies are skipped. The header is capped at `headerLimit` bytes.
class ResponseParser {
 public:
  static constexpr std::uint32_t kDefaultHeaderLimit = 65536;

  ResponseParser(ResponseSink& sink, bool expectBody,
                 std::uint32_t headerLimit = kDefaultHeaderLimit);
  ~ResponseParser();

  // Parses what it can of `bytes`; returns how many were used. Needing more is not an error.
  size_t put(const char* bytes, size_t length, ErrorCode& ec);
  // End of stream: completes a close-delimited body, else reports a partial message.
  void putEof(ErrorCode& ec);
  bool isDone() const;
  bool headerDone() const;
  // False when the body ran to the end of the stream, so the connection cannot carry more.
  bool framingAllowsReuse() const;
  // Body bytes still to come of a reply framed by its Content-Length, once its head is in;
  // nothing for other framings. Bytes read past the parser are not counted here.
  std::optional<std::uint64_t> bodyLeft() const;

 private:
  struct Impl;
  ResponseSink& sink_;
  bool expectBody_;
  std::uint32_t headerLimit_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace est::net
