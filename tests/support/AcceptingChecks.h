// Signature and certificate checks that pass everything at once: for
// measuring and fuzzing the reading of documents on its own.
#pragma once

#include <cstdlib>

#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"

namespace rimo::testing {

class AcceptingChecks : public crypto::ISignatureFunctions, public crypto::ICertFunctions {
 public:
  bool VerifySignature(const uint8_t*, uint32_t, const uint8_t*, uint32_t, const uint8_t*, uint32_t) override {
    return true;
  }
  bool VerifyCertificateChain(const uint8_t*, uint32_t) override { return true; }
  bool FindRootCertInMachinestore(const uint8_t*, uint32_t, uint8_t** root, uint32_t* length) override {
    *root = static_cast<uint8_t*>(std::malloc(1));
    *length = 1;
    return true;
  }
  bool VerifyQuandelRoot(const uint8_t*, uint32_t) override { return true; }
  bool VerifyLocalityName(const uint8_t*, uint32_t, const char*) override { return true; }
  bool GetCertificateNotAfter(int64_t*) override { return false; }
  int32_t GetDaysUntil(int64_t) override { return 0; }
};

}  // namespace rimo::testing
