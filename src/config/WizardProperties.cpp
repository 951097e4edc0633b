#include "config/WizardProperties.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/DirectoryLibrary.h"
#include "config/RimoPaths.h"
#include "diag/MethodTrace.h"

namespace rimo::config {

using diag::category::kSuppLib;

CWizardProperties::CWizardProperties() {
  RIMO_METHOD_TRACE(kSuppLib, L"CWizardProperties::CWizardProperties");
  char dir[FileOperations::CIniFileBase::kMaxPath] = {};
  CDB_GetKonfigDir(kComponentId, dir, sizeof dir);
  SetFilePath((std::string(dir) + "WizardProperties.ini").c_str());
  SetTraceCategory(kSuppLib);
}

void CWizardProperties::ReadCacheProperties() {
  if (cacheProperties_ == -1) cacheProperties_ = GetIniValueBool("Allgemein", "cacheProperties", true) ? 1 : 0;
}

bool CWizardProperties::GetStoreResponse() {
  RIMO_METHOD_TRACE(kSuppLib, L"CWizardProperties::GetStoreResponse");
  if (storeResponse_ != -1) return storeResponse_ == 1;
  const bool value = GetIniValueBool("Allgemein", "storeResponse", true);
  ReadCacheProperties();
  if (cacheProperties_ == 1) storeResponse_ = value ? 1 : 0;
  return value;
}

bool CWizardProperties::ReadAlerts() {
  RIMO_METHOD_TRACE(kSuppLib, L"CWizardProperties::ReadAlerts");
  if (!alerts_.empty()) {
    ReadCacheProperties();
    if (cacheProperties_ == 1) return true;
  }
  alerts_.clear();
  const int32_t last = GetIniValueInt("PlugInInfos", "NonSuspendableAlerts", 0);
  char text[30] = {};
  if (GetIniValueString("PlugInInfos", "SuspendableAlerts", text, sizeof text, "") && text[0] != '\0') {
    const char* p = text;
    for (;;) {
      int32_t days = std::atoi(p);
      if (days != 0) alerts_.push_back(days);
      p = std::strchr(p, ',');
      if (p == nullptr) break;
      ++p;
    }
  }
  alerts_.push_back(last);
  return !alerts_.empty();
}

bool CWizardProperties::GetAlerts(int32_t* alerts, int32_t capacity) {
  RIMO_METHOD_TRACE(kSuppLib, L"CWizardProperties::GetAlerts");
  if (!ReadAlerts() || alerts == nullptr || capacity < 0 || alerts_.size() > static_cast<size_t>(capacity)) {
    return false;
  }
  std::copy(alerts_.begin(), alerts_.end(), alerts);
  return true;
}

}  // namespace rimo::config
