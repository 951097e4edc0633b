#include "crypto/OpenSslHandles.h"

#include <openssl/err.h>

namespace rimo::crypto {

X509Ptr ParseDer(const uint8_t* der, uint32_t length) {
  if (der == nullptr || length == 0) return nullptr;
  const unsigned char* p = der;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
  if (cert != nullptr && p != der + length) cert.reset();
  return cert;
}

std::string DrainOpenSslErrors() {
  std::string text;
  unsigned long code;
  while ((code = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

}  // namespace rimo::crypto
