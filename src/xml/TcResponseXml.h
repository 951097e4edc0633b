// The TC response: two serial numbers, the Base64 response container, a
// signature over that Base64 text and the signer certificate. Parse reads
// it and checks signature, chain, signer locality and the maker's root.
#pragma once

#include <optional>
#include <string>

#include "xml/XmlParserRimo.h"

namespace rimo::xml {

// The largest TC response read, from a file or from the data center alike:
// what the data center's answer of at most 16 MiB carries in Base64, with
// room for its envelope.
inline constexpr size_t kMaxTcResponseBytes = 12'500'000;

class CTcResponseXml : public CXmlParserRimo {
 public:
  // Reasons of a failed check (VerificationError()).
  enum Verification : uint32_t {
    kNoError = 0,
    kSignatureInvalid = 1,
    kChainInvalid = 2,
    kLocalityWrong = 3,
    kRootNotQuandel = 4,
    kPartsMissing = 5,
  };
  static constexpr char kExpectedLocality[] = "QUANDEL Nachladesignatur";

  using CXmlParserRimo::CXmlParserRimo;

  // True only for a complete document that passed every check. A document
  // that cannot be read gives false with VerificationError() 0.
  bool Parse() override;
  // The decoded container of a verified document (owned by this object,
  // valid while it lives); null otherwise.
  const uint8_t* GetResponseContainer(uint32_t* length);

  bool Integrity() const { return integrity_; }
  uint32_t VerificationError() const { return verificationError_; }
  const std::optional<std::wstring>& CurrentSerial() const { return currentSerial_; }
  const std::optional<std::wstring>& NewSerial() const { return newSerial_; }

  bool VerifyDocumentIntegrity();

 protected:
  bool ParseElement(int32_t*) override { return true; }
  bool ParseElementEnd(int32_t*) override { return true; }
  bool ParseAttribute(int32_t*) override { return true; }
  bool ParseText(int32_t* status) override;

 private:
  bool VerifySignature();
  bool VerifyCertificateChain();
  bool VerifyCertificateLocality();
  bool VerifyCertificateIsQuandelRoot();

  std::optional<std::wstring> currentSerial_;
  std::optional<std::wstring> newSerial_;
  // The two Base64 texts are kept narrowed (one byte per character, '?' for
  // anything outside ASCII): the form in which they are signed and decoded.
  std::optional<std::string> containerText_;
  std::optional<std::string> signatureText_;
  std::optional<std::wstring> certificateText_;
  bool integrity_ = false;
  uint32_t verificationError_ = kNoError;
  Bytes container_;
  bool containerMade_ = false;
  Bytes certificate_;
  Bytes signatureBytes_;
};

}  // namespace rimo::xml
