#include "config/RimoPaths.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "config/DirectoryLibrary.h"
#include "diag/MethodTrace.h"
#include "platform/Utf8.h"

namespace rimo::config {
namespace {

using diag::category::kSuppLib;
constexpr size_t kMaxPath = 260;

bool SafeFileName(const wchar_t* userId) {
  if (userId == nullptr || userId[0] == L'\0') return false;
  if (std::wcscmp(userId, L".") == 0 || std::wcscmp(userId, L"..") == 0) return false;
  return std::wcschr(userId, L'/') == nullptr;
}

// The data directory of this component, or empty.
std::string DataDirectory() {
  char dir[kMaxPath];
  if (CDB_GetDataDir(kComponentId, dir, sizeof dir, true, kDataCategory, kDataVersion) != kResultOk) return {};
  return dir;
}

}  // namespace

bool CRimoPaths::UsableUserId(const wchar_t* userId) {
  // Only Unicode characters (no lone surrogate, nothing above U+10FFFF):
  // an ID must name the same files and the same request wherever it goes.
  return SafeFileName(userId) && platform::WideToUtf8Exact(userId).has_value();
}

bool CRimoPaths::GetResponseFilePath(const wchar_t* userId, wchar_t* out) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetResponseFilePath");
  if (out == nullptr || !SafeFileName(userId)) return false;
  const std::string dir = DataDirectory();
  if (dir.empty()) return false;
  // The path must name exactly the directory found: a byte that is not
  // UTF-8 would otherwise become another character.
  const auto wideDir = platform::Utf8ToWideExact(dir);
  if (!wideDir || !platform::WideToUtf8Exact(userId)) return false;
  const std::wstring path = *wideDir + L"Response/" + userId + L".xml";
  if (path.size() >= kMaxPath) return false;
  std::wmemcpy(out, path.c_str(), path.size() + 1);
  return true;
}

bool CRimoPaths::GetStatusIniPath(const wchar_t* userId, char* out) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetStatusIniPath");
  if (out == nullptr || !SafeFileName(userId)) return false;
  const std::string dir = DataDirectory();
  if (dir.empty()) return false;
  const auto narrowId = platform::WideToUtf8Exact(userId);
  if (!narrowId) return false;
  const std::string path = dir + "Status/" + *narrowId + ".ini";
  if (path.size() >= kMaxPath) return false;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

bool CRimoPaths::LibraryPath(const char* fileName, char* out, size_t outSize) const {
  if (out == nullptr || outSize == 0) return false;
  char dir[kMaxPath] = {};
  const bool found = CDB_GetSystemDir(dir, sizeof dir, 0) == kResultOk;
  const std::string path = std::string(dir) + fileName;
  if (path.size() + 1 > outSize) {
    std::memset(out, 0, outSize);
    return found;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return true;
}

bool CRimoPaths::GetCardBaseLibraryPath(char* out, size_t outSize) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetCardBaseLibraryPath");
  return LibraryPath(kCardBaseLibrary, out, outSize);
}

bool CRimoPaths::GetAsn1LibraryPath(char* out, size_t outSize) const {
  RIMO_METHOD_TRACE(kSuppLib, L"CRimoPaths::GetAsn1LibraryPath");
  return LibraryPath(kAsn1Library, out, outSize);
}

}  // namespace rimo::config
