// The ASN.1 certificate plug-in: parses X.509 certificates (DER) into
// handles and reads their fields. Handles are safe to use from several
// threads; warnings of a failed parse are kept per thread.
#include <pthread.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <algorithm>

#define QN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

std::mutex g_mutex;
// A child of fork never finds this lock held by a thread it does not have:
// the lock is taken around the fork and let go on both sides.
const bool g_mutexForkSafe = [] {
  pthread_atfork([] { g_mutex.lock(); }, [] { g_mutex.unlock(); }, [] { g_mutex.unlock(); });
  return true;
}();
std::map<int32_t, std::shared_ptr<X509>> g_certificates;  // guarded by g_mutex
int32_t g_nextHandle = 1;                                  // guarded by g_mutex

// Recently parsed certificates by their exact bytes (most recent first):
// callers ask about the same few certificates again and again.
struct Parsed {
  std::vector<uint8_t> der;
  std::shared_ptr<X509> cert;
};
std::vector<Parsed> g_recent;  // guarded by g_mutex
constexpr size_t kRecentCapacity = 8;

std::shared_ptr<X509> Recent(const uint8_t* der, uint32_t length) {
  for (size_t i = 0; i < g_recent.size(); ++i) {
    if (g_recent[i].der.size() == length && std::memcmp(g_recent[i].der.data(), der, length) == 0) {
      std::rotate(g_recent.begin(), g_recent.begin() + static_cast<std::ptrdiff_t>(i),
                  g_recent.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return g_recent.front().cert;
    }
  }
  return nullptr;
}
thread_local std::deque<std::string> t_warnings;

std::shared_ptr<X509> Find(int32_t handle) {
  std::lock_guard<std::mutex> guard(g_mutex);
  auto it = g_certificates.find(handle);
  return it == g_certificates.end() ? nullptr : it->second;
}

// Writes value cut to fit buffer with its terminator; length becomes the
// value's full length, so a caller can tell a cut value from a whole one.
int32_t Deliver(const std::string& value, char* buffer, uint32_t* length) {
  if (buffer == nullptr || length == nullptr || *length == 0) return 1;
  const size_t room = *length - 1;
  const size_t n = value.size() < room ? value.size() : room;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  *length = static_cast<uint32_t>(value.size());
  return 0;
}

int32_t NameEntry(int32_t handle, bool subject, int nid, char* buffer, uint32_t* length) {
  std::shared_ptr<X509> cert = Find(handle);
  if (cert == nullptr) {
    if (length != nullptr) *length = 0;
    return 1;
  }
  const X509_NAME* name = subject ? X509_get_subject_name(cert.get()) : X509_get_issuer_name(cert.get());
  const int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) {
    if (buffer != nullptr && length != nullptr && *length > 0) buffer[0] = '\0';
    if (length != nullptr) *length = 0;
    return 1;
  }
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, data);
  if (n < 0) {
    if (length != nullptr) *length = 0;
    return 1;
  }
  std::string value(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
  OPENSSL_free(utf8);
  return Deliver(value, buffer, length);
}

int32_t NotAfterField(int32_t handle, int32_t* value, int which) {
  std::shared_ptr<X509> cert = Find(handle);
  if (cert == nullptr || value == nullptr) return 1;
  struct tm t {};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &t) != 1) return 1;
  switch (which) {
    case 0: *value = t.tm_sec; break;
    case 1: *value = t.tm_min; break;
    case 2: *value = t.tm_hour; break;
    case 3: *value = t.tm_mday; break;
    case 4: *value = t.tm_mon + 1; break;
    default: *value = t.tm_year + 1900; break;
  }
  return 0;
}

}  // namespace

// 0 and a new handle when der holds exactly one certificate.
QN_EXPORT int32_t SetCertificate(int32_t* handle, const uint8_t* der, uint32_t length, int32_t /*flags*/) {
  t_warnings.clear();
  if (handle == nullptr || der == nullptr || length == 0) {
    t_warnings.emplace_back("no certificate data");
    return 1;
  }
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (std::shared_ptr<X509> known = Recent(der, length)) {
      int32_t id = g_nextHandle++;
      if (g_nextHandle <= 0) g_nextHandle = 1;
      g_certificates[id] = std::move(known);
      *handle = id;
      return 0;
    }
  }
  ERR_clear_error();
  const unsigned char* p = der;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(length)), &X509_free);
  if (cert == nullptr || p != der + length) {
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
      char text[256];
      ERR_error_string_n(code, text, sizeof text);
      t_warnings.emplace_back(text);
    }
    if (cert != nullptr) t_warnings.emplace_back("data after the certificate");
    if (t_warnings.empty()) t_warnings.emplace_back("not a DER certificate");
    return 2;
  }
  std::shared_ptr<X509> shared(cert.release(), &X509_free);
  std::lock_guard<std::mutex> guard(g_mutex);
  g_recent.insert(g_recent.begin(), Parsed{std::vector<uint8_t>(der, der + length), shared});
  if (g_recent.size() > kRecentCapacity) g_recent.pop_back();
  int32_t id = g_nextHandle++;
  if (g_nextHandle <= 0) g_nextHandle = 1;
  g_certificates[id] = std::move(shared);
  *handle = id;
  return 0;
}

QN_EXPORT void freeCertMemory(int32_t handle) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_certificates.erase(handle);
}

QN_EXPORT int32_t GetASN1WarningsNumber(int32_t* count) {
  if (count == nullptr) return 1;
  *count = static_cast<int32_t>(t_warnings.size());
  return 0;
}

// Hands out the oldest warning of this thread's last failed parse.
QN_EXPORT int32_t GetASN1WarningText(int32_t /*index*/, char* buffer, uint32_t* length) {
  if (t_warnings.empty()) return 1;
  std::string text = std::move(t_warnings.front());
  t_warnings.pop_front();
  return Deliver(text, buffer, length);
}

QN_EXPORT int32_t GetSubjectCommonName(int32_t handle, char* buffer, uint32_t* length) {
  return NameEntry(handle, true, NID_commonName, buffer, length);
}

QN_EXPORT int32_t GetIssuerCommonName(int32_t handle, char* buffer, uint32_t* length) {
  return NameEntry(handle, false, NID_commonName, buffer, length);
}

QN_EXPORT int32_t GetSubjectLocality(int32_t handle, char* buffer, uint32_t* length) {
  return NameEntry(handle, true, NID_localityName, buffer, length);
}

QN_EXPORT int32_t GetInfoNotAfterSecond(int32_t handle, int32_t* value) { return NotAfterField(handle, value, 0); }
QN_EXPORT int32_t GetInfoNotAfterMinute(int32_t handle, int32_t* value) { return NotAfterField(handle, value, 1); }
QN_EXPORT int32_t GetInfoNotAfterHour(int32_t handle, int32_t* value) { return NotAfterField(handle, value, 2); }
QN_EXPORT int32_t GetInfoNotAfterDay(int32_t handle, int32_t* value) { return NotAfterField(handle, value, 3); }
QN_EXPORT int32_t GetInfoNotAfterMonth(int32_t handle, int32_t* value) { return NotAfterField(handle, value, 4); }
QN_EXPORT int32_t GetInfoNotAfterYear(int32_t handle, int32_t* value) { return NotAfterField(handle, value, 5); }
