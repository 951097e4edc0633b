#include "platform/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace rimo::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

char32_t Sanitise(wchar_t wc) {
  auto c = static_cast<char32_t>(wc);
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
  return c;
}

// Encodes c into out (at least 4 bytes); returns the byte count.
size_t Encode(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace

size_t WideToUtf8(const wchar_t* src, char* dst, size_t dstSize) {
  if (dstSize == 0) return 0;
  size_t used = 0;
  if (src != nullptr) {
    for (; *src != L'\0'; ++src) {
      auto c = static_cast<char32_t>(*src);
      if (c < 0x80) {  // fast path for the usual ASCII text
        if (used + 1 >= dstSize) break;
        dst[used++] = static_cast<char>(c);
        continue;
      }
      char buf[4];
      size_t n = Encode(Sanitise(*src), buf);
      if (used + n >= dstSize) break;
      for (size_t i = 0; i < n; ++i) dst[used++] = buf[i];
    }
  }
  dst[used] = '\0';
  return used;
}

std::string WideToUtf8(std::wstring_view src) {
  std::string out;
  out.reserve(src.size());
  char buf[4];
  for (wchar_t wc : src) {
    size_t n = Encode(Sanitise(wc), buf);
    out.append(buf, n);
  }
  return out;
}

namespace {

// Decodes src, calling emit(c) for each character; an invalid or truncated
// sequence gives one U+FFFD per offending byte.
template <typename Emit>
void DecodeUtf8(std::string_view src, Emit emit) {
  size_t i = 0;
  const size_t n = src.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(src.data());
  while (i < n) {
    const unsigned char b0 = bytes[i];
    if (b0 < 0x80) {
      emit(static_cast<char32_t>(b0));
      ++i;
      continue;
    }
    size_t len;
    char32_t c;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
      len = 2, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
      emit(kReplacement);
      ++i;
      continue;
    }
    bool ok = i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      const unsigned char b = bytes[i + k];
      if ((b & 0xC0) != 0x80) {
        ok = false;
      } else {
        c = (c << 6) | (b & 0x3F);
      }
    }
    if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      emit(kReplacement);
      ++i;
      continue;
    }
    emit(c);
    i += len;
  }
}

}  // namespace

bool IsAscii(std::string_view text) {
  // Eight bytes at a time: the compiler turns this into vector code.
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

void Utf8ToWideInto(std::string_view src, std::wstring* out) {
  // Never more characters than bytes: size once, write in place, trim.
  out->resize(src.size());
  if (IsAscii(src)) {
    std::copy(reinterpret_cast<const unsigned char*>(src.data()),
              reinterpret_cast<const unsigned char*>(src.data()) + src.size(), out->data());
    return;
  }
  wchar_t* dst = out->data();
  DecodeUtf8(src, [&dst](char32_t c) { *dst++ = static_cast<wchar_t>(c); });
  out->resize(static_cast<size_t>(dst - out->data()));
}

std::wstring Utf8ToWide(std::string_view src) {
  std::wstring out;
  Utf8ToWideInto(src, &out);
  return out;
}

std::optional<std::wstring> Utf8ToWideExact(std::string_view src) {
  std::wstring wide = Utf8ToWide(src);
  if (WideToUtf8(wide) != src) return std::nullopt;
  return wide;
}

std::optional<std::string> WideToUtf8Exact(std::wstring_view src) {
  std::string narrow = WideToUtf8(src);
  if (Utf8ToWide(narrow) != src) return std::nullopt;
  return narrow;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::wstring wide;
  wide.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      char32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        wide.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        i += 2;
        continue;
      }
    }
    wide.push_back(static_cast<wchar_t>(unit));
  }
  return WideToUtf8(wide);
}

std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out = "\xFF\xFE";
  auto unit = [&out](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (wchar_t wc : Utf8ToWide(text)) {
    const auto c = static_cast<uint32_t>(wc);
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

locale_t Utf8CType() {
  struct Holder {
    locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    ~Holder() {
      if (locale != static_cast<locale_t>(nullptr)) freelocale(locale);
    }
  };
  static const Holder holder;
  return holder.locale;
}

std::string Utf8ToAscii(std::string_view src, char substitute) {
  if (IsAscii(src)) return std::string(src);
  std::string out(src.size(), '\0');
  char* dst = out.data();
  DecodeUtf8(src, [&dst, substitute](char32_t c) { *dst++ = c < 0x80 ? static_cast<char>(c) : substitute; });
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

}  // namespace rimo::platform
