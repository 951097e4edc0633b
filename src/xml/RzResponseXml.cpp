#include "xml/RzResponseXml.h"

#include <algorithm>
#include <cstring>

#include "diag/MethodTrace.h"

namespace rimo::xml {

using diag::category::kDataDll;

bool CRzResponseXml::ParseText(int32_t* status) {
  RIMO_METHOD_TRACE(kDataDll, L"CRzResponseXml::ParseText");
  if (!CheckCurrentPath(L"GETDATATCRESPONSE.TCRESPONSE")) return true;
  std::string text;
  *status = TakeUtf8Value(&text);
  if (*status != kXmlOk) return true;
  // Line breaks and blanks inside the text are skipped (in place); any other
  // character outside the alphabet, one beyond ASCII included, makes the
  // envelope unreadable, so that a response cut short at such a character
  // never counts as received.
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }),
             text.end());
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  bool wellFormed = text.size() % 4 != 1;
  for (size_t i = 0; wellFormed && i + padding < text.size(); ++i) {
    const char c = text[i];
    wellFormed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  }
  found_ = true;
  malformed_ = !wellFormed;
  // A later text replaces an earlier one.
  if (wellFormed) {
    DecodeBase64(std::string_view(text), &tcResponse_);
  } else {
    tcResponse_.clear();
  }
  return true;
}

bool CRzResponseXml::Parse() {
  RIMO_METHOD_TRACE(kDataDll, L"CRzResponseXml::Parse");
  const bool read = CXmlParserBase::Parse();
  if (read && !found_) {
    errorCode_ = 1;
    return false;
  }
  if (read && malformed_) {
    errorCode_ = 2;
    return false;
  }
  return read;
}

bool CRzResponseXml::CopyTcResponse(uint8_t* buffer, uint32_t bufferSize) const {
  if (buffer == nullptr) return false;
  if (tcResponse_.empty() || bufferSize < tcResponse_.size()) {
    std::memset(buffer, 0, bufferSize);
    return false;
  }
  std::memcpy(buffer, tcResponse_.data(), tcResponse_.size());
  return true;
}

bool CRzErrorXml::ParseText(int32_t* status) {
  RIMO_METHOD_TRACE(kDataDll, L"CRzErrorXml::ParseText");
  std::optional<std::wstring>* field = nullptr;
  if (CheckCurrentPath(L"FAULTINFO.ID")) {
    field = &faultId_;
  } else if (CheckCurrentPath(L"FAULTINFO.USERMESSAGE")) {
    field = &userMessage_;
  } else if (CheckCurrentPath(L"FAULTINFO.TECHMESSAGE")) {
    field = &techMessage_;
  }
  if (field == nullptr) return true;
  std::wstring_view value;
  *status = GetValue(&value);
  *field = *status == kXmlOk ? std::wstring(value) : std::wstring();
  return true;
}

bool CRzErrorXml::Parse() {
  RIMO_METHOD_TRACE(kDataDll, L"CRzErrorXml::Parse");
  if (!CXmlParserBase::Parse()) return false;
  if (!faultId_) missing_ |= kNoId;
  if (!userMessage_) missing_ |= kNoUserMessage;
  if (!techMessage_) missing_ |= kNoTechMessage;
  return missing_ == 0;
}

}  // namespace rimo::xml
