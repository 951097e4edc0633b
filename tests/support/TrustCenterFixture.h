// A sandboxed machine with the plug-ins of build/lib and a root store, plus
// one test PKI generated per test program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "pki/Pki.h"
#include "support/ConfigSandbox.h"

namespace rimo::testing {

// Keys are slow to make: every test of a program shares these.
struct SharedPki {
  pki::TrustCenter genuine;     // "CA QUANDEL" root and a proper signer
  pki::Key otherRootKey;        // for roots that are not the maker's
  pki::Key otherSignerKey;
  static const SharedPki& Get();
};

// The verification code of a TC response checked with the real signature,
// chain, locality and root checks against the current root store: 0 when it
// passes, else the first check that failed.
uint32_t VerificationCode(const std::string& document);

class TrustCenterSandbox {
 public:
  // The sandbox's system directory is libDir (where the plug-ins are);
  // the genuine root is installed unless installRoot is false.
  explicit TrustCenterSandbox(const std::string& libDir = RIMO_LIB_DIR, bool installRoot = true);

  std::string StoreDir() const { return box_.Path("etc/ssl/certs"); }
  void Install(const pki::Cert& root) { pki::InstallRoot(root, StoreDir()); }
  ConfigSandbox& box() { return box_; }

 private:
  ConfigSandbox box_;
};

}  // namespace rimo::testing
