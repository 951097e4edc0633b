// UTF-8 <-> wide (UTF-32) conversion that never depends on the process locale.
#pragma once

#include <locale.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rimo::platform {

// Converts src (may be null: empty result) into dst of dstSize bytes, always
// zero-terminated when dstSize > 0. The text is cut at a character boundary
// so that at most dstSize - 1 bytes are written. Characters that are not
// Unicode scalar values become U+FFFD. Returns the number of bytes written.
size_t WideToUtf8(const wchar_t* src, char* dst, size_t dstSize);

std::string WideToUtf8(std::wstring_view src);

// Invalid or truncated sequences become U+FFFD, one per offending byte.
std::wstring Utf8ToWide(std::string_view src);
// The same into out, whose room is reused.
void Utf8ToWideInto(std::string_view src, std::wstring* out);

// Conversions for paths, which must name exactly the file they came from:
// nullopt unless the text converts back to the very same bytes or
// characters (invalid UTF-8, lone surrogates and the like fail).
std::optional<std::wstring> Utf8ToWideExact(std::string_view src);
std::optional<std::string> WideToUtf8Exact(std::wstring_view src);

// UTF-16LE bytes (no BOM; surrogate pairs joined) as UTF-8, and UTF-8 as
// UTF-16LE bytes with a BOM in front.
std::string Utf16LeToUtf8(std::string_view bytes);
std::string Utf8ToUtf16Le(std::string_view text);

// The C.UTF-8 character classes (for towupper_l and the like), independent
// of the process locale; null when the system lacks them. Freed at unload.
locale_t Utf8CType();

// One byte per character of src: the character itself when it is ASCII,
// substitute otherwise (also for each byte of an invalid sequence).
std::string Utf8ToAscii(std::string_view src, char substitute);

// True when every byte of text is below 0x80.
bool IsAscii(std::string_view text);

}  // namespace rimo::platform
