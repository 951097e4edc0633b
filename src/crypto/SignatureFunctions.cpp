#include "crypto/SignatureFunctions.h"
#include "platform/ForkChild.h"

#include <new>
#include <pthread.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "crypto/IssuerSearch.h"
#include "crypto/OpenSslHandles.h"
#include "crypto/RootStore.h"
#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"

namespace rimo::crypto {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kWebComm;

namespace {

struct StatusText {
  uint32_t value;
  int32_t level;
  const wchar_t* text;
};

constexpr StatusText kErrorTexts[] = {
    {kTrustNotTimeValid, diag::Warning,
     L"This certificate or one of the certificates in the certificate chain is not time-valid."},
    {kTrustRevoked, diag::Warning,
     L"Trust for this certificate or one of the certificates in the certificate chain has been revoked."},
    {kTrustNotSignatureValid, diag::Warning,
     L"The certificate or one of the certificates in the certificate chain does not have a valid signature."},
    {kTrustNotValidForUsage, diag::Warning, L"The certificate or certificate chain is not valid in its proposed usage."},
    {kTrustUntrustedRoot, diag::Warning, L"The certificate or certificate chain is based on an untrusted root."},
    {kTrustRevocationUnknown, diag::Warning,
     L"The revocation status of the certificate or one of the certificates in the certificate chain is unknown."},
    {kTrustCyclic, diag::Warning,
     L"One of the certificates in the chain was issued by a certification authority that the original certificate "
     L"had certified."},
    {kTrustPartialChain, diag::Warning, L"The certificate chain is not complete."},
    {0x20000, diag::Warning, L"A CTL used to create this chain was not time-valid."},
    {0x40000, diag::Warning, L"A CTL used to create this chain did not have a valid signature."},
    {0x80000, diag::Warning, L"A CTL used to create this chain is not valid for this usage."},
};

constexpr StatusText kInfoTexts[] = {
    {0, diag::Detail, L"No information status reported."},
    {kInfoExactMatchIssuer, diag::Info, L"An exact match issuer certificate has been found for this certificate."},
    {0x2, diag::Info, L"A key match issuer certificate has been found for this certificate."},
    {0x4, diag::Info, L"A name match issuer certificate has been found for this certificate."},
    {kInfoSelfSigned, diag::Warning, L"This certificate is self-signed."},
    {0x10000, diag::Info, L"The certificate chain created is a complex chain."},
};

void TraceExact(const StatusText* table, size_t n, uint32_t value) {
  for (size_t i = 0; i < n; ++i) {
    if (table[i].value == value) {
      TraceWrite(table[i].level, kWebComm, table[i].text);
      return;
    }
  }
}

// Records each verification error and lets the check go on, so that every
// error of the chain is seen.
int CollectErrors(int ok, X509_STORE_CTX* ctx) {
  if (!ok) {
    auto* bits = static_cast<uint32_t*>(X509_STORE_CTX_get_app_data(ctx));
    if (bits != nullptr) *bits |= SignatureFunctions::TrustBitOf(X509_STORE_CTX_get_error(ctx));
  }
  return 1;
}

void TraceOpenSslErrors() {
  std::string errors = DrainOpenSslErrors();
  if (!errors.empty()) TraceWriteFormat(diag::Error, kWebComm, L"OpenSSL: %S", errors.c_str());
}

// Keys of fewer bits than this are refused, in the signer and in the chain.
constexpr int kMinimumKeyBits = 1024;

// Why a key cannot vouch for anything; null for a sound key. An RSA public
// exponent below 3 makes any signature forgeable without the private key
// (with e = 1 the "signature" is the padded hash itself), an even one is no
// RSA key at all, and one above 2^256 only serves to make checks dear.
const wchar_t* ComputeKeyWeakness(X509* cert) {
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key == nullptr) return nullptr;
  const int type = EVP_PKEY_get_base_id(key);
  const bool rsa = type == EVP_PKEY_RSA || type == EVP_PKEY_RSA_PSS;
  if ((rsa || type == EVP_PKEY_DSA) && EVP_PKEY_get_bits(key) < kMinimumKeyBits) return L"fewer than 1024 bits";
  if (!rsa) return nullptr;
  BIGNUM* e = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) != 1 || e == nullptr) {
    ERR_clear_error();
    return L"no readable public exponent";
  }
  const wchar_t* weakness = nullptr;
  if (BN_num_bits(e) > 256) {
    weakness = L"a public exponent above 2^256";
  } else if (!BN_is_odd(e)) {
    weakness = L"an even public exponent";
  } else if (BN_cmp(e, BN_value_one()) <= 0 || BN_is_word(e, 1)) {
    weakness = L"a public exponent below 3";
  }
  BN_free(e);
  return weakness;
}

// What is known of the certificates checked last, each held so that its
// address names it while it is remembered: every load checks the same few
// certificates, and reading a key's exponent or a validity time out of
// OpenSSL costs more than the rest of a small load's chain check. Made when
// the library loads, so that it outlives the workers at exit.
struct CertFacts {
  X509Ptr cert;
  const wchar_t* weakness = nullptr;
  bool timesRead = false;  // both validity times could be read
  time_t notBefore = 0;
  time_t notAfter = 0;
};
std::mutex g_factsMutex;
std::vector<CertFacts> g_facts;

bool ReadTime(const ASN1_TIME* time, time_t* out) {
  struct tm parts {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return false;
  *out = timegm(&parts);
  return true;
}

CertFacts FactsOf(X509* cert) {
  constexpr size_t kCapacity = 16;
  {
    std::lock_guard<std::mutex> guard(g_factsMutex);
    for (const CertFacts& facts : g_facts) {
      if (facts.cert.get() == cert) return CertFacts{nullptr, facts.weakness, facts.timesRead, facts.notBefore,
                                                     facts.notAfter};
    }
  }
  CertFacts facts;
  facts.weakness = ComputeKeyWeakness(cert);
  facts.timesRead =
      ReadTime(X509_get0_notBefore(cert), &facts.notBefore) && ReadTime(X509_get0_notAfter(cert), &facts.notAfter);
  ERR_clear_error();
  CertFacts copy{nullptr, facts.weakness, facts.timesRead, facts.notBefore, facts.notAfter};
  if (X509_up_ref(cert) != 1) return copy;
  facts.cert.reset(cert);
  std::lock_guard<std::mutex> guard(g_factsMutex);
  if (g_facts.size() >= kCapacity) g_facts.erase(g_facts.begin());
  g_facts.push_back(std::move(facts));
  return copy;
}

const wchar_t* KeyWeakness(X509* cert) { return FactsOf(cert).weakness; }

// As X509_cmp_current_time on both validity times: valid from notBefore on
// (that second included) and until before notAfter.
bool ValidNow(X509* cert) {
  const CertFacts facts = FactsOf(cert);
  const time_t now = std::time(nullptr);
  return facts.timesRead && facts.notBefore <= now && now < facts.notAfter;
}

bool WeakKey(X509* cert) { return KeyWeakness(cert) != nullptr; }

bool BrokenDigest(X509* cert) {
  int digest = NID_undef;
  int keyType = NID_undef;
  if (OBJ_find_sigid_algs(X509_get_signature_nid(cert), &digest, &keyType) != 1) return false;
  return digest == NID_md5 || digest == NID_md4 || digest == NID_md2 || digest == NID_md5_sha1;
}

// A chain that only holds through a weak key or a broken hash does not hold:
// any key in it, and the signature of every certificate below its top (the
// top's self-signature is not relied on).
uint32_t WeakLinks(STACK_OF(X509)* chain) {
  const int n = sk_X509_num(chain);
  for (int i = 0; i < n; ++i) {
    X509* cert = sk_X509_value(chain, i);
    if (WeakKey(cert) || ((i < n - 1 || n == 1) && BrokenDigest(cert))) return kTrustNotSignatureValid;
  }
  return kTrustNoError;
}

// A store trusting exactly the certificates of one path, kept for the next
// check of the same path: the root store hands out the same certificate
// objects while their files are unchanged, and new ones when they change.
// The stores made last, most recent first. Made when the library loads, so
// that they outlive the workers at exit.
struct StoreEntry {
  CertPath path;
  std::shared_ptr<X509_STORE> store;
};
std::mutex g_storesMutex;
std::vector<StoreEntry> g_stores;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_cachesForkSafe = (pthread_atfork(nullptr, nullptr,
                                               [] {
                                                 new (&g_factsMutex) std::mutex();
                                                 platform::RemakeInChild(g_facts);
                                                 new (&g_storesMutex) std::mutex();
                                                 platform::RemakeInChild(g_stores);
                                               }),
                                true);

std::shared_ptr<X509_STORE> StoreFor(const CertPath& trusted) {
  auto& mutex = g_storesMutex;
  auto& entries = g_stores;
  constexpr size_t kCapacity = 8;
  {
    std::lock_guard<std::mutex> guard(mutex);
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].path == trusted) {
        std::rotate(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
                    entries.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        return entries.front().store;
      }
    }
  }
  X509StorePtr made(X509_STORE_new());
  if (made == nullptr) return nullptr;
  for (const auto& cert : trusted) X509_STORE_add_cert(made.get(), cert.get());
  X509_STORE_set_check_issued(made.get(), &IssuerSearch::CheckIssued);
  std::shared_ptr<X509_STORE> store(made.release(), &X509_STORE_free);
  std::lock_guard<std::mutex> guard(mutex);
  entries.insert(entries.begin(), StoreEntry{trusted, store});
  if (entries.size() > kCapacity) entries.pop_back();
  return store;
}

// Runs the chain check of leaf with exactly the given certificates trusted.
ChainStatus VerifyAgainst(X509* leaf, const CertPath& trusted) {
  ChainStatus status;
  const std::shared_ptr<X509_STORE> store = StoreFor(trusted);
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (store == nullptr || ctx == nullptr) return status;
  if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, nullptr) != 1) return status;
  uint32_t bits = 0;
  X509_STORE_CTX_set_app_data(ctx.get(), &bits);
  X509_STORE_CTX_set_verify_cb(ctx.get(), &CollectErrors);
  if (X509_verify_cert(ctx.get()) < 0) return status;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  bits |= WeakLinks(chain);
  status.built = true;
  status.error = bits;
  if (bits == kTrustNoError && sk_X509_num(chain) > 1) IssuerSearch::RememberSigned(leaf, sk_X509_value(chain, 1));
  if (X509_check_issued(leaf, leaf) == X509_V_OK) {
    status.info = kInfoSelfSigned;
  } else if (sk_X509_num(chain) > 1) {
    status.info = kInfoExactMatchIssuer;
  }
  ERR_clear_error();
  return status;
}


// The first path through the store on which leaf's chain holds; empty when
// none does (or the budget ran out).
CertPath FirstHoldingPath(X509* leaf) {
  CertPath found;
  IssuerSearch::VisitPaths(leaf, [&](const CertPath& path) {
    if (!IssuerSearch::Spend(path.size())) return true;
    const ChainStatus tried = VerifyAgainst(leaf, path);
    if (tried.built && tried.error == kTrustNoError) found = path;
    return !found.empty();
  });
  return found;
}

}  // namespace

uint32_t SignatureFunctions::TrustBitOf(int e) {
  switch (e) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return kTrustNotTimeValid;
    case X509_V_ERR_CERT_REVOKED:
      return kTrustRevoked;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_NO_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_UNSUPPORTED_SIGNATURE_ALGORITHM:
      return kTrustNotSignatureValid;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE:
    case X509_V_ERR_CERT_REJECTED:
      return kTrustNotValidForUsage;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return kTrustUntrustedRoot;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
      return kTrustRevocationUnknown;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return kTrustPartialChain;
    default:
      // Errors without a trust bit of their own (basic constraints, path
      // length, ...) still make the chain invalid.
      return e == X509_V_OK ? 0 : 0x80000000u;
  }
}

bool SignatureFunctions::VerifySignature(const uint8_t* data, uint32_t dataLength, const uint8_t* signature,
                                         uint32_t signatureLength, const uint8_t* certificate,
                                         uint32_t certificateLength) {
  RIMO_METHOD_TRACE(kWebComm, L"SignatureFunctions::VerifySignature");
  std::shared_ptr<X509> cert = ParseDerCached(certificate, certificateLength);
  if (cert == nullptr) {
    TraceWriteFormat(diag::Error, kWebComm, L"The certificate context creation function failed. Last Error: [%d]",
                     static_cast<int>(ERR_peek_last_error() & 0x7FFFFFFF));
    TraceOpenSslErrors();
    return false;
  }
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  if (key == nullptr) {
    TraceWrite(diag::Error, kWebComm, L"Call to CryptImportPublicKeyInfo failed.");
    TraceOpenSslErrors();
    return false;
  }
  if (const wchar_t* weakness = KeyWeakness(cert.get())) {
    TraceWriteFormat(diag::Warning, kWebComm, L"Signature could not be verified! The signer's key is weak: %s.",
                     weakness);
    return false;
  }
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (ctx == nullptr || EVP_DigestVerifyInit_ex(ctx.get(), &pctx, "SHA1", nullptr, nullptr, key, nullptr) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) {
    TraceWrite(diag::Error, kWebComm, L"Call to CryptCreateHash failed.");
    TraceOpenSslErrors();
    return false;
  }
  static const uint8_t kNothing = 0;
  int rc = EVP_DigestVerify(ctx.get(), signature != nullptr ? signature : &kNothing, signatureLength,
                            data != nullptr ? data : &kNothing, data != nullptr ? dataLength : 0);
  if (rc != 1) {
    const unsigned long error = ERR_peek_last_error();
    TraceWriteFormat(diag::Warning, kWebComm,
                     L"Signature could not be verified! LastError of CryptVerifySignature: [%d].",
                     static_cast<int>(error & 0x7FFFFFFF));
    ERR_clear_error();
    return false;
  }
  return true;
}

ChainStatus SignatureFunctions::BuildChain(const uint8_t* certificate, uint32_t certificateLength) {
  ChainStatus status;
  std::shared_ptr<X509> cert = ParseDerCached(certificate, certificateLength);
  if (cert == nullptr) {
    TraceWriteFormat(diag::Error, kWebComm, L"The certificate context creation function failed. Last Error: [%d]",
                     static_cast<int>(ERR_peek_last_error() & 0x7FFFFFFF));
    TraceOpenSslErrors();
    return status;
  }
  TraceWrite(diag::Error, kWebComm, L"A certificate context has been created.");
  TraceWrite(diag::Detail, kWebComm, L"A chain engine has been created.");
  // Each path through the store is tried until one holds; without any, the
  // check runs against every same-name candidate so that its errors show.
  // The search and the checks share one budget of signature checks: a path
  // that holds is proof enough, but running out before one does refuses.
  IssuerSearch::Budget budget(IssuerSearch::kCheckBudget);
  bool first = true;
  auto tryPath = [&](const CertPath& path) {
    // The chain check verifies each link of the path once more.
    if (!IssuerSearch::Spend(path.size())) return true;
    const ChainStatus tried = VerifyAgainst(cert.get(), path);
    if (!tried.built) return false;
    if (first || tried.error == kTrustNoError) status = tried;
    first = false;
    if (tried.error == kTrustNoError && !path.empty()) {
      status.leaf = cert;
      status.issuer = path.front();
    }
    return tried.error == kTrustNoError;
  };
  if (IssuerSearch::VisitPaths(cert.get(), tryPath) == 0) {
    tryPath(RootStore::Candidates(X509_get_issuer_name(cert.get())));
  }
  if (budget.Spent() && status.error != kTrustNoError) {
    TraceWriteFormat(diag::Error, kWebComm,
                     L"The chain search was stopped: the root store needs more than %d signature checks for this "
                     L"certificate.",
                     static_cast<int>(IssuerSearch::kCheckBudget));
    status.built = true;
    status.error = kTrustPartialChain;
    status.info = 0;
  }
  if (!status.built) {
    TraceWrite(diag::Error, kWebComm, L"The chain could not be created.");
    TraceOpenSslErrors();
    return status;
  }
  TraceWrite(diag::Detail, kWebComm, L"The chain has been created.");
  ERR_clear_error();
  return status;
}

bool SignatureFunctions::VerifyCertificateChain(const uint8_t* certificate, uint32_t certificateLength) {
  RIMO_METHOD_TRACE(kWebComm, L"SignatureFunctions::VerifyCertificateChain");
  const ChainStatus chain = BuildChain(certificate, certificateLength);
  lastLeaf_ = chain.leaf;
  lastIssuer_ = chain.issuer;
  if (!chain.built) return false;
  const bool valid = chain.error == kTrustNoError;
  if (valid) {
    TraceWrite(diag::Detail, kWebComm, L"No error found for this certificate or chain.");
  } else {
    TraceExact(kErrorTexts, std::size(kErrorTexts), chain.error);
  }
  TraceExact(kInfoTexts, std::size(kInfoTexts), chain.info);
  TraceWrite(diag::Detail, kWebComm, L"Call to CertFreeCertificateChain completed.");
  TraceWrite(diag::Detail, kWebComm, L"Call to CertFreeCertificateChainEngine completed.");
  return valid;
}

bool SignatureFunctions::FindRootCertInMachinestore(const uint8_t* certificate, uint32_t certificateLength,
                                                    uint8_t** root, uint32_t* rootLength) {
  RIMO_METHOD_TRACE(kWebComm, L"SignatureFunctions::FindRootCertInMachinestore");
  if (root == nullptr || rootLength == nullptr) return false;
  std::shared_ptr<X509> cert = ParseDerCached(certificate, certificateLength);
  if (cert == nullptr) {
    TraceOpenSslErrors();
    return false;
  }
  if (!RootStore::Present()) {
    TraceWriteFormat(diag::Error, kWebComm, diag::text::kNoRootStore,
                     ENOENT);
    return false;
  }
  // The issuer on the first path whose chain holds, whatever the order of
  // the store's entries: the one the chain check found, while the store
  // still holds it, or the same search again. None when no chain holds or
  // the search ran out of checks.
  CertPath issuers;
  if (lastIssuer_ != nullptr && lastLeaf_ != nullptr && X509_cmp(lastLeaf_.get(), cert.get()) == 0) {
    for (const auto& candidate : RootStore::Candidates(X509_get_issuer_name(cert.get()))) {
      if (candidate == lastIssuer_) issuers.push_back(candidate);
    }
  }
  if (issuers.empty()) {
    IssuerSearch::Budget budget(IssuerSearch::kCheckBudget);
    const CertPath path = FirstHoldingPath(cert.get());
    if (!path.empty() && !budget.Spent()) issuers.push_back(path.front());
  }
  const bool timeOk = ValidNow(cert.get());
  bool result = false;
  if (!issuers.empty() && timeOk) {
    unsigned char* encoded = nullptr;
    const int length = i2d_X509(issuers.front().get(), &encoded);
    if (length > 0) {
      auto* block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length)));
      if (block != nullptr) {
        std::memcpy(block, encoded, static_cast<size_t>(length));
        *root = block;
        *rootLength = static_cast<uint32_t>(length);
        result = true;
      }
    }
    OPENSSL_free(encoded);
  }
  ERR_clear_error();
  TraceWrite(diag::Info, kWebComm, L"Der Rootstore wurde erfolgreich geschlossen.");
  return result;
}

}  // namespace rimo::crypto
