#include "crypto/SignatureFunctions.h"

#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "crypto/OpenSslHandles.h"
#include "crypto/RootStore.h"
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

// Certificates whose signature recently verified with a given issuer key (a
// chain without errors). The root lookup that follows a chain check then
// need not verify the same signature again. Thread-safe; most recent first.
class VerifiedIssuers {
 public:
  void Remember(X509* cert, X509* issuer) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (KnownLocked(cert, issuer)) return;
    X509_up_ref(cert);
    X509_up_ref(issuer);
    X509Ptr c(cert), i(issuer);
    entries_.insert(entries_.begin(), {std::move(c), std::move(i)});
    if (entries_.size() > kCapacity) entries_.pop_back();
  }
  bool Known(X509* cert, X509* issuer) {
    std::lock_guard<std::mutex> guard(mutex_);
    return KnownLocked(cert, issuer);
  }

 private:
  bool KnownLocked(X509* cert, X509* issuer) {
    for (const auto& [c, i] : entries_) {
      if (X509_cmp(c.get(), cert) == 0 && X509_cmp(i.get(), issuer) == 0) return true;
    }
    return false;
  }

  static constexpr size_t kCapacity = 8;
  std::mutex mutex_;
  std::vector<std::pair<X509Ptr, X509Ptr>> entries_;
};

VerifiedIssuers& Verified() {
  static VerifiedIssuers verified;
  return verified;
}

void TraceOpenSslErrors() {
  std::string errors = DrainOpenSslErrors();
  if (!errors.empty()) TraceWriteFormat(diag::Error, kWebComm, L"OpenSSL: %S", errors.c_str());
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
  std::shared_ptr<X509_STORE> store = RootStore::Current();
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (store == nullptr || ctx == nullptr) {
    TraceWriteFormat(diag::Error, kWebComm, L"The engine creation function failed. Last Error: [%d]", ENOMEM);
    TraceOpenSslErrors();
    return status;
  }
  TraceWrite(diag::Detail, kWebComm, L"A chain engine has been created.");
  if (X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) {
    TraceWrite(diag::Error, kWebComm, L"The chain could not be created.");
    TraceOpenSslErrors();
    return status;
  }
  uint32_t bits = 0;
  X509_STORE_CTX_set_app_data(ctx.get(), &bits);
  X509_STORE_CTX_set_verify_cb(ctx.get(), &CollectErrors);
  const int rc = X509_verify_cert(ctx.get());
  if (rc < 0) {
    TraceWrite(diag::Error, kWebComm, L"The chain could not be created.");
    TraceOpenSslErrors();
    return status;
  }
  TraceWrite(diag::Detail, kWebComm, L"The chain has been created.");
  status.built = true;
  status.error = bits;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  if (bits == 0 && sk_X509_num(chain) > 1) Verified().Remember(cert.get(), sk_X509_value(chain, 1));
  if (X509_check_issued(cert.get(), cert.get()) == X509_V_OK) {
    status.info = kInfoSelfSigned;
  } else if (sk_X509_num(X509_STORE_CTX_get0_chain(ctx.get())) > 1) {
    status.info = kInfoExactMatchIssuer;
  }
  ERR_clear_error();
  return status;
}

bool SignatureFunctions::VerifyCertificateChain(const uint8_t* certificate, uint32_t certificateLength) {
  RIMO_METHOD_TRACE(kWebComm, L"SignatureFunctions::VerifyCertificateChain");
  const ChainStatus chain = BuildChain(certificate, certificateLength);
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
  std::shared_ptr<X509_STORE> store = RootStore::Current();
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (store == nullptr || ctx == nullptr || X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1) {
    TraceWriteFormat(diag::Error, kWebComm, L"Der Rootstore des Systems konnte nicht geöffnet werden - LastError [%d]",
                     ENOENT);
    TraceOpenSslErrors();
    return false;
  }
  X509* found = nullptr;
  bool result = false;
  if (X509_STORE_CTX_get1_issuer(&found, ctx.get(), cert.get()) == 1 && found != nullptr) {
    X509Ptr issuer(found);
    EVP_PKEY* issuerKey = X509_get0_pubkey(issuer.get());
    const bool signatureOk = issuerKey != nullptr && (Verified().Known(cert.get(), issuer.get()) ||
                                                      X509_verify(cert.get(), issuerKey) == 1);
    const bool timeOk = X509_cmp_current_time(X509_get0_notBefore(cert.get())) < 0 &&
                        X509_cmp_current_time(X509_get0_notAfter(cert.get())) > 0;
    if (signatureOk && timeOk) {
      unsigned char* encoded = nullptr;
      const int length = i2d_X509(issuer.get(), &encoded);
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
  }
  ERR_clear_error();
  TraceWrite(diag::Info, kWebComm, L"Der Rootstore wurde erfolgreich geschlossen.");
  return result;
}

}  // namespace rimo::crypto
