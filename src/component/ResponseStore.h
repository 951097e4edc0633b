// The users' stored response files: written whole or not at all, and taken
// as present only while they still pass every check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component/ResponseChecks.h"
#include "config/RimoPaths.h"

namespace rimo::component {

class ResponseStore {
 public:
  // paths must outlive this object.
  explicit ResponseStore(const config::CRimoPaths& paths) : paths_(paths) {}

  // True when userId's response file exists and still passes the checks. A
  // file changed on disk, cut short or whose root is gone counts as missing,
  // so that the user is never stuck with it.
  bool HoldsVerified(const wchar_t* userId, ResponseChecks& checks);
  // Replaces userId's response file atomically; failures are traced.
  void Store(const wchar_t* userId, const std::vector<uint8_t>& bytes);

 private:
  std::wstring FilePath(const wchar_t* userId, bool sharedContested = false) const;

  const config::CRimoPaths& paths_;
};

}  // namespace rimo::component
