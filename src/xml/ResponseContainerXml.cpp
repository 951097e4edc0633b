#include "xml/ResponseContainerXml.h"

#include <cstring>

#include "diag/MethodTrace.h"
#include "status/ScopedLocks.h"
#include "diag/Trace.h"

namespace rimo::xml {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;

namespace {
constexpr wchar_t kTypePath[] = L"RESPONSECONTAINER.CERTIFICATES.CERT.TYPE";
constexpr size_t kMaxDer = sizeof(CertificateRecord::der);
}  // namespace

CResponseContainerXml::CResponseContainerXml(std::shared_ptr<platform::IByteStream> stream,
                                             IKeloUtilities* utilities, crypto::ISignatureFunctions* signature,
                                             ICertificateList* certificates)
    : CXmlParserRimo(std::move(stream), utilities, signature), certificates_(certificates) {}

bool CResponseContainerXml::ParseText(int32_t* status) {
  RIMO_METHOD_TRACE(kDataDll, L"CResponseContainerXml::ParseText");
  enum { kNone, kType, kData, kKeyChange, kSwitch } which = kNone;
  if (CheckCurrentPath(kTypePath)) {
    which = kType;
  } else if (CheckCurrentPath(L"RESPONSECONTAINER.CERTIFICATES.CERT.CERTDATA")) {
    which = kData;
  } else if (CheckCurrentPath(L"RESPONSECONTAINER.KEYCHANGE")) {
    which = kKeyChange;
  } else if (CheckCurrentPath(L"RESPONSECONTAINER.SWITCHONACTIVATION")) {
    which = kSwitch;
  }
  if (which == kNone) return errorCode_ == kNoError;
  if ((which == kType && pendingType_) || (which == kData && pendingCertificate_)) return errorCode_ == kNoError;

  std::wstring value;
  *status = TakeValue(&value);
  if (*status != kXmlOk) {
    TraceWriteFormat(diag::Error, kDataDll, L"Der Textwert im Pfad [%s] konnte nicht gelesen werden.",
                     ElementPath().c_str());
    errorCode_ = kTextUnreadable;
    return false;
  }
  switch (which) {
    case kType:
      pendingType_ = std::move(value);
      break;
    case kData:
      pendingCertificate_ = std::move(value);
      break;
    default: {
      // Compared upper-cased and untrimmed: " JA" is not "JA".
      const std::wstring upper = UpperCase(value);
      if (upper == L"JA" || upper == L"NEIN") {
        const bool ja = upper == L"JA";
        if (which == kKeyChange) {
          keyChange_ = ja ? 0 : 1;
        } else {
          switchOnActivation_ = ja;
        }
      } else {
        errorCode_ = kBadFlagValue;
      }
      break;
    }
  }
  return errorCode_ == kNoError;
}

bool CResponseContainerXml::ParseElementEnd(int32_t*) {
  RIMO_METHOD_TRACE(kDataDll, L"CResponseContainerXml::ParseElementEnd");
  if (!CheckCurrentPath(L"RESPONSECONTAINER.CERTIFICATES.CERT")) return true;
  if (!pendingType_ || !pendingCertificate_) {
    TraceWrite(diag::Error, kDataDll,
               L"Die Daten im <cert> Element sind unvollständig. Das Lesen der Response wird abgebrochen.");
    pendingType_.reset();
    pendingCertificate_.reset();
    errorCode_ = kCertificateIncomplete;
    return false;
  }
  if (certificates_ != nullptr) {
    status::ListLock lock(certificates_);
    CertificateRecord* record = certificates_->AddCertificate(pendingType_->c_str(), pendingCertificate_->c_str());
    if (record != nullptr) {
      TraceWriteFormat(diag::Info, kDataDll, L"Das Zertifikat [%s] wurde hinzugefügt.", kTypePath);
      Bytes der;
      DecodeCertificate(pendingCertificate_->c_str(), &der);
      if (!der.empty() && der.size() <= kMaxDer) {
        std::memcpy(record->der, der.data(), der.size());
        record->derLength = static_cast<uint32_t>(der.size());
      }
    } else {
      TraceWriteFormat(diag::Error, kDataDll,
                       L"Für das Zertifikat [%s] konnte kein Listeneintrag hinzugefügt werden.", kTypePath);
      errorCode_ = kCertificateNotAdded;
    }
  }
  pendingType_.reset();
  pendingCertificate_.reset();
  // A certificate that could not be listed ends the reading at once.
  return errorCode_ == kNoError;
}

bool CResponseContainerXml::Parse() {
  RIMO_METHOD_TRACE(kDataDll, L"CResponseContainerXml::Parse");
  if (!CXmlParserBase::Parse()) return false;
  if (errorCode_ != kNoError) return false;
  if (certificates_ != nullptr) {
    bool listed;
    {
      status::ListLock lock(certificates_);
      listed = !certificates_->IsEmpty();
    }
    if (listed && keyChange_ == -1) {
      errorCode_ = kKeyChangeMissing;
      return false;
    }
  }
  return true;
}

}  // namespace rimo::xml
