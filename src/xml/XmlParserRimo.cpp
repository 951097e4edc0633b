#include "xml/XmlParserRimo.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "diag/MethodTrace.h"

namespace rimo::xml {

using diag::category::kDataDll;

namespace {
constexpr wchar_t kBegin[] = L"-----BEGIN CERTIFICATE-----";
constexpr wchar_t kEnd[] = L"-----END CERTIFICATE-----";
constexpr size_t kBeginLength = 27;
constexpr size_t kEndLength = 25;

bool IsSeparator(wchar_t c) { return c == L'\n' || c == L' '; }
}  // namespace

CXmlParserRimo::CXmlParserRimo(std::shared_ptr<platform::IByteStream> stream, IKeloUtilities* utilities,
                               crypto::ISignatureFunctions* signature, crypto::ICertFunctions* certFunctions)
    : CXmlParserBase(std::move(stream)),
      utilities_(utilities),
      signature_(signature),
      certFunctionsOverride_(certFunctions) {}

CXmlParserRimo::~CXmlParserRimo() {
  certFunctions_.reset();
  paths_.reset();
}

bool CXmlParserRimo::ConvertWcharToByte(const wchar_t* text, std::string* out) {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserRimo::ConvertWcharToByte");
  out->clear();
  if (text == nullptr) return false;
  const size_t n = std::wcslen(text);
  out->resize(n);
  char* dst = out->data();
  for (size_t i = 0; i < n; ++i) {
    dst[i] = static_cast<unsigned>(text[i]) < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return n > 0;
}

Bytes CXmlParserRimo::DecodeBase64(const std::string& text) {
  Bytes bytes;
  if (utilities_ == nullptr || text.empty()) return bytes;
  // Three bytes per four characters at the most: one pass decodes it all.
  // The size includes the terminator, at which the decoder stops anyway.
  const auto size = static_cast<uint32_t>(text.size() + 1);
  bytes.resize(text.size() / 4 * 3 + 3);
  const int got = utilities_->Base64DecodeByteArray(text.c_str(), size, bytes.data(), static_cast<int>(bytes.size()));
  bytes.resize(static_cast<size_t>(got > 0 ? got : 0));
  return bytes;
}

bool CXmlParserRimo::DecodeCertificate(const wchar_t* text, Bytes* der) {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserRimo::DecodeCertificate");
  if (text == nullptr) return false;
  der->clear();
  const std::wstring_view all(text);
  const size_t begin = all.find(kBegin);
  const size_t end = all.find(kEnd);
  if (begin == std::wstring_view::npos || end == std::wstring_view::npos) return true;
  size_t start = begin + kBeginLength;
  if (start < all.size() && IsSeparator(all[start])) ++start;
  // The payload reaches to the END marker at the end of the text; text after
  // the marker is cut off by the decoder at the first hyphen.
  if (all.size() < start + kEndLength) return true;  // nothing left for a payload
  size_t length = all.size() - start - kEndLength;
  const size_t markerAt = start + length;
  if (length > 0 && IsSeparator(all[markerAt - 1])) --length;
  std::string narrow(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    const wchar_t c = all[start + i];
    narrow[i] = static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?';
  }
  // An embedded NUL ends the text, as it does for a C string.
  narrow.resize(std::strlen(narrow.c_str()));
  *der = DecodeBase64(narrow);
  return true;
}

bool CXmlParserRimo::DecodeSignature(const wchar_t* text, Bytes* bytes) {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserRimo::DecodeSignature");
  if (text == nullptr) return false;
  std::string narrow;
  ConvertWcharToByte(text, &narrow);
  *bytes = DecodeBase64(narrow);
  return true;
}

crypto::ICertFunctions* CXmlParserRimo::CertFunc() {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserRimo::CertFunc");
  if (certFunctionsOverride_ != nullptr) return certFunctionsOverride_;
  if (certFunctions_ == nullptr) {
    if (paths_ == nullptr) paths_ = std::make_unique<config::CRimoPaths>();
    certFunctions_ = crypto::MakeCertFunctions(paths_.get());
  }
  return certFunctions_.get();
}

}  // namespace rimo::xml
