#pragma once

// Real proxies for tests, started in the foreground on a free loopback port and stopped with
// the object: tinyproxy (HTTP and CONNECT), microsocks (SOCKS5) and stunnel (TLS in front of
// either, making an https:// proxy).

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "http/support/nginx_server.h"

namespace est::testing {

class ProxyProcess {
 public:
  ~ProxyProcess();
  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  void stop();

 protected:
  ProxyProcess() = default;
  // Starts argv ({PORT} replaced) and waits until the port accepts connections.
  void launch(std::vector<std::string> args);
  TempDir dir_;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

class TinyProxy : public ProxyProcess {
 public:
  // `connectPorts`: the ports CONNECT may reach; `basicAuth` ("user password"): the
  // credentials it demands with 407. The proxy names itself "est-tinyproxy" in the Via header
  // it adds.
  explicit TinyProxy(std::vector<int> connectPorts = {}, const std::string& basicAuth = {});
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }
  std::string log() const;
};

class MicroSocks : public ProxyProcess {
 public:
  MicroSocks(const std::string& user = "", const std::string& password = "");
  std::string url() const { return "socks5://127.0.0.1:" + std::to_string(port()); }
};

// TLS on its own port in front of what listens on `backendPort` (a proxy, which makes it an
// https:// one, or a plain server), showing `cert` (with `key`).
class TlsFront : public ProxyProcess {
 public:
  TlsFront(int backendPort, const std::filesystem::path& cert, const std::filesystem::path& key);
  std::string url(const std::string& host = "127.0.0.1") const {
    return "https://" + host + ":" + std::to_string(port());
  }
};

}  // namespace est::testing
