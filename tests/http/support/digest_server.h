#pragma once

// A scripted server that asks for Digest credentials (user "alice", password "s3cret", realm
// "digest@est", MD5, qop auth) and checks every answer with its own arithmetic.
#include <openssl/evp.h>

#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "http/support/test_server.h"
#include "platform/format.h"

namespace est::testing {

inline std::string md5Hex(const std::string& s) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), out, &n, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned i = 0; i < n; ++i) hex += strprintf("%02x", out[i]);
  return hex;
}

inline std::map<std::string, std::string> digestParams(const std::string& header) {
  std::map<std::string, std::string> out;
  std::regex param(R"re((\w+)=(?:"([^"]*)"|([^,\s]+)))re");
  for (auto it = std::sregex_iterator(header.begin(), header.end(), param);
       it != std::sregex_iterator(); ++it)
    out[(*it)[1]] = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
  return out;
}

struct DigestServer {
  std::mutex lock;
  std::vector<std::map<std::string, std::string>> answers;
  std::vector<bool> verified;
  int staleLeft = 0;
  std::string nonce = "n1";
  int nonceNumber = 1;

  TestServer::Script script() {
    return [this](ServerConnection& c) {
      while (auto req = c.readRequest()) {
        std::string auth = req->header("Authorization");
        std::unique_lock l(lock);
        if (auth.rfind("Digest ", 0) != 0) {
          l.unlock();
          challenge(c, false);
          continue;
        }
        auto p = digestParams(auth);
        std::string ha1 = md5Hex("alice:digest@est:s3cret");
        std::string ha2 = md5Hex(req->method + ":" + req->target);
        bool ok = p["username"] == "alice" && p["realm"] == "digest@est" &&
                  p["uri"] == req->target && p["opaque"] == "op" && p["qop"] == "auth" &&
                  p["response"] == md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" +
                                          p["cnonce"] + ":auth:" + ha2);
        answers.push_back(p);
        verified.push_back(ok);
        bool stale = ok && staleLeft > 0;
        if (stale) {
          --staleLeft;
          nonce = "n" + std::to_string(++nonceNumber);
        }
        bool accept = ok && !stale && p["nonce"] == nonce;
        l.unlock();
        if (accept)
          c.sendResponse(200, "digest ok");
        else
          challenge(c, stale);
      }
    };
  }
  void challenge(ServerConnection& c, bool stale) {
    std::string n;
    {
      std::lock_guard l(lock);
      n = nonce;
    }
    c.sendResponse(401, "no",
                   "WWW-Authenticate: Basic realm=\"weak\"\r\nWWW-Authenticate: Digest "
                   "realm=\"digest@est\", qop=\"auth\", algorithm=MD5, nonce=\"" +
                       n + "\", opaque=\"op\"" + (stale ? ", stale=true" : "") + "\r\n",
                   "Unauthorized");
  }
};

}  // namespace est::testing
