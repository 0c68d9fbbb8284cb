#include "http/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "http/support/test_server.h"

extern char** environ;

namespace est::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "est-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made ? fs::path(made) : fs::path();
  // nginx workers may run as another user: let them in.
  if (made) ::chmod(made, 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

int freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool acceptsOnLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

namespace {

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
}

}  // namespace

pid_t spawnQuietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int spawned = ::posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  return spawned == 0 ? pid : -1;
}

bool waitUntilListening(pid_t& pid, const std::vector<int>& ports) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) {  // exited: a port was taken, try again
      pid = -1;
      return true;
    }
    if (std::all_of(ports.begin(), ports.end(), acceptsOnLoopback)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

namespace {

int run(const std::vector<std::string>& args) {
  pid_t pid = spawnQuietly(args);
  if (pid < 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool loopbackIPv6Available() {
  static const bool available = [] {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  }();
  return available;
}

bool NginxServer::available() {
  return ::access(binary(), X_OK) == 0;
}

NginxServer::NginxServer(const std::string& serverBlocks, int portCount,
                         const std::map<std::string, std::string>& files) {
  if (!available() || dir_.path().empty()) return;
  fs::path p = dir_.path();
  for (const char* sub : {"root", "logs", "tmp"}) fs::create_directories(p / sub);
  ::chmod((p / "root").c_str(), 0755);
  for (auto& [name, contents] : files) {
    std::ofstream(p / name, std::ios::binary) << contents;
    ::chmod((p / name).c_str(), 0644);
  }
  for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
    ports_.clear();
    for (int i = 0; i < portCount; ++i) ports_.push_back(freeLoopbackPort());
    // Every loopback listener also takes ::1, where "localhost" may lead first.
    static const std::regex loopback(R"(listen 127\.0\.0\.1:(\{PORT[0-9]+\})([^;]*);)");
    std::string blocks = loopbackIPv6Available()
                             ? std::regex_replace(serverBlocks, loopback, "$& listen [::1]:$1$2;")
                             : serverBlocks;
    for (int i = 0; i < portCount; ++i)
      replaceAll(blocks, "{PORT" + std::to_string(i) + "}", std::to_string(ports_[i]));
    replaceAll(blocks, "{ROOT}", (p / "root").string());
    replaceAll(blocks, "{PREFIX}", p.string());
    std::string tmp = (p / "tmp").string();
    std::ofstream conf(p / "nginx.conf");
    conf << "worker_processes 1;\n"
         << "pid " << (p / "nginx.pid").string() << ";\n"
         << "error_log " << (p / "logs/error.log").string() << " warn;\n"
         << "events { worker_connections 512; }\n"
         << "http {\n"
         << "  access_log off;\n"
         << "  client_body_temp_path " << tmp << "/body;\n"
         << "  proxy_temp_path " << tmp << "/proxy;\n"
         << "  fastcgi_temp_path " << tmp << "/fastcgi;\n"
         << "  uwsgi_temp_path " << tmp << "/uwsgi;\n"
         << "  scgi_temp_path " << tmp << "/scgi;\n"
         << "  types { application/json json; text/plain txt; application/octet-stream bin; }\n"
         << "  default_type application/octet-stream;\n"
         << "  keepalive_requests 100000;\n"
         << "  keepalive_timeout 60;\n"
         << blocks << "\n}\n";
    conf.close();
    pid_ = spawnQuietly({binary(), "-p", p.string(), "-c", (p / "nginx.conf").string(), "-e",
                         (p / "logs/error.log").string(), "-g", "daemon off;"});
    if (pid_ < 0) return;
    if (!waitUntilListening(pid_, ports_)) stop();
  }
}

NginxServer::~NginxServer() {
  stop();
}

void NginxServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string NginxServer::url(const std::string& path, int i, const std::string& scheme,
                             const std::string& host) const {
  return scheme + "://" + host + ":" + std::to_string(port(i)) + path;
}

std::string NginxServer::errorLog() const {
  std::ifstream in(dir_.path() / "logs/error.log");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TestCertificates::TestCertificates(const fs::path& dir) {
  auto f = [&](const char* name) { return (dir / name).string(); };
  std::string ecKey = "ec";
  std::vector<std::string> curve = {"-pkeyopt", "ec_paramgen_curve:prime256v1"};
  auto req = [&](std::vector<std::string> args) {
    std::vector<std::string> all = {"openssl", "req", "-newkey", ecKey};
    all.insert(all.end(), curve.begin(), curve.end());
    all.insert(all.end(), {"-nodes", "-days", "2"});
    all.insert(all.end(), args.begin(), args.end());
    return run(all) == 0;
  };
  {
    std::ofstream ext(dir / "server.ext");
    ext << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    std::ofstream wrong(dir / "wrong.ext");
    wrong << "subjectAltName=DNS:wrong.example\n";
  }
  auto sign = [&](const char* csr, const char* out, const char* extFile) {
    return run({"openssl", "x509", "-req", "-in", f(csr), "-CA", f("ca.pem"), "-CAkey", f("ca.key"),
                "-CAcreateserial", "-out", f(out), "-days", "2", "-extfile", f(extFile)}) == 0;
  };
  ok = req({"-x509", "-keyout", f("ca.key"), "-out", f("ca.pem"), "-subj", "/CN=Est Test CA"}) &&
       req({"-keyout", f("server.key"), "-out", f("server.csr"), "-subj", "/CN=localhost"}) &&
       sign("server.csr", "server.pem", "server.ext") &&
       req({"-keyout", f("wrong.key"), "-out", f("wrong.csr"), "-subj", "/CN=wrong.example"}) &&
       sign("wrong.csr", "wrong.pem", "wrong.ext") &&
       req({"-x509", "-keyout", f("self.key"), "-out", f("self.pem"), "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
  caCert = dir / "ca.pem";
  serverCert = dir / "server.pem";
  serverKey = dir / "server.key";
  wrongHostCert = dir / "wrong.pem";
  wrongHostKey = dir / "wrong.key";
  selfSignedCert = dir / "self.pem";
  selfSignedKey = dir / "self.key";
  for (auto& key : {serverKey, wrongHostKey, selfSignedKey}) ::chmod(key.c_str(), 0644);
}

std::string htpasswdLine(const std::string& user, const std::string& password) {
  std::string cmd = "openssl passwd -apr1 '" + password + "' 2>/dev/null";
  FILE* out = ::popen(cmd.c_str(), "r");
  if (!out) return {};
  char buf[256] = {};
  std::string hash = std::fgets(buf, sizeof buf, out) ? buf : "";
  bool ok = ::pclose(out) == 0;
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  return ok && !hash.empty() ? user + ":" + hash : std::string();
}

void writePatternFile(const fs::path& path, size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::string block;
  for (int i = 0; i < 65536; ++i) block += static_cast<char>('a' + (i * 7 + i / 26) % 26);
  while (size > 0) {
    size_t n = std::min(size, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    size -= n;
  }
  ::chmod(path.c_str(), 0644);
}

}  // namespace est::testing
