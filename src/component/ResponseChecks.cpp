#include "component/ResponseChecks.h"

#include "diag/DiagnosticTexts.h"
#include "diag/Trace.h"

#include "crypto/SignatureFunctions.h"
#include "platform/ByteStream.h"

namespace rimo::component {

ResponseChecks::ResponseChecks(const config::CRimoPaths* paths)
    : utilities_(std::make_unique<xml::KeloUtilities>()),
      signature_(std::make_unique<crypto::SignatureFunctions>()),
      certFunctions_(crypto::MakeCertFunctions(paths)) {}

std::unique_ptr<xml::CTcResponseXml> ResponseChecks::Verify(const std::vector<uint8_t>& response) {
  // Read where it lies: the parser lets the stream go when its one reading
  // ends, while response is still the caller's.
  auto parsed = std::make_unique<xml::CTcResponseXml>(
      std::make_shared<platform::MemoryViewStream>(response.data(), response.size()), utilities_.get(),
      signature_.get(), certFunctions_.get());
  if (!parsed->Parse() || parsed->VerificationError() != xml::CTcResponseXml::kNoError || !parsed->Integrity()) {
    if (parsed->VerificationError() != xml::CTcResponseXml::kNoError) {
      diag::TraceWriteFormat(diag::Error, diag::category::kDataDll, diag::text::kCheckFailed,
                             static_cast<int>(parsed->VerificationError()));
    }
    return nullptr;
  }
  return parsed;
}

}  // namespace rimo::component
