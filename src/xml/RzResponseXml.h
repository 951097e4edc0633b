// The data center's envelope (GETDATATCRESPONSE with the Base64 TC response)
// and its fault document (FAULTINFO with ID, user and technical message).
#pragma once

#include <optional>
#include <string>

#include "xml/XmlParserRimo.h"

namespace rimo::xml {

class CRzResponseXml : public CXmlParserRimo {
 public:
  using CXmlParserRimo::CXmlParserRimo;

  // False for an unreadable document; with ErrorCode() 1 for a document
  // without TCRESPONSE, 2 for a TCRESPONSE that is not Base64 (blanks and
  // line breaks inside it are skipped).
  bool Parse() override;
  // Copies the TC response into buffer when it fits and is not empty;
  // otherwise zero-fills the buffer (when given) and returns false.
  bool CopyTcResponse(uint8_t* buffer, uint32_t bufferSize) const;

  uint32_t TcResponseLength() const { return static_cast<uint32_t>(tcResponse_.size()); }
  const Bytes& TcResponse() const { return tcResponse_; }
  uint32_t ErrorCode() const { return errorCode_; }

 protected:
  bool ParseElement(int32_t*) override { return true; }
  bool ParseText(int32_t* status) override;

 private:
  Bytes tcResponse_;
  bool found_ = false;
  bool malformed_ = false;
  uint32_t errorCode_ = 0;
};

class CRzErrorXml : public CXmlParserRimo {
 public:
  enum Missing : uint32_t { kNoId = 1, kNoUserMessage = 2, kNoTechMessage = 4 };

  using CXmlParserRimo::CXmlParserRimo;

  // True when the document was read and holds all three texts.
  bool Parse() override;

  const std::optional<std::wstring>& FaultId() const { return faultId_; }
  const std::optional<std::wstring>& UserMessage() const { return userMessage_; }
  const std::optional<std::wstring>& TechMessage() const { return techMessage_; }
  uint32_t MissingParts() const { return missing_; }

 protected:
  bool ParseElement(int32_t*) override { return true; }
  bool ParseText(int32_t* status) override;

 private:
  std::optional<std::wstring> faultId_;
  std::optional<std::wstring> userMessage_;
  std::optional<std::wstring> techMessage_;
  uint32_t missing_ = 0;
};

}  // namespace rimo::xml
