#include "http/request_engine.h"

namespace est {

void HTTPRequest::Impl::closeConnection() {
  ++attempt;  // late completions of the old transfer are ignored
  if (connection) connection->close();
}

void HTTPRequest::Impl::dropConnectionEntry() {
  std::lock_guard lock(connectionsLock());
  closeConnection();
  if (entry) {
    pool().drop(entry);
    entry.reset();
  }
  connection.reset();
}

void HTTPRequest::Impl::releaseConnection() {
  std::lock_guard lock(connectionsLock());
  bool reusable = r.connectionCanBeReused_ && connection && connection->isOpen() &&
                  requestWritten && parser && parser->framingAllowsReuse() && readEnd == readBegin;
  if (!reusable && connection) connection->close();
  if (entry)
    pool().release(*entry,
                   poolNow() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   Seconds(r.persistentConnectionTimeoutSeconds_)));
}

void HTTPRequest::Impl::arrangeConnection() {
  pool().expire(poolNow());
  const Url& url = *r.url_;
  bool https = url.scheme() == "https";
  net::TlsSettings tls{r.validatesSecureCertificate_, r.certificateAuthorityFile_};
  {
    std::lock_guard lock(connectionsLock());
    if (r.requestID_ == 0) r.requestID_ = globals().nextRequestID++;
  }
  if (url.host().empty() || url.scheme().empty()) r.shouldAttemptPersistentConnection_ = false;
  auto open = [&] {
    auto c = std::make_shared<net::Connection>(*io, https, tls);
    c->setProxy(proxyTarget);
    return c;
  };
  if (!r.shouldAttemptPersistentConnection_) {
    if (entry) {
      pool().forget(*entry, r.requestID_);
      entry.reset();
    }
    if (connection) connection->close();
    connection = open();
    r.connectionID_ = 0;
    return;
  }
  PoolEntry::Key key{url.host(),
                     url.effectivePort(),
                     url.scheme(),
                     io,
                     https ? tls.key() : std::string(),
                     proxyTarget ? proxyTarget->key() : std::string()};
  entry = pool().acquire(std::move(entry), key, r.requestID_, forceFreshConnection, open);
  forceFreshConnection = false;
  connection = entry->stream;
  r.connectionID_ = entry->id;
}

std::vector<HTTPRequest::PooledConnection> HTTPRequest::persistentConnectionsPool() {
  std::lock_guard lock(connectionsLock());
  std::vector<PooledConnection> out;
  for (auto& e : pool().entries())
    out.push_back({e->id, e->key.host, e->key.port, e->key.scheme, e->request.has_value(),
                   e->stream && e->stream->isOpen()});
  return out;
}

void HTTPRequest::expirePersistentConnections() {
  pool().expire(poolNow());
}

void HTTPRequest::closeIdlePersistentConnections() {
  pool().expire(std::nullopt);
}

}  // namespace est
