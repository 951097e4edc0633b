// The response container on arbitrary bytes, filling a real certificate list.
#include <cstring>

#include "fuzz/xml_fuzz.h"
#include "status/CertificateList.h"
#include "xml/ResponseContainerXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rimo::status::CertificateList list;
  rimo::xml::CResponseContainerXml doc(rimo::fuzz::Stream(data, size), &rimo::fuzz::Utilities(), nullptr, &list);
  const bool ok = doc.Parse();
  if (ok && !list.IsEmpty() && doc.KeyChange() == -1) __builtin_trap();
  void* cursor = nullptr;
  for (auto* r = list.GetFirstCertificate(&cursor); r != nullptr; r = list.GetNextCertificate(&cursor)) {
    if (r->derLength > sizeof r->der) __builtin_trap();
    if (std::wcslen(r->type) + std::wcslen(r->certificateText) > size) __builtin_trap();
  }
  return 0;
}
