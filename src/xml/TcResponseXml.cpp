#include "xml/TcResponseXml.h"

#include <cstdlib>

#include "crypto/RootStore.h"
#include "diag/MethodTrace.h"

namespace rimo::xml {

using diag::category::kDataDll;

namespace {
constexpr size_t kSerialLength = 20;
}

bool CTcResponseXml::ParseText(int32_t* status) {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::ParseText");
  std::optional<std::wstring>* field = nullptr;
  std::optional<std::string>* base64 = nullptr;
  bool serial = false;
  if (CheckCurrentPath(L"TCRESPONSE.CURRENTSSN")) {
    field = &currentSerial_, serial = true;
  } else if (CheckCurrentPath(L"TCRESPONSE.NEWSSN")) {
    field = &newSerial_, serial = true;
  } else if (CheckCurrentPath(L"TCRESPONSE.RESPONSECONTAINER")) {
    base64 = &containerText_;
  } else if (CheckCurrentPath(L"TCRESPONSE.SIGNATURTC")) {
    base64 = &signatureText_;
  } else if (CheckCurrentPath(L"TCRESPONSE.SIGCERT")) {
    field = &certificateText_;
  }
  // The first text wins.
  if (base64 != nullptr) {
    if (base64->has_value()) return true;
    std::string value;
    *status = TakeAsciiValue(&value);
    if (*status == kXmlOk) *base64 = std::move(value);
    return true;
  }
  if (field == nullptr || field->has_value()) return true;
  std::wstring value;
  *status = TakeValue(&value);
  if (*status != kXmlOk) return true;
  if (serial && value.size() != kSerialLength) return true;
  *field = std::move(value);
  return true;
}

bool CTcResponseXml::Parse() {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::Parse");
  if (!CXmlParserBase::Parse()) return false;
  if (!VerifyDocumentIntegrity()) return false;
  if (!currentSerial_ || !newSerial_) {
    verificationError_ = kPartsMissing;
    return false;
  }
  return true;
}

bool CTcResponseXml::VerifyDocumentIntegrity() {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::VerifyDocumentIntegrity");
  if (integrity_) return true;
  if (!certificateText_ || !signatureText_) {
    verificationError_ = kPartsMissing;
    return false;
  }
  DecodeCertificate(certificateText_->c_str(), &certificate_);
  signatureBytes_ = DecodeBase64(*signatureText_);
  // The chain check and the maker-root test see the root store as it is
  // when the checks begin.
  crypto::RootStore::OneLook oneLook;
  struct Check {
    bool (CTcResponseXml::*run)();
    Verification failure;
  } static constexpr kChecks[] = {
      {&CTcResponseXml::VerifySignature, kSignatureInvalid},
      {&CTcResponseXml::VerifyCertificateChain, kChainInvalid},
      {&CTcResponseXml::VerifyCertificateLocality, kLocalityWrong},
      {&CTcResponseXml::VerifyCertificateIsQuandelRoot, kRootNotQuandel},
  };
  for (const Check& check : kChecks) {
    if (!(this->*check.run)()) {
      verificationError_ = check.failure;
      return false;
    }
  }
  integrity_ = true;
  return true;
}

// An empty certificate or signature never verifies.
bool CTcResponseXml::VerifySignature() {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::VerifySignature");
  if (signatureBytes_.empty() || certificate_.empty() || !containerText_ || signature() == nullptr) return false;
  // The signed data is the container's Base64 text as it stands.
  const std::string& data = *containerText_;
  return signature()->VerifySignature(reinterpret_cast<const uint8_t*>(data.data()),
                                      static_cast<uint32_t>(data.size()), signatureBytes_.data(),
                                      static_cast<uint32_t>(signatureBytes_.size()), certificate_.data(),
                                      static_cast<uint32_t>(certificate_.size()));
}

bool CTcResponseXml::VerifyCertificateChain() {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::VerifyCertificateChain");
  if (certificate_.empty() || signature() == nullptr) return false;
  return signature()->VerifyCertificateChain(certificate_.data(), static_cast<uint32_t>(certificate_.size()));
}

bool CTcResponseXml::VerifyCertificateLocality() {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::VerifyCertificateLocality");
  crypto::ICertFunctions* cert = certificate_.empty() ? nullptr : CertFunc();
  if (cert == nullptr) return false;
  return cert->VerifyLocalityName(certificate_.data(), static_cast<uint32_t>(certificate_.size()), kExpectedLocality);
}

bool CTcResponseXml::VerifyCertificateIsQuandelRoot() {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::VerifyCertificateIsQuandelRoot");
  crypto::ICertFunctions* cert = certificate_.empty() ? nullptr : CertFunc();
  if (cert == nullptr || signature() == nullptr) return false;
  uint8_t* root = nullptr;
  uint32_t rootLength = 0;
  if (!signature()->FindRootCertInMachinestore(certificate_.data(), static_cast<uint32_t>(certificate_.size()), &root,
                                               &rootLength)) {
    return false;
  }
  const bool isRoot = root != nullptr && cert->VerifyQuandelRoot(root, rootLength);
  std::free(root);
  return isRoot;
}

const uint8_t* CTcResponseXml::GetResponseContainer(uint32_t* length) {
  RIMO_METHOD_TRACE(kDataDll, L"CTcResponseXml::GetResponseContainer");
  if (!integrity_ || !containerText_) {
    container_.clear();
    containerMade_ = false;
    if (length != nullptr) *length = 0;
    return nullptr;
  }
  if (!containerMade_) {
    container_ = DecodeBase64(*containerText_);
    containerMade_ = true;
  }
  if (length != nullptr) *length = static_cast<uint32_t>(container_.size());
  // A verified but empty container still yields a valid (empty) pointer.
  static const uint8_t kEmpty = 0;
  return container_.empty() ? &kEmpty : container_.data();
}

}  // namespace rimo::xml
