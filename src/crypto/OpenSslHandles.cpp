#include "crypto/OpenSslHandles.h"
#include "platform/ForkChild.h"

#include <new>
#include <pthread.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace rimo::crypto {

X509Ptr ParseDer(const uint8_t* der, uint32_t length) {
  if (der == nullptr || length == 0) return nullptr;
  const unsigned char* p = der;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
  if (cert != nullptr && p != der + length) cert.reset();
  return cert;
}

namespace {

// The certificates parsed last, most recent first. Made when the library
// loads, so that they outlive the workers at exit.
struct ParsedEntry {
  std::vector<uint8_t> der;
  std::shared_ptr<X509> cert;
};
std::mutex g_parsedMutex;
std::vector<ParsedEntry> g_parsed;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_parsedForkSafe = (pthread_atfork(nullptr, nullptr,
                                               [] {
                                                 platform::RemakeInChild(g_parsedMutex);
                                                 platform::RemakeInChild(g_parsed);
                                               }),
                                true);
std::once_flag g_openSslOnce;

}  // namespace

void InitialiseOpenSsl() {
  std::call_once(g_openSslOnce, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

std::shared_ptr<X509> ParseDerCached(const uint8_t* der, uint32_t length) {
  auto& mutex = g_parsedMutex;
  auto& entries = g_parsed;
  constexpr size_t kCapacity = 8;
  if (der == nullptr || length == 0) return nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex);
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].der.size() == length && std::memcmp(entries[i].der.data(), der, length) == 0) {
        std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
                    entries.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        return entries.front().cert;
      }
    }
  }
  X509Ptr parsed = ParseDer(der, length);
  if (parsed == nullptr) return nullptr;
  std::shared_ptr<X509> cert(parsed.release(), &X509_free);
  std::lock_guard<std::mutex> guard(mutex);
  entries.insert(entries.begin(), ParsedEntry{std::vector<uint8_t>(der, der + length), cert});
  if (entries.size() > kCapacity) entries.pop_back();
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
