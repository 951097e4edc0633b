#include "diag/Trace.h"

#include <cstdarg>
#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/Utf8.h"

namespace rimo::diag {

// Tracing never throws into the traced code: whatever fails, the line is lost.
void TraceWrite(int32_t level, const wchar_t* category, const wchar_t* text) {
  try {
    TraceSystemAdapter& adapter = TraceSystemAdapter::Instance();
    if (!adapter.ShouldTrace(level)) return;
    adapter.Write(level, category, text);
  } catch (...) {
  }
}

void TraceWriteA(int32_t level, const char* category, const char* text) {
  try {
    TraceSystemAdapter& adapter = TraceSystemAdapter::Instance();
    if (!adapter.ShouldTrace(level)) return;
    adapter.Write(level, category, text);
  } catch (...) {
  }
}

namespace detail {

NarrowArg MakeNarrowArg(const char* s) {
  return NarrowArg{s == nullptr ? std::wstring(L"(null)") : platform::Utf8ToWide(s)};
}

std::wstring TranslateFormat(const wchar_t* format) {
  // The C library's wide printf takes a narrow string for %s; every string
  // argument reaches it as a wide string, so both %s and %S become %ls.
  std::wstring out;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    out.push_back(*p);
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') {
      out.push_back(*p);
      continue;
    }
    // Flags, width, precision and length up to the conversion character.
    while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*hlLqjzt", *p) != nullptr) {
      if (*p != L'h' || (p[1] != L's' && p[1] != L'S')) out.push_back(*p);
      ++p;
    }
    if (*p == L'\0') break;
    if (*p == L's' || *p == L'S') {
      if (out.back() != L'l') out.push_back(L'l');
      out.push_back(L's');
    } else {
      out.push_back(*p);
    }
  }
  return out;
}

std::wstring FormatWide(const wchar_t* format, ...) {
  // A line holds at most 4095 bytes, so no more characters are needed. On
  // overflow the C library reports -1 but leaves the text it had room for
  // (unterminated): that prefix is the line, cut.
  std::vector<wchar_t> buf(kMaxTextBytes + 1, L'\0');
  va_list args;
  va_start(args, format);
  const int n = std::vswprintf(buf.data(), buf.size(), format, args);
  va_end(args);
  if (n >= 0) return std::wstring(buf.data(), static_cast<size_t>(n));
  return std::wstring(buf.data(), static_cast<size_t>(std::find(buf.begin(), buf.end(), L'\0') - buf.begin()));
}

void WriteFormatted(int32_t level, const wchar_t* category, const std::wstring& text) {
  char narrowCategory[128];
  char narrowText[kMaxTextBytes + 1];
  platform::WideToUtf8(category, narrowCategory, sizeof narrowCategory);
  platform::WideToUtf8(text.c_str(), narrowText, sizeof narrowText);
  TraceSystemAdapter::Instance().Write(level, narrowCategory, narrowText);
}

}  // namespace detail
}  // namespace rimo::diag
