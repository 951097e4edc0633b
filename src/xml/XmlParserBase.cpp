#include "xml/XmlParserBase.h"

#include <locale.h>
#include <wctype.h>

#include <cstring>

#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Utf8.h"

namespace rimo::xml {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;

namespace {

// Independent of the process locale: the C.UTF-8 locale maps all of Unicode;
// without it, ASCII letters only.
wchar_t Upper(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  const locale_t utf8 = platform::Utf8CType();
  if (utf8 == static_cast<locale_t>(nullptr)) return c;
  return static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), utf8));
}

}  // namespace

std::wstring UpperCase(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = Upper(c);
  return out;
}

CXmlParserBase::CXmlParserBase(std::shared_ptr<platform::IByteStream> stream) { Initialize(std::move(stream)); }

CXmlParserBase::~CXmlParserBase() = default;

void CXmlParserBase::Initialize(std::shared_ptr<platform::IByteStream> stream) {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserBase::Initialize");
  TraceWrite(diag::Info, kDataDll, L"Der XmlReader wird erzeugt.");
  if (stream == nullptr) {
    TraceWrite(diag::Error, kDataDll, L"Der Inputstream konnte nicht gesetzt werden.");
    TraceWrite(diag::Error, kDataDll, L"Die Initialisierung des Objekts ist fehlgeschlagen.");
    return;
  }
  reader_ = XmlReader::Create(std::move(stream));
  if (reader_ == nullptr) {
    TraceWriteFormat(diag::Error, kDataDll, L"Der Reader konnte nicht erzeugt werden - hr = [%d]",
                     kXmlErrorOutOfMemory);
    return;
  }
  // Document types are refused by the reader itself; no resolver exists.
  TraceWrite(diag::Info, kDataDll, L"Die Defaulteinstellungen für den Reader werden gesetzt.");
  TraceWrite(diag::Info, kDataDll, L"Das Flag DtdProcessing_Prohibit wurde gesetzt.");
  TraceWrite(diag::Info, kDataDll, L"Der XmlResolver wurde gesetzt.");
  TraceWrite(diag::Info, kDataDll, L"Der Inputstream wurde gesetzt.");
  initialised_ = true;
}

bool CXmlParserBase::Parse() {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserBase::Parse");
  if (result_) return *result_;
  if (!initialised_) return false;
  result_ = ReadDocument();
  // Read once: the reader, its buffers and the stream it holds go now, not
  // when this object does.
  reader_.reset();
  text_ = std::string();
  wideText_ = std::wstring();
  return *result_;
}

bool CXmlParserBase::ReadDocument() {
  TraceWrite(diag::Detail, kDataDll, L"Der erste Read-Befehl wird ausgeführt");
  bool goOn = true;
  int nodeType = kNodeNone;
  int32_t status = reader_->Read(&nodeType);
  bool failedPath = false;
  while (status == kXmlOk) {
    // An element's text may come in pieces (text and CDATA, split by
    // comments or processing instructions): joined, it reaches the handler
    // once, when the next tag comes.
    if (nodeType == kNodeText || nodeType == kNodeCData) {
      status = reader_->AppendValue(&text_);
      textPending_ = true;
      if (status != kXmlOk) break;
      status = reader_->Read(&nodeType);
      continue;
    }
    if ((nodeType == kNodeElement || nodeType == kNodeEndElement) && textPending_) {
      goOn = FlushText(&status);
      if (!goOn || status != kXmlOk) break;
    }
    switch (nodeType) {
      case kNodeElement: {
        const bool empty = reader_->IsEmptyElement();
        TraceWrite(diag::Detail, kDataDll, L"Es wurde ein neues Element gefunden - Der Elementpfad wird erweitert.");
        status = ConstructElementsPath();
        if (status != kXmlOk) {
          failedPath = true;
          break;
        }
        TraceWrite(diag::Detail, kDataDll, L"Die Verarbeitung zum Lesen den neuen Elements wird ausgeführt.");
        goOn = ParseElement(&status);
        if (empty && goOn && status == kXmlOk) {
          TraceWrite(diag::Detail, kDataDll, L"Die Verarbeitung für das Ende-Tag des Elements wird ausgeführt.");
          goOn = ParseElementEnd(&status);
          DeConstructElementsPath();
        }
        break;
      }
      case kNodeEndElement:
        TraceWrite(diag::Detail, kDataDll, L"Die Verarbeitung für das Ende-Tag des Elements wird ausgeführt.");
        goOn = ParseElementEnd(&status);
        TraceWrite(diag::Detail, kDataDll,
                   L"Es wurde ein Ende-Tag eines Elements gefunden - Der Elementpfad wird angepasst.");
        DeConstructElementsPath();
        break;
      default:
        break;
    }
    if (failedPath || !goOn || status != kXmlOk) break;
    status = reader_->Read(&nodeType);
  }
  if (!goOn) TraceWrite(diag::Info, kDataDll, L"Das Lesen des XML-Dokuments wurde gestoppt");

  if (pathStarted_ && (path_.empty() || !goOn)) return true;
  if (status != kXmlOk && status != kXmlEnd) {
    TraceWriteFormat(diag::Error, kDataDll, diag::text::kXmlReadFailed, status);
    if (!reader_->LastError().empty()) {
      TraceWriteFormat(diag::Error, kDataDll, L"%S", reader_->LastError().c_str());
    }
  }
  return false;
}

bool CXmlParserBase::FlushText(int32_t* status) {
  TraceWrite(diag::Detail, kDataDll, L"Die Verarbeitung zum Lesen des Elementtexts wird ausgeführt.");
  inText_ = true;
  const bool goOn = ParseText(status);
  inText_ = false;
  text_.clear();
  textPending_ = false;
  return goOn;
}

int32_t CXmlParserBase::GetValue(std::wstring_view* value) {
  if (!inText_) return reader_->GetValue(value);
  wideText_ = platform::Utf8ToWide(text_);
  *value = wideText_;
  return kXmlOk;
}

int32_t CXmlParserBase::TakeValue(std::wstring* value) {
  if (!inText_) return reader_->TakeValue(value);
  *value = platform::Utf8ToWide(text_);
  return kXmlOk;
}

int32_t CXmlParserBase::GetUtf8Value(std::string_view* value) {
  if (!inText_) return kXmlErrorNotReady;
  *value = std::string_view(text_.c_str());
  return kXmlOk;
}

int32_t CXmlParserBase::TakeUtf8Value(std::string* value) {
  if (!inText_) return kXmlErrorNotReady;
  text_.resize(std::strlen(text_.c_str()));
  *value = std::move(text_);
  text_.clear();
  return kXmlOk;
}

int32_t CXmlParserBase::TakeAsciiValue(std::string* value) {
  if (!inText_) return reader_->TakeAsciiValue(value);
  // The usual Base64 text is ASCII already: taken over, not copied. What
  // follows an embedded NUL is dropped, as for a C string.
  text_.resize(std::strlen(text_.c_str()));
  if (platform::IsAscii(text_)) {
    *value = std::move(text_);
    text_.clear();
    return kXmlOk;
  }
  *value = platform::Utf8ToAscii(text_, '?');
  return kXmlOk;
}

int32_t CXmlParserBase::ConstructElementsPath() {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserBase::ConstructElementsPath");
  std::wstring_view name;
  int32_t status = reader_->GetLocalName(&name);
  if (status != kXmlOk) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Es ist ein Fehler bei der Ermittlung des Elementnamens aufgetreten - hr=[%d].", status);
    return status;
  }
  segmentStarts_.push_back(path_.size());
  if (!path_.empty()) path_.push_back(L'.');
  for (const wchar_t c : name) path_.push_back(Upper(c));
  pathStarted_ = true;
  TraceWriteFormat(diag::Info, kDataDll, L"Der Elementpfad wurde auf %s gesetzt.", path_.c_str());
  return kXmlOk;
}

void CXmlParserBase::DeConstructElementsPath() {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserBase::DeConstructElementsPath");
  // The whole name of the ending element goes, also when it holds a dot.
  const size_t start = segmentStarts_.empty() ? 0 : segmentStarts_.back();
  if (!segmentStarts_.empty()) segmentStarts_.pop_back();
  if (start > 0) {
    TraceWrite(diag::Detail, kDataDll,
               L"Der Parser befindet sich unterhalb eines Rootelements - Die Daten hinter dem letzten Punkt werden "
               L"gelöscht.");
    path_.resize(start);
  } else {
    TraceWrite(diag::Detail, kDataDll,
               L"Das Parsen eines Rootelements wurde abgeschlossen - Das gesamte Array wird auf NULL gesetzt.");
    path_.clear();
  }
}

bool CXmlParserBase::ParseElement(int32_t* status) {
  RIMO_METHOD_TRACE(kDataDll, L"CXmlParserBase::ParseElement");
  uint32_t count = 0;
  *status = reader_->GetAttributeCount(&count);
  if (*status != kXmlOk) {
    TraceWriteFormat(diag::Error, kDataDll, L"Die Ermittlung der Anzahl der Attribute ist fehlgeschlagen - hr=[%d]",
                     *status);
    return false;
  }
  if (count == 0) return true;
  TraceWriteFormat(diag::Detail, kDataDll, L"Es wurden %d Attribute ermittelt - Diese werden nun geparst.",
                   static_cast<int>(count));
  bool goOn = true;
  uint32_t parsed = 0;
  if (reader_->MoveToFirstAttribute() == kXmlOk) {
    while (*status == kXmlOk && goOn) {
      goOn = ParseAttribute(status);
      ++parsed;
      if (*status == kXmlOk && goOn) {
        if (reader_->MoveToNextAttribute() != kXmlOk) break;
      } else if (!goOn) {
        TraceWriteFormat(diag::Info, kDataDll, L"Das Parsen der Attribute des Elements [%s] wurde beendet.",
                         path_.c_str());
        break;
      } else {
        TraceWriteFormat(diag::Error, kDataDll,
                         L"Beim Parsen eines Attributs des Elements [%s] ist ein Fehler aufgetreten.", path_.c_str());
        break;
      }
    }
  }
  if (parsed != count && goOn) {
    TraceWriteFormat(diag::Error, kDataDll, L"Beim Parsen eines Attributs des Elements [%s] ist ein Fehler aufgetreten.",
                     path_.c_str());
  }
  return *status == kXmlOk;
}

bool CXmlParserBase::ParseElementEnd(int32_t*) { return true; }
bool CXmlParserBase::ParseAttribute(int32_t*) { return true; }
bool CXmlParserBase::ParseText(int32_t*) { return true; }

bool CXmlParserBase::CheckCurrentPath(const wchar_t* path) const {
  if (path == nullptr || path[0] == L'\0') return false;
  size_t i = 0;
  for (; path[i] != L'\0'; ++i) {
    if (i >= path_.size() || Upper(path[i]) != path_[i]) return false;
  }
  return i == path_.size();
}

}  // namespace rimo::xml
