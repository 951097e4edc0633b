// The base of every document the component reads: walks the document node
// by node, keeps the element path ("ROOT.CHILD", upper-cased local names)
// and calls a handler for each element start, text node and element end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteStream.h"
#include "xml/XmlReader.h"

namespace rimo::xml {

// One object reads one document, once, on one thread.
//
// Handler contract: *status is the loop's status (0 = success). A handler may
// store a failure there; it returns true to go on reading, false to stop. A
// stop counts as a regular end. An empty-element tag (<a/>) is opened and
// closed at once: its end handler runs and the path shrinks. An end tag
// removes its element's whole name from the path, dots included.
class CXmlParserBase {
 public:
  explicit CXmlParserBase(std::shared_ptr<platform::IByteStream> stream);
  virtual ~CXmlParserBase();
  CXmlParserBase(const CXmlParserBase&) = delete;
  CXmlParserBase& operator=(const CXmlParserBase&) = delete;

  // Reads the document. True when the root element was closed or a handler
  // stopped the reading; false for a reader failure (malformed document,
  // document type declaration, unreadable bytes), an empty input, or a
  // handler's failure status. The stream is let go at the end; a second
  // call gives the first one's answer.
  virtual bool Parse();

 protected:
  virtual bool ParseElement(int32_t* status);
  virtual bool ParseElementEnd(int32_t* status);
  virtual bool ParseAttribute(int32_t* status);
  virtual bool ParseText(int32_t* status);

  // True when the element path equals path upper-cased; false for null/"".
  bool CheckCurrentPath(const wchar_t* path) const;
  const std::wstring& ElementPath() const { return path_; }
  // The reader, standing on the node that caused the handler call.
  XmlReader& Reader() { return *reader_; }
  // The text of the current node into value (valid until the next reader
  // call); returns the reader's status. In ParseText: the element's whole
  // text, every piece of it joined (text and CDATA, split by comments or
  // processing instructions).
  int32_t GetValue(std::wstring_view* value);
  // The same, moved into *value.
  int32_t TakeValue(std::wstring* value);
  // In ParseText only: the element's whole text as UTF-8, up to an embedded
  // NUL (valid until the handler returns).
  int32_t GetUtf8Value(std::string_view* value);
  // The same, moved into *value.
  int32_t TakeUtf8Value(std::string* value);
  // The same, narrowed as CXmlParserRimo::ConvertWcharToByte narrows.
  int32_t TakeAsciiValue(std::string* value);

 private:
  void Initialize(std::shared_ptr<platform::IByteStream> stream);
  bool ReadDocument();
  int32_t ConstructElementsPath();
  void DeConstructElementsPath();
  // Hands the text gathered since the last element tag to ParseText.
  bool FlushText(int32_t* status);

  std::unique_ptr<XmlReader> reader_;
  bool initialised_ = false;
  std::optional<bool> result_;  // of the one reading
  bool pathStarted_ = false;  // an element was seen
  std::wstring path_;
  std::vector<size_t> segmentStarts_;  // where each open element's part begins
  std::string text_;                   // the pieces of text seen since the last tag, UTF-8
  bool textPending_ = false;
  bool inText_ = false;                // ParseText is running on text_
  std::wstring wideText_;
};

// Upper-cases text the way element names and values are compared.
std::wstring UpperCase(std::wstring_view text);

}  // namespace rimo::xml
