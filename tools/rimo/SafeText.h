// Text from the data center, a certificate or a file name, made safe to
// print: control characters and bidirectional overrides never reach a
// terminal or a parser as they came.
#pragma once

#include <string>

namespace rimo::tool {

// For a terminal: C0 controls (except tab), DEL, C1 controls, the
// bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069) and bytes that are not UTF-8 become visible escapes
// ("\x1b", "\u202e"); a backslash before 'x', 'u' or another backslash
// is doubled, so an escape is never mistaken for text that looks like one,
// and any other reads as written (registry keys, Windows paths).
std::string Printable(const std::string& utf8);

// A JSON string literal with every control character (C0, DEL, C1) and
// every bidirectional override or isolate escaped as \uXXXX; bytes that are
// not UTF-8 become U+FFFD.
std::string JsonString(const std::string& utf8);

}  // namespace rimo::tool
