// RSA keys that cannot vouch for anything, as the signer and as an
// intermediate of the signer's chain:
//
//   CA QUANDEL (root store) ── CA QUANDEL (intermediate, in the store, key K) ── signer ── signs the container
//   CA QUANDEL (root store) ── signer (key K) ── signs the container
//
// With a public exponent of 1 a "signature" is the padded hash itself: it
// is made here without any private key and must never be accepted.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>

#include <functional>

#include "crypto/SignatureFunctions.h"
#include "support/TrustCenterFixture.h"
#include "xml/TcResponseXml.h"

namespace rimo::crypto {
namespace {

using testing::SharedPki;
using testing::TrustCenterSandbox;
using testing::VerificationCode;

const std::string kSsn = "12345678901234567890";

using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

BnPtr Bn(const std::function<void(BIGNUM*)>& make) {
  BnPtr bn(BN_new(), &BN_free);
  make(bn.get());
  return bn;
}

BnPtr Word(unsigned long w) {
  return Bn([w](BIGNUM* b) { BN_set_word(b, w); });
}

// 2^256 + 1: odd, and just above the largest exponent accepted.
BnPtr Huge() {
  return Bn([](BIGNUM* b) {
    BN_one(b);
    BN_lshift(b, b, 256);
    BN_add_word(b, 1);
  });
}

BnPtr Param(const pki::Key& key, const char* name) {
  BIGNUM* v = nullptr;
  EVP_PKEY_get_bn_param(key.get(), name, &v);
  return BnPtr(v, &BN_free);
}

pki::Key FromParams(OSSL_PARAM_BLD* bld, int selection) {
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, selection, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  if (key == nullptr) throw std::runtime_error("key from parameters");
  return pki::Key(key, &EVP_PKEY_free);
}

// A public key of base's modulus with exponent e: no private key exists.
// The builder keeps pointers to the numbers until the key is made.
pki::Key PublicWithExponent(const pki::Key& base, const BIGNUM* e) {
  const BnPtr n = Param(base, OSSL_PKEY_PARAM_RSA_N);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  return FromParams(bld, EVP_PKEY_PUBLIC_KEY);
}

// e = d = 1: "signing" leaves the padded hash as it is, which anyone can
// make; OpenSSL signs certificates with it all the same.
pki::Key IdentityKey(const pki::Key& base) {
  const BnPtr one = Word(1);
  const BnPtr n = Param(base, OSSL_PKEY_PARAM_RSA_N);
  const BnPtr p = Param(base, OSSL_PKEY_PARAM_RSA_FACTOR1);
  const BnPtr q = Param(base, OSSL_PKEY_PARAM_RSA_FACTOR2);
  BN_CTX* bctx = BN_CTX_new();
  BnPtr qinv(BN_mod_inverse(nullptr, q.get(), p.get(), bctx), &BN_free);
  BN_CTX_free(bctx);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, one.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, one.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, p.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, q.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, one.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, one.get());
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get());
  return FromParams(bld, EVP_PKEY_KEYPAIR);
}

pki::Key Generated(const BIGNUM* e) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_keygen_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, const_cast<BIGNUM*>(e)) != 1 || EVP_PKEY_keygen(ctx, &key) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  if (key == nullptr) throw std::runtime_error("key generation");
  return pki::Key(key, &EVP_PKEY_free);
}

// The PKCS #1 v1.5 block of SHA-1(data) for a modulus of size bytes: with
// e = 1 this is a valid "signature", made without any key.
pki::Bytes PaddedHash(const std::string& data, size_t size) {
  static const uint8_t kSha1Info[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                      0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  uint8_t hash[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t*>(data.data()), data.size(), hash);
  pki::Bytes block(size, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  const size_t tail = sizeof kSha1Info + sizeof hash;
  block[size - tail - 1] = 0x00;
  std::copy(std::begin(kSha1Info), std::end(kSha1Info), block.end() - static_cast<std::ptrdiff_t>(tail));
  std::copy(std::begin(hash), std::end(hash), block.end() - SHA_DIGEST_LENGTH);
  return block;
}


std::string Container(const pki::Cert& signer) {
  return pki::MakeContainer("JA", "NEIN", {{"SIG", pki::CertificateText(signer)}});
}

struct KeyCase {
  const char* name;
  pki::Key key;         // the certificate's public key
  pki::Key signingKey;  // what signs with it; null: nothing can
  uint32_t asSigner;    // expected code
  uint32_t asIntermediate;
};

std::vector<KeyCase> Cases() {
  const pki::Key base = pki::GenerateKey(1024);
  const pki::Key three = Generated(Word(3).get());
  const pki::Key f4 = Generated(Word(65537).get());
  const pki::Key huge = Generated(Huge().get());
  return {
      {"e = 1", IdentityKey(base), IdentityKey(base), 1, 2},
      {"e = 2", PublicWithExponent(base, Word(2).get()), nullptr, 1, 2},
      {"e = 65538 (even)", PublicWithExponent(base, Word(65538).get()), nullptr, 1, 2},
      {"e = 2^256 + 1", huge, huge, 1, 2},
      {"e = 3", three, three, 0, 0},
      {"e = 65537", f4, f4, 0, 0},
  };
}

TEST(KeyStrengthTest, DegenerateExponentsAreRefusedAsSignerAndInChain) {
  const auto& p = SharedPki::Get();
  for (const KeyCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    {  // The signer's own key.
      TrustCenterSandbox sandbox;
      const pki::Cert signer =
          pki::Issue(pki::SignerProfile(pki::kSignerLocality), c.key, p.genuine.root, p.genuine.rootKey);
      const std::string container = pki::Base64(Container(signer));
      pki::TcResponseParts parts = pki::SignContainer(Container(signer), p.otherSignerKey, signer, kSsn, kSsn);
      const size_t modulusBytes = static_cast<size_t>(EVP_PKEY_get_size(c.key.get()));
      // The forgery that needs no key: right for e = 1, wrong for the rest.
      parts.signatureBase64 = pki::Base64(c.signingKey != nullptr ? pki::SignSha1(c.signingKey, container)
                                                                  : PaddedHash(container, modulusBytes));
      EXPECT_EQ(VerificationCode(pki::MakeTcResponse(parts)), c.asSigner) << "as the signer";
    }
    {  // An intermediate of the maker's name in the store, issued by the root.
      TrustCenterSandbox sandbox;
      pki::CertProfile profile = pki::RootProfile("CA QUANDEL");
      const pki::Cert intermediate = pki::Issue(profile, c.key, p.genuine.root, p.genuine.rootKey);
      sandbox.Install(intermediate);
      // Without a private key of its own, the signer's certificate is signed
      // with the modulus' real key: no such signature verifies under e.
      const pki::Key issuing = c.signingKey != nullptr ? c.signingKey : p.otherRootKey;
      const pki::Cert signer =
          pki::Issue(pki::SignerProfile(pki::kSignerLocality), p.otherSignerKey, intermediate, issuing);
      const std::string response =
          pki::MakeTcResponse(pki::SignContainer(Container(signer), p.otherSignerKey, signer, kSsn, kSsn));
      EXPECT_EQ(VerificationCode(response), c.asIntermediate) << "as an intermediate";
    }
  }
}

TEST(KeyStrengthTest, ForgedSignatureUnderExponentOneIsNotAcceptedBySignatureCheck) {
  // The signature check alone, without the chain: the padded hash made with
  // no key at all must not verify.
  const auto& p = SharedPki::Get();
  const pki::Key identity = PublicWithExponent(pki::GenerateKey(1024), Word(1).get());
  const pki::Cert signer =
      pki::Issue(pki::SignerProfile(pki::kSignerLocality), identity, p.genuine.root, p.genuine.rootKey);
  const std::string data = "PHJlc3BvbnNlLz4=";
  const pki::Bytes forged = PaddedHash(data, static_cast<size_t>(EVP_PKEY_get_size(identity.get())));
  const pki::Bytes der = pki::ToDer(signer);
  SignatureFunctions functions;
  EXPECT_FALSE(functions.VerifySignature(reinterpret_cast<const uint8_t*>(data.data()),
                                         static_cast<uint32_t>(data.size()), forged.data(),
                                         static_cast<uint32_t>(forged.size()), der.data(),
                                         static_cast<uint32_t>(der.size())));
}

}  // namespace
}  // namespace rimo::crypto
