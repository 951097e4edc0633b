// An INI file as text: "[section]" lines and "key=value" lines. Names
// compare without regard to ASCII case; every other line is kept as it is,
// each with its own line end. UTF-8 (with or without BOM) and UTF-16LE with
// BOM are read and written back in their encoding.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rimo::platform {

class IniDocument {
 public:
  // Never fails: lines that are neither a section, a key nor blank/comment
  // are kept untouched and otherwise ignored.
  static IniDocument Parse(std::string_view text);

  // The value of key in section, with surrounding blanks and one pair of
  // surrounding double quotes removed; nullopt when absent. Keys before the
  // first section header belong to no section and are never found.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;

  // Sets key to value, adding the section and key when missing; a null value
  // (false, changing nothing, for a UTF-16 file that is not proper UTF-16).
  // A null value
  // removes the key. Sections of the same name count as one: the first
  // occurrence of the key (the one Get reads) is changed and every other
  // occurrence removed; a delete removes them all. Names and values with line breaks or NUL bytes, section
  // names with ']', key names with '=' or leading '[' or ';' are refused (false).
  bool Set(std::string_view section, std::string_view key, const char* value);

  std::string Serialise() const;

 private:
  struct Line {
    std::string text;  // without its line end
    bool crlf = false;  // ended with "\r\n"
    bool isSection = false;
    bool isKey = false;
    std::string name;  // section or key name, trimmed
  };
  std::vector<Line> lines_;
  bool trailingNewline_ = true;
  bool byteOrderMark_ = false;  // written back as it was read
  bool utf16_ = false;          // UTF-16LE with BOM, written back so
  bool crlf_ = false;           // the file's own line ends, for new lines
  bool writable_ = true;        // false for UTF-16 that does not convert back exactly
  std::string raw_;             // the input, when it is not writable
};

}  // namespace rimo::platform
