#include "config/StatusIni.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "config/RimoPaths.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Utf8.h"

namespace rimo::config {

using diag::category::kSuppLib;

CStatusIni::CStatusIni(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kSuppLib, L"CStatusIni::CStatusIni");
  SetTraceCategory(kSuppLib);
  if (userId == nullptr) {
    diag::TraceWrite(diag::Error, kSuppLib, L"Die User-ID wurde nicht angegeben - FALSE PARAMETER");
    return;
  }
  userId_ = userId;
  hasUserId_ = true;
  char path[kMaxPath] = {};
  if (CRimoPaths().GetStatusIniPath(userId, path)) SetFilePath(path);
}

bool CStatusIni::FileExists() {
  if (!fileExists_ && FilePath()[0] != '\0' && access(FilePath(), F_OK) == 0) fileExists_ = true;
  return fileExists_;
}

void CStatusIni::SetErrorInfoRZ(const wchar_t* text) {
  RIMO_METHOD_TRACE(kSuppLib, L"CStatusIni::SetErrorInfoRZ");
  if (text == nullptr) {
    SetIniValueString(kSection, kErrorInfoRz, nullptr);
    return;
  }
  if (std::wcslen(text) != 9) return;
  const std::string narrow = platform::Utf8ToAscii(platform::WideToUtf8(text), '?');
  SetIniValueString(kSection, kErrorInfoRz, narrow.c_str());
}

bool CStatusIni::RecordQuery(bool succeeded, bool packageExists, const wchar_t* errorId) {
  RIMO_METHOD_TRACE(kSuppLib, L"CStatusIni::RecordQuery");
  constexpr wchar_t kSetBool[] = L"FileOperations::CIniFileBase::SetIniValueBool";
  constexpr wchar_t kSetError[] = L"CStatusIni::SetErrorInfoRZ";
  std::vector<KeyValue> values;
  std::string error;
  if (succeeded) {
    values = {{kQuerySucceeded, "1", kSetBool}, {kErrorInfoRz, nullptr, kSetError},
              {kPackageExists, packageExists ? "1" : "0", kSetBool}};
  } else {
    // An identifier of exactly 9 characters is recorded, any other not.
    if (errorId != nullptr && std::wcslen(errorId) == 9) {
      error = platform::Utf8ToAscii(platform::WideToUtf8(errorId), '?');
      values.push_back({kErrorInfoRz, error.c_str(), kSetError});
    }
    values.push_back({kQuerySucceeded, "0", kSetBool});
    values.push_back({kPackageExists, "0", kSetBool});
  }
  if (SetIniValues(kSection, values)) return true;
  // Another user's file (or something else) took the file's place after
  // its path was chosen: the record is written in the user's own folder.
  if (errno != EPERM && errno != EINVAL) return false;
  char path[kMaxPath] = {};
  if (!hasUserId_ || !CRimoPaths().GetStatusIniPath(userId_.c_str(), path, true) ||
      std::strcmp(path, FilePath()) == 0) {
    return false;
  }
  SetFilePath(path);
  fileExists_ = false;
  return SetIniValues(kSection, values);
}

bool CStatusIni::MakeFolder(const std::string& folder) { return CRimoPaths::MakeFolderOf(folder); }

}  // namespace rimo::config
