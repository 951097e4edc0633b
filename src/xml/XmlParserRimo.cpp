#include "xml/XmlParserRimo.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "diag/MethodTrace.h"
#include "platform/Utf8.h"

namespace rimo::xml {

using diag::category::kDataDll;

namespace {
constexpr char kBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kEnd[] = "-----END CERTIFICATE-----";
constexpr size_t kBeginLength = 27;
constexpr size_t kEndLength = 25;

bool IsSeparator(char c) { return c == '\n' || c == ' '; }
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
  DecodeBase64(text, &bytes);
  return bytes;
}

void CXmlParserRimo::DecodeBase64(std::string_view text, Bytes* bytes) {
  bytes->clear();
  if (utilities_ == nullptr || text.empty()) return;
  // Three bytes per four characters at the most: one pass decodes it all.
  bytes->resize(text.size() / 4 * 3 + 3);
  const int got = utilities_->Base64DecodeByteArray(text.data(), static_cast<uint32_t>(text.size()), bytes->data(),
                                                    static_cast<int>(bytes->size()));
  bytes->resize(static_cast<size_t>(got > 0 ? got : 0));
}

bool CXmlParserRimo::DecodeCertificate(const wchar_t* text, Bytes* der) {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserRimo::DecodeCertificate");
  if (text == nullptr) return false;
  // One byte per character, '?' for what is not ASCII: positions stay
  // those of the characters.
  std::string narrow;
  ConvertWcharToByte(text, &narrow);
  DecodeCertificate(std::string_view(narrow), der);
  return true;
}

void CXmlParserRimo::DecodeCertificate(std::string_view all, Bytes* der) {
  der->clear();
  // Positions count characters: a text beyond ASCII is narrowed to one
  // byte each first.
  if (!platform::IsAscii(all)) {
    DecodeCertificate(platform::Utf8ToWide(all).c_str(), der);
    return;
  }
  const size_t begin = all.find(kBegin);
  const size_t end = all.find(kEnd);
  if (begin == std::string_view::npos || end == std::string_view::npos) return;
  size_t start = begin + kBeginLength;
  if (start < all.size() && IsSeparator(all[start])) ++start;
  // The payload reaches to the END marker at the end of the text; text after
  // the marker is cut off by the decoder at the first hyphen.
  if (all.size() < start + kEndLength) return;  // nothing left for a payload
  size_t length = all.size() - start - kEndLength;
  const size_t markerAt = start + length;
  if (length > 0 && IsSeparator(all[markerAt - 1])) --length;
  std::string_view payload = all.substr(start, length);
  // An embedded NUL ends the text, as it does for a C string.
  payload = payload.substr(0, std::min(payload.size(), payload.find('\0')));
  DecodeBase64(payload, der);
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
