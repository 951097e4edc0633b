#include "support/TrustCenterFixture.h"

#include "xml/TcResponseXml.h"

#include "crypto/SignatureFunctions.h"

namespace rimo::testing {

const SharedPki& SharedPki::Get() {
  static const SharedPki pki = [] {
    SharedPki p;
    p.genuine = pki::TrustCenter::Make();
    p.otherRootKey = pki::GenerateKey();
    p.otherSignerKey = pki::GenerateKey();
    return p;
  }();
  return pki;
}

TrustCenterSandbox::TrustCenterSandbox(const std::string& libDir, bool installRoot) {
  box_.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ProgKey\"=\"" + libDir + "\""));
  std::filesystem::create_directories(StoreDir());
  if (installRoot) Install(SharedPki::Get().genuine.root);
}

uint32_t VerificationCode(const std::string& document) {
  xml::KeloUtilities utilities;
  crypto::SignatureFunctions signature;
  xml::CTcResponseXml doc(std::make_shared<platform::MemoryStream>(document.data(), document.size()), &utilities,
                          &signature);
  doc.Parse();
  return doc.VerificationError();
}

}  // namespace rimo::testing
