// A private machine for benchmarks: a temporary KELO_ROOT with the maker's
// root in its root store and the plug-ins of the build directory.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509_vfy.h>

#include "pki/Pki.h"
#include "platform/Clock.h"

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
    // A store written this very moment is read again on every use until its
    // file times are past their granularity; a host's store is older. The
    // library loaded with dlopen keeps its own clock, so time really passes.
    platform::AdvanceClockForTesting(2100);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
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

// The "min" statistic over repetitions: the run least disturbed by the rest
// of a busy machine.
inline double Minimum(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

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

// The bare minimum of a check, done directly: one EVP_DigestVerify of
// signature over data and one X509_verify_cert of cert against store.
inline bool FloorVerify(const pki::Cert& cert, const std::string& data, const pki::Bytes& signature,
                        X509_STORE* store) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  EVP_DigestVerifyInit_ex(ctx, &pctx, "SHA1", nullptr, nullptr, X509_get0_pubkey(cert.get()), nullptr);
  EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
  int ok = EVP_DigestVerify(ctx, signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size());
  EVP_MD_CTX_free(ctx);
  X509_STORE_CTX* sctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(sctx, store, cert.get(), nullptr);
  ok &= X509_verify_cert(sctx);
  X509_STORE_CTX_free(sctx);
  return ok == 1;
}

// A store over the hashed directory dir.
inline X509_STORE* HashDirStore(const std::string& dir) {
  X509_STORE* store = X509_STORE_new();
  X509_LOOKUP_add_dir(X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir()), dir.c_str(), X509_FILETYPE_PEM);
  return store;
}

}  // namespace rimo::bench
