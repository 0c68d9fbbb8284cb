#include "http/transport.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <map>
#include <mutex>

#include "platform/files.h"

namespace est::net {
namespace http = boost::beast::http;
namespace ssl = asio::ssl;

namespace {

std::mutex& hostLookupMutex() {
  static std::mutex mutex;
  return mutex;
}
HostLookup& hostLookup() {
  static HostLookup lookup;
  return lookup;
}

// One context per distinct trust setting, shared by every connection that uses it.
std::shared_ptr<ssl::context> contextFor(const TlsSettings& settings, ErrorCode& ec) {
  static std::mutex mutex;
  static auto* contexts = new std::map<std::string, std::shared_ptr<ssl::context>>;
  std::lock_guard lock(mutex);
  auto& slot = (*contexts)[settings.key()];
  if (slot) return slot;
  auto ctx = std::make_shared<ssl::context>(ssl::context::tls_client);
  ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3);
  // Whatever the system's OpenSSL configuration allows, nothing older than TLS 1.2.
  SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_2_VERSION);
  if (settings.validatesSecureCertificate) {
    ctx->set_verify_mode(ssl::verify_peer, ec);
    if (!ec) {
      if (settings.certificateAuthorityFile.empty())
        ctx->set_default_verify_paths(ec);
      else
        ctx->load_verify_file(settings.certificateAuthorityFile, ec);
    }
  } else {
    ctx->set_verify_mode(ssl::verify_none, ec);
  }
  if (ec) {
    contexts->erase(settings.key());
    return nullptr;
  }
  slot = ctx;
  return ctx;
}

}  // namespace

void setHostLookupForTesting(HostLookup lookup) {
  std::lock_guard lock(hostLookupMutex());
  hostLookup() = std::move(lookup);
}

Connection::Connection(asio::io_context& io, bool tls, TlsSettings settings)
    : io_(io), settings_(std::move(settings)), originTls_(tls), socket_(io), resolver_(io) {
  ErrorCode ec;
  if (tls) sslContext_ = contextFor(settings_, ec);
}

Connection::~Connection() {
  close();
  for (int fd : pipe_)
    if (fd >= 0) ::close(fd);
}

void Connection::asyncOpen(const std::string& host, int port, bool hostIsIP, OpenHandler done) {
  // A trust store that could not be loaded (a bad certificate-authority file).
  auto untrusted = [&](OpenStage stage) {
    asio::post(io_, [done, stage] {
      done(ssl::error::make_error_code(ssl::error::unspecified_system_error), stage);
    });
  };
  if (originTls_ && !sslContext_) return untrusted(OpenStage::Handshake);
  if (proxy_ && proxy_->tls) {
    ErrorCode ec;
    proxySslContext_ = contextFor(*proxy_->tls, ec);
    if (!proxySslContext_) return untrusted(OpenStage::ProxyHandshake);
  }
  auto self = shared_from_this();
  originPort_ = port;
  proxyRefusal_.reset();
  std::string dialHost = host;
  bool dialIsIP = hostIsIP;
  if (proxy_) {
    dialHost = proxy_->host;
    port = proxy_->port;
    ErrorCode probe;
    asio::ip::make_address(dialHost, probe);
    dialIsIP = proxyHostIsIP_ = !probe;
  }
  if (dialIsIP) {
    ErrorCode ec;
    auto address = asio::ip::make_address(dialHost, ec);
    if (ec) {
      asio::post(io_, [done, ec] { done(ec, OpenStage::Resolve); });
      return;
    }
    auto results = tcp::resolver::results_type::create(tcp::endpoint(address, port), dialHost,
                                                       std::to_string(port));
    connect(results, host, hostIsIP, std::move(done));
    return;
  }
  HostLookup lookup;
  {
    std::lock_guard lock(hostLookupMutex());
    lookup = hostLookup();
  }
  if (lookup) {
    std::vector<tcp::endpoint> endpoints;
    for (auto& address : lookup(dialHost)) endpoints.emplace_back(address, port);
    if (endpoints.empty()) {
      asio::post(io_, [done] { done(asio::error::host_not_found, OpenStage::Resolve); });
      return;
    }
    connect(tcp::resolver::results_type::create(endpoints.begin(), endpoints.end(), dialHost,
                                                std::to_string(port)),
            host, hostIsIP, std::move(done));
    return;
  }
  // Every address the name has is tried in turn (async_connect over the whole range): a host
  // whose first address refuses, an IPv6 one on a machine without IPv6 say, is still reached.
  resolver_.async_resolve(dialHost, std::to_string(port),
                          [self, host, hostIsIP, done = std::move(done)](
                              const ErrorCode& ec, tcp::resolver::results_type results) mutable {
                            if (ec) {
                              done(ec, OpenStage::Resolve);
                              return;
                            }
                            self->connect(results, host, hostIsIP, std::move(done));
                          });
}

void Connection::connect(const tcp::resolver::results_type& endpoints, const std::string& host,
                         bool hostIsIP, OpenHandler done) {
  auto self = shared_from_this();
  asio::async_connect(socket_, endpoints,
                      [self, host, hostIsIP, done = std::move(done)](const ErrorCode& ec,
                                                                     const tcp::endpoint&) mutable {
                        if (ec) {
                          done(ec, OpenStage::Connect);
                          return;
                        }
                        ErrorCode ignored;
                        self->socket_.set_option(tcp::no_delay(true), ignored);
                        if (self->proxy_)
                          self->throughProxy(host, hostIsIP, std::move(done));
                        else
                          self->secure(host, hostIsIP, std::move(done));
                      });
}

void Connection::throughProxy(const std::string& host, bool hostIsIP, OpenHandler done) {
  if (!proxy_->tls) {
    negotiate(socket_, host, hostIsIP, std::move(done));
    return;
  }
  outer_ = std::make_unique<Outer>(socket_, *proxySslContext_);
  auto self = shared_from_this();
  handshake(*outer_, proxy_->host, proxyHostIsIP_, *proxy_->tls,
            [self, host, hostIsIP, done = std::move(done)](ErrorCode ec) mutable {
              if (ec) {
                done(ec, OpenStage::ProxyHandshake);
                return;
              }
              self->negotiate(*self->outer_, host, hostIsIP, std::move(done));
            });
}

template <class Stream>
void Connection::negotiate(Stream& stream, const std::string& host, bool hostIsIP,
                           OpenHandler done) {
  auto self = shared_from_this();
  asyncNegotiateProxy(stream, *proxy_, host, originPort_,
                      [self, host, hostIsIP, done = std::move(done)](
                          ErrorCode ec, std::shared_ptr<ProxyRefusal> refusal) mutable {
                        if (ec) {
                          self->proxyRefusal_ = std::move(refusal);
                          done(ec, OpenStage::Proxy);
                          return;
                        }
                        self->secure(host, hostIsIP, std::move(done));
                      });
}

void Connection::secure(const std::string& host, bool hostIsIP, OpenHandler done) {
  if (!originTls_) {
    open_ = true;
    done({}, OpenStage::Connect);
    return;
  }
  auto self = shared_from_this();
  auto finish = [self, done = std::move(done)](ErrorCode ec) {
    if (!ec) self->open_ = true;
    done(ec, OpenStage::Handshake);
  };
  // Through a proxy reached over TLS, the origin's TLS rides inside the proxy's.
  if (outer_) {
    inner_ = std::make_unique<Inner>(*outer_, *sslContext_);
    handshake(*inner_, host, hostIsIP, settings_, std::move(finish));
  } else {
    outer_ = std::make_unique<Outer>(socket_, *sslContext_);
    handshake(*outer_, host, hostIsIP, settings_, std::move(finish));
  }
}

template <class Stream>
void Connection::handshake(Stream& stream, const std::string& host, bool hostIsIP,
                           const TlsSettings& settings, std::function<void(ErrorCode)> done) {
  SSL* ssl = stream.native_handle();
  if (!hostIsIP) SSL_set_tlsext_host_name(ssl, host.c_str());
  if (settings.validatesSecureCertificate) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    int ok = hostIsIP ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                      : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    if (ok != 1) {
      done(ssl::error::make_error_code(ssl::error::unspecified_system_error));
      return;
    }
  }
  stream.async_handshake(
      ssl::stream_base::client,
      [self = shared_from_this(), done = std::move(done)](const ErrorCode& ec) { done(ec); });
}

template <class F>
void Connection::onTopStream(F&& f) {
  if (inner_)
    f(*inner_);
  else if (outer_)
    f(*outer_);
  else
    f(socket_);
}

void Connection::asyncReadSome(asio::mutable_buffer buffer, IoHandler done) {
  auto handler = [self = shared_from_this(), done = std::move(done)](const ErrorCode& ec,
                                                                     size_t n) { done(ec, n); };
  onTopStream([&](auto& stream) { stream.async_read_some(buffer, std::move(handler)); });
}

void Connection::asyncWriteSome(const std::vector<asio::const_buffer>& buffers, IoHandler done) {
  auto handler = [self = shared_from_this(), done = std::move(done)](const ErrorCode& ec,
                                                                     size_t n) { done(ec, n); };
  onTopStream([&](auto& stream) { stream.async_write_some(buffers, std::move(handler)); });
}

void Connection::asyncMoveSomeToFile(int fd, size_t max, MoveHandler done) {
  auto self = shared_from_this();
  auto finish = [this, self, done](ErrorCode ec, size_t n, bool fileTookAll) {
    // Never in line: a caller that moves again from its handler must not recurse.
    asio::post(io_, [self, done, ec, n, fileTookAll] { done(ec, n, fileTookAll); });
  };
  if (!canMoveToFile()) {
    finish(asio::error::operation_not_supported, 0, true);
    return;
  }
  if (pipe_[0] < 0) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
      finish(ErrorCode(errno, boost::system::system_category()), 0, true);
      return;
    }
    // A larger pipe moves more per call; the default is kept where the system refuses.
    ::fcntl(pipe_[1], F_SETPIPE_SZ, 1 << 20);
    int capacity = ::fcntl(pipe_[1], F_GETPIPE_SZ);
    pipeCapacity_ = capacity > 0 ? static_cast<size_t>(capacity) : 65536;
    // splice() honours the socket's own mode, not its flag: set once for this connection.
    ErrorCode ignored;
    socket_.native_non_blocking(true, ignored);
  }
  ssize_t n;
  do {
    n = ::splice(socket_.native_handle(), nullptr, pipe_[1], nullptr, std::min(max, pipeCapacity_),
                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (n < 0 && errno == EINTR);
  // Waiting for readiness is right only once the socket is drained: its next edge is then
  // still to come.
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    socket_.async_wait(tcp::socket::wait_read, [this, self, fd, max, done](const ErrorCode& ec) {
      if (ec)
        done(ec, 0, true);
      else
        asyncMoveSomeToFile(fd, max, done);
    });
    return;
  }
  if (n < 0) {
    finish(ErrorCode(errno, boost::system::system_category()), 0, true);
    return;
  }
  if (n == 0) {
    finish(asio::error::eof, 0, true);
    return;
  }
  // The pipe holds the bytes now; all of them go to the file before anything else.
  size_t moved = static_cast<size_t>(n), written = 0;
  while (written < moved) {
    ssize_t w = ::splice(pipe_[0], nullptr, fd, nullptr, moved - written, SPLICE_F_MOVE);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    written += static_cast<size_t>(w);
  }
  // A file the kernel cannot splice into (one opened to append, say) takes the rest by
  // ordinary writes; what the pipe still holds after a failed write is dropped with it.
  char piece[16384];
  bool fileTookAll = true;
  while (written < moved) {
    ssize_t got = ::read(pipe_[0], piece, std::min(sizeof piece, moved - written));
    if (got <= 0 || (fileTookAll && !writeAll(fd, piece, static_cast<size_t>(got))))
      fileTookAll = false;
    if (got <= 0) break;
    written += static_cast<size_t>(got);
  }
  finish({}, moved, fileTookAll && written == moved);
}

std::optional<size_t> Connection::unsentBytes() {
  if (!open_) return std::nullopt;
  int queued = 0;
  if (::ioctl(socket_.native_handle(), SIOCOUTQ, &queued) != 0 || queued < 0) return std::nullopt;
  return static_cast<size_t>(queued);
}

size_t Connection::sendBufferSize() {
  if (!open_) return 0;
  int size = 0;
  socklen_t len = sizeof size;
  if (::getsockopt(socket_.native_handle(), SOL_SOCKET, SO_SNDBUF, &size, &len) != 0 || size < 0)
    return 0;
  return static_cast<size_t>(size);
}

void Connection::close() {
  open_ = false;
  resolver_.cancel();
  ErrorCode ignored;
  if (socket_.is_open()) {
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }
}

bool isConnectionLostError(const ErrorCode& ec) {
  return ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::error::not_connected || ec == asio::error::connection_aborted;
}

bool isEndOfStream(const ErrorCode& ec) {
  // A TLS peer that closes without a close_notify is treated like a plain close.
  return ec == asio::error::eof || ec == ssl::error::stream_truncated;
}

bool isTlsError(const ErrorCode& ec) {
  return ec.category() == asio::error::get_ssl_category() ||
         (ec.category() == ssl::error::get_stream_category() && ec != ssl::error::stream_truncated);
}

Error transportError(const ErrorCode& ec) {
  return Error(ec.category().name(), ec.value(), ec.message());
}

// ---- parser ----

struct ResponseParser::Impl : http::basic_parser<false> {
  ResponseSink& sink;
  HeaderMap headers;
  std::vector<std::string> setCookies;
  int status = 0;
  int version = 11;
  std::string reason;
  bool interim = false;
  bool closeDelimited = false;
  size_t fieldCount = 0;

  explicit Impl(ResponseSink& s) : sink(s) {}

  void on_request_impl(http::verb, boost::beast::string_view, boost::beast::string_view, int,
                       ErrorCode&) override {}
  void on_response_impl(int code, boost::beast::string_view r, int v, ErrorCode&) override {
    status = code;
    version = v;
    reason.assign(r.data(), r.size());
  }
  void on_field_impl(http::field, boost::beast::string_view name, boost::beast::string_view value,
                     ErrorCode& ec) override {
    // The byte limit already bounds the header; this bounds the work per field too.
    if (++fieldCount > 1000) {
      ec = http::error::header_limit;
      return;
    }
    std::string_view n(name.data(), name.size()), v(value.data(), value.size());
    if (equalsIgnoringCase(n, "Set-Cookie")) setCookies.emplace_back(v);
    headers.append(n, v);
  }
  void on_header_impl(ErrorCode& ec) override {
    if (status >= 100 && status < 200 && status != 101) {
      interim = true;
      return;
    }
    sink.onResponseHead(status, version, reason, std::move(headers), std::move(setCookies), ec);
  }
  void on_body_init_impl(const boost::optional<std::uint64_t>& length, ErrorCode&) override {
    closeDelimited = !length && !chunked();
  }
  size_t on_body_impl(boost::beast::string_view body, ErrorCode& ec) override {
    sink.onResponseBody(std::string_view(body.data(), body.size()), ec);
    return body.size();
  }
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, ErrorCode&) override {}
  size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body, ErrorCode& ec) override {
    sink.onResponseBody(std::string_view(body.data(), body.size()), ec);
    return body.size();
  }
  void on_finish_impl(ErrorCode&) override {}
};

ResponseParser::ResponseParser(ResponseSink& sink, bool expectBody, std::uint32_t headerLimit)
    : sink_(sink), expectBody_(expectBody), headerLimit_(headerLimit) {
  impl_ = std::make_unique<Impl>(sink_);
  impl_->header_limit(headerLimit_);
  impl_->body_limit(boost::none);
  impl_->eager(true);
  if (!expectBody_) impl_->skip(true);
}

ResponseParser::~ResponseParser() = default;

size_t ResponseParser::put(const char* bytes, size_t length, ErrorCode& ec) {
  size_t used = 0;
  ec = {};
  while (used < length && !impl_->is_done()) {
    size_t n = impl_->put(asio::const_buffer(bytes + used, length - used), ec);
    used += n;
    if (ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec) break;
    if (impl_->is_done() && impl_->interim) {
      impl_ = std::make_unique<Impl>(sink_);
      impl_->header_limit(headerLimit_);
      impl_->body_limit(boost::none);
      impl_->eager(true);
      if (!expectBody_) impl_->skip(true);
      continue;
    }
    if (n == 0) break;
  }
  return used;
}

void ResponseParser::putEof(ErrorCode& ec) {
  ec = {};
  if (impl_->is_done()) return;
  // A stream that ends before the first byte of a reply carries no message at all.
  if (!impl_->got_some()) {
    ec = boost::beast::http::error::partial_message;
    return;
  }
  impl_->put_eof(ec);
}

bool ResponseParser::isDone() const {
  return impl_->is_done() && !impl_->interim;
}

bool ResponseParser::headerDone() const {
  return impl_->is_header_done() && !impl_->interim;
}

bool ResponseParser::framingAllowsReuse() const {
  return !impl_->closeDelimited;
}

std::optional<std::uint64_t> ResponseParser::bodyLeft() const {
  if (!headerDone() || impl_->is_done() || impl_->chunked() || !expectBody_) return std::nullopt;
  auto left = impl_->content_length_remaining();
  if (!left) return std::nullopt;
  return *left;
}

}  // namespace est::net
