#pragma once

// One running copy per user: the first copy holds a lock in $XDG_RUNTIME_DIR and listens on a
// local socket beside it; a later launch finds the lock taken, asks the running copy to bring
// its window to the front and leaves without touching any store.

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

namespace est {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // Takes the lock when it is free. Copies pointed at other stores (EST_*_DIR, XDG_*_HOME,
  // HOME) are told apart, since they cannot lose each other's data.
  explicit SingleInstance(QObject* parent = nullptr);
  ~SingleInstance() override;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  bool isPrimary() const { return primary_; }

  // The first copy: calls `raise` for every later launch. False when the socket cannot be
  // opened (later launches then leave without raising anything).
  bool listen(std::function<void()> raise);

  // A later copy: asks the running one to raise its window, retrying for `timeoutMs` while it
  // is still starting. False when it never answered.
  bool askRunningCopyToRaise(int timeoutMs = 5000);

  // Where the lock and the socket live ("<folder>/<name>.lock", "<folder>/<name>.socket").
  QString basePath() const { return base_; }

 private:
  QString base_;
  int lockFd_ = -1;
  bool primary_ = true;
  QLocalServer* server_ = nullptr;
};

}  // namespace est
