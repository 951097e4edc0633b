#include "xml/XmlReader.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/Utf8.h"
#include "xml/DocumentBoundStream.h"

namespace rimo::xml {
namespace {

// Owns the stream for the lifetime of the libxml2 reader.
struct StreamContext {
  std::unique_ptr<DocumentBoundStream> stream;
};

int ReadCallback(void* context, char* buffer, int length) {
  auto* ctx = static_cast<StreamContext*>(context);
  if (length <= 0) return 0;
  long n = ctx->stream->Read(buffer, static_cast<size_t>(length));
  return n < 0 ? -1 : static_cast<int>(n);
}

int CloseCallback(void* context) {
  delete static_cast<StreamContext*>(context);
  return 0;
}

// Every external entity or DTD is refused, whatever a document asks for.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

std::once_flag g_libraryOnce;

xmlTextReaderPtr Reader(void* p) { return static_cast<xmlTextReaderPtr>(p); }

}  // namespace

void XmlReader::InitialiseLibrary() {
  std::call_once(g_libraryOnce, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(&RefuseExternalEntity);
  });
}

std::unique_ptr<XmlReader> XmlReader::Create(std::shared_ptr<platform::IByteStream> stream) {
  if (stream == nullptr) return nullptr;
  InitialiseLibrary();
  auto* context = new StreamContext{std::make_unique<DocumentBoundStream>(std::move(stream))};
  const DocumentBoundStream* bound = context->stream.get();
  // No NOENT, DTDLOAD, DTDATTR, DTDVALID or XINCLUDE: nothing external is
  // ever loaded. HUGE lifts the 10,000,000-byte limit of one text, which a
  // large response's Base64 exceeds; the limits it also lifts are kept by
  // the bounding stream (document size, nesting depth, name length), and
  // with document types refused there are no entities to expand.
  xmlTextReaderPtr reader = xmlReaderForIO(&ReadCallback, &CloseCallback, context, nullptr, nullptr,
                                           XML_PARSE_NONET | XML_PARSE_HUGE);
  if (reader == nullptr) {
    delete context;
    return nullptr;
  }
  std::unique_ptr<XmlReader> self(new XmlReader);
  self->reader_ = reader;
  self->bound_ = bound;
  // Some errors (encoding conversion) bypass the reader's handler and go to
  // the thread's generic one, which prints to stderr: take it over while this
  // reader lives, and give the caller's back afterwards.
  self->savedGeneric_ = reinterpret_cast<void*>(xmlGenericError);
  self->savedGenericContext_ = xmlGenericErrorContext;
  xmlSetGenericErrorFunc(self.get(), &XmlReader::OnGenericError);
  xmlTextReaderSetStructuredErrorHandler(reader, reinterpret_cast<xmlStructuredErrorFunc>(&XmlReader::OnError),
                                         self.get());
  return self;
}

XmlReader::~XmlReader() {
  if (reader_ != nullptr) xmlFreeTextReader(Reader(reader_));
  if (savedGeneric_ != nullptr || savedGenericContext_ != nullptr) {
    xmlSetGenericErrorFunc(savedGenericContext_, reinterpret_cast<xmlGenericErrorFunc>(savedGeneric_));
  }
}

void XmlReader::OnGenericError(void* self, const char* format, ...) {
  auto* reader = static_cast<XmlReader*>(self);
  if (reader == nullptr || !reader->lastError_.empty() || format == nullptr) return;
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  reader->lastError_ = text;
  while (!reader->lastError_.empty() && reader->lastError_.back() == '\n') reader->lastError_.pop_back();
}

void XmlReader::OnError(void* self, void* xmlError) {
  auto* reader = static_cast<XmlReader*>(self);
  auto* error = static_cast<xmlErrorPtr>(xmlError);
  if (error != nullptr && error->message != nullptr && reader->lastError_.empty()) {
    reader->lastError_ = error->line > 0 ? "line " + std::to_string(error->line) + ": " + error->message
                                         : std::string(error->message);
    while (!reader->lastError_.empty() && reader->lastError_.back() == '\n') reader->lastError_.pop_back();
  }
}

int32_t XmlReader::Read(int* nodeType) {
  int rc = xmlTextReaderRead(Reader(reader_));
  if (rc == 0) return kXmlEnd;
  if (rc < 0) {
    // The stream's own refusal says more than the reader's I/O error.
    if (!bound_->Error().empty()) lastError_ = bound_->Error();
    return kXmlErrorMalformed;
  }
  int type = xmlTextReaderNodeType(Reader(reader_));
  if (type == kNodeDocumentType) {
    if (lastError_.empty()) lastError_ = "document type declarations are not accepted";
    return kXmlErrorDtdProhibited;
  }
  if (nodeType != nullptr) *nodeType = type;
  return kXmlOk;
}

bool XmlReader::IsEmptyElement() { return xmlTextReaderIsEmptyElement(Reader(reader_)) == 1; }

int32_t XmlReader::GetLocalName(std::wstring_view* name) {
  const xmlChar* local = xmlTextReaderConstLocalName(Reader(reader_));
  if (local == nullptr) return kXmlErrorNotReady;
  platform::Utf8ToWideInto(reinterpret_cast<const char*>(local), &text_);
  *name = text_;
  return kXmlOk;
}

int32_t XmlReader::GetValue(std::wstring_view* value) {
  const xmlChar* v = xmlTextReaderConstValue(Reader(reader_));
  platform::Utf8ToWideInto(v != nullptr ? reinterpret_cast<const char*>(v) : "", &text_);
  *value = text_;
  return kXmlOk;
}

int32_t XmlReader::TakeValue(std::wstring* value) {
  const xmlChar* v = xmlTextReaderConstValue(Reader(reader_));
  *value = v != nullptr ? platform::Utf8ToWide(reinterpret_cast<const char*>(v)) : std::wstring();
  return kXmlOk;
}

int32_t XmlReader::AppendValue(std::string* text) {
  const xmlChar* v = xmlTextReaderConstValue(Reader(reader_));
  if (v != nullptr) text->append(reinterpret_cast<const char*>(v));
  return kXmlOk;
}

int32_t XmlReader::TakeAsciiValue(std::string* value) {
  const xmlChar* v = xmlTextReaderConstValue(Reader(reader_));
  *value = v != nullptr ? platform::Utf8ToAscii(reinterpret_cast<const char*>(v), '?') : std::string();
  return kXmlOk;
}

int32_t XmlReader::GetAttributeCount(uint32_t* count) {
  int n = xmlTextReaderAttributeCount(Reader(reader_));
  if (n < 0) return kXmlErrorNotReady;
  *count = static_cast<uint32_t>(n);
  return kXmlOk;
}

int32_t XmlReader::MoveToFirstAttribute() {
  int rc = xmlTextReaderMoveToFirstAttribute(Reader(reader_));
  return rc == 1 ? kXmlOk : rc == 0 ? kXmlEnd : kXmlErrorNotReady;
}

int32_t XmlReader::MoveToNextAttribute() {
  int rc = xmlTextReaderMoveToNextAttribute(Reader(reader_));
  return rc == 1 ? kXmlOk : rc == 0 ? kXmlEnd : kXmlErrorNotReady;
}

}  // namespace rimo::xml
