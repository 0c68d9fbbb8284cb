#include "parking_service.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <thread>

#include "http/data_compressor.h"
#include "json/json.h"
#include "platform/format.h"
#include "platform/log.h"
#include "service_core.h"

namespace est {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// A request is a GET line and a few headers; anything much larger is refused before it is
// buffered.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 16 * 1024;
constexpr std::size_t kMaxHeaderFields = 64;
constexpr int kMaxConnections = 1024;
// Descriptors kept free of connections: the state database, the listener, the log.
constexpr int kSpareDescriptors = 32;
constexpr auto kFirstAcceptPause = std::chrono::milliseconds(50);
constexpr auto kLongestAcceptPause = std::chrono::seconds(1);
constexpr auto kIdleTimeout = std::chrono::seconds(30);

// JSON text with every non-ASCII character as a \u escape: clients read replies as ASCII.
std::string asciiOnly(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto appendUnit = [&out](unsigned unit) { out += strprintf("\\u%04x", unit); };
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    unsigned cp = length == 4 ? c & 0x07 : length == 3 ? c & 0x0F : c & 0x1F;
    bool valid = length > 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid) {
      appendUnit(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      appendUnit(0xD800 + (cp >> 10));
      appendUnit(0xDC00 + (cp & 0x3FF));
    } else {
      appendUnit(cp);
    }
    i += static_cast<std::size_t>(length);
  }
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// "gzip" listed in Accept-Encoding with a non-zero quality.
bool acceptsGzip(std::string_view header) {
  while (!header.empty()) {
    std::size_t comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    std::size_t semicolon = item.find(';');
    std::string_view coding = trim(item.substr(0, semicolon));
    if (!iequals(coding, "gzip") && !iequals(coding, "x-gzip")) continue;
    if (semicolon == std::string_view::npos) return true;
    std::string_view q = trim(item.substr(semicolon + 1));
    if (!q.starts_with("q=") && !q.starts_with("Q=")) return true;
    q.remove_prefix(2);
    for (char c : q)
      if (c >= '1' && c <= '9') return true;
    return false;
  }
  return false;
}

// What every connection shares.
struct Shared {
  ParkingServiceOptions options;
  std::unique_ptr<ServiceCore> core;
  std::atomic<std::uint64_t> requests{0};
  std::atomic<int> connections{0};
  std::atomic<std::uint64_t> acceptFailures{0};
  int maxConnections = kMaxConnections;
};

// Connections stay below the descriptor limit, so running out is rare and never the common
// way a crowd is turned away.
int connectionCap() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kMaxConnections;
  auto available = static_cast<long long>(limit.rlim_cur);
  long long cap = available - kSpareDescriptors - available / 8;
  return static_cast<int>(std::clamp<long long>(cap, 1, kMaxConnections));
}

// Out of descriptors or memory: trying again at once would only spin.
bool isResourceShortage(const beast::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == beast::error_code(ENFILE, beast::system_category());
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Shared& impl)
      : stream_(std::move(socket)), timer_(stream_.get_executor()), impl_(impl) {
    ++impl_.connections;
    beast::error_code ec;
    tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    if (!ec) client_ = peer.address().to_string();
  }
  ~Session() { --impl_.connections; }

  void start() { readRequest(); }

 private:
  void readRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kIdleTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (ec) {
      keepAlive_ = false;
      if (ec == http::error::header_limit)
        return sendJson(431, failureBody("Encabezados de la solicitud demasiado grandes."));
      if (ec == http::error::body_limit)
        return sendJson(413, failureBody("Solicitud demasiado grande."));
      bool parseError = ec.category() == http::make_error_code(http::error::bad_target).category();
      if (parseError && ec != http::error::end_of_stream && ec != http::error::partial_message)
        return sendJson(400, failureBody("Solicitud mal formada."));
      return close();
    }
    ++impl_.requests;
    const http::request<http::string_body>& request = parser_->get();
    target_ = std::string(request.target());
    keepAlive_ = request.keep_alive();
    gzip_ = impl_.options.gzip && acceptsGzip(request[http::field::accept_encoding]);

    std::size_t fields = 0;
    for (auto it = request.begin(); it != request.end(); ++it) ++fields;
    if (fields > kMaxHeaderFields) {
      keepAlive_ = false;
      return sendJson(431, failureBody("Demasiados encabezados en la solicitud."));
    }
    if (request.method() != http::verb::get) {
      keepAlive_ = false;
      return sendJson(405, failureBody("Método no permitido: use GET."));
    }
    for (const ServiceFault& fault : impl_.options.faults) {
      if (fault.rate <= 0 || (fault.rate < 1 && impl_.core->draw() >= fault.rate)) continue;
      return applyFault(fault.kind);
    }
    ServiceReply reply = impl_.core->handle(target_, client_);
    sendJson(reply.httpStatus, reply.body);
  }

  Json failureBody(std::string_view errors) const {
    Json status = impl_.options.statusAsText ? Json("1") : Json(1);
    return JsonObject{{"status", status}, {"errors", Json(errors)}};
  }

  void applyFault(ServiceFault::Kind kind) {
    switch (kind) {
      case ServiceFault::Kind::Drop:
        log("dropped");
        return close();
      case ServiceFault::Kind::Silent:
        log("left unanswered");
        stream_.expires_never();
        return discardUntilClosed();
      case ServiceFault::Kind::Garbage:
        return send(200, "<html><body>Servicio temporalmente no disponible",
                    "text/html; charset=us-ascii");
      case ServiceFault::Kind::Http500:
        return sendJson(500, failureBody("Error interno del servicio."));
    }
  }

  void discardUntilClosed() {
    stream_.async_read_some(asio::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->close();
                              self->discardUntilClosed();
                            });
  }

  void sendJson(int status, const Json& body) {
    std::optional<std::string> text = JSONRepresentation(body);
    send(status, text ? asciiOnly(*text) : std::string("{\"status\":1}"), "application/json");
  }

  void send(int status, std::string body, const char* contentType) {
    log(strprintf("%d", status));
    response_ = {};
    response_.version(11);
    response_.result(static_cast<http::status>(status));
    response_.set(http::field::server, "parking-service");
    response_.set(http::field::content_type, contentType);
    response_.set(http::field::cache_control, "no-store");
    if (impl_.options.gzip) response_.set(http::field::vary, "Accept-Encoding");
    if (status == 405) response_.set(http::field::allow, "GET");
    if (gzip_) {
      std::optional<Data> compressed = DataCompressor::compressData(toData(body));
      if (compressed) {
        body = toString(*compressed);
        response_.set(http::field::content_encoding, "gzip");
      }
    }
    response_.body() = std::move(body);
    response_.keep_alive(keepAlive_);
    response_.prepare_payload();
    if (impl_.options.delayMs > 0) {
      timer_.expires_after(std::chrono::milliseconds(impl_.options.delayMs));
      timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->close();
        self->write();
      });
    } else {
      write();
    }
  }

  void write() {
    stream_.expires_after(kIdleTimeout);
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec || !self->keepAlive_) return self->close();
                        self->readRequest();
                      });
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  void log(const std::string& outcome) const {
    if (!impl_.options.quiet) logf("GET %s -> %s", target_.c_str(), outcome.c_str());
  }

  beast::tcp_stream stream_;
  asio::steady_timer timer_;
  Shared& impl_;
  beast::flat_buffer buffer_{kHeaderLimit + kBodyLimit};
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  std::string target_;
  std::string client_;
  std::array<char, 512> scratch_;
  bool keepAlive_ = false;
  bool gzip_ = false;
};

}  // namespace

struct ParkingService::Impl : Shared {
  explicit Impl(ParkingServiceOptions o) { options = std::move(o); }

  void accept();

  std::unique_ptr<asio::io_context> io;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<asio::steady_timer> acceptPause;
  std::chrono::milliseconds nextPause = kFirstAcceptPause;
  std::thread thread;
  bool started = false;
  std::string host;
  std::uint16_t port = 0;
};

void ParkingService::Impl::accept() {
  acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
    if (ec) ++acceptFailures;
    if (isResourceShortage(ec)) {
      acceptPause->expires_after(nextPause);
      nextPause = std::min<std::chrono::milliseconds>(nextPause * 2, kLongestAcceptPause);
      acceptPause->async_wait([this](beast::error_code waited) {
        if (!waited) accept();
      });
      return;
    }
    if (!ec) {
      nextPause = kFirstAcceptPause;
      if (connections.load() >= maxConnections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        std::make_shared<Session>(std::move(socket), *this)->start();
      }
    }
    accept();
  });
}

ParkingServiceOptions ParkingServiceOptions::commandLineDefaults() {
  ParkingServiceOptions options;
  options.anyHour = false;
  options.quiet = false;
  return options;
}

ParkingService::ParkingService(ParkingServiceOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

ParkingService::~ParkingService() {
  stop();
}

std::optional<std::uint16_t> ParkingService::start(std::string_view host, std::uint16_t port,
                                                   Error* error) {
  if (impl_->started) {
    Error::assign(error, Error(ParkingServiceErrorDomain, 5, "the service is already running"));
    return std::nullopt;
  }
  auto core = std::make_unique<ServiceCore>(impl_->options);
  if (!core->load(error)) return std::nullopt;

  auto io = std::make_unique<asio::io_context>(1);
  beast::error_code ec;
  asio::ip::address address = asio::ip::make_address(std::string(host), ec);
  if (ec) {
    tcp::resolver resolver(*io);
    auto results = resolver.resolve(std::string(host), "", ec);
    if (!ec && results.begin() != results.end()) address = results.begin()->endpoint().address();
    if (!ec && results.begin() == results.end()) ec = asio::error::host_not_found;
  }
  auto acceptor = std::make_unique<tcp::acceptor>(*io);
  if (!ec) acceptor->open(address.is_v6() ? tcp::v6() : tcp::v4(), ec);
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(tcp::endpoint(address, port), ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    Error::assign(error,
                  Error(ParkingServiceErrorDomain, 1,
                        strprintf("cannot listen on %.*s:%u: %s", static_cast<int>(host.size()),
                                  host.data(), port, ec.message().c_str())));
    return std::nullopt;
  }
  impl_->port = acceptor->local_endpoint().port();
  impl_->host = address.to_string();
  impl_->core = std::move(core);
  impl_->io = std::move(io);
  impl_->acceptor = std::move(acceptor);
  impl_->acceptPause = std::make_unique<asio::steady_timer>(*impl_->io);
  impl_->nextPause = kFirstAcceptPause;
  impl_->maxConnections = connectionCap();
  impl_->requests = 0;
  impl_->acceptFailures = 0;
  impl_->accept();
  impl_->thread = std::thread([io = impl_->io.get()] {
    auto guard = asio::make_work_guard(*io);
    io->run();
  });
  impl_->started = true;
  return impl_->port;
}

void ParkingService::stop() {
  if (!impl_->started) return;
  impl_->io->stop();
  impl_->thread.join();
  // Connections still open close as their handlers are destroyed with the context.
  impl_->acceptor.reset();
  impl_->acceptPause.reset();
  impl_->io.reset();
  impl_->started = false;
  Error error;
  if (!impl_->core->save(&error))
    logf("parking-service: state not saved: %s", error.description.c_str());
}

bool ParkingService::running() const {
  return impl_->started;
}

std::uint16_t ParkingService::port() const {
  return impl_->port;
}

std::string ParkingService::baseAddress() const {
  bool v6 = impl_->host.find(':') != std::string::npos;
  return strprintf(v6 ? "http://[%s]:%u" : "http://%s:%u", impl_->host.c_str(), impl_->port);
}

std::optional<std::string> ParkingService::pinFor(std::string_view phone) const {
  return impl_->core ? impl_->core->pinFor(phone) : std::nullopt;
}

std::uint64_t ParkingService::requestCount() const {
  return impl_->requests.load();
}

std::uint64_t ParkingService::acceptFailures() const {
  return impl_->acceptFailures.load();
}

}  // namespace est
