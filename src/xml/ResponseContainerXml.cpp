#include "xml/ResponseContainerXml.h"

#include <cstring>

#include "diag/MethodTrace.h"
#include "status/ScopedLocks.h"
#include "diag/Trace.h"
#include "platform/Utf8.h"

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
  if ((which == kType && hasType_) || (which == kData && hasCertificate_)) return errorCode_ == kNoError;

  std::string_view value;
  *status = GetUtf8Value(&value);
  if (*status != kXmlOk) {
    TraceWriteFormat(diag::Error, kDataDll, L"Der Textwert im Pfad [%s] konnte nicht gelesen werden.",
                     ElementPath().c_str());
    errorCode_ = kTextUnreadable;
    return false;
  }
  switch (which) {
    case kType:
      pendingType_.assign(value);
      hasType_ = true;
      break;
    case kData:
      pendingCertificate_.assign(value);
      hasCertificate_ = true;
      break;
    default: {
      // Compared upper-cased and untrimmed: " JA" is not "JA".
      const std::wstring upper = UpperCase(platform::Utf8ToWide(value));
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
  if (!hasType_ || !hasCertificate_) {
    TraceWrite(diag::Error, kDataDll,
               L"Die Daten im <cert> Element sind unvollständig. Das Lesen der Response wird abgebrochen.");
    hasType_ = hasCertificate_ = false;
    errorCode_ = kCertificateIncomplete;
    return false;
  }
  if (certificates_ != nullptr) {
    platform::Utf8ToWideInto(pendingType_, &wideType_);
    platform::Utf8ToWideInto(pendingCertificate_, &wideCertificate_);
    status::ListLock lock(certificates_);
    CertificateRecord* record = certificates_->AddCertificate(wideType_.c_str(), wideCertificate_.c_str());
    if (record != nullptr) {
      TraceWriteFormat(diag::Info, kDataDll, L"Das Zertifikat [%s] wurde hinzugefügt.", kTypePath);
      DecodeCertificate(std::string_view(pendingCertificate_), &der_);
      if (!der_.empty() && der_.size() <= kMaxDer) {
        std::memcpy(record->der, der_.data(), der_.size());
        record->derLength = static_cast<uint32_t>(der_.size());
      }
    } else {
      TraceWriteFormat(diag::Error, kDataDll,
                       L"Für das Zertifikat [%s] konnte kein Listeneintrag hinzugefügt werden.", kTypePath);
      errorCode_ = kCertificateNotAdded;
    }
  }
  hasType_ = hasCertificate_ = false;
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
