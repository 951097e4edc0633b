// Base64 decoding: the counted size equals the decoded size, and a smaller
// output is filled exactly to its size, never past it.
#include <vector>

#include "fuzz/xml_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& u = rimo::fuzz::Utilities();
  const char* text = reinterpret_cast<const char*>(data);
  const auto length = static_cast<uint32_t>(size);
  const int needed = u.Base64DecodeByteArray(text, length, nullptr, -1);
  if (needed < 0 || static_cast<size_t>(needed) > size) __builtin_trap();
  std::vector<uint8_t> full(static_cast<size_t>(needed));
  if (u.Base64DecodeByteArray(text, length, full.data(), needed) != needed) __builtin_trap();
  if (needed > 0) {
    std::vector<uint8_t> half(static_cast<size_t>(needed / 2));
    const int got = u.Base64DecodeByteArray(text, length, half.data(), needed / 2);
    if (got != needed / 2) __builtin_trap();
    for (int i = 0; i < got; ++i) {
      if (half[static_cast<size_t>(i)] != full[static_cast<size_t>(i)]) __builtin_trap();
    }
  }
  return 0;
}
