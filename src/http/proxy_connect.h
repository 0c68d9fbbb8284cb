#pragma once

// Getting a TCP connection to the origin through a proxy: an HTTP CONNECT tunnel, SOCKS5
// (RFC 1928, with RFC 1929 user name and password) and SOCKS4a. The proxy resolves the
// origin's name in every case.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http/proxy_settings.h"
#include "http/tls_settings.h"

namespace est::net {

struct ProxyTarget {
  ProxyKind kind = ProxyKind::HTTP;
  std::string host;
  int port = 0;
  std::string username, password;  // SOCKS
  std::string authorization;       // "Proxy-Authorization" for CONNECT, empty for none
  std::string userAgent;           // sent with CONNECT when not empty
  // For HTTP proxies: whether a tunnel is needed (https origins) or the request goes to
  // the proxy as it is (absolute-form).
  bool tunnel = false;
  // Set for a proxy reached over TLS (an https:// proxy): how its certificate is checked,
  // against its own host name.
  std::optional<TlsSettings> tls;

  // Connections that differ in this key must not be shared.
  std::string key() const;
};

// The reply of a proxy that refused a CONNECT, whole (status line, headers, body).
struct ProxyRefusal {
  int status = 0;
  std::string statusLine;
  std::string raw;
};

enum class ProxyErrc {
  TunnelRefused = 1,
  BadReply,
  NoAcceptableMethod,
  AuthenticationFailed,
  SocksRefused,
  NameTooLong,
};
const boost::system::error_category& proxyCategory();
boost::system::error_code make_error_code(ProxyErrc e);

using ProxyHandler =
    std::function<void(boost::system::error_code, std::shared_ptr<ProxyRefusal> refusal)>;

// Runs the proxy's side of the handshake on a connected socket so that afterwards the
// socket carries bytes to and from `originHost`:`originPort`. A refused CONNECT reports
// TunnelRefused with the proxy's reply. The second form speaks through TLS to the proxy.
void asyncNegotiateProxy(boost::asio::ip::tcp::socket& socket, const ProxyTarget& proxy,
                         const std::string& originHost, int originPort, ProxyHandler done);
void asyncNegotiateProxy(boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>& stream,
                         const ProxyTarget& proxy, const std::string& originHost, int originPort,
                         ProxyHandler done);

}  // namespace est::net

template <>
struct boost::system::is_error_code_enum<est::net::ProxyErrc> : std::true_type {};
