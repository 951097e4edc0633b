// The .reg reader on arbitrary bytes: never fails, and what it reads back is
// consistent with what it enumerates.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto registry = rimo::platform::RegistryData::Parse(text);
  for (const char* key : {"SOFTWARE\\QUANDEL Kelo Compact", "SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions",
                          "SOFTWARE"}) {
    (void)registry.ReadString(key, "ProgKey");
    (void)registry.ReadDword(key, "BuildNumber");
    for (const std::string& sub : registry.SubKeys(key)) {
      if (!registry.KeyExists(std::string(key) + "\\" + sub)) __builtin_trap();
    }
  }
  return 0;
}
