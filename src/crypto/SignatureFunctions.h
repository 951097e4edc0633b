// Signature, chain and root-store checks on OpenSSL.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>

#include "crypto/ISignatureFunctions.h"

namespace rimo::crypto {

// Chain error bits (the values of the platform's trust status).
enum ChainError : uint32_t {
  kTrustNoError = 0,
  kTrustNotTimeValid = 0x1,
  kTrustRevoked = 0x4,
  kTrustNotSignatureValid = 0x8,
  kTrustNotValidForUsage = 0x10,
  kTrustUntrustedRoot = 0x20,
  kTrustRevocationUnknown = 0x40,
  kTrustCyclic = 0x80,
  kTrustPartialChain = 0x10000,
};

enum ChainInfo : uint32_t {
  kInfoExactMatchIssuer = 0x1,
  kInfoSelfSigned = 0x8,
};

// The chain's status as the chain engine reports it.
struct ChainStatus {
  bool built = false;
  uint32_t error = 0;
  uint32_t info = 0;
  // When the chain held: the certificate and its issuer on the path that held.
  std::shared_ptr<X509> leaf;
  std::shared_ptr<X509> issuer;
};

// Keeps only the issuer of its last chain check, for the root test that
// follows it; one thread at a time per object (the component's worker).
class SignatureFunctions final : public ISignatureFunctions {
 public:
  bool VerifySignature(const uint8_t* data, uint32_t dataLength, const uint8_t* signature, uint32_t signatureLength,
                       const uint8_t* certificate, uint32_t certificateLength) override;
  bool VerifyCertificateChain(const uint8_t* certificate, uint32_t certificateLength) override;
  bool FindRootCertInMachinestore(const uint8_t* certificate, uint32_t certificateLength, uint8_t** root,
                                  uint32_t* rootLength) override;

  // Builds the chain against the machine root store and collects every
  // verification error into its trust bit.
  static ChainStatus BuildChain(const uint8_t* certificate, uint32_t certificateLength);
  // The trust bit of an X509_V_ERR_* code; 0 for codes without one.
  static uint32_t TrustBitOf(int verifyError);

 private:
  // The issuer through which the last chain check held: the root test that
  // follows it looks at that very issuer, so a link or cross certificate
  // never stands in for a root whose own chain did not verify.
  std::shared_ptr<X509> lastLeaf_;
  std::shared_ptr<X509> lastIssuer_;
};

}  // namespace rimo::crypto
