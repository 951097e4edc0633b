// The card base plug-in: reads the card holder's certificate. The card is
// reached through PKCS#11 (p11-kit's proxy, or the module named by
// KELO_PKCS11_MODULE); a file (PEM or DER) named by KELO_CARD_CERT stands in
// for the card on machines without a reader and wins when set.
#include <pthread.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Pkcs11.h"

#define QN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

namespace p11 = rimo::platform::pkcs11;

constexpr int32_t kOk = 0;
constexpr int32_t kNotFound = 2;          // no certificate configured, readable or on a card
constexpr int32_t kBufferTooSmall = 122;  // length says how much is needed
constexpr int32_t kTryAgain = 1050;       // the reader or token is busy: another read can help

struct Found {
  int32_t rc = kNotFound;
  std::vector<uint8_t> der;
  std::string source;  // where it came from, or why there is none
};

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};

Found FromFile(const char* path) {
  Found found;
  found.source = std::string("file ") + path;
  // Without blocking, and only a regular file: a FIFO never stalls the read.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    found.source += " cannot be opened";
    return found;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    found.source += " is not a regular file";
    return found;
  }
  std::unique_ptr<FILE, decltype(&std::fclose)> file(fdopen(fd, "rb"), &std::fclose);
  if (file == nullptr) {
    close(fd);
    return found;
  }
  std::unique_ptr<X509, X509Deleter> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
  if (cert == nullptr) {
    std::rewind(file.get());
    cert.reset(d2i_X509_fp(file.get(), nullptr));
  }
  if (cert == nullptr) {
    found.source += " holds no certificate";
    return found;
  }
  unsigned char* der = nullptr;
  const int n = i2d_X509(cert.get(), &der);
  if (n <= 0) return found;
  found.der.assign(der, der + n);
  OPENSSL_free(der);
  found.rc = kOk;
  return found;
}

// One module user at a time in this plug-in: a read initialises the module
// and finalises it again, so that a card put in later is seen.
std::mutex g_tokenLock;
// A child of fork never finds this lock held by a thread it does not have:
// the lock is taken around the fork and let go on both sides.
const bool g_tokenLockForkSafe = [] {
  pthread_atfork([] { g_tokenLock.lock(); }, [] { g_tokenLock.unlock(); }, [] { g_tokenLock.unlock(); });
  return true;
}();

Found FromToken() {
  std::lock_guard<std::mutex> lock(g_tokenLock);
  Found found;
  const std::string modulePath = p11::ModulePath();
  std::string why;
  CK_RV rv = CKR_OK;
  const auto module = p11::Module::Open(modulePath, &why, &rv);
  if (module == nullptr) {
    found.rc = p11::IsTransient(rv) ? kTryAgain : kNotFound;
    found.source = why;
    return found;
  }
  const char* uri = std::getenv("KELO_CARD_URI");
  std::vector<p11::TokenCertificate> certificates;
  rv = CKR_OK;
  switch (p11::FindCertificates(*module, uri != nullptr ? uri : "", &certificates, &rv)) {
    case p11::Search::kFound:
      found.rc = kOk;
      found.der = std::move(certificates.front().der);
      found.source = "token \"" + certificates.front().tokenLabel + "\" (" + certificates.front().uri + ")";
      break;
    case p11::Search::kNone:
      found.source = uri != nullptr && uri[0] != '\0'
                         ? "no certificate on a present token matches KELO_CARD_URI"
                         : "no present token holds a certificate with its key (module " + modulePath + ")";
      break;
    case p11::Search::kTransient:
      found.rc = kTryAgain;
      found.source = "the token is busy: " + p11::ReturnValueName(rv);
      break;
    case p11::Search::kFailed:
      found.source = rv == CKR_ARGUMENTS_BAD ? "KELO_CARD_URI is not a usable pkcs11: URI"
                                             : "the token cannot be read: " + p11::ReturnValueName(rv);
      break;
  }
  return found;
}

Found Locate() {
  const char* path = std::getenv("KELO_CARD_CERT");
  if (path != nullptr && path[0] != '\0') return FromFile(path);
  return FromToken();
}

}  // namespace

// which 3 selects the holder's certificate; the other arguments are unused.
// 0 with the DER certificate in buffer and its size in *length; 122 with the
// size needed in *length; 1050 when the reader or token is busy (another
// read can help); 2 when there is no certificate (no card, none on it, an
// unreadable file).
QN_EXPORT int32_t QNCardbase_ReadCertificates(int32_t /*which*/, int32_t, int32_t, int32_t, int32_t, int32_t,
                                              uint8_t* buffer, uint32_t* length) {
  if (buffer == nullptr || length == nullptr) return kNotFound;
  const Found found = Locate();
  if (found.rc != kOk) return found.rc;
  const uint32_t n = static_cast<uint32_t>(found.der.size());
  int32_t rc = kOk;
  if (n > *length) {
    rc = kBufferTooSmall;
  } else {
    std::memcpy(buffer, found.der.data(), n);
  }
  *length = n;
  return rc;
}

// Where the card holder's certificate comes from, as one line of text
// ("token "LABEL" (pkcs11:...)" or "file PATH"), or why there is none. The
// answer of a fresh read (no PIN is asked); returns that read's code. The
// text is cut to fit *length bytes with its terminating NUL; *length is then
// its full size.
QN_EXPORT int32_t QNCardbase_DescribeCertificateSource(char* text, uint32_t* length) {
  if (text == nullptr || length == nullptr || *length == 0) return kNotFound;
  const Found found = Locate();
  const size_t copy = std::min<size_t>(found.source.size(), *length - 1);
  std::memcpy(text, found.source.data(), copy);
  text[copy] = '\0';
  *length = static_cast<uint32_t>(found.source.size() + 1);
  return found.rc;
}
