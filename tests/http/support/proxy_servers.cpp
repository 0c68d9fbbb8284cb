#include "http/support/proxy_servers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace est::testing {

ProxyProcess::~ProxyProcess() {
  stop();
}

void ProxyProcess::launch(std::vector<std::string> args) {
  for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
    port_ = freeLoopbackPort();
    std::vector<std::string> filled = args;
    for (auto& a : filled)
      if (auto at = a.find("{PORT}"); at != std::string::npos)
        a.replace(at, 6, std::to_string(port_));
    if (auto conf = dir_.path() / "proxy.conf.in"; std::filesystem::exists(conf)) {
      std::ifstream in(conf);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      if (auto at = text.find("{PORT}"); at != std::string::npos)
        text.replace(at, 6, std::to_string(port_));
      std::ofstream(dir_.path() / "proxy.conf") << text;
    }
    pid_t pid = spawnQuietly(filled);
    if (pid < 0) return;
    pid_ = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool up = false;
    while (!up && std::chrono::steady_clock::now() < deadline) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {  // the port was taken: try another
        pid_ = -1;
        break;
      }
      up = acceptsOnLoopback(port_);
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ > 0 && !up) stop();
  }
}

void ProxyProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

TinyProxy::TinyProxy(std::vector<int> connectPorts, const std::string& basicAuth) {
  std::ofstream conf(dir_.path() / "proxy.conf.in");
  conf << "Port {PORT}\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\nMaxClients 50\n"
       << "LogLevel Connect\nLogFile \"" << (dir_.path() / "tinyproxy.log").string() << "\"\n"
       << "ViaProxyName \"est-tinyproxy\"\n";
  for (int p : connectPorts) conf << "ConnectPort " << p << "\n";
  if (!basicAuth.empty()) conf << "BasicAuth " << basicAuth << "\n";
  conf.close();
  launch({"/usr/bin/tinyproxy", "-d", "-c", (dir_.path() / "proxy.conf").string()});
}

std::string TinyProxy::log() const {
  std::ifstream in(dir_.path() / "tinyproxy.log");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

MicroSocks::MicroSocks(const std::string& user, const std::string& password) {
  std::vector<std::string> args = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", "{PORT}"};
  if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
  launch(args);
}

}  // namespace est::testing
