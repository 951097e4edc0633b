#include "xml/DocumentBoundStream.h"

#include <cstring>

namespace rimo::xml {
namespace {

bool Blank(uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool Starts(const char* whole, const std::string& prefix) {
  return std::strncmp(whole, prefix.c_str(), prefix.size()) == 0 && prefix.size() <= std::strlen(whole);
}

}  // namespace

DocumentBoundStream::DocumentBoundStream(std::shared_ptr<platform::IByteStream> source) : source_(std::move(source)) {}

long DocumentBoundStream::Fail(const char* why) {
  if (error_.empty()) error_ = why;
  return -1;
}

bool DocumentBoundStream::DetectEncoding() {
  detected_ = true;
  char bytes[4];
  while (head_.size() < 4) {
    const long n = source_->Read(bytes, 4 - head_.size());
    if (n < 0) return false;
    if (n == 0) break;
    head_.append(bytes, static_cast<size_t>(n));
  }
  auto at = [this](size_t i) { return i < head_.size() ? static_cast<uint8_t>(head_[i]) : 0x100u; };
  auto is = [&](std::initializer_list<unsigned> pattern) {
    size_t i = 0;
    for (unsigned b : pattern) {
      if (at(i++) != b) return false;
    }
    return true;
  };
  if (is({0x00, 0x00, 0xFE, 0xFF}) || is({0x00, 0x00, 0x00, 0x3C})) {
    width_ = 4;
    bigEndian_ = true;
  } else if (is({0xFF, 0xFE, 0x00, 0x00}) || is({0x3C, 0x00, 0x00, 0x00})) {
    width_ = 4;
  } else if (is({0xFE, 0xFF}) || (at(0) == 0x00 && at(1) == 0x3C && at(2) == 0x00)) {
    width_ = 2;
    bigEndian_ = true;
  } else if (is({0xFF, 0xFE}) || (at(0) == 0x3C && at(1) == 0x00 && at(3) == 0x00)) {
    width_ = 2;
  } else if (is({0x4C, 0x6F, 0xA7, 0x94}) || is({0x00, 0x00, 0x3C, 0x00}) || is({0x00, 0x3C, 0x00, 0x00})) {
    error_ = "documents in EBCDIC or in an unusual UCS-4 byte order are not accepted";
    return false;
  }
  return true;
}

long DocumentBoundStream::Read(void* buffer, size_t size) {
  if (state_ == State::kEnd || size == 0) return 0;
  if (!error_.empty()) return -1;
  if (!detected_ && !DetectEncoding()) return Fail("the document could not be read");
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t n;
  if (!head_.empty()) {
    n = size < head_.size() ? size : head_.size();
    std::memcpy(bytes, head_.data(), n);
    head_.erase(0, n);
  } else {
    const long got = source_->Read(buffer, size);
    if (got <= 0) return got;
    n = static_cast<size_t>(got);
  }
  if (width_ == 1) {
    size_t i = 0;
    while (i < n) {
      if (state_ == State::kText) {
        // Text is most of a document (Base64 above all): skip to the markup.
        const void* markup = std::memchr(bytes + i, '<', n - i);
        if (markup == nullptr) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(markup) - bytes);
      }
      if (!Step(bytes[i++])) return -1;
      if (state_ == State::kEnd) return static_cast<long>(i);
    }
    return static_cast<long>(n);
  }
  for (size_t i = 0; i < n; ++i) {
    partial_ = bigEndian_ ? (partial_ << 8) | bytes[i] : partial_ | (static_cast<uint32_t>(bytes[i]) << (8 * partialBytes_));
    if (++partialBytes_ < width_) continue;
    const uint32_t unit = partial_;
    partial_ = 0;
    partialBytes_ = 0;
    if (!Step(unit)) return -1;
    if (state_ == State::kEnd) return static_cast<long>(i + 1);
  }
  return static_cast<long>(n);
}

bool DocumentBoundStream::Step(uint32_t c) {
  switch (state_) {
    case State::kText:
      if (c == '<') state_ = State::kOpen;
      return true;
    case State::kOpen:
      if (c == '/') {
        state_ = State::kEndTag;
      } else if (c == '?') {
        state_ = State::kPi;
        run_ = 0;
      } else if (c == '!') {
        state_ = State::kBang;
        bang_.clear();
      } else {
        state_ = State::kStartTag;
        quote_ = 0;
        attributes_ = 0;
        previous_ = c;
      }
      return true;
    case State::kBang: {
      bang_.push_back(c < 0x80 ? static_cast<char>(c) : '\x01');
      if (bang_ == "--") {
        state_ = State::kComment;
        run_ = 0;
      } else if (bang_ == "[CDATA[") {
        state_ = State::kCData;
        run_ = 0;
      } else if (!Starts("--", bang_) && !Starts("[CDATA[", bang_)) {
        // A declaration (a document type, refused by the reader): followed
        // only far enough to find its end.
        state_ = State::kDeclaration;
        quote_ = 0;
        brackets_ = 0;
        const std::string seen = bang_;
        for (char b : seen) {
          if (!Step(static_cast<unsigned char>(b))) return false;
          if (state_ != State::kDeclaration) break;
        }
      }
      return true;
    }
    case State::kComment:
      if (c == '-') {
        ++run_;
      } else {
        if (c == '>' && run_ >= 2) state_ = State::kText;
        run_ = 0;
      }
      return true;
    case State::kCData:
      if (c == ']') {
        ++run_;
      } else {
        if (c == '>' && run_ >= 2) state_ = State::kText;
        run_ = 0;
      }
      return true;
    case State::kPi:
      if (c == '>' && run_ != 0) state_ = State::kText;
      run_ = c == '?' ? 1 : 0;
      return true;
    case State::kDeclaration:
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
      } else if (c == '"' || c == '\'') {
        quote_ = c;
      } else if (c == '[') {
        ++brackets_;
      } else if (c == ']') {
        if (brackets_ > 0) --brackets_;
      } else if (c == '>' && brackets_ == 0) {
        state_ = State::kText;
      }
      return true;
    case State::kStartTag:
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
        return true;
      }
      if (c == '"' || c == '\'') {
        quote_ = c;
        previous_ = c;
        if (++attributes_ > kMaxAttributes) {
          Fail("an element has more attributes than the document formats allow");
          return false;
        }
        return true;
      }
      if (c == '>') {
        if (previous_ != '/') {
          ++depth_;
          rootSeen_ = true;
          state_ = State::kText;
        } else {
          // An empty-element tag: the root when nothing is open.
          state_ = depth_ == 0 ? State::kEnd : State::kText;
        }
        return true;
      }
      if (!Blank(c)) previous_ = c;
      return true;
    case State::kEndTag:
      if (c == '>') {
        if (depth_ > 0) --depth_;
        state_ = depth_ == 0 && rootSeen_ ? State::kEnd : State::kText;
      }
      return true;
    case State::kEnd:
      return true;
  }
  return true;
}

}  // namespace rimo::xml
