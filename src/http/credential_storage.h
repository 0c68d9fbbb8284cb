#pragma once

// Where credentials are kept across runs when a request asks for it (useCredentialStorage):
// the desktop keyring through libsecret when a Secret Service answers on the session bus, an
// in-memory store otherwise. Nothing here prompts the user or blocks for long.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "http/credentials.h"

namespace est {

// Servers are told apart by host, port, protocol ("http", "https") and realm; proxies by
// host, port and realm.
struct CredentialKey {
  std::string host;
  int port = 0;
  std::string protocol;
  std::string realm;
  bool proxy = false;
  auto tie() const { return std::tie(proxy, host, port, protocol, realm); }
  bool operator<(const CredentialKey& o) const { return tie() < o.tie(); }
};

class CredentialStorage {
 public:
  virtual ~CredentialStorage() = default;
  virtual bool save(const CredentialKey& key, const Credentials& credentials) = 0;
  virtual std::optional<Credentials> find(const CredentialKey& key) = 0;
  virtual void remove(const CredentialKey& key) = 0;
  // "keyring" or "memory".
  virtual std::string kind() const = 0;

  // The storage requests use: chosen on first use (libsecret when a Secret Service owns its
  // bus name now, else memory). Tests may install their own.
  static std::shared_ptr<CredentialStorage> shared();
  static void setShared(std::shared_ptr<CredentialStorage> storage);
  // A keyring-backed storage, or null when no session bus or no Secret Service is there to
  // answer within `timeoutSeconds`. Never starts a service and never asks to unlock one.
  static std::shared_ptr<CredentialStorage> connectToSecretService(double timeoutSeconds = 1.0);
};

class MemoryCredentialStorage : public CredentialStorage {
 public:
  bool save(const CredentialKey& key, const Credentials& credentials) override;
  std::optional<Credentials> find(const CredentialKey& key) override;
  void remove(const CredentialKey& key) override;
  std::string kind() const override { return "memory"; }

 private:
  std::mutex lock_;
  std::map<CredentialKey, Credentials> entries_;
};

}  // namespace est
