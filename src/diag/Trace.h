// Free trace functions. Nothing is converted or formatted unless the trace
// system reports the level as traced; tracing never throws.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "diag/TraceLevel.h"
#include "diag/TraceSystemAdapter.h"

namespace rimo::diag {

// Writes text as one line under category.
void TraceWrite(int32_t level, const wchar_t* category, const wchar_t* text);
// The same for narrow (UTF-8) category and text.
void TraceWriteA(int32_t level, const char* category, const char* text);

namespace detail {

inline constexpr size_t kMaxTextBytes = 4095;

// Formats with wide printf rules in which %s and %S both take a string
// argument: a wide string as it is, a narrow one decoded from UTF-8. A text
// longer than a line is cut to its first characters, then to kMaxTextBytes
// of UTF-8; the category to 127 bytes. A format the runtime rejects gives
// what was formatted before the fault.
std::wstring TranslateFormat(const wchar_t* format);
std::wstring FormatWide(const wchar_t* format, ...);
void WriteFormatted(int32_t level, const wchar_t* category, const std::wstring& text);

template <typename T>
struct PassArg {
  T value;
  T get() const { return value; }
};

struct NarrowArg {
  std::wstring text;
  const wchar_t* get() const { return text.c_str(); }
};

NarrowArg MakeNarrowArg(const char* s);

template <typename T>
auto MakeArg(T value) {
  if constexpr (std::is_same_v<std::decay_t<T>, const char*> || std::is_same_v<std::decay_t<T>, char*>) {
    return MakeNarrowArg(value);
  } else {
    static_assert(std::is_arithmetic_v<T> || std::is_pointer_v<T> || std::is_enum_v<T>,
                  "trace arguments are numbers, enums and string pointers");
    return PassArg<T>{value};
  }
}

}  // namespace detail

template <typename... Args>
void TraceWriteFormat(int32_t level, const wchar_t* category, const wchar_t* format, Args... args) {
  if (category == nullptr || category[0] == L'\0' || format == nullptr) return;
  if (!TraceSystemAdapter::Instance().ShouldTrace(level)) return;
  try {
    std::wstring translated = detail::TranslateFormat(format);
    auto held = std::make_tuple(detail::MakeArg(args)...);
    std::wstring text = std::apply(
        [&](const auto&... a) { return detail::FormatWide(translated.c_str(), a.get()...); }, held);
    detail::WriteFormatted(level, category, text);
  } catch (...) {
    // Dropped: tracing never throws into the traced code.
  }
}

}  // namespace rimo::diag
