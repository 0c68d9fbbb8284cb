#include "http/connection_pool.h"

#include <algorithm>

namespace est {

namespace {
void closeEntry(PoolEntry& e) {
  if (e.stream) e.stream->close();
}
}  // namespace

ConnectionPool& ConnectionPool::shared() {
  static auto* pool = new ConnectionPool;  // used by the network thread until the process ends
  return *pool;
}

std::shared_ptr<PoolEntry> ConnectionPool::acquire(
    std::shared_ptr<PoolEntry> previous, const PoolEntry::Key& key, std::uint64_t requestID,
    bool fresh, const std::function<std::shared_ptr<net::Connection>()>& open) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<PoolEntry> entry = std::move(previous);
  if (entry) {
    bool inPool = std::find(pool_.begin(), pool_.end(), entry) != pool_.end();
    bool mine = !entry->request || *entry->request == requestID;
    if (!inPool || !mine || !(entry->key == key)) {
      if (inPool && mine) entry->request.reset();
      entry.reset();
    }
  }
  if (entry && fresh) {
    drop(entry);
    closeEntry(*entry);
    entry.reset();
  }
  if (!entry && !fresh) {
    for (auto it = pool_.rbegin(); it != pool_.rend(); ++it) {
      if (!(*it)->request && (*it)->key == key) {
        entry = *it;
        break;
      }
    }
  }
  if (!entry) {
    entry = std::make_shared<PoolEntry>();
    entry->id = nextConnectionID_++;
    entry->key = key;
    pool_.push_back(entry);
  }
  entry->request = requestID;
  entry->expires.reset();
  if (!entry->stream || !entry->stream->isOpen()) entry->stream = open();
  return entry;
}

void ConnectionPool::release(PoolEntry& entry, SteadyTime expires) {
  std::lock_guard lock(mutex_);
  entry.request.reset();
  entry.expires = expires;
}

void ConnectionPool::forget(PoolEntry& entry, std::uint64_t requestID) {
  std::lock_guard lock(mutex_);
  if (entry.request && *entry.request == requestID) entry.request.reset();
}

bool ConnectionPool::isUsedBy(const PoolEntry& entry, std::uint64_t requestID) {
  std::lock_guard lock(mutex_);
  return entry.request && *entry.request == requestID;
}

void ConnectionPool::drop(const std::shared_ptr<PoolEntry>& entry) {
  std::lock_guard lock(mutex_);
  pool_.erase(std::remove(pool_.begin(), pool_.end(), entry), pool_.end());
}

void ConnectionPool::expire(std::optional<SteadyTime> now) {
  std::lock_guard lock(mutex_);
  std::erase_if(pool_, [&](const std::shared_ptr<PoolEntry>& e) {
    bool due = !e->request && (!now || (e->expires && *e->expires <= *now));
    if (due) closeEntry(*e);
    return due;
  });
}

void ConnectionPool::closeAllOf(boost::asio::io_context* context) {
  std::lock_guard lock(mutex_);
  std::erase_if(pool_, [&](const std::shared_ptr<PoolEntry>& e) {
    bool ours = e->key.context == context;
    if (ours) closeEntry(*e);
    return ours;
  });
}

std::vector<std::shared_ptr<const PoolEntry>> ConnectionPool::entries() {
  std::lock_guard lock(mutex_);
  return {pool_.begin(), pool_.end()};
}

}  // namespace est
