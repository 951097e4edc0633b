// A client certificate whose key stays on a token: the key is used through a
// private instance of OpenSSL's PKCS#11 engine (not registered in OpenSSL's
// engine list), so that the PIN the engine keeps after its login is wiped
// when the object goes.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace WebCommLib {

class TokenKey {
 public:
  // Loads the private key named by keyUri (on the token labelled
  // tokenLabel) through the module at modulePath and pairs it with the
  // certificate certDer. The engine logs in with pin (pinLength bytes and a
  // NUL after them, none inside) at most once (its dialog answers nothing);
  // pin is not kept here, the engine's copy is wiped with the engine.
  // nullptr with *why set when the engine, the key or the certificate
  // cannot be had or do not belong together.
  static std::unique_ptr<TokenKey> Load(const std::string& modulePath, const std::string& tokenLabel,
                                        const std::string& keyUri,
                                        const std::vector<uint8_t>& certDer, const char* pin, size_t pinLength,
                                        std::string* why);
  // Frees the key and certificate, then the engine (which wipes its copy of
  // the PIN), then ends the login on the token: the engine leaves its
  // sessions open, and the card would stay logged in for the process.
  // Whatever used the key (an SSL_CTX) must be gone before.
  ~TokenKey();
  TokenKey(const TokenKey&) = delete;
  TokenKey& operator=(const TokenKey&) = delete;

  // Borrowed: valid while the object lives.
  X509* certificate() const { return certificate_; }
  EVP_PKEY* key() const { return key_; }

 private:
  TokenKey() = default;
  struct Engine;
  std::unique_ptr<Engine> engine_;
  std::string modulePath_;
  std::string tokenLabel_;
  X509* certificate_ = nullptr;
  EVP_PKEY* key_ = nullptr;
};

// The certificate's subject on one line (RFC 2253, control characters
// escaped); "" when der is no certificate.
std::string SubjectLine(const std::vector<uint8_t>& der);

}  // namespace WebCommLib
