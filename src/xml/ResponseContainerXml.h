// The response container: KEYCHANGE, SWITCHONACTIVATION and the card's
// certificates, which it adds to the status object's certificate list.
#pragma once

#include <string>

#include "rimo/RimoData.h"
#include "xml/XmlParserRimo.h"

namespace rimo::xml {

class CResponseContainerXml : public CXmlParserRimo {
 public:
  enum Error : uint32_t {
    kNoError = 0,
    kTextUnreadable = 1,
    kBadFlagValue = 2,
    kKeyChangeMissing = 3,
    kCertificateNotAdded = 4,
    kCertificateIncomplete = 5,
  };

  // certificates is not owned; the caller holds its lock while Parse runs.
  CResponseContainerXml(std::shared_ptr<platform::IByteStream> stream, IKeloUtilities* utilities,
                        crypto::ISignatureFunctions* signature, ICertificateList* certificates);

  // True for a document read to its end without error that has KEYCHANGE
  // whenever it lists certificates. A stop because of an error is false;
  // certificates added before it stay in the list.
  bool Parse() override;

  // -1 not given, 0 for "JA", 1 for "NEIN".
  int32_t KeyChange() const { return keyChange_; }
  // true for "JA" or when not given.
  bool SwitchOnActivation() const { return switchOnActivation_; }
  uint32_t ErrorCode() const { return errorCode_; }

 protected:
  bool ParseElement(int32_t*) override { return true; }
  bool ParseAttribute(int32_t*) override { return true; }
  bool ParseText(int32_t* status) override;
  bool ParseElementEnd(int32_t* status) override;

 private:
  ICertificateList* certificates_;
  uint32_t errorCode_ = kNoError;
  int32_t keyChange_ = -1;
  bool switchOnActivation_ = true;
  // The current <cert>'s texts, UTF-8 until they are listed; the buffers
  // keep their room from one certificate to the next.
  bool hasType_ = false;
  bool hasCertificate_ = false;
  std::string pendingType_;
  std::string pendingCertificate_;
  std::wstring wideType_;
  std::wstring wideCertificate_;
  Bytes der_;
};

}  // namespace rimo::xml
