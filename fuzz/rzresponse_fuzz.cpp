// The data center's envelope on arbitrary bytes.
#include <vector>

#include "fuzz/xml_fuzz.h"
#include "xml/RzResponseXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rimo::xml::CRzResponseXml doc(rimo::fuzz::Stream(data, size), &rimo::fuzz::Utilities(), nullptr);
  const bool ok = doc.Parse();
  if (doc.TcResponseLength() > size) __builtin_trap();  // Base64 never grows
  std::vector<uint8_t> buffer(doc.TcResponseLength() + 1);
  const bool copied = doc.CopyTcResponse(buffer.data(), static_cast<uint32_t>(buffer.size()));
  if (ok && doc.TcResponseLength() > 0 && !copied) __builtin_trap();
  if (copied && doc.TcResponseLength() == 0) __builtin_trap();
  return 0;
}
