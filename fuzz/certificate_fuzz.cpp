// Certificate text decoding and PEM marker removal on arbitrary text.
#include <string>
#include <vector>

#include "fuzz/xml_fuzz.h"
#include "platform/Utf8.h"
#include "xml/XmlParserRimo.h"

namespace {

class Decoder : public rimo::xml::CXmlParserRimo {
 public:
  Decoder() : CXmlParserRimo(nullptr, &rimo::fuzz::Utilities(), nullptr) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text =
      rimo::platform::Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));
  Decoder decoder;
  rimo::xml::Bytes der;
  if (!decoder.DecodeCertificate(text.c_str(), &der)) __builtin_trap();
  if (der.size() > text.size()) __builtin_trap();
  std::vector<wchar_t> out(text.size() + 1);
  const int rc = rimo::fuzz::Utilities().DeleteCertStartAndEndMarker(text.c_str(), out.data(),
                                                                     static_cast<int>(out.size()));
  if (rc != 0) __builtin_trap();  // the body is never longer than the text
  return 0;
}
