// The layer between the path-driven parser and the component's documents:
// certificate and signature decoding, narrowing, and the service objects.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "config/RimoPaths.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "xml/KeloUtilities.h"
#include "xml/XmlParserBase.h"

namespace rimo::xml {

using Bytes = std::vector<uint8_t>;

class CXmlParserRimo : public CXmlParserBase {
 public:
  // utilities and signature are not owned and must outlive the document.
  // certFunctions, when given, is used instead of creating the plug-in based
  // checks on first use (not owned).
  CXmlParserRimo(std::shared_ptr<platform::IByteStream> stream, IKeloUtilities* utilities,
                 crypto::ISignatureFunctions* signature, crypto::ICertFunctions* certFunctions = nullptr);
  ~CXmlParserRimo() override;

  // Decodes "-----BEGIN CERTIFICATE-----[LF|SP]<Base64>[LF|SP]-----END
  // CERTIFICATE-----" into der. False for a null text; an empty der when
  // the markers are missing or out of order.
  bool DecodeCertificate(const wchar_t* text, Bytes* der);
  // The same for a UTF-8 text, into der's room; a character outside ASCII
  // ends the Base64 as the wide form's '?' does.
  void DecodeCertificate(std::string_view text, Bytes* der);
  // Decodes a plain Base64 text; false for a null text.
  bool DecodeSignature(const wchar_t* text, Bytes* bytes);
  // One byte per character; a character above 0x7F becomes '?', which is
  // neither Base64 nor a marker character. True when text is not empty.
  static bool ConvertWcharToByte(const wchar_t* text, std::string* out);
  // The certificate checks, created on first use; null when unavailable.
  crypto::ICertFunctions* CertFunc();

 protected:
  IKeloUtilities* utilities() const { return utilities_; }
  crypto::ISignatureFunctions* signature() const { return signature_; }
  // Base64 text to bytes with the utilities object (size first, then bytes).
  Bytes DecodeBase64(const std::string& text);
  void DecodeBase64(std::string_view text, Bytes* bytes);

 private:
  IKeloUtilities* utilities_;
  crypto::ISignatureFunctions* signature_;
  crypto::ICertFunctions* certFunctionsOverride_;
  std::unique_ptr<config::CRimoPaths> paths_;
  std::unique_ptr<crypto::ICertFunctions> certFunctions_;
};

}  // namespace rimo::xml
