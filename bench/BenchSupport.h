// A private machine for benchmarks: a temporary KELO_ROOT with the maker's
// root in its root store and the plug-ins of the build directory.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pki/Pki.h"

namespace rimo::bench {

class BenchMachine {
 public:
  BenchMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rimo-bench-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ + "/etc/ssl/certs");
    std::filesystem::create_directories(root_ + "/etc/kelo");
    std::ofstream(root_ + "/etc/kelo/registry.reg")
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n\"ProgKey\"=\"" RIMO_LIB_DIR "\"\n";
    setenv("KELO_ROOT", root_.c_str(), 1);
    tc = pki::TrustCenter::Make();
    pki::InstallRoot(tc.root, root_ + "/etc/ssl/certs");
  }
  ~BenchMachine() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }

  pki::TrustCenter tc;

 private:
  std::string root_;
};

// A container with n certificates (all the signer's, under distinct types).
inline std::string ContainerWith(const pki::TrustCenter& tc, int n) {
  std::vector<pki::ContainerCert> certs;
  const std::string text = pki::CertificateText(tc.signer);
  for (int i = 0; i < n; ++i) certs.push_back({"TYPE" + std::to_string(i), text});
  return pki::MakeContainer("JA", "NEIN", certs);
}

inline std::string TcResponseWith(const pki::TrustCenter& tc, int n) {
  return pki::MakeTcResponse(
      pki::SignContainer(ContainerWith(tc, n), tc.signerKey, tc.signer, "12345678901234567890", "12345678901234567891"));
}

}  // namespace rimo::bench
