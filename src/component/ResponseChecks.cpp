#include "component/ResponseChecks.h"

#include "crypto/SignatureFunctions.h"
#include "platform/ByteStream.h"

namespace rimo::component {

ResponseChecks::ResponseChecks(const config::CRimoPaths* paths)
    : utilities_(std::make_unique<xml::KeloUtilities>()),
      signature_(std::make_unique<crypto::SignatureFunctions>()),
      certFunctions_(crypto::MakeCertFunctions(paths)) {}

std::unique_ptr<xml::CTcResponseXml> ResponseChecks::Verify(const std::vector<uint8_t>& response) {
  auto parsed = std::make_unique<xml::CTcResponseXml>(std::make_shared<platform::MemoryStream>(response),
                                                      utilities_.get(), signature_.get(), certFunctions_.get());
  if (!parsed->Parse() || parsed->VerificationError() != xml::CTcResponseXml::kNoError || !parsed->Integrity()) {
    return nullptr;
  }
  return parsed;
}

}  // namespace rimo::component
