// Owners for OpenSSL handles.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdint>
#include <memory>
#include <string>

namespace rimo::crypto {

template <auto Free>
struct OpenSslDeleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};

using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<&X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<&X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<&X509_STORE_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<&EVP_MD_CTX_free>>;

// Parses exactly one DER certificate of length bytes; null on any error
// (also when bytes follow the certificate).
X509Ptr ParseDer(const uint8_t* der, uint32_t length);

// The same as ParseDer, from a small process-wide cache of recently parsed
// certificates keyed by their exact bytes: the signer of every response is
// the same, and parsing is the dearest step of a check. Thread-safe; the
// certificate is shared and must not be changed.
std::shared_ptr<X509> ParseDerCached(const uint8_t* der, uint32_t length);

// Initialises OpenSSL without its exit-time cleanup, unless the process did
// so before: the component's workers may still use it while the process
// ends, and a cleanup registered after the component's exit handler would
// run before that handler stops them.
void InitialiseOpenSsl();

// Drains the calling thread's OpenSSL error queue into one text.
std::string DrainOpenSslErrors();

}  // namespace rimo::crypto
