// Signature and certificate checks that answer as a test tells them and
// record what they were asked.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"

namespace rimo::testing {

class FakeSignatureFunctions : public crypto::ISignatureFunctions {
 public:
  bool signatureValid = true;
  bool chainValid = true;
  bool rootFound = true;
  std::string signedData;
  std::vector<uint8_t> signature;
  int calls = 0;

  bool VerifySignature(const uint8_t* data, uint32_t dataLength, const uint8_t* sig, uint32_t sigLength,
                       const uint8_t*, uint32_t) override {
    ++calls;
    signedData.assign(reinterpret_cast<const char*>(data), dataLength);
    signature.assign(sig, sig + sigLength);
    return signatureValid;
  }
  bool VerifyCertificateChain(const uint8_t*, uint32_t) override {
    ++calls;
    return chainValid;
  }
  bool FindRootCertInMachinestore(const uint8_t*, uint32_t, uint8_t** root, uint32_t* rootLength) override {
    ++calls;
    if (!rootFound) return false;
    *root = static_cast<uint8_t*>(std::malloc(4));
    std::memcpy(*root, "ROOT", 4);
    *rootLength = 4;
    return true;
  }
};

class FakeCertFunctions : public crypto::ICertFunctions {
 public:
  bool localityValid = true;
  bool rootIsQuandel = true;
  std::string askedLocality;

  bool VerifyQuandelRoot(const uint8_t* root, uint32_t length) override {
    return rootIsQuandel && length == 4 && std::memcmp(root, "ROOT", 4) == 0;
  }
  bool VerifyLocalityName(const uint8_t*, uint32_t, const char* locality) override {
    askedLocality = locality;
    return localityValid;
  }
  bool GetCertificateNotAfter(int64_t*) override { return false; }
  int32_t GetDaysUntil(int64_t) override { return 0; }
};

}  // namespace rimo::testing
