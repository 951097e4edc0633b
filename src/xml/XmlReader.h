// A pull reader over a byte stream, on libxml2's xmlTextReader. Refuses
// document type declarations; never loads external entities or uses the
// network; reports errors to its owner, never to stderr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ByteStream.h"

namespace rimo::xml {

// Statuses: 0 success, 1 end (of document or of attributes), negative failure.
inline constexpr int32_t kXmlOk = 0;
inline constexpr int32_t kXmlEnd = 1;
inline constexpr int32_t kXmlErrorMalformed = static_cast<int32_t>(0xC00CEE01u);
inline constexpr int32_t kXmlErrorDtdProhibited = static_cast<int32_t>(0xC00CEE3Au);
inline constexpr int32_t kXmlErrorNotReady = static_cast<int32_t>(0x8000FFFFu);
inline constexpr int32_t kXmlErrorOutOfMemory = static_cast<int32_t>(0x8007000Eu);

enum XmlNodeType : int {
  kNodeNone = 0,
  kNodeElement = 1,
  kNodeText = 3,
  kNodeCData = 4,
  kNodeEntityReference = 5,
  kNodeProcessingInstruction = 7,
  kNodeComment = 8,
  kNodeDocumentType = 10,
  kNodeWhitespace = 13,
  kNodeSignificantWhitespace = 14,
  kNodeEndElement = 15,
};

// One document, one thread. Texts are handed out as wide strings that stay
// valid until the next call on the reader.
class XmlReader {
 public:
  // Null when the reader cannot be created.
  static std::unique_ptr<XmlReader> Create(std::shared_ptr<platform::IByteStream> stream);
  // libxml2's process-wide state and the refusal of external entities, made
  // once; also done by the first Create.
  static void InitialiseLibrary();
  ~XmlReader();
  XmlReader(const XmlReader&) = delete;
  XmlReader& operator=(const XmlReader&) = delete;

  // Moves to the next node: kXmlOk with its type, kXmlEnd at the end of the
  // document, or a failure (kXmlErrorDtdProhibited for a document type).
  int32_t Read(int* nodeType);
  bool IsEmptyElement();
  int32_t GetLocalName(std::wstring_view* name);
  int32_t GetValue(std::wstring_view* value);
  // The text of the current node, moved into *value (no further copy).
  int32_t TakeValue(std::wstring* value);
  // The text of the current node, one byte per character: ASCII as it is,
  // every other character as '?'.
  // Appends the current node's text, UTF-8 as the parser gives it.
  int32_t AppendValue(std::string* text);
  int32_t TakeAsciiValue(std::string* value);
  int32_t GetAttributeCount(uint32_t* count);
  int32_t MoveToFirstAttribute();
  int32_t MoveToNextAttribute();

  // The parser's last error message, empty when none.
  const std::string& LastError() const { return lastError_; }

 private:
  XmlReader() = default;
  static void OnError(void* self, void* error);
  static void OnGenericError(void* self, const char* format, ...);

  void* reader_ = nullptr;  // xmlTextReaderPtr
  const class DocumentBoundStream* bound_ = nullptr;  // owned by the libxml2 reader
  void* savedGeneric_ = nullptr;  // the thread's generic error handler before this reader
  void* savedGenericContext_ = nullptr;
  std::wstring text_;
  std::string lastError_;
};

}  // namespace rimo::xml
