#include "http/digest_auth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstring>
#include <random>

#include "http/http_errors.h"
#include "platform/format.h"

namespace est {

namespace {

std::mutex& sourceLock() {
  static std::mutex m;
  return m;
}
std::function<std::string()>& clientNonceSource() {
  static std::function<std::string()> source;
  return source;
}

std::string toHex(const unsigned char* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 0xF];
  }
  return out;
}

std::string randomClientNonce() {
  {
    std::lock_guard lock(sourceLock());
    if (clientNonceSource()) return clientNonceSource()();
  }
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    // The system's generator failed: fall back to the C++ one seeded from the device.
    std::random_device rd;
    for (auto& b : bytes) b = static_cast<unsigned char>(rd());
  }
  return toHex(bytes, sizeof bytes);
}

// A quoted-string with `"` and `\` escaped.
std::string quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool isPlainAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c >= 0x7F) return false;
  return true;
}

// RFC 8187 ext-value: UTF-8''percent-encoded.
std::string extValue(std::string_view s) {
  std::string out = "UTF-8''";
  for (unsigned char c : s) {
    if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", static_cast<char>(c)))
      out += static_cast<char>(c);
    else
      out += strprintf("%%%02X", c);
  }
  return out;
}

}  // namespace

std::string DigestAuthentication::hexDigest(Algorithm algorithm, std::string_view text) {
  const EVP_MD* md = algorithm == Algorithm::MD5      ? EVP_md5()
                     : algorithm == Algorithm::SHA256 ? EVP_sha256()
                                                      : EVP_sha512_256();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!md || EVP_Digest(text.data(), text.size(), out, &len, md, nullptr) != 1) return {};
  return toHex(out, len);
}

void DigestAuthentication::setClientNonceSource(std::function<std::string()> source) {
  std::lock_guard lock(sourceLock());
  clientNonceSource() = std::move(source);
}

std::shared_ptr<DigestAuthentication> DigestAuthentication::fromChallenge(const AuthChallenge& c,
                                                                          Error* error) {
  const std::string* realm = c.param("realm");
  const std::string* nonce = c.param("nonce");
  if (!realm || !nonce || nonce->empty() || !c.token68.empty()) {
    Error::assign(error, makeRequestError(InternalErrorWhileApplyingCredentialsType,
                                          "Failed to get authentication object from response "
                                          "headers"));
    return nullptr;
  }
  auto d = std::make_shared<DigestAuthentication>();
  d->realm_ = *realm;
  d->nonce_ = *nonce;
  if (auto* opaque = c.param("opaque")) {
    d->opaque_ = *opaque;
    d->hasOpaque_ = true;
  }
  std::string algorithm = "MD5";
  if (auto* a = c.param("algorithm")) algorithm = *a;
  std::string base = toLower(algorithm);
  if (base.size() > 5 && base.ends_with("-sess")) {
    d->session_ = true;
    base.resize(base.size() - 5);
  }
  if (base == "md5")
    d->algorithm_ = Algorithm::MD5;
  else if (base == "sha-256")
    d->algorithm_ = Algorithm::SHA256;
  else if (base == "sha-512-256")
    d->algorithm_ = Algorithm::SHA512_256;
  else {
    Error::assign(error, AuthenticationError());
    return nullptr;
  }
  d->algorithmName_ = algorithm;
  if (auto* qop = c.param("qop")) {
    std::string_view rest(*qop);
    while (!rest.empty()) {
      auto comma = rest.find(',');
      if (equalsIgnoringCase(trimWhitespace(rest.substr(0, comma)), "auth")) d->qopAuth_ = true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    if (!d->qopAuth_) {  // auth-int alone (or nothing known): the body would have to be hashed
      Error::assign(error, AuthenticationError());
      return nullptr;
    }
  }
  if (auto* stale = c.param("stale")) d->stale_ = equalsIgnoringCase(*stale, "true");
  if (auto* uh = c.param("userhash")) d->userhash_ = equalsIgnoringCase(*uh, "true");
  return d;
}

int DigestAuthentication::strength() const {
  switch (algorithm_) {
    case Algorithm::MD5:
      return 2;
    case Algorithm::SHA256:
      return 3;
    case Algorithm::SHA512_256:
      return 4;
  }
  return 2;
}

std::optional<std::string> DigestAuthentication::authorizationValue(const Credentials& cr,
                                                                    std::string_view method,
                                                                    std::string_view target) {
  auto H = [&](std::string_view s) { return hexDigest(algorithm_, s); };
  std::string cnonce, nc;
  std::string ha1 = H(cr.username + ":" + realm_ + ":" + cr.password);
  if (ha1.empty()) return std::nullopt;
  {
    std::lock_guard lock(lock_);
    if (qopAuth_ || session_) {
      if (session_) {
        if (sessionCnonce_.empty()) sessionCnonce_ = randomClientNonce();
        cnonce = sessionCnonce_;
      } else {
        cnonce = randomClientNonce();
      }
    }
    nc = strprintf("%08x", ++nonceCount_);
  }
  if (session_) ha1 = H(ha1 + ":" + nonce_ + ":" + cnonce);
  std::string ha2 = H(std::string(method) + ":" + std::string(target));
  std::string response = qopAuth_ ? H(ha1 + ":" + nonce_ + ":" + nc + ":" + cnonce + ":auth:" + ha2)
                                  : H(ha1 + ":" + nonce_ + ":" + ha2);

  std::string user;
  if (userhash_)
    user = "username=" + quote(H(cr.username + ":" + realm_));
  else if (isPlainAscii(cr.username))
    user = "username=" + quote(cr.username);
  else
    user = "username*=" + extValue(cr.username);
  std::string v = "Digest " + user + ", realm=" + quote(realm_) + ", uri=" + quote(target) +
                  ", algorithm=" + algorithmName_ + ", nonce=" + quote(nonce_);
  if (qopAuth_) v += ", nc=" + nc + ", cnonce=" + quote(cnonce) + ", qop=auth";
  v += ", response=" + quote(response);
  if (hasOpaque_) v += ", opaque=" + quote(opaque_);
  if (userhash_) v += ", userhash=true";
  return v;
}

}  // namespace est
