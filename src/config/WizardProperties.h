// The reload wizard's settings from WizardProperties.ini (read-only here).
#pragma once

#include <cstdint>
#include <vector>

#include "config/IniFileBase.h"

namespace rimo::config {

// Not thread-safe; the component uses it from one thread at a time.
class CWizardProperties : public FileOperations::CIniFileBase {
 public:
  // Locates the settings file in the component's configuration directory.
  CWizardProperties();

  // "Allgemein"/"storeResponse" (default true).
  bool GetStoreResponse();
  // Fills the alert periods in days; true when the list is not empty.
  bool ReadAlerts();
  // Copies the alert periods into alerts (capacity entries); false, copying
  // nothing, when they do not fit.
  bool GetAlerts(int32_t* alerts, int32_t capacity);

  const std::vector<int32_t>& Alerts() const { return alerts_; }

 private:
  void ReadCacheProperties();

  int32_t cacheProperties_ = -1;
  int32_t storeResponse_ = -1;
  std::vector<int32_t> alerts_;
};

}  // namespace rimo::config
