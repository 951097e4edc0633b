// A card base plug-in for tests: answers "busy" (1050) a set number of times,
// then hands out the certificate of KELO_CARD_CERT (PEM).
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::atomic<int> g_busyLeft{0};
std::atomic<int> g_reads{0};
}  // namespace

EXPORT void TestCardBase_Reset(int busyAnswers) {
  g_busyLeft = busyAnswers;
  g_reads = 0;
}

EXPORT int TestCardBase_Reads() { return g_reads; }

EXPORT int32_t QNCardbase_ReadCertificates(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, uint8_t* buffer,
                                           uint32_t* length) {
  ++g_reads;
  if (g_busyLeft.fetch_sub(1) > 0) return 1050;
  const char* path = std::getenv("KELO_CARD_CERT");
  FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) return 2;
  X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (cert == nullptr) return 2;
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  X509_free(cert);
  if (n <= 0 || static_cast<uint32_t>(n) > *length) {
    OPENSSL_free(der);
    return 122;
  }
  std::memcpy(buffer, der, static_cast<size_t>(n));
  *length = static_cast<uint32_t>(n);
  OPENSSL_free(der);
  return 0;
}
