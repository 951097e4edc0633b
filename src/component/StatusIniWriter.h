// The only writer of the users' status INI files: what each user's own
// query ended with, recorded while the card is inside its alert period.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "crypto/ICertFunctions.h"

namespace rimo::component {

class StatusIniWriter {
 public:
  // certFunctions reads the card's certificate; it must outlive this object.
  explicit StatusIniWriter(crypto::ICertFunctions* certFunctions) : certFunctions_(certFunctions) {}

  // Notes what userId's query ended with, for the update that follows it.
  void QueryEnded(const std::wstring& userId, int32_t outcome, const std::wstring& errorId);
  // Records the outcome noted for userId's own query in its status INI: all
  // keys in one atomic replace, a recorded success never overwritten, and
  // nothing written without a noted outcome of this user or outside the
  // alert period.
  void Update(const wchar_t* userId);

 private:
  bool IsInAlertPeriod();

  crypto::ICertFunctions* certFunctions_;
  std::mutex mutex_;
  // The last query's outcome; guarded by mutex_.
  std::wstring userId_;
  int32_t outcome_ = 0;
  std::wstring errorId_;
  bool noted_ = false;
};

}  // namespace rimo::component
