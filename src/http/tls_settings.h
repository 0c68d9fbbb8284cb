#pragma once

#include <string>

namespace est::net {

// How a TLS peer's certificate is checked.
struct TlsSettings {
  bool validatesSecureCertificate = true;
  std::string certificateAuthorityFile;  // empty: the system's authorities
  // Connections made under different settings are never shared.
  std::string key() const {
    return (validatesSecureCertificate ? "verify:" : "noverify:") + certificateAuthorityFile;
  }
};

}  // namespace est::net
