#pragma once

// The persistent connections that requests share. A connection serves one request at a
// time; when the reply ends it waits, idle, for another request to the same host, scheme and
// port (over the same loop, TLS settings and proxy) until it expires. Internal to the client.

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/transport.h"

namespace est {

using SteadyTime = std::chrono::steady_clock::time_point;

struct PoolEntry {
  struct Key {
    std::string host;
    int port = 0;
    std::string scheme;
    boost::asio::io_context* context = nullptr;  // sockets belong to the loop that made them
    std::string tlsKey;
    std::string proxyKey;  // a connection through a proxy serves only that proxy and origin
    bool operator==(const Key&) const = default;
  };
  int id = 0;
  Key key;
  std::optional<std::uint64_t> request;  // requestID of the user, absent while idle
  std::shared_ptr<net::Connection> stream;
  std::optional<SteadyTime> expires;
};

class ConnectionPool {
 public:
  static ConnectionPool& shared();

  // Guards the pool; the request's class-wide counters share it.
  std::recursive_mutex& mutex() { return mutex_; }

  // The entry for request `requestID` to use now: `previous` while it is still pooled, ours
  // or idle, and fits `key`; else the last idle entry that fits; else a new one. `fresh`
  // closes `previous` and takes no idle entry. The entry is marked as used by the request;
  // `open` makes its connection when it has none that is open.
  std::shared_ptr<PoolEntry> acquire(std::shared_ptr<PoolEntry> previous, const PoolEntry::Key& key,
                                     std::uint64_t requestID, bool fresh,
                                     const std::function<std::shared_ptr<net::Connection>()>& open);
  // The reply is over: the entry waits, idle, until `expires`.
  void release(PoolEntry& entry, SteadyTime expires);
  // Lets go of an entry the request no longer uses, if it still marks the request's use.
  void forget(PoolEntry& entry, std::uint64_t requestID);
  bool isUsedBy(const PoolEntry& entry, std::uint64_t requestID);
  // Takes the entry out of the pool (its connection is the caller's to close).
  void drop(const std::shared_ptr<PoolEntry>& entry);
  // Closes and removes the idle entries whose time is up (`now` null: every idle one).
  void expire(std::optional<SteadyTime> now);
  // Closes and removes every entry whose sockets belong to `context`.
  void closeAllOf(boost::asio::io_context* context);
  std::vector<std::shared_ptr<const PoolEntry>> entries();

 private:
  std::recursive_mutex mutex_;
  std::vector<std::shared_ptr<PoolEntry>> pool_;
  int nextConnectionID_ = 1;
};

}  // namespace est
