#include "support/TrustCenterFixture.h"

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

}  // namespace rimo::testing
