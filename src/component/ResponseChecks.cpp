#include "component/ResponseChecks.h"

#include "diag/DiagnosticTexts.h"
#include "diag/Trace.h"

#include "crypto/SignatureFunctions.h"
#include "platform/ByteStream.h"
#include "status/ScopedLocks.h"
#include "xml/ResponseContainerXml.h"

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
  // What could never be published is never kept either.
  const bool readable = ReadContainer(*parsed, &scratch_);
  scratch_.ClearList();
  if (!readable) return nullptr;
  return parsed;
}

bool ResponseChecks::ReadContainer(xml::CTcResponseXml& response, ICertificateList* list, int32_t* keyChange,
                                   bool* switchOnActivation) {
  uint32_t length = 0;
  const uint8_t* bytes = response.GetResponseContainer(&length);
  // The container's bytes stay with the response, which outlives the reading.
  auto stream = std::make_shared<platform::MemoryViewStream>(bytes, length);
  status::ListLock lock(list);
  xml::CResponseContainerXml container(std::move(stream), utilities_.get(), signature_.get(), list);
  if (!container.Parse()) {
    diag::TraceWriteFormat(diag::Error, diag::category::kDataDll, diag::text::kContainerUnreadable,
                           static_cast<int>(container.ErrorCode()));
    return false;
  }
  if (keyChange != nullptr) *keyChange = container.KeyChange();
  if (switchOnActivation != nullptr) *switchOnActivation = container.SwitchOnActivation();
  return true;
}

}  // namespace rimo::component
