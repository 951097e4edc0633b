#include "platform/IniDocument.h"

#include <strings.h>


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


}  // namespace

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
    doc.byteOrderMark_ = true;
  }
  doc.trailingNewline_ = text.empty() || text.back() == '\n';
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    Line line;
    line.text = std::string(text.substr(pos, end - pos));
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
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || HasBreakOrNul(section) || HasBreakOrNul(key) ||
      section.find(']') != section.npos || key.find('=') != key.npos || key.front() == '[' ||
      key.front() == ';' || key.front() == '#') {
    return false;
  }
  if (value != nullptr && HasBreakOrNul(value)) return false;

  // Find the section (first one of that name) and the key inside it.
  const size_t none = lines_.size();
  size_t sectionLine = none;
  size_t lastContent = none;  // the section's header or last key line
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].isSection) {
      if (sectionLine != none) break;  // the section ended
      if (SameName(lines_[i].name, section)) sectionLine = lastContent = i;
      continue;
    }
    if (sectionLine == none) continue;
    if (lines_[i].isKey && SameName(lines_[i].name, key)) {
      if (value == nullptr) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        lines_[i].text = lines_[i].name + "=" + value;
      }
      return true;
    }
    if (lines_[i].isKey) lastContent = i;
  }
  if (value == nullptr) return true;  // nothing to delete

  Line keyLine;
  keyLine.isKey = true;
  keyLine.name = std::string(key);
  keyLine.text = keyLine.name + "=" + value;
  if (sectionLine == none) {
    trailingNewline_ = true;
    Line header;
    header.isSection = true;
    header.name = std::string(section);
    header.text = "[" + header.name + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(keyLine));
    return true;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastContent + 1), std::move(keyLine));
  return true;
}

std::string IniDocument::Serialise() const {
  std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
  for (size_t i = 0; i < lines_.size(); ++i) {
    out += lines_[i].text;
    if (i + 1 < lines_.size() || trailingNewline_) out += '\n';
  }
  return out;
}

}  // namespace rimo::platform
