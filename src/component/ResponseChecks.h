// The checks a TC response must pass before anything of it is kept or
// published: signature, chain, signer locality and maker root, over the
// machine's root store.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "config/RimoPaths.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "xml/KeloUtilities.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

// Owns the service objects the XML readers and checks use. Used by one
// thread at a time.
class ResponseChecks {
 public:
  explicit ResponseChecks(const config::CRimoPaths* paths);
  ResponseChecks(const ResponseChecks&) = delete;
  ResponseChecks& operator=(const ResponseChecks&) = delete;

  // The TC response parsed and passed through every check; null otherwise.
  std::unique_ptr<xml::CTcResponseXml> Verify(const std::vector<uint8_t>& response);

  xml::IKeloUtilities* Utilities() { return utilities_.get(); }
  crypto::ISignatureFunctions* Signature() { return signature_.get(); }
  crypto::ICertFunctions* CertFunctions() { return certFunctions_.get(); }

 private:
  std::unique_ptr<xml::IKeloUtilities> utilities_;
  std::unique_ptr<crypto::ISignatureFunctions> signature_;
  std::unique_ptr<crypto::ICertFunctions> certFunctions_;
};

}  // namespace rimo::component
