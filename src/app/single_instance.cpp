#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/format.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace est {
namespace {

constexpr char kRaise[] = "raise\n";

// A stable short name for the set of stores this copy would use, read from the environment
// only: working out the folders themselves would create them.
std::string storesKey() {
  std::string text;
  for (const char* name : {"EST_CONFIG_DIR", "EST_DATA_DIR", "EST_DOCUMENTS_DIR", "XDG_CONFIG_HOME",
                           "XDG_DATA_HOME", "HOME"}) {
    const char* value = std::getenv(name);
    text += value ? value : "";
    text += '\n';
  }
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return strprintf("%016llx", static_cast<unsigned long long>(hash));
}

std::filesystem::path runtimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && std::filesystem::path(runtime).is_absolute()) return runtime;
  // Without a runtime folder, a per-user one under the temporary folder.
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      strprintf("%s-%u", applicationName().c_str(), static_cast<unsigned>(::getuid()));
  ::mkdir(folder.c_str(), 0700);
  return folder;
}

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
  std::filesystem::path base = runtimeFolder() / (applicationName() + "-" + storesKey());
  base_ = QString::fromStdString(base.string());
  std::string lockPath = base.string() + ".lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    // No lock can be had at all: run rather than refuse to start.
    logf("single instance: cannot open %s; running without the check", lockPath.c_str());
    return;
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    primary_ = false;
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool SingleInstance::listen(std::function<void()> raise) {
  const QString name = base_ + ".socket";
  // Holding the lock, any socket left there is a crashed copy's.
  QLocalServer::removeServer(name);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) {
    logf("single instance: cannot listen on %s: %s", name.toUtf8().constData(),
         server_->errorString().toUtf8().constData());
    return false;
  }
  connect(server_, &QLocalServer::newConnection, this, [this, raise] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [peer, raise] {
        if (!peer->readAll().contains("raise")) return;
        logLine("single instance: another launch asked for the window");
        raise();
        peer->disconnectFromServer();
      });
    }
  });
  return true;
}

bool SingleInstance::askRunningCopyToRaise(int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(base_ + ".socket");
    if (socket.waitForConnected(500)) {
      socket.write(kRaise, sizeof kRaise - 1);
      bool sent = socket.waitForBytesWritten(1000);
      // The running copy hangs up once it has acted.
      if (sent && socket.state() == QLocalSocket::ConnectedState) socket.waitForDisconnected(1000);
      return sent;
    }
    // The running copy may still be starting.
    QThread::msleep(100);
  }
  return false;
}

}  // namespace est
