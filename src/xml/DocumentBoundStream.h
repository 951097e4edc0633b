// The byte stream between a document's source and the XML reader.
//
// It follows the markup just closely enough to know two things before the
// reader sees them:
// - where the root element ends: the stream ends there, so whatever follows
//   (a NUL byte, text, a comment and junk, a second root) never reaches the
//   reader, which would otherwise fail on it before delivering the last
//   elements;
// - how many attributes an element has: libxml2 checks attributes for
//   duplicates in time quadratic in their number, so an element with more
//   than kMaxAttributes of them fails the stream at once.
// - that the parser decodes the bytes as the stream follows them: only
//   encodings whose markup bytes are ASCII (UTF-8, US-ASCII, ISO-8859-x,
//   Windows-125x) and UTF-16 in either byte order are accepted (without a
//   byte-order mark only with a declaration), and an encoding declaration
//   must agree with the bytes. Document type declarations are refused
//   before the parser reads their internal subset. Any other
//   encoding (UTF-7, ISO-2022-*, EBCDIC, UTF-32, ...) fails the stream before the
//   parser sees a byte, since its markup would not be where the stream
//   looks for it.
// It also keeps the parser's protections in place where the reader lifts
// libxml2's text-size limit for large Base64 texts: a document of more than
// kMaxDocumentBytes, nesting deeper than kMaxDepth and names longer than
// kMaxNameLength fail the stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ByteStream.h"

namespace rimo::xml {

class DocumentBoundStream final : public platform::IByteStream {
 public:
  static constexpr unsigned kMaxAttributes = 64;
  // The largest answer the data center may send; a file holds no more.
  static constexpr uint64_t kMaxDocumentBytes = 16u * 1024 * 1024;
  static constexpr uint64_t kMaxDepth = 256;
  static constexpr unsigned kMaxNameLength = 50000;

  explicit DocumentBoundStream(std::shared_ptr<platform::IByteStream> source);
  long Read(void* buffer, size_t size) override;

  // Why the stream failed; empty while it has not.
  const std::string& Error() const { return error_; }

 private:
  enum class State : uint8_t { kText, kOpen, kBang, kComment, kCData, kPi, kStartTag, kEndTag, kEnd };

  bool DetectEncoding();
  // Reads into head_ until it holds at least count bytes or the source ends.
  bool Fill(size_t count);
  // The code unit at index i of head_ (in units of width_); false past its
  // end.
  bool UnitAt(size_t i, uint32_t* unit) const;
  // Checks the encoding declaration, if any, against the detected encoding.
  bool CheckDeclaration(size_t firstUnit, bool utf8Bom, bool bom);
  // A document without an encoding declaration: false when the parser
  // could not tell its encoding (UTF-16 without a byte-order mark).
  bool NoDeclaration(bool bom);
  // Follows one code unit; false when the stream must fail.
  bool Step(uint32_t unit);
  // Counts c toward the length of the name being read in a tag.
  bool CountName(uint32_t c);
  long Fail(const char* why);

  std::shared_ptr<platform::IByteStream> source_;
  std::string head_;  // bytes read to detect the encoding, not yet handed on
  bool detected_ = false;
  unsigned width_ = 1;
  bool bigEndian_ = false;
  uint32_t partial_ = 0;  // a code unit split across two reads
  unsigned partialBytes_ = 0;

  State state_ = State::kText;
  uint64_t depth_ = 0;
  bool rootSeen_ = false;
  uint32_t quote_ = 0;      // the open quote in a tag or declaration, 0 if none
  uint32_t previous_ = 0;   // the last unit that was not blank, in a tag
  unsigned run_ = 0;        // '-' or ']' seen in a row; '?' seen
  unsigned attributes_ = 0;
  unsigned name_ = 0;       // length of the name being read in a tag or PI target
  bool piTarget_ = false;   // reading a processing instruction's target
  uint64_t total_ = 0;      // bytes handed on
  std::string bang_;        // what follows "<!" until it is known
  std::string error_;
};

}  // namespace rimo::xml
