#include "rimo/SafeText.h"

#include <cstdint>
#include <cstdio>

namespace rimo::tool {
namespace {

// Decodes one UTF-8 sequence at text[at]; false (and one byte taken) when
// it is not a well-formed one.
bool Decode(const std::string& text, size_t at, char32_t* c, size_t* length) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t b0 = byte(at);
  size_t n = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
  *length = 1;
  if (n == 0 || at + n > text.size()) return false;
  char32_t value = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  static const char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMinimum[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *c = value;
  *length = n;
  return true;
}

// Controls, the line and paragraph separators (a line break to some
// terminals), the bidirectional embeddings, overrides and isolates.
bool Unsafe(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

std::string Hex(const char* format, unsigned value) {
  char buffer[12];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

}  // namespace

std::string Printable(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t at = 0; at < utf8.size();) {
    char32_t c = 0;
    size_t length = 1;
    if (!Decode(utf8, at, &c, &length)) {
      out += Hex("\\x%02x", static_cast<uint8_t>(utf8[at]));
    } else if (c == '\\') {
      // Doubled only where it could be read as the start of an escape, so
      // that a registry key or a Windows path reads as written.
      const char next = at + 1 < utf8.size() ? utf8[at + 1] : '\0';
      out += next == 'x' || next == 'u' || next == '\\' ? "\\\\" : "\\";
    } else if (c != '\t' && Unsafe(c)) {
      out += c < 0x100 ? Hex("\\x%02x", static_cast<unsigned>(c)) : Hex("\\u%04x", static_cast<unsigned>(c));
    } else {
      out.append(utf8, at, length);
    }
    at += length;
  }
  return out;
}

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (size_t at = 0; at < utf8.size();) {
    char32_t c = 0;
    size_t length = 1;
    if (!Decode(utf8, at, &c, &length)) {
      out += "\\ufffd";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (Unsafe(c)) {
      out += Hex("\\u%04x", static_cast<unsigned>(c));
    } else {
      out.append(utf8, at, length);
    }
    at += length;
  }
  return out + "\"";
}

}  // namespace rimo::tool
