// Certificate field checks through the ASN.1 plug-in.
#pragma once

#include <cstdint>
#include <memory>

namespace rimo::config {
class CRimoPaths;
}

namespace rimo::crypto {

// Not thread-safe: one thread at a time per object.
class ICertFunctions {
 public:
  virtual ~ICertFunctions() = default;
  // True when the certificate is self-issued with the common name "CA QUANDEL".
  virtual bool VerifyQuandelRoot(const uint8_t* certificate, uint32_t length) = 0;
  // True when the certificate's subject locality equals locality exactly.
  virtual bool VerifyLocalityName(const uint8_t* certificate, uint32_t length, const char* locality) = 0;
  // The expiry of the card holder's certificate, seconds since 1970.
  virtual bool GetCertificateNotAfter(int64_t* notAfter) = 0;
  // Whole days until t (a started day counts); -1 when past, 0 for t <= 0.
  virtual int32_t GetDaysUntil(int64_t t) = 0;
};

// The plug-in based implementation; paths must outlive it.
std::unique_ptr<ICertFunctions> MakeCertFunctions(const config::CRimoPaths* paths);

}  // namespace rimo::crypto
