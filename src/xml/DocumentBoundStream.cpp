#include "xml/DocumentBoundStream.h"

#include <cstring>

namespace rimo::xml {
namespace {

bool Blank(uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool Starts(const char* whole, const std::string& prefix) {
  return std::strncmp(whole, prefix.c_str(), prefix.size()) == 0 && prefix.size() <= std::strlen(whole);
}

// A character that ends a name in a tag.
bool EndsName(uint32_t c) { return Blank(c) || c == '=' || c == '/' || c == '>' || c == '"' || c == '\''; }

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool OneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (name == n) return true;
  }
  return false;
}

// "<prefix><number>" with number in [low, high].
bool Numbered(const std::string& name, const std::string& prefix, int low, int high) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string digits = name.substr(prefix.size());
  if (digits.size() > 2 || digits[0] == '0' || digits.find_first_not_of("0123456789") != std::string::npos) {
    return digits == "0" && low == 0;
  }
  const int n = std::stoi(digits);
  return n >= low && n <= high;
}

// Encodings in which every byte below 0x80 is the ASCII character and no
// byte of a multi-byte character is below 0x80: the markup is where the
// stream sees it.
bool AsciiCompatible(const std::string& name) {
  if (OneOf(name, {"UTF-8", "UTF8", "US-ASCII", "ASCII", "LATIN1", "LATIN-1"})) return true;
  for (const char* prefix : {"ISO-8859-", "ISO8859-", "ISO_8859-"}) {
    if (Numbered(name, prefix, 1, 16) && name != std::string(prefix) + "12") return true;
  }
  for (const char* prefix : {"WINDOWS-125", "CP125"}) {
    if (Numbered(name, prefix, 0, 8)) return true;
  }
  return false;
}

bool Utf16Name(const std::string& name, bool bigEndian) {
  return OneOf(name, {"UTF-16", "UTF16"}) || name == (bigEndian ? "UTF-16BE" : "UTF-16LE");
}

// The value of the pseudo-attribute "encoding" in an XML declaration's
// text (between "<?xml" and "?>"); empty when there is none.
std::string DeclaredEncoding(const std::string& declaration) {
  size_t at = 0;
  while ((at = declaration.find("encoding", at)) != std::string::npos) {
    if (at == 0 || !Blank(static_cast<unsigned char>(declaration[at - 1]))) {
      at += 8;
      continue;
    }
    size_t i = at + 8;
    while (i < declaration.size() && Blank(static_cast<unsigned char>(declaration[i]))) ++i;
    if (i >= declaration.size() || declaration[i] != '=') return {};
    ++i;
    while (i < declaration.size() && Blank(static_cast<unsigned char>(declaration[i]))) ++i;
    if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) return {};
    const size_t end = declaration.find(declaration[i], i + 1);
    if (end == std::string::npos) return {};
    return declaration.substr(i + 1, end - i - 1);
  }
  return {};
}

}  // namespace

DocumentBoundStream::DocumentBoundStream(std::shared_ptr<platform::IByteStream> source) : source_(std::move(source)) {}

long DocumentBoundStream::Fail(const char* why) {
  if (error_.empty()) error_ = why;
  return -1;
}

bool DocumentBoundStream::Fill(size_t count) {
  char bytes[512];
  while (head_.size() < count) {
    const size_t want = count - head_.size() < sizeof bytes ? count - head_.size() : sizeof bytes;
    const long n = source_->Read(bytes, want);
    if (n < 0) return false;
    if (n == 0) break;
    head_.append(bytes, static_cast<size_t>(n));
  }
  return true;
}

bool DocumentBoundStream::UnitAt(size_t i, uint32_t* unit) const {
  if ((i + 1) * width_ > head_.size()) return false;
  uint32_t u = 0;
  for (unsigned b = 0; b < width_; ++b) {
    const uint32_t byte = static_cast<uint8_t>(head_[i * width_ + b]);
    u = bigEndian_ ? (u << 8) | byte : u | (byte << (8 * b));
  }
  *unit = u;
  return true;
}

bool DocumentBoundStream::CheckDeclaration(size_t firstUnit, bool utf8Bom, bool bom) {
  // An XML declaration is at most a few dozen characters; 512 is plenty.
  constexpr size_t kMaxDeclaration = 512;
  if (!Fill((firstUnit + kMaxDeclaration) * width_)) return false;
  std::string text;  // the declaration's characters, non-ASCII as 0x01
  bool closed = false;
  for (size_t i = firstUnit; i < firstUnit + kMaxDeclaration; ++i) {
    uint32_t u = 0;
    if (!UnitAt(i, &u)) break;
    text.push_back(u < 0x80 ? static_cast<char>(u) : '\x01');
    // UTF-16 without a byte-order mark is known to the parser only by the
    // "<?xml" that a declaration begins with.
    if (text.size() == 5 && text != "<?xml") return NoDeclaration(bom);
    if (text.size() == 6 && !Blank(u)) return NoDeclaration(bom);  // "<?xml-stylesheet" and such
    if (text.size() > 6 && text.compare(text.size() - 2, 2, "?>") == 0) {
      closed = true;
      break;
    }
  }
  if (text.size() < 6) return NoDeclaration(bom);
  if (!closed) {
    error_ = "the document's XML declaration is not closed";
    return false;
  }
  const std::string declared = Upper(DeclaredEncoding(text.substr(5, text.size() - 7)));
  if (declared.empty()) return true;
  bool agrees = false;
  if (width_ == 1) {
    agrees = utf8Bom ? OneOf(declared, {"UTF-8", "UTF8"}) : AsciiCompatible(declared);
  } else {
    agrees = Utf16Name(declared, bigEndian_);
  }
  if (!agrees) {
    std::string shown;
    for (char c : declared) shown.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    error_ = "the document's declared encoding \"" + shown + "\" is not accepted or does not match its bytes";
    return false;
  }
  return true;
}

bool DocumentBoundStream::NoDeclaration(bool bom) {
  if (width_ == 2 && !bom) {
    error_ = "a UTF-16 document without a byte-order mark needs an encoding declaration";
    return false;
  }
  return true;
}

bool DocumentBoundStream::DetectEncoding() {
  detected_ = true;
  if (!Fill(4)) return false;
  auto at = [this](size_t i) { return i < head_.size() ? static_cast<uint8_t>(head_[i]) : 0x100u; };
  auto is = [&](std::initializer_list<unsigned> pattern) {
    size_t i = 0;
    for (unsigned b : pattern) {
      if (at(i++) != b) return false;
    }
    return true;
  };
  bool bom = false;
  if (is({0x00, 0x00, 0xFE, 0xFF}) || is({0x00, 0x00, 0x00, 0x3C})) {
    width_ = 4;
    bigEndian_ = true;
    bom = at(3) == 0xFF;
  } else if (is({0xFF, 0xFE, 0x00, 0x00}) || is({0x3C, 0x00, 0x00, 0x00})) {
    width_ = 4;
    bom = at(0) == 0xFF;
  } else if (is({0xFE, 0xFF}) || (at(0) == 0x00 && at(1) == 0x3C && at(2) == 0x00)) {
    width_ = 2;
    bigEndian_ = true;
    bom = at(0) == 0xFE;
  } else if (is({0xFF, 0xFE}) || (at(0) == 0x3C && at(1) == 0x00 && at(3) == 0x00)) {
    width_ = 2;
    bom = at(0) == 0xFF;
  } else if (is({0x4C, 0x6F, 0xA7, 0x94}) || is({0x00, 0x00, 0x3C, 0x00}) || is({0x00, 0x3C, 0x00, 0x00})) {
    error_ = "documents in EBCDIC or in an unusual UCS-4 byte order are not accepted";
    return false;
  }
  if (width_ == 4) {
    // libxml2 reads UTF-32 in one byte order only, and not with a
    // byte-order mark: refused in every form rather than half.
    error_ = "documents in UTF-32 are not accepted";
    return false;
  }
  const bool utf8Bom = width_ == 1 && is({0xEF, 0xBB, 0xBF});
  return CheckDeclaration(utf8Bom ? 3 : bom ? 1 : 0, utf8Bom, bom);
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
  total_ += n;
  if (total_ > kMaxDocumentBytes) return Fail("the document is larger than 16 MiB (16777216 bytes), the most a response may have");
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

bool DocumentBoundStream::CountName(uint32_t c) {
  name_ = EndsName(c) ? 0 : name_ + 1;
  if (name_ <= kMaxNameLength) return true;
  Fail("a name in the document is longer than 50000 characters");
  return false;
}

bool DocumentBoundStream::Step(uint32_t c) {
  switch (state_) {
    case State::kText:
      if (c == '<') state_ = State::kOpen;
      return true;
    case State::kOpen:
      if (c == '/') {
        state_ = State::kEndTag;
        name_ = 0;
      } else if (c == '?') {
        state_ = State::kPi;
        run_ = 0;
        name_ = 0;
        piTarget_ = true;
      } else if (c == '!') {
        state_ = State::kBang;
        bang_.clear();
      } else {
        state_ = State::kStartTag;
        quote_ = 0;
        attributes_ = 0;
        previous_ = c;
        name_ = EndsName(c) ? 0 : 1;
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
        // A document type declaration: refused here, before the parser
        // reads a byte of its internal subset (entities, attribute
        // defaults), which it would otherwise parse before the reader can
        // refuse the declaration.
        Fail("document type declarations are not accepted");
        return false;
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
      // The target is a name: its length is bounded as every other name.
      if (piTarget_) {
        if (Blank(c) || c == '?') {
          piTarget_ = false;
        } else if (++name_ > kMaxNameLength) {
          Fail("a name in the document is longer than 50000 characters");
          return false;
        }
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
          if (++depth_ > kMaxDepth) {
            Fail("the document's elements are nested more than 256 deep");
            return false;
          }
          rootSeen_ = true;
          state_ = State::kText;
        } else {
          // An empty-element tag: the root when nothing is open.
          state_ = depth_ == 0 ? State::kEnd : State::kText;
        }
        return true;
      }
      if (!Blank(c)) previous_ = c;
      return CountName(c);
    case State::kEndTag:
      if (c != '>') return CountName(c);
      if (depth_ > 0) --depth_;
      state_ = depth_ == 0 && rootSeen_ ? State::kEnd : State::kText;
      return true;
    case State::kEnd:
      return true;
  }
  return true;
}

}  // namespace rimo::xml
