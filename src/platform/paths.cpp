#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/files.h"

namespace est {
namespace fs = std::filesystem;

namespace {

std::mutex& nameMutex() {
  static std::mutex m;
  return m;
}

std::string& nameSlot() {
  static std::string name = "estacionamiento";
  return name;
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

// An XDG base folder, or `fallback` under the home folder when unset or not absolute.
fs::path xdgBase(const char* variable, const char* fallback) {
  if (const char* v = env(variable)) {
    fs::path p(v);
    if (p.is_absolute()) return p;
  }
  return homeDirectory() / fallback;
}

fs::path ensure(fs::path dir, Error* error) {
  createDirectories(dir, error);
  return dir;
}

}  // namespace

std::string applicationName() {
  std::lock_guard lock(nameMutex());
  return nameSlot();
}

void setApplicationName(std::string name) {
  std::lock_guard lock(nameMutex());
  nameSlot() = std::move(name);
}

fs::path homeDirectory() {
  if (const char* home = env("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir)
    return found->pw_dir;
  return "/";
}

fs::path configDirectory(Error* error) {
  if (const char* v = env("EST_CONFIG_DIR")) return ensure(v, error);
  return ensure(xdgBase("XDG_CONFIG_HOME", ".config") / applicationName(), error);
}

fs::path dataDirectory(Error* error) {
  if (const char* v = env("EST_DATA_DIR")) return ensure(v, error);
  return ensure(xdgBase("XDG_DATA_HOME", ".local/share") / applicationName(), error);
}

fs::path documentsDirectory(Error* error) {
  if (const char* v = env("EST_DOCUMENTS_DIR")) return ensure(v, error);
  return ensure(xdgBase("XDG_DATA_HOME", ".local/share") / applicationName() / "Documents", error);
}

fs::path cachesDirectory(Error* error) {
  if (const char* v = env("EST_CACHES_DIR")) return ensure(v, error);
  return ensure(xdgBase("XDG_CACHE_HOME", ".cache") / applicationName(), error);
}

fs::path temporaryDirectory(Error* error) {
  if (const char* v = env("EST_TMP_DIR")) return ensure(v, error);
  if (const char* v = env("TMPDIR")) return ensure(v, error);
  return ensure("/tmp", error);
}

}  // namespace est
