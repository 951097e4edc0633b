// The whole integrity check of one TC response (signature, chain, locality,
// root) beside the bare minimum done directly with OpenSSL on the same bytes:
// one EVP_DigestVerify and one X509_verify_cert against a prepared store.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <openssl/bn.h>
#include <openssl/rsa.h>
#include <openssl/x509_vfy.h>

#include "BenchSupport.h"
#include "support/AcceptingChecks.h"
#include "crypto/CertFunctions.h"
#include "crypto/SignatureFunctions.h"
#include "xml/TcResponseXml.h"

namespace {

using namespace rimo;

bench::BenchMachine& Machine() {
  static bench::BenchMachine machine;
  return machine;
}

void BM_Floor_DigestVerifyAndChain(benchmark::State& state) {
  const auto& tc = Machine().tc;
  const pki::TcResponseParts parts =
      pki::SignContainer(bench::ContainerWith(tc, 3), tc.signerKey, tc.signer, "12345678901234567890",
                         "12345678901234567891");
  const pki::Bytes signature = pki::SignSha1(tc.signerKey, parts.containerBase64);
  X509_STORE* store = bench::HashDirStore(Machine().root() + "/etc/ssl/certs");
  for (auto _ : state) {
    if (!bench::FloorVerify(tc.signer, parts.containerBase64, signature, store)) {
      state.SkipWithError("floor did not verify");
    }
  }
  X509_STORE_free(store);
}
BENCHMARK(BM_Floor_DigestVerifyAndChain);

void BM_IntegrityCheck(benchmark::State& state) {
  const std::string doc = bench::TcResponseWith(Machine().tc, 3);
  // The component's service objects, as the loading task hands them over.
  xml::KeloUtilities utilities;
  crypto::SignatureFunctions signature;
  config::CRimoPaths paths;
  crypto::CertFunctions certFunctions(&paths);
  for (auto _ : state) {
    xml::CTcResponseXml tc(std::make_shared<platform::MemoryStream>(doc.data(), doc.size()), &utilities, &signature,
                           &certFunctions);
    if (!tc.Parse()) state.SkipWithError("response did not verify");
  }
}
BENCHMARK(BM_IntegrityCheck);


// A root store crowded with costly same-name certificates: beside the
// maker's root, 16 link certificates of its name and key, each issued by one
// of 16 "Decoy Level 2" certificates, and so on up to level 8 (self-signed),
// all levels above the first with one 3072-bit key of exponent 2^256 - 1.
// Every link verifies the signer, so a search that does not stop at the
// root, or that checks the same signatures on every load, pays for it.
class CrowdedStore {
 public:
  CrowdedStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rimo-bench-crowded-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    const std::string store = root_ + "/etc/ssl/certs";
    std::filesystem::create_directories(store);
    std::filesystem::create_directories(root_ + "/etc/kelo");
    std::filesystem::copy_file(Machine().root() + "/etc/kelo/registry.reg", root_ + "/etc/kelo/registry.reg");
    const auto& tc = Machine().tc;
    pki::InstallRoot(tc.root, store);
    const pki::Key costly = CostlyKey();
    std::vector<pki::Cert> above;  // the level above the one being made
    for (int level = 8; level >= 1; --level) {
      std::vector<pki::Cert> made;
      for (int i = 0; i < 16; ++i) {
        pki::CertProfile profile = pki::RootProfile(level == 1 ? "CA QUANDEL" : "Decoy Level " + std::to_string(level));
        profile.ca = true;
        const pki::Key& subjectKey = level == 1 ? tc.rootKey : costly;
        made.push_back(level == 8 ? pki::Issue(profile, costly, nullptr, costly)
                                  : pki::Issue(profile, subjectKey, above[static_cast<size_t>(i)], costly));
        pki::InstallRoot(made.back(), store);
      }
      above = std::move(made);
    }
    platform::AdvanceClockForTesting(2100);
  }
  ~CrowdedStore() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }

 private:
  static pki::Key CostlyKey() {
    BIGNUM* e = BN_new();
    BN_one(e);
    BN_lshift(e, e, 256);
    BN_sub_word(e, 1);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 3072);
    EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e);
    EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    BN_free(e);
    return pki::Key(key, &EVP_PKEY_free);
  }
  std::string root_;
};

// The integrity check with KELO_ROOT at root; the first load (the cold
// search) is left out of the measurement but must succeed as well.
void IntegrityCheckIn(benchmark::State& state, const std::string& root) {
  const std::string saved = std::getenv("KELO_ROOT");
  setenv("KELO_ROOT", root.c_str(), 1);
  const std::string doc = bench::TcResponseWith(Machine().tc, 3);
  xml::KeloUtilities utilities;
  crypto::SignatureFunctions signature;
  config::CRimoPaths paths;
  crypto::CertFunctions certFunctions(&paths);
  auto once = [&] {
    xml::CTcResponseXml tc(std::make_shared<platform::MemoryStream>(doc.data(), doc.size()), &utilities, &signature,
                           &certFunctions);
    return tc.Parse();
  };
  if (!once()) state.SkipWithError("response did not verify on the first load");
  for (auto _ : state) {
    if (!once()) state.SkipWithError("response did not verify");
  }
  setenv("KELO_ROOT", saved.c_str(), 1);
}

void BM_IntegrityCheck_PlainStore(benchmark::State& state) { IntegrityCheckIn(state, Machine().root()); }
BENCHMARK(BM_IntegrityCheck_PlainStore);

void BM_IntegrityCheck_CrowdedStore(benchmark::State& state) {
  static CrowdedStore crowded;
  IntegrityCheckIn(state, crowded.root());
}
BENCHMARK(BM_IntegrityCheck_CrowdedStore);

// The same document read with checks that answer at once: what the four
// checks cost is BM_IntegrityCheck minus this.
void BM_ReadOnly(benchmark::State& state) {
  const std::string doc = bench::TcResponseWith(Machine().tc, 3);
  xml::KeloUtilities utilities;
  testing::AcceptingChecks accept;
  for (auto _ : state) {
    xml::CTcResponseXml tc(std::make_shared<platform::MemoryStream>(doc.data(), doc.size()), &utilities, &accept,
                           &accept);
    if (!tc.Parse()) state.SkipWithError("response not read");
  }
}
BENCHMARK(BM_ReadOnly);

}  // namespace

BENCHMARK_MAIN();
