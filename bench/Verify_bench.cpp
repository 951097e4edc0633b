// The whole integrity check of one TC response (signature, chain, locality,
// root) beside the bare minimum done directly with OpenSSL on the same bytes:
// one EVP_DigestVerify and one X509_verify_cert against a prepared store.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
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
