// Signature and chain checks on DER certificates.
#pragma once

#include <cstdint>

namespace rimo::crypto {

// One thread at a time per object. An implementation may carry what one
// check found into the check that follows it on the same object: the root
// test (FindRootCertInMachinestore) looks at the issuer through which the
// chain check (VerifyCertificateChain) of the same certificate held, so that
// a link or cross certificate never stands in for a root. Callers make the
// chain check and the root test of one response on one object, in that
// order, with no other check between them.
class ISignatureFunctions {
 public:
  virtual ~ISignatureFunctions() = default;
  // True when signature (big-endian RSA PKCS #1 v1.5 with SHA-1) over data
  // verifies with the public key of the DER certificate.
  virtual bool VerifySignature(const uint8_t* data, uint32_t dataLength, const uint8_t* signature,
                               uint32_t signatureLength, const uint8_t* certificate, uint32_t certificateLength) = 0;
  // True when the certificate's chain to the machine root store has no error.
  virtual bool VerifyCertificateChain(const uint8_t* certificate, uint32_t certificateLength) = 0;
  // Finds the certificate's issuer in the machine root store; when the
  // certificate's signature verifies with the issuer's key and the
  // certificate is within its validity period, hands out the issuer's DER in
  // a block from malloc (the caller frees it) and returns true. Otherwise the
  // outputs are untouched.
  virtual bool FindRootCertInMachinestore(const uint8_t* certificate, uint32_t certificateLength, uint8_t** root,
                                          uint32_t* rootLength) = 0;
};

}  // namespace rimo::crypto
