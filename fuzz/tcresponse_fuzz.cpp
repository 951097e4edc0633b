// The TC response on arbitrary bytes, with checks that always pass: reading
// and decoding must never misbehave, and only complete documents verify.
#include <cstdlib>
#include <cstring>

#include "fuzz/xml_fuzz.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "support/AcceptingChecks.h"
#include "xml/TcResponseXml.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rimo::testing::AcceptingChecks checks;
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
