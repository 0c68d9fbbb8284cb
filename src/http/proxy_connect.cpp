#include "http/proxy_connect.h"

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdlib>
#include <string_view>

#include "http/header_map.h"
#include "platform/format.h"

namespace est::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

std::string ProxyTarget::key() const {
  return strprintf("%s|%s|%d|%d|%s|%s|%s|%s", proxyTypeName(kind).c_str(), host.c_str(), port,
                   tunnel ? 1 : 0, username.c_str(), password.c_str(), authorization.c_str(),
                   tls ? ("tls:" + tls->key()).c_str() : "");
}

namespace {

// A refused CONNECT is read like a reply, but it is the proxy's: only the fields that speak of
// the proxy and frame the body are kept, so nothing in it (cookies, cache or redirect fields)
// can pass for the origin's.
std::string proxyFieldsOnly(const std::string& reply, size_t headLength) {
  static constexpr std::string_view kept[] = {"Proxy-Authenticate", "Content-Length",
                                              "Transfer-Encoding",  "Content-Type",
                                              "Connection",         "Proxy-Connection"};
  std::string_view head(reply.data(), std::min(headLength, reply.size()));
  size_t lineEnd = head.find("\r\n");
  std::string out(head.substr(0, lineEnd));
  out += "\r\n";
  for (size_t at = lineEnd + 2; at < head.size();) {
    size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos || end == at) break;
    std::string_view line = head.substr(at, end - at);
    std::string_view name = line.substr(0, line.find(':'));
    for (std::string_view k : kept) {
      if (equalsIgnoringCase(name, k)) {
        out.append(line);
        out += "\r\n";
      }
    }
    at = end + 2;
  }
  out += "\r\n";
  if (headLength < reply.size()) out.append(reply, headLength);
  return out;
}

class ProxyCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "est.proxy"; }
  std::string message(int ev) const override {
    switch (static_cast<ProxyErrc>(ev)) {
      case ProxyErrc::TunnelRefused:
        return "The proxy refused to open a tunnel";
      case ProxyErrc::BadReply:
        return "The proxy's reply could not be understood";
      case ProxyErrc::NoAcceptableMethod:
        return "The SOCKS proxy accepts none of the offered authentication methods";
      case ProxyErrc::AuthenticationFailed:
        return "The SOCKS proxy rejected the credentials";
      case ProxyErrc::SocksRefused:
        return "The SOCKS proxy refused the connection";
      case ProxyErrc::NameTooLong:
        return "The host name is too long for the SOCKS proxy";
    }
    return "Proxy error";
  }
};

constexpr size_t kMaxReply = 65536;

template <class Stream>
struct Negotiation : std::enable_shared_from_this<Negotiation<Stream>> {
  Stream& socket;
  ProxyTarget proxy;
  std::string host;
  int port;
  ProxyHandler done;
  std::string out;
  std::string in;
  std::vector<unsigned char> buf;

  Negotiation(Stream& s, ProxyTarget p, std::string h, int pt, ProxyHandler d)
      : socket(s), proxy(std::move(p)), host(std::move(h)), port(pt), done(std::move(d)) {}

  void fail(ErrorCode ec, std::shared_ptr<ProxyRefusal> refusal = nullptr) {
    auto d = std::move(done);
    done = nullptr;
    if (d) d(ec, std::move(refusal));
  }
  void succeed() { fail({}); }

  template <class Next>
  void send(std::string bytes, Next next) {
    out = std::move(bytes);
    auto self = this->shared_from_this();
    asio::async_write(socket, asio::buffer(out), [self, next](const ErrorCode& ec, size_t) {
      if (ec) return self->fail(ec);
      next();
    });
  }
  template <class Next>
  void receive(size_t n, Next next) {
    buf.resize(n);
    auto self = this->shared_from_this();
    asio::async_read(socket, asio::buffer(buf), [self, next](const ErrorCode& ec, size_t) {
      if (ec) return self->fail(ec);
      next();
    });
  }

  // ---- HTTP CONNECT ----

  void connectTunnel() {
    std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    authority += ":" + std::to_string(port);
    std::string req = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!proxy.userAgent.empty()) req += "User-Agent: " + proxy.userAgent + "\r\n";
    if (!proxy.authorization.empty()) req += "Proxy-Authorization: " + proxy.authorization + "\r\n";
    req += "\r\n";
    send(std::move(req), [this] { readHead(); });
  }

  void readHead() {
    buf.resize(4096);
    auto self = this->shared_from_this();
    socket.async_read_some(asio::buffer(buf), [self](const ErrorCode& ec, size_t n) {
      self->in.append(reinterpret_cast<char*>(self->buf.data()), n);
      auto end = self->in.find("\r\n\r\n");
      if (end != std::string::npos) return self->headRead(end + 4);
      if (ec) return self->fail(ec);
      if (self->in.size() > kMaxReply) return self->fail(ProxyErrc::BadReply);
      self->readHead();
    });
  }

  void headRead(size_t headLength) {
    std::string head = in.substr(0, headLength);
    auto refusal = std::make_shared<ProxyRefusal>();
    refusal->statusLine = head.substr(0, head.find("\r\n"));
    // "HTTP/1.x NNN reason"
    if (refusal->statusLine.rfind("HTTP/1.", 0) != 0 || refusal->statusLine.size() < 12)
      return fail(ProxyErrc::BadReply);
    refusal->status = std::atoi(refusal->statusLine.c_str() + 9);
    if (refusal->status >= 200 && refusal->status < 300) {
      // Nothing may follow the reply before the origin speaks.
      if (in.size() != headLength) return fail(ProxyErrc::BadReply);
      return succeed();
    }
    // Some proxies refuse wrong credentials with 401 and a WWW-Authenticate challenge. To a
    // CONNECT only the proxy can answer, so it is the proxy's challenge: read it as a 407, or
    // the wrong credentials would never be told apart from the origin's own 401.
    if (refusal->status == 401) {
      refusal->status = 407;
      in.replace(9, 3, "407");
      refusal->statusLine.replace(9, 3, "407");
      std::string lowered = toLower(in.substr(0, headLength));
      if (auto at = lowered.find("\r\nwww-authenticate:"); at != std::string::npos) {
        in.replace(at + 2, 16, "Proxy-Authenticate");
        headLength += 2;
      }
      head = in.substr(0, headLength);
    }
    // Keep the whole refusal so that a 407 can be answered like any other reply.
    std::string lower = toLower(head);
    long long length = -1;
    if (auto at = lower.find("\r\ncontent-length:"); at != std::string::npos)
      length = std::atoll(lower.c_str() + at + 17);
    bool chunked = lower.find("\r\ntransfer-encoding: chunked") != std::string::npos;
    readBody(std::move(refusal), headLength, length, chunked);
  }

  void readBody(std::shared_ptr<ProxyRefusal> refusal, size_t headLength, long long length,
                bool chunked) {
    bool complete = chunked ? in.find("\r\n0\r\n\r\n", headLength - 2) != std::string::npos
                            : length >= 0 && in.size() >= headLength + static_cast<size_t>(length);
    if (complete || in.size() > kMaxReply) {
      refusal->raw = proxyFieldsOnly(in, headLength);
      return fail(ProxyErrc::TunnelRefused, std::move(refusal));
    }
    buf.resize(4096);
    auto self = this->shared_from_this();
    socket.async_read_some(asio::buffer(buf), [self, refusal, headLength, length, chunked](
                                                  const ErrorCode& ec, size_t n) mutable {
      self->in.append(reinterpret_cast<char*>(self->buf.data()), n);
      if (ec) {
        refusal->raw = proxyFieldsOnly(self->in, headLength);
        return self->fail(ProxyErrc::TunnelRefused, std::move(refusal));
      }
      self->readBody(std::move(refusal), headLength, length, chunked);
    });
  }

  // ---- SOCKS5 ----

  void socks5() {
    bool withPassword = !proxy.username.empty();
    std::string hello =
        withPassword ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3);
    send(std::move(hello), [this] { receive(2, [this] { socks5Method(); }); });
  }

  void socks5Method() {
    if (buf[0] != 5) return fail(ProxyErrc::BadReply);
    if (buf[1] == 0) return socks5Connect();
    if (buf[1] == 2 && !proxy.username.empty()) {
      if (proxy.username.size() > 255 || proxy.password.size() > 255)
        return fail(ProxyErrc::AuthenticationFailed);
      std::string auth;
      auth += '\x01';
      auth += static_cast<char>(proxy.username.size());
      auth += proxy.username;
      auth += static_cast<char>(proxy.password.size());
      auth += proxy.password;
      return send(std::move(auth), [this] {
        receive(2, [this] {
          if (buf[1] != 0) return fail(ProxyErrc::AuthenticationFailed);
          socks5Connect();
        });
      });
    }
    return fail(ProxyErrc::NoAcceptableMethod);
  }

  void socks5Connect() {
    std::string req("\x05\x01\x00", 3);
    ErrorCode ec;
    auto address = asio::ip::make_address(host, ec);
    if (!ec && address.is_v4()) {
      req += '\x01';
      auto b = address.to_v4().to_bytes();
      req.append(reinterpret_cast<const char*>(b.data()), b.size());
    } else if (!ec && address.is_v6()) {
      req += '\x04';
      auto b = address.to_v6().to_bytes();
      req.append(reinterpret_cast<const char*>(b.data()), b.size());
    } else {
      if (host.size() > 255) return fail(ProxyErrc::NameTooLong);
      req += '\x03';
      req += static_cast<char>(host.size());
      req += host;
    }
    req += static_cast<char>((port >> 8) & 0xFF);
    req += static_cast<char>(port & 0xFF);
    send(std::move(req), [this] { receive(5, [this] { socks5Reply(); }); });
  }

  void socks5Reply() {
    if (buf[0] != 5) return fail(ProxyErrc::BadReply);
    if (buf[1] != 0) return fail(ProxyErrc::SocksRefused);
    size_t rest;  // bytes after the first five: the rest of the address and the port
    switch (buf[3]) {
      case 1:
        rest = 4 - 1 + 2;
        break;
      case 4:
        rest = 16 - 1 + 2;
        break;
      case 3:
        rest = static_cast<size_t>(buf[4]) + 2;
        break;
      default:
        return fail(ProxyErrc::BadReply);
    }
    receive(rest, [this] { succeed(); });
  }

  // ---- SOCKS4a ----

  void socks4a() {
    std::string req("\x04\x01", 2);
    req += static_cast<char>((port >> 8) & 0xFF);
    req += static_cast<char>(port & 0xFF);
    ErrorCode ec;
    auto address = asio::ip::make_address_v4(host, ec);
    if (!ec) {
      auto b = address.to_bytes();
      req.append(reinterpret_cast<const char*>(b.data()), b.size());
    } else {
      req.append("\x00\x00\x00\x01", 4);
    }
    req += proxy.username;
    req += '\0';
    if (ec) {
      req += host;
      req += '\0';
    }
    send(std::move(req), [this] {
      receive(8, [this] {
        if (buf[0] != 0) return fail(ProxyErrc::BadReply);
        if (buf[1] != 0x5A) return fail(ProxyErrc::SocksRefused);
        succeed();
      });
    });
  }
};

template <class Stream>
void negotiate(Stream& stream, const ProxyTarget& proxy, const std::string& originHost,
               int originPort, ProxyHandler done) {
  auto n =
      std::make_shared<Negotiation<Stream>>(stream, proxy, originHost, originPort, std::move(done));
  switch (proxy.kind) {
    case ProxyKind::SOCKS:
      n->socks5();
      break;
    case ProxyKind::SOCKS4A:
      n->socks4a();
      break;
    case ProxyKind::HTTP:
      if (proxy.tunnel) {
        n->connectTunnel();
        break;
      }
      [[fallthrough]];
    default:
      n->succeed();
      break;
  }
}

}  // namespace

const boost::system::error_category& proxyCategory() {
  static ProxyCategory category;
  return category;
}

boost::system::error_code make_error_code(ProxyErrc e) {
  return {static_cast<int>(e), proxyCategory()};
}

void asyncNegotiateProxy(tcp::socket& socket, const ProxyTarget& proxy,
                         const std::string& originHost, int originPort, ProxyHandler done) {
  negotiate(socket, proxy, originHost, originPort, std::move(done));
}

void asyncNegotiateProxy(asio::ssl::stream<tcp::socket&>& stream, const ProxyTarget& proxy,
                         const std::string& originHost, int originPort, ProxyHandler done) {
  negotiate(stream, proxy, originHost, originPort, std::move(done));
}

}  // namespace est::net
