#include "crypto/CertFunctions.h"

#include "crypto/OpenSslHandles.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "diag/MethodTrace.h"
#include "diag/Trace.h"

namespace rimo::crypto {

using diag::TraceWrite;
using diag::category::kToolsLib;

namespace {
constexpr char kToolsLibNarrow[] = "Kelo.Rimo.ToolsLib";
constexpr char kQuandelRootName[] = "CA QUANDEL";
constexpr uint32_t kCardBufferSize = 2048;
constexpr int kMaxCardReads = 6;

template <typename Fn>
Fn Lookup(const platform::LoadedLibrary& library, const char* name) {
  return reinterpret_cast<Fn>(library.Symbol(name));
}
}  // namespace

std::unique_ptr<ICertFunctions> MakeCertFunctions(const config::CRimoPaths* paths) {
  return std::make_unique<CertFunctions>(paths);
}

CertFunctions::CertFunctions(const config::CRimoPaths* paths) : paths_(paths) { LoadLibraries(); }

void CertFunctions::LoadLibraries() {
  if (paths_ == nullptr) return;
  char path[260];
  // Kept loaded: a worker may still use them while the process ends, so
  // their state must be made before the component's exit handler, at the
  // first load, and not again with each object.
  if (!cardBase_.IsOpen() && paths_->GetCardBaseLibraryPath(path, sizeof path)) cardBase_.Open(path, true);
  if (!asn1_.IsOpen() && paths_->GetAsn1LibraryPath(path, sizeof path)) asn1_.Open(path, true);
}

bool CertFunctions::ParseCertificate(const uint8_t* der, uint32_t length, int32_t* handle) {
  if (setCertificate_ == nullptr) setCertificate_ = Lookup<plugin::SetCertificateFn>(asn1_, "SetCertificate");
  if (setCertificate_ == nullptr) return false;
  if (setCertificate_(handle, der, length, 0) == 0) return true;
  auto count = Lookup<plugin::WarningsNumberFn>(asn1_, "GetASN1WarningsNumber");
  auto text = Lookup<plugin::WarningTextFn>(asn1_, "GetASN1WarningText");
  TraceWrite(diag::Error, kToolsLib, L"Es sind Fehler beim einlesen des Signaturzertifikats aufgetreten.");
  if (count != nullptr && text != nullptr) {
    int32_t n = 0;
    count(&n);
    for (int32_t i = 0; i < n && i < 64; ++i) {
      char buffer[256] = {};
      uint32_t size = sizeof buffer;
      text(0, buffer, &size);
      buffer[sizeof buffer - 1] = '\0';
      diag::TraceWriteA(diag::Error, kToolsLibNarrow, buffer);
    }
  }
  return false;
}

bool CertFunctions::VerifyQuandelRoot(const uint8_t* certificate, uint32_t length) {
  RIMO_METHOD_TRACE(kToolsLib, L"CertFunctions::VerifyQuandelRoot");
  if (freeCertMemory_ == nullptr) freeCertMemory_ = Lookup<plugin::FreeCertMemoryFn>(asn1_, "freeCertMemory");
  if (freeCertMemory_ == nullptr || certificate == nullptr || length == 0) return false;
  int32_t handle = 0;
  if (!ParseCertificate(certificate, length, &handle)) {
    freeCertMemory_(handle);
    return false;
  }
  auto subjectFn = Lookup<plugin::NameFn>(asn1_, "GetSubjectCommonName");
  auto issuerFn = Lookup<plugin::NameFn>(asn1_, "GetIssuerCommonName");
  bool result = false;
  if (subjectFn != nullptr && issuerFn != nullptr) {
    char subject[30] = {};
    char issuer[30] = {};
    uint32_t subjectLength = sizeof subject;
    uint32_t issuerLength = sizeof issuer;
    subjectFn(handle, subject, &subjectLength);
    issuerFn(handle, issuer, &issuerLength);
    subject[sizeof subject - 1] = issuer[sizeof issuer - 1] = '\0';
    result = subjectLength != 0 && issuerLength != 0 && subjectLength == issuerLength &&
             std::strcmp(subject, issuer) == 0 && subjectLength == std::strlen(kQuandelRootName) &&
             std::strcmp(subject, kQuandelRootName) == 0;
  }
  // Self-issued means the whole names are equal, not the common names
  // alone: a cross certificate of the maker's key from another "CA QUANDEL"
  // (another organisation) is no maker root.
  if (result) {
    const std::shared_ptr<X509> parsed = ParseDerCached(certificate, length);
    result = parsed != nullptr &&
             X509_NAME_cmp(X509_get_subject_name(parsed.get()), X509_get_issuer_name(parsed.get())) == 0;
  }
  freeCertMemory_(handle);
  return result;
}

bool CertFunctions::VerifyLocalityName(const uint8_t* certificate, uint32_t length, const char* locality) {
  RIMO_METHOD_TRACE(kToolsLib, L"CertFunctions::VerifyLocalityName");
  if (freeCertMemory_ == nullptr) freeCertMemory_ = Lookup<plugin::FreeCertMemoryFn>(asn1_, "freeCertMemory");
  if (freeCertMemory_ == nullptr || certificate == nullptr || length == 0 || locality == nullptr) return false;
  int32_t handle = 0;
  if (!ParseCertificate(certificate, length, &handle)) return false;
  auto localityFn = Lookup<plugin::NameFn>(asn1_, "GetSubjectLocality");
  bool result = false;
  if (localityFn != nullptr) {
    const size_t expected = std::strlen(locality);
    std::vector<char> buffer(expected + 1, '\0');
    uint32_t size = static_cast<uint32_t>(buffer.size());
    localityFn(handle, buffer.data(), &size);
    buffer.back() = '\0';
    result = size == expected && std::strcmp(buffer.data(), locality) == 0;
  }
  freeCertMemory_(handle);
  return result;
}

bool CertFunctions::ReadCardCertificate(int32_t* handle) {
  cardReads_ = 0;
  auto read = Lookup<plugin::ReadCertificatesFn>(cardBase_, "QNCardbase_ReadCertificates");
  auto set = Lookup<plugin::SetCertificateFn>(asn1_, "SetCertificate");
  if (read == nullptr || set == nullptr) return false;
  std::vector<uint8_t> buffer(kCardBufferSize, 0);
  uint32_t length = kCardBufferSize;
  for (;;) {
    ++cardReads_;
    int32_t rc = read(3, 0, 0, 0, 0, 0, buffer.data(), &length);
    if (rc == 0) {
      if (length > kCardBufferSize) return false;
      rc = set(handle, buffer.data(), length, 0);
      if (rc == 0) return true;
    }
    // Only a busy reader is asked again, after a pause; any other failure
    // ends the reading at once.
    if (rc != plugin::kCardBusy || cardReads_ >= kMaxCardReads) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(retryPauseMs_));
  }
}

bool CertFunctions::GetCertificateNotAfter(int64_t* notAfter) {
  RIMO_METHOD_TRACE(kToolsLib, L"CertFunctions::GetCertificateNotAfter");
  if (notAfter == nullptr || !cardBase_.IsOpen() || !asn1_.IsOpen()) return false;
  int32_t handle = 0;
  if (!ReadCardCertificate(&handle)) return false;

  struct tm time {};
  time.tm_isdst = 0;
  const char* names[] = {"GetInfoNotAfterSecond", "GetInfoNotAfterMinute", "GetInfoNotAfterHour",
                         "GetInfoNotAfterDay",    "GetInfoNotAfterMonth",  "GetInfoNotAfterYear"};
  int* fields[] = {&time.tm_sec, &time.tm_min, &time.tm_hour, &time.tm_mday, &time.tm_mon, &time.tm_year};
  bool ok = true;
  for (size_t i = 0; i < std::size(names) && ok; ++i) {
    auto fn = Lookup<plugin::TimeFieldFn>(asn1_, names[i]);
    int32_t value = 0;
    ok = fn != nullptr && fn(handle, &value) == 0;
    *fields[i] = value;
  }
  if (ok) {
    time.tm_mon -= 1;
    time.tm_year -= 1900;
    // The fields are the certificate's NotAfter in UTC: the instant is the
    // same wherever the machine is, whatever its time zone.
    const time_t t = timegm(&time);
    ok = t != static_cast<time_t>(-1);
    if (ok) *notAfter = static_cast<int64_t>(t);
  }
  if (auto release = Lookup<plugin::FreeCertMemoryFn>(asn1_, "freeCertMemory")) release(handle);
  return ok;
}

int32_t CertFunctions::GetDaysUntil(int64_t t) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (t <= 0 || now <= 0) return 0;
  const int64_t difference = t - now;
  if (difference <= 0) return -1;
  return static_cast<int32_t>(difference / 86400 + (difference % 86400 != 0 ? 1 : 0));
}

}  // namespace rimo::crypto
