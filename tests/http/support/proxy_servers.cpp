#include "http/support/proxy_servers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "http/support/test_server.h"

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
      std::string text = slurp(conf);
      if (auto at = text.find("{PORT}"); at != std::string::npos)
        text.replace(at, 6, std::to_string(port_));
      std::ofstream(dir_.path() / "proxy.conf") << text;
    }
    pid_ = spawnQuietly(filled);
    if (pid_ < 0) return;
    if (!waitUntilListening(pid_, {port_})) stop();
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
  return slurp(dir_.path() / "tinyproxy.log");
}

MicroSocks::MicroSocks(const std::string& user, const std::string& password) {
  std::vector<std::string> args = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", "{PORT}"};
  if (!user.empty()) args.insert(args.end(), {"-u", user, "-P", password});
  launch(args);
}

TlsFront::TlsFront(int backendPort, const std::filesystem::path& cert,
                   const std::filesystem::path& key) {
  std::ofstream conf(dir_.path() / "proxy.conf.in");
  conf << "foreground = yes\npid =\nsyslog = no\ndebug = 4\noutput = "
       << (dir_.path() / "stunnel.log").string() << "\n[proxy]\naccept = 127.0.0.1:{PORT}\n"
       << "connect = 127.0.0.1:" << backendPort << "\ncert = " << cert.string()
       << "\nkey = " << key.string() << "\n";
  conf.close();
  launch({"/usr/bin/stunnel4", (dir_.path() / "proxy.conf").string()});
}

}  // namespace est::testing
