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
// UTF-8 and other 8-bit encodings, UTF-16 and UTF-32 (either byte order) are
// followed; EBCDIC and the unusual UCS-4 byte orders are refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ByteStream.h"

namespace rimo::xml {

class DocumentBoundStream final : public platform::IByteStream {
 public:
  static constexpr unsigned kMaxAttributes = 64;

  explicit DocumentBoundStream(std::shared_ptr<platform::IByteStream> source);
  long Read(void* buffer, size_t size) override;

  // Why the stream failed; empty while it has not.
  const std::string& Error() const { return error_; }

 private:
  enum class State : uint8_t { kText, kOpen, kBang, kComment, kCData, kPi, kDeclaration, kStartTag, kEndTag, kEnd };

  bool DetectEncoding();
  // Follows one code unit; false when the stream must fail.
  bool Step(uint32_t unit);
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
  uint64_t brackets_ = 0;   // '[' open in a declaration
  std::string bang_;        // what follows "<!" until it is known
  std::string error_;
};

}  // namespace rimo::xml
