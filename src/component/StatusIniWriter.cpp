#include "component/StatusIniWriter.h"

#include "config/StatusIni.h"
#include "config/WizardProperties.h"
#include "diag/MethodTrace.h"
#include "rimo/RimoStatusCodes.h"

namespace rimo::component {

using diag::category::kDataDll;

void StatusIniWriter::QueryEnded(const std::wstring& userId, int32_t outcome, const std::wstring& errorId) {
  std::lock_guard<std::mutex> guard(mutex_);
  userId_ = userId;
  outcome_ = outcome;
  errorId_ = errorId;
  noted_ = true;
}

void StatusIniWriter::Update(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::UpdateStatusIni");
  int32_t outcome;
  std::wstring errorId;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // Another user's outcome is never recorded for this one.
    if (!noted_ || userId == nullptr || userId_ != userId) return;
    outcome = outcome_;
    errorId = errorId_;
  }
  config::CStatusIni ini(userId);
  if (!IsInAlertPeriod()) return;
  // A recorded success is never overwritten.
  if (ini.FileExists() && ini.GetIniValueBool(config::CStatusIni::kSection, config::CStatusIni::kQuerySucceeded, false)) {
    return;
  }
  const bool succeeded = outcome == codes::kOutcomeReceived || outcome == codes::kOutcomeNoPackage;
  ini.RecordQuery(succeeded, succeeded && outcome == codes::kOutcomeReceived, succeeded ? nullptr : errorId.c_str());
}

bool StatusIniWriter::IsInAlertPeriod() {
  int64_t notAfter = 0;
  if (!certFunctions_->GetCertificateNotAfter(&notAfter)) return false;
  const int32_t days = certFunctions_->GetDaysUntil(notAfter);
  config::CWizardProperties settings;
  if (!settings.ReadAlerts() || settings.Alerts().empty()) return false;
  return days <= settings.Alerts().front();
}

}  // namespace rimo::component
