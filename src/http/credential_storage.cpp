#include "http/credential_storage.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include "platform/format.h"
#include "platform/log.h"

namespace est {

// ---- memory ----

bool MemoryCredentialStorage::save(const CredentialKey& key, const Credentials& credentials) {
  std::lock_guard lock(lock_);
  entries_[key] = credentials;
  return true;
}

std::optional<Credentials> MemoryCredentialStorage::find(const CredentialKey& key) {
  std::lock_guard lock(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

void MemoryCredentialStorage::remove(const CredentialKey& key) {
  std::lock_guard lock(lock_);
  entries_.erase(key);
}

// ---- keyring ----

namespace {

const SecretSchema* credentialSchema() {
  static const SecretSchema schema = {"org.quenlor.est.HTTPCredentials",
                                      SECRET_SCHEMA_NONE,
                                      {
                                          {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
                                          {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"realm", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"domain", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                      },
                                      0,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr};
  return &schema;
}

struct Pending {
  GAsyncResult* result = nullptr;
  bool timedOut = false;
};

void onReady(GObject*, GAsyncResult* res, gpointer p) {
  static_cast<Pending*>(p)->result = G_ASYNC_RESULT(g_object_ref(res));
}

gboolean onTimeout(gpointer p) {
  static_cast<Pending*>(p)->timedOut = true;
  return G_SOURCE_REMOVE;
}

using Starter = std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>;

// Runs one asynchronous call on `ctx`, waiting at most `seconds`; a call still running then
// is cancelled. Returns its result (the caller unrefs it), or null when it never came.
GAsyncResult* runBounded(GMainContext* ctx, double seconds, const Starter& start) {
  g_main_context_push_thread_default(ctx);
  GCancellable* cancel = g_cancellable_new();
  auto* pending = new Pending;
  auto wait = [&](double s) {
    pending->timedOut = false;
    GSource* timer = g_timeout_source_new(static_cast<guint>(s * 1000));
    g_source_set_callback(timer, onTimeout, pending, nullptr);
    g_source_attach(timer, ctx);
    while (!pending->result && !pending->timedOut) g_main_context_iteration(ctx, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
  };
  start(cancel, onReady, pending);
  wait(seconds);
  if (!pending->result) {
    g_cancellable_cancel(cancel);
    wait(0.5);
  }
  GAsyncResult* result = pending->result;
  // A call that ignored its cancellation may still answer later: leave it somewhere to write.
  if (result) delete pending;
  g_object_unref(cancel);
  g_main_context_pop_thread_default(ctx);
  return result;
}

std::string sessionBusAddress() {
  if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"); a && *a) return a;
  if (const char* rt = std::getenv("XDG_RUNTIME_DIR"); rt && *rt) {
    std::string path = std::string(rt) + "/bus";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return "unix:path=" + path;
  }
  return {};  // never let the bus library try to launch one
}

// Whether someone owns the Secret Service's name right now (no activation).
bool secretServiceIsRunning(GMainContext* ctx, const std::string& address, double seconds) {
  GAsyncResult* r =
      runBounded(ctx, seconds, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
        g_dbus_connection_new_for_address(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, c, cb, d);
      });
  if (!r) return false;
  GDBusConnection* bus = g_dbus_connection_new_for_address_finish(r, nullptr);
  g_object_unref(r);
  if (!bus) return false;
  int ms = static_cast<int>(seconds * 1000);
  r = runBounded(ctx, seconds + 0.2, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner",
                           g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, ms, c, cb, d);
  });
  bool owned = false;
  if (r) {
    if (GVariant* v = g_dbus_connection_call_finish(bus, r, nullptr)) {
      gboolean b = FALSE;
      g_variant_get(v, "(b)", &b);
      owned = b;
      g_variant_unref(v);
    }
    g_object_unref(r);
  }
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return owned;
}

class Attributes {
 public:
  explicit Attributes(const CredentialKey& key, const Credentials* credentials = nullptr)
      : table_(g_hash_table_new(g_str_hash, g_str_equal)) {
    kind_ = key.proxy ? "proxy" : "server";
    port_ = strprintf("%d", key.port);
    g_hash_table_insert(table_, const_cast<char*>("kind"), kind_.data());
    g_hash_table_insert(table_, const_cast<char*>("host"), const_cast<char*>(key.host.c_str()));
    g_hash_table_insert(table_, const_cast<char*>("port"), port_.data());
    g_hash_table_insert(table_, const_cast<char*>("protocol"),
                        const_cast<char*>(key.protocol.c_str()));
    g_hash_table_insert(table_, const_cast<char*>("realm"), const_cast<char*>(key.realm.c_str()));
    if (credentials) {
      g_hash_table_insert(table_, const_cast<char*>("user"),
                          const_cast<char*>(credentials->username.c_str()));
      g_hash_table_insert(table_, const_cast<char*>("domain"),
                          const_cast<char*>(credentials->domain.c_str()));
    }
  }
  ~Attributes() { g_hash_table_unref(table_); }
  GHashTable* get() const { return table_; }

 private:
  GHashTable* table_;
  std::string kind_, port_;
};

class SecretServiceStorage : public CredentialStorage {
 public:
  SecretServiceStorage(GMainContext* ctx, SecretService* service, double timeout)
      : ctx_(ctx), service_(service), timeout_(timeout) {}
  ~SecretServiceStorage() override {
    g_object_unref(service_);
    g_main_context_unref(ctx_);
  }
  std::string kind() const override { return "keyring"; }

  bool save(const CredentialKey& key, const Credentials& credentials) override {
    std::lock_guard lock(lock_);
    clearLocked(key);
    Attributes attributes(key, &credentials);
    std::string label = strprintf("%s:%d %s", key.host.c_str(), key.port, key.realm.c_str());
    SecretValue* value = secret_value_new(credentials.password.c_str(), -1, "text/plain");
    GAsyncResult* r =
        runBounded(ctx_, timeout_, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
          secret_service_store(service_, credentialSchema(), attributes.get(),
                               SECRET_COLLECTION_DEFAULT, label.c_str(), value, c, cb, d);
        });
    secret_value_unref(value);
    if (!r) return false;
    bool ok = secret_service_store_finish(service_, r, nullptr);
    g_object_unref(r);
    return ok;
  }

  std::optional<Credentials> find(const CredentialKey& key) override {
    std::lock_guard lock(lock_);
    Attributes attributes(key);
    GAsyncResult* r =
        runBounded(ctx_, timeout_, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
          // Locked items are skipped rather than unlocked: unlocking could prompt.
          secret_service_search(service_, credentialSchema(), attributes.get(),
                                SECRET_SEARCH_LOAD_SECRETS, c, cb, d);
        });
    if (!r) return std::nullopt;
    GList* items = secret_service_search_finish(service_, r, nullptr);
    g_object_unref(r);
    std::optional<Credentials> found;
    for (GList* l = items; l && !found; l = l->next) {
      auto* item = static_cast<SecretItem*>(l->data);
      SecretValue* secret = secret_item_get_secret(item);
      if (!secret) continue;
      Credentials cr;
      if (const gchar* text = secret_value_get_text(secret)) cr.password = text;
      GHashTable* attrs = secret_item_get_attributes(item);
      if (auto* u = static_cast<const char*>(g_hash_table_lookup(attrs, "user"))) cr.username = u;
      if (auto* dm = static_cast<const char*>(g_hash_table_lookup(attrs, "domain"))) cr.domain = dm;
      g_hash_table_unref(attrs);
      secret_value_unref(secret);
      found = cr;
    }
    g_list_free_full(items, g_object_unref);
    return found;
  }

  void remove(const CredentialKey& key) override {
    std::lock_guard lock(lock_);
    clearLocked(key);
  }

 private:
  void clearLocked(const CredentialKey& key) {
    Attributes attributes(key);
    GAsyncResult* r =
        runBounded(ctx_, timeout_, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
          secret_service_clear(service_, credentialSchema(), attributes.get(), c, cb, d);
        });
    if (!r) return;
    secret_service_clear_finish(service_, r, nullptr);
    g_object_unref(r);
  }

  GMainContext* ctx_;
  SecretService* service_;
  double timeout_;
  std::mutex lock_;
};

std::mutex& sharedLock() {
  static std::mutex m;
  return m;
}
std::shared_ptr<CredentialStorage>& sharedStorage() {
  static std::shared_ptr<CredentialStorage> s;
  return s;
}

}  // namespace

std::shared_ptr<CredentialStorage> CredentialStorage::connectToSecretService(double timeout) {
  std::string address = sessionBusAddress();
  if (address.empty()) return nullptr;
  GMainContext* ctx = g_main_context_new();
  if (!secretServiceIsRunning(ctx, address, timeout)) {
    g_main_context_unref(ctx);
    return nullptr;
  }
  GAsyncResult* r =
      runBounded(ctx, timeout, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
        secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_LOAD_COLLECTIONS, c, cb,
                            d);
      });
  SecretService* service = r ? secret_service_open_finish(r, nullptr) : nullptr;
  if (r) g_object_unref(r);
  if (!service) {
    g_main_context_unref(ctx);
    return nullptr;
  }
  // The shared bus connection would end the process if the bus went away.
  g_dbus_connection_set_exit_on_close(g_dbus_proxy_get_connection(G_DBUS_PROXY(service)), FALSE);
  // Storing into a locked collection would ask the user to unlock it: use it only unlocked.
  r = runBounded(ctx, timeout, [&](GCancellable* c, GAsyncReadyCallback cb, gpointer d) {
    secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, c, cb,
                                d);
  });
  SecretCollection* collection = r ? secret_collection_for_alias_finish(r, nullptr) : nullptr;
  if (r) g_object_unref(r);
  bool usable = collection && !secret_collection_get_locked(collection);
  if (collection) g_object_unref(collection);
  if (!usable) {
    g_object_unref(service);
    g_main_context_unref(ctx);
    return nullptr;
  }
  return std::make_shared<SecretServiceStorage>(ctx, service, timeout);
}

std::shared_ptr<CredentialStorage> CredentialStorage::shared() {
  std::lock_guard lock(sharedLock());
  auto& s = sharedStorage();
  if (!s) {
    s = connectToSecretService();
    if (!s) s = std::make_shared<MemoryCredentialStorage>();
    logf("credential storage: %s", s->kind().c_str());
  }
  return s;
}

void CredentialStorage::setShared(std::shared_ptr<CredentialStorage> storage) {
  std::lock_guard lock(sharedLock());
  sharedStorage() = std::move(storage);
}

}  // namespace est
