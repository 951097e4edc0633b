// The data center's fault document on arbitrary bytes.
#include "fuzz/xml_fuzz.h"
#include "xml/RzResponseXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rimo::xml::CRzErrorXml doc(rimo::fuzz::Stream(data, size), &rimo::fuzz::Utilities(), nullptr);
  const bool ok = doc.Parse();
  if (ok && !(doc.FaultId() && doc.UserMessage() && doc.TechMessage())) __builtin_trap();
  if (ok && doc.MissingParts() != 0) __builtin_trap();
  return 0;
}
