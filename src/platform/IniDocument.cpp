#include "platform/IniDocument.h"

#include <utility>

#include <strings.h>

#include <cstdint>

#include "platform/Utf8.h"


namespace rimo::platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool HasBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }




// 1: UTF-16LE without a byte-order mark, 2: UTF-16BE with one, 3: UTF-16BE
// without; 0: none of these (told by the zero bytes of ASCII text).
int Utf16WithoutLeMark(std::string_view text) {
  if (text.size() < 2) return 0;
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  if (at(0) == 0xFE && at(1) == 0xFF) return 2;
  // Without a mark: the first two characters ASCII in UTF-16, an even
  // length; a stray zero byte in 8-bit text is no reason to read UTF-16.
  if (text.size() < 4 || text.size() % 2 != 0) return 0;
  if (at(0) != 0 && at(1) == 0 && at(2) != 0 && at(3) == 0) return 1;
  if (at(0) == 0 && at(1) != 0 && at(2) == 0 && at(3) != 0) return 3;
  return 0;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  std::string converted;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    // UTF-16LE with its byte-order mark: read as UTF-8, written back as it was.
    converted = Utf16LeToUtf8(text.substr(2));
    if (Utf8ToUtf16Le(converted) != text) {
      // Not proper UTF-16 (an odd length, a lone surrogate): read what can be
      // read, but never rewrite it, which would change the other lines.
      doc.raw_ = std::string(text);
      doc.writable_ = false;
    }
    text = converted;
    doc.utf16_ = true;
  } else if (const int order = Utf16WithoutLeMark(text); order != 0) {
    // UTF-16 big-endian, or either order without a byte-order mark: read as
    // such, but never rewritten, which could not keep the file's form.
    std::string little(text.substr(order == 2 ? 2 : 0));
    if (order != 1) {
      for (size_t i = 0; i + 1 < little.size(); i += 2) std::swap(little[i], little[i + 1]);
    }
    converted = Utf16LeToUtf8(little);
    doc.raw_ = std::string(text);
    doc.writable_ = false;
    text = converted;
  } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
    doc.byteOrderMark_ = true;
  } else if (text.find('\0') != std::string_view::npos) {
    // 8-bit text with zero bytes: a rewrite could read back as UTF-16 (or
    // cut the file short for other readers); read, never rewritten.
    doc.raw_ = std::string(text);
    doc.writable_ = false;
  }
  doc.trailingNewline_ = text.empty() || text.back() == '\n';
  const size_t firstBreak = text.find('\n');
  doc.crlf_ = firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r';
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    Line line;
    std::string_view raw = text.substr(pos, end - pos);
    // "\r" ends a line only before "\n"; at the very end it is text.
    if (!raw.empty() && raw.back() == '\r' && end < text.size()) {
      raw.remove_suffix(1);
      line.crlf = true;
    }
    line.text = std::string(raw);
    pos = end + 1;
    std::string_view t = Trim(line.text);
    if (!t.empty() && t.front() == '[') {
      size_t close = t.find(']');
      if (close != std::string_view::npos) {
        line.isSection = true;
        line.name = std::string(Trim(t.substr(1, close - 1)));
      }
    } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
      size_t eq = t.find('=');
      if (eq != std::string_view::npos && eq > 0) {
        line.isKey = true;
        line.name = std::string(Trim(t.substr(0, eq)));
      }
    }
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  bool inSection = false;
  for (const Line& line : lines_) {
    if (line.isSection) {
      inSection = SameName(line.name, section);
    } else if (inSection && line.isKey && SameName(line.name, key)) {
      std::string_view t = Trim(line.text);
      std::string_view value = Trim(t.substr(t.find('=') + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
  }
  return std::nullopt;
}

bool IniDocument::Set(std::string_view section, std::string_view key, const char* value) {
  if (!writable_) return false;
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || HasBreakOrNul(section) || HasBreakOrNul(key) ||
      section.find(']') != section.npos || key.find('=') != key.npos || key.front() == '[' ||
      key.front() == ';' || key.front() == '#') {
    return false;
  }
  if (value != nullptr && HasBreakOrNul(value)) return false;

  // Every section of that name counts as one: the key's first occurrence is
  // the one read, so it is the one changed; every other occurrence goes, so
  // that a deleted or changed key can never be read from a later copy.
  const size_t none = lines_.size();
  size_t firstSection = none;
  size_t insertAfter = none;  // the first section's header or last key line
  bool found = false;
  bool inSection = false;
  bool inFirst = false;
  for (size_t i = 0; i < lines_.size();) {
    Line& line = lines_[i];
    if (line.isSection) {
      inSection = SameName(line.name, section);
      inFirst = inSection && firstSection == none;
      if (inFirst) firstSection = insertAfter = i;
      ++i;
      continue;
    }
    if (inSection && line.isKey && SameName(line.name, key)) {
      if (!found && value != nullptr) {
        line.text = line.name + "=" + value;
        found = true;
        ++i;
      } else {
        found = found || value == nullptr;
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      }
      continue;
    }
    if (inFirst && line.isKey) insertAfter = i;
    ++i;
  }
  if (found || value == nullptr) return true;

  Line keyLine;
  keyLine.isKey = true;
  keyLine.crlf = crlf_;
  keyLine.name = std::string(key);
  keyLine.text = keyLine.name + "=" + value;
  if (firstSection == none) {
    Line header;
    header.isSection = true;
    header.crlf = crlf_;
    header.name = std::string(section);
    header.text = "[" + header.name + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(keyLine));
    trailingNewline_ = true;
    return true;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1), std::move(keyLine));
  return true;
}

std::string IniDocument::Serialise() const {
  if (!writable_) return raw_;
  std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
  for (size_t i = 0; i < lines_.size(); ++i) {
    out += lines_[i].text;
    if (i + 1 < lines_.size() || trailingNewline_) out += lines_[i].crlf ? "\r\n" : "\n";
  }
  return utf16_ ? Utf8ToUtf16Le(out) : out;
}

}  // namespace rimo::platform
