// The checks a TC response must pass before anything of it is kept or
// published: signature, chain, signer locality and maker root, over the
// machine's root store, and a container that reads as a load reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "config/RimoPaths.h"
#include "crypto/ICertFunctions.h"
#include "crypto/ISignatureFunctions.h"
#include "status/CertificateList.h"
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

  // The TC response parsed and passed through every check, its container
  // read into a list of its own as a load would; null otherwise.
  std::unique_ptr<xml::CTcResponseXml> Verify(const std::vector<uint8_t>& response);

  // Reads response's container into list (null: only read); false, traced
  // with the container's error, when it cannot be read whole.
  bool ReadContainer(xml::CTcResponseXml& response, ICertificateList* list, int32_t* keyChange = nullptr,
                     bool* switchOnActivation = nullptr);

  xml::IKeloUtilities* Utilities() { return utilities_.get(); }
  crypto::ISignatureFunctions* Signature() { return signature_.get(); }
  crypto::ICertFunctions* CertFunctions() { return certFunctions_.get(); }

 private:
  std::unique_ptr<xml::IKeloUtilities> utilities_;
  std::unique_ptr<crypto::ISignatureFunctions> signature_;
  std::unique_ptr<crypto::ICertFunctions> certFunctions_;
  // Where Verify reads containers; keeps its room from one check to the next.
  status::CertificateList scratch_;
};

}  // namespace rimo::component
