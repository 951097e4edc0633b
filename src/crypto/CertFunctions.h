// Certificate field checks through the ASN.1 plug-in, and the expiry of the
// card holder's certificate through the card base plug-in.
#pragma once

#include <cstdint>

#include "config/RimoPaths.h"
#include "crypto/ICertFunctions.h"
#include "platform/Module.h"

namespace rimo::crypto {

// The exports of the two plug-ins, by name.
namespace plugin {
using SetCertificateFn = int32_t (*)(int32_t* handle, const uint8_t* der, uint32_t length, int32_t flags);
using FreeCertMemoryFn = void (*)(int32_t handle);
using WarningsNumberFn = int32_t (*)(int32_t* count);
using WarningTextFn = int32_t (*)(int32_t index, char* buffer, uint32_t* length);
using NameFn = int32_t (*)(int32_t handle, char* buffer, uint32_t* length);
using TimeFieldFn = int32_t (*)(int32_t handle, int32_t* value);
using ReadCertificatesFn = int32_t (*)(int32_t which, int32_t, int32_t, int32_t, int32_t, int32_t, uint8_t* buffer,
                                       uint32_t* length);
inline constexpr int32_t kCardBusy = 1050;
}  // namespace plugin

// Not thread-safe; one thread at a time per object. The plug-ins are loaded
// by full path at construction and stay loaded for the process.
class CertFunctions final : public ICertFunctions {
 public:
  explicit CertFunctions(const config::CRimoPaths* paths);

  bool VerifyQuandelRoot(const uint8_t* certificate, uint32_t length) override;
  bool VerifyLocalityName(const uint8_t* certificate, uint32_t length, const char* locality) override;
  bool GetCertificateNotAfter(int64_t* notAfter) override;
  int32_t GetDaysUntil(int64_t t) override;

  // Milliseconds between two reads of a busy card (200); for tests.
  void SetCardRetryPauseForTesting(int milliseconds) { retryPauseMs_ = milliseconds; }
  // How many times the card was read in the last GetCertificateNotAfter.
  int CardReads() const { return cardReads_; }

 private:
  void LoadLibraries();
  bool ParseCertificate(const uint8_t* der, uint32_t length, int32_t* handle);
  bool ReadCardCertificate(int32_t* handle);

  const config::CRimoPaths* paths_;
  platform::LoadedLibrary cardBase_;
  platform::LoadedLibrary asn1_;
  plugin::SetCertificateFn setCertificate_ = nullptr;
  plugin::FreeCertMemoryFn freeCertMemory_ = nullptr;
  int retryPauseMs_ = 200;
  int cardReads_ = 0;
};

}  // namespace rimo::crypto
