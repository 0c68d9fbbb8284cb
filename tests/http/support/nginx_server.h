#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace est::testing {

// A throw-away working folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A free TCP port on 127.0.0.1 (the kernel's choice, released for the caller to take).
int freeLoopbackPort();
// Whether this machine can listen on ::1 (servers then listen there too).
bool loopbackIPv6Available();
// Whether something listens on 127.0.0.1:port.
bool acceptsOnLoopback(int port);
// Starts a program (looked up in PATH) with its output thrown away; -1 when it cannot.
pid_t spawnQuietly(const std::vector<std::string>& args);
// Waits until `pid` listens on every port: false on time-out; true with pid -1 when it exited.
bool waitUntilListening(pid_t& pid, const std::vector<int>& ports);

// A real nginx on loopback, configured from the caller's server blocks and run in the
// foreground from a private prefix (pid file, logs and temp folders inside it). In the
// blocks, {PORT0}, {PORT1}, ... become the ports this instance listens on, {ROOT} the
// document folder and {PREFIX} the private folder, where `files` (name to contents, such as
// an htpasswd file) are written before nginx starts.
class NginxServer {
 public:
  static bool available();
  static const char* binary() { return "/usr/sbin/nginx"; }

  NginxServer(const std::string& serverBlocks, int portCount = 1,
              const std::map<std::string, std::string>& files = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool running() const { return pid_ > 0; }
  int port(int i = 0) const { return ports_.at(i); }
  std::string url(const std::string& path, int i = 0, const std::string& scheme = "http",
                  const std::string& host = "127.0.0.1") const;
  std::filesystem::path root() const { return dir_.path() / "root"; }
  std::filesystem::path prefix() const { return dir_.path(); }
  std::string errorLog() const;
  void stop();

 private:
  TempDir dir_;
  std::vector<int> ports_;
  pid_t pid_ = -1;
};

// Certificates made with the openssl command line: a test authority, a server certificate
// it signed for localhost and 127.0.0.1, one it signed for another host, and a self-signed
// one for localhost.
struct TestCertificates {
  explicit TestCertificates(const std::filesystem::path& dir);
  bool ok = false;
  std::filesystem::path caCert;
  std::filesystem::path serverCert, serverKey;
  std::filesystem::path wrongHostCert, wrongHostKey;
  std::filesystem::path selfSignedCert, selfSignedKey;
};

// One htpasswd line, "user:$apr1$...", hashed by `openssl passwd -apr1`; empty on failure.
std::string htpasswdLine(const std::string& user, const std::string& password);

// Writes `size` bytes of a repeating pattern to `path`.
void writePatternFile(const std::filesystem::path& path, size_t size);

}  // namespace est::testing
