// The machine root store: the hashed certificate directory
// $KELO_ROOT/etc/ssl/certs/ (PEM files with <subject-hash>.N links).
#pragma once

#include <memory>
#include <string>

#include "crypto/OpenSslHandles.h"

namespace rimo::crypto {

class RootStore {
 public:
  static std::string Directory();

  // The store for the current directory. Shared between calls and threads
  // while the directory's path and modification time stay the same; a new
  // store is made when either changes.
  static std::shared_ptr<X509_STORE> Current();
};

}  // namespace rimo::crypto
