#include "xml/KeloUtilities.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "diag/MethodTrace.h"
#include "platform/Utf8.h"

namespace rimo::xml {
namespace {

using diag::category::kWebComm;

// Value of a Base64 character, or -1 outside the alphabet.
struct Base64Table {
  int8_t value[256];
  constexpr Base64Table() : value() {
    constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
};
constexpr Base64Table kBase64;

// Each character's six bits already in place for its position in a group
// of four; a character outside the alphabet sets the top bit.
struct Base64GroupTables {
  uint32_t at[4][256];
  constexpr Base64GroupTables() : at() {
    for (int position = 0; position < 4; ++position) {
      for (int c = 0; c < 256; ++c) {
        const int v = Base64Table().value[c];
        at[position][c] = v < 0 ? 0x80000000u : static_cast<uint32_t>(v) << (18 - 6 * position);
      }
    }
  }
};
constexpr Base64GroupTables kGroups;

}  // namespace

int KeloUtilities::ConvertWCharToChar(const wchar_t* text, char* out, int outSize) {
  if (text == nullptr || out == nullptr) return 1;
  const std::string utf8 = platform::WideToUtf8(text);
  if (outSize < 0 || utf8.size() + 1 > static_cast<size_t>(outSize)) return 1;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return 0;
}

int KeloUtilities::ConvertCharToWChar(const char* text, wchar_t* out, int outSize) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"KeloUtilities::ConvertCharToWChar");
  if (text == nullptr || out == nullptr) return 1;
  const std::wstring wide = platform::Utf8ToWide(text);
  if (outSize < 0 || wide.size() + 1 > static_cast<size_t>(outSize)) return 1;
  std::wmemcpy(out, wide.c_str(), wide.size() + 1);
  return 0;
}

int KeloUtilities::DeleteCertStartAndEndMarker(const wchar_t* pem, wchar_t* out, int outSize) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"KeloUtilities::DeleteCertStartAndEndMarker");
  if (pem == nullptr || out == nullptr) return 1;
  std::wstring s = pem;
  auto dropTrailingHyphens = [&s] {
    while (!s.empty() && s.back() == L'-') s.pop_back();
  };
  dropTrailingHyphens();
  size_t last = s.rfind(L'-');
  s = last == std::wstring::npos ? std::wstring() : s.substr(0, last + 1);
  dropTrailingHyphens();
  last = s.rfind(L'-');
  s = last == std::wstring::npos ? std::wstring() : s.substr(last + 1);
  std::wstring body;
  for (wchar_t c : s) {
    if (c != L' ' && c != L'\n' && c != L'\r' && c != L'\t') body.push_back(c);
  }
  if (outSize < 0 || body.size() + 1 > static_cast<size_t>(outSize)) return 1;
  std::wmemcpy(out, body.c_str(), body.size() + 1);
  return 0;
}

int KeloUtilities::Base64DecodeByteArray(const char* text, uint32_t textLength, uint8_t* out, int outSize) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"KeloUtilities::Base64DecodeByteArray");
  if (text == nullptr || textLength == 0 || (out == nullptr && outSize != -1)) return 0;
  // The text ends at '=' or at the first character outside the alphabet.
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  if (outSize == -1) {
    uint32_t valid = 0;
    while (valid < textLength && kBase64.value[in[valid]] >= 0) ++valid;
    return static_cast<int>(uint64_t{valid / 4} * 3 + (valid % 4 >= 2 ? valid % 4 - 1 : 0));
  }
  if (outSize <= 0) return 0;
  const auto limit = static_cast<uint64_t>(outSize);
  uint64_t written = 0;
  uint32_t i = 0;
  // Whole groups of four valid characters while three more bytes fit.
  while (i + 4 <= textLength && written + 3 <= limit) {
    const uint32_t v = kGroups.at[0][in[i]] | kGroups.at[1][in[i + 1]] | kGroups.at[2][in[i + 2]] |
                       kGroups.at[3][in[i + 3]];
    if ((v & 0x80000000u) != 0) break;
    out[written++] = static_cast<uint8_t>(v >> 16);
    out[written++] = static_cast<uint8_t>(v >> 8);
    out[written++] = static_cast<uint8_t>(v);
    i += 4;
  }
  // The rest: a partial last group, or whatever still fits of the next one.
  uint32_t v = 0;
  uint32_t have = 0;
  for (; have < 4 && i + have < textLength; ++have) {
    const int x = kBase64.value[in[i + have]];
    if (x < 0) break;
    v |= static_cast<uint32_t>(x) << (18 - 6 * have);
  }
  const uint8_t bytes[3] = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  for (uint32_t k = 0; k + 1 < have && written < limit; ++k) out[written++] = bytes[k];
  return static_cast<int>(written);
}

bool KeloUtilities::SplitVersionString(const char* version, const void* second, int* major, int* minor, int* patch,
                                       char* letter) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"KeloUtilities::SplitVersionString");
  if (version == nullptr || second == nullptr) return false;
  const std::string v = version;
  const size_t p = v.find('.');
  size_t q = std::string::npos;
  for (size_t i = v.size(); i-- > 0;) {
    if (v[i] < '0' || v[i] > '9') {
      q = i;
      break;
    }
  }
  const bool hasLetter = !(q == p);
  if (!hasLetter) q = v.empty() ? 0 : v.size() - 1;
  if (major != nullptr) *major = std::atoi(v.substr(0, p).c_str());
  std::string middle;
  if (p != std::string::npos && p + 1 <= v.size()) {
    // From the dot up to (not including) the letter, or to the end.
    const size_t end = hasLetter ? q : v.size();
    middle = end > p + 1 ? v.substr(p + 1, end - p - 1) : std::string();
  }
  if (middle.size() <= 1) {
    if (minor != nullptr) *minor = std::atoi(middle.c_str());
    if (patch != nullptr) *patch = 0;
  } else {
    if (minor != nullptr) *minor = std::atoi(middle.substr(0, 1).c_str());
    if (patch != nullptr) *patch = std::atoi(middle.substr(1).c_str());
  }
  if (letter != nullptr) *letter = (hasLetter && q < v.size()) ? v[q] : '\0';
  return true;
}

bool KeloUtilities::SplitUserId(const wchar_t* userId, wchar_t* first, wchar_t* second) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"KeloUtilities::SplitUserId");
  if (userId == nullptr || std::wcslen(userId) != 20) return false;
  if (first != nullptr) {
    std::wmemcpy(first, userId, 17);
    first[17] = L'\0';
  }
  if (second != nullptr) std::wmemcpy(second, userId + 17, 4);
  return true;
}

}  // namespace rimo::xml
