// The INI reader and writer on arbitrary bytes: parsing never fails, an
// untouched document serialises to its input, and a value that was set is
// read back exactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/IniDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto doc = rimo::platform::IniDocument::Parse(text);
  if (doc.Serialise() != text) __builtin_trap();
  (void)doc.Get("Allgemein", "storeResponse");
  if (doc.Set("Allgemein", "QuerySucceeded", "1")) {
    auto reread = rimo::platform::IniDocument::Parse(doc.Serialise());
    if (reread.Get("Allgemein", "QuerySucceeded") != "1") __builtin_trap();
  }
  return 0;
}
