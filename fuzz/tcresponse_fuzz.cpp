// The TC response on arbitrary bytes, with checks that always pass: reading
// and decoding must never misbehave, and only complete documents verify.
#include <cstdlib>
#include <cstring>

#include "fuzz/xml_fuzz.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "xml/TcResponseXml.h"

namespace {

class AcceptAll : public rimo::crypto::ISignatureFunctions, public rimo::crypto::ICertFunctions {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AcceptAll checks;
  rimo::xml::CTcResponseXml doc(rimo::fuzz::Stream(data, size), &rimo::fuzz::Utilities(), &checks, &checks);
  const bool ok = doc.Parse();
  uint32_t length = 0;
  const uint8_t* container = doc.GetResponseContainer(&length);
  if (ok && container == nullptr) __builtin_trap();
  if ((container != nullptr) != doc.Integrity()) __builtin_trap();
  if (ok && (doc.CurrentSerial()->size() != 20 || doc.NewSerial()->size() != 20)) __builtin_trap();
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; i < length; ++i) sink = sink ^ container[i];
  return 0;
}
