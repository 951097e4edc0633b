// The card base plug-in: reads the card holder's certificate. On this
// platform the certificate is a file (PEM or DER) named by KELO_CARD_CERT.
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#define QN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int32_t kNotFound = 2;           // no certificate configured or readable
constexpr int32_t kBufferTooSmall = 122;   // length says how much is needed

}  // namespace

// which 3 selects the holder's certificate; the other arguments are unused.
// 0 with the DER certificate in buffer and its size in *length.
QN_EXPORT int32_t QNCardbase_ReadCertificates(int32_t /*which*/, int32_t, int32_t, int32_t, int32_t, int32_t,
                                              uint8_t* buffer, uint32_t* length) {
  if (buffer == nullptr || length == nullptr) return kNotFound;
  const char* path = std::getenv("KELO_CARD_CERT");
  if (path == nullptr || path[0] == '\0') return kNotFound;
  // Without blocking, and only a regular file: a FIFO never stalls the read.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kNotFound;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kNotFound;
  }
  std::unique_ptr<FILE, decltype(&std::fclose)> file(fdopen(fd, "rb"), &std::fclose);
  if (file == nullptr) {
    close(fd);
    return kNotFound;
  }
  X509* cert = PEM_read_X509(file.get(), nullptr, nullptr, nullptr);
  if (cert == nullptr) {
    std::rewind(file.get());
    cert = d2i_X509_fp(file.get(), nullptr);
  }
  if (cert == nullptr) return kNotFound;
  unsigned char* der = nullptr;
  const int n = i2d_X509(cert, &der);
  X509_free(cert);
  if (n <= 0) return kNotFound;
  int32_t rc = 0;
  if (static_cast<uint32_t>(n) > *length) {
    rc = kBufferTooSmall;
  } else {
    std::memcpy(buffer, der, static_cast<size_t>(n));
  }
  *length = static_cast<uint32_t>(n);
  OPENSSL_free(der);
  return rc;
}
