// The machine root store: the hashed certificate directory
// $KELO_ROOT/etc/ssl/certs/ (PEM files reached through "<subject-hash>.N"
// entries, as `openssl rehash` makes them).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "crypto/OpenSslHandles.h"

namespace rimo::crypto {

class RootStore {
 public:
  static std::string Directory();

  // Every certificate of the store whose subject equals name as OpenSSL
  // compares names (canonical form, so without regard to case), from every
  // "<hash>.N" entry whatever its N and whatever gaps lie between them. In a
  // stable order that does not depend on the entries' names.
  //
  // Never stale: each call (or each OneLook, see there) checks every file it uses (device, inode, size,
  // modification and change time, through links) and the directory listing,
  // and reads again what changed; a file changed within the timestamps'
  // granularity of its last reading is read again too. Thread-safe; the
  // certificates are shared and must not be changed.
  static std::vector<std::shared_ptr<X509>> Candidates(const X509_NAME* name);

  // True when the store's directory exists.
  static bool Present();

  // While one lives on a thread, the store's files are checked on the first
  // call of Candidates only: the calls of one check (the chain, then the
  // maker's root) see the store as it was then. Scopes may nest.
  class OneLook {
   public:
    OneLook();
    ~OneLook();
    OneLook(const OneLook&) = delete;
    OneLook& operator=(const OneLook&) = delete;
  };

  // Forgets everything read so far (tests and benchmarks).
  static void Flush();
};

}  // namespace rimo::crypto
