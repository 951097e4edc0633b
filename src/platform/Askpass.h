// The stand-in for the platform's credential and certificate dialogs: the
// helper program named by KELO_ASKPASS, run without a shell as
//   PROG proxy URL          prints user:password
//   PROG client-cert HOST   reads the candidate certificates of the present
//                           tokens on standard input (one "pkcs11:" URI and
//                           subject a line) and prints a URI or the path of a
//                           PEM file (certificate and key)
//   PROG pin TOKEN          prints the PIN of the token labelled TOKEN
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace rimo::platform {

// What the helper printed on its first line, without the line end; nullopt
// when there is no helper, it cannot be started, it fails (exit status not
// 0), prints nothing, or runs longer than timeoutMs (then it is killed).
// Counts as the user cancelling the dialog. The answer never goes to a trace.
// input goes to the helper's standard input (which then ends); a helper that
// does not read it is not waited for.
std::optional<std::string> AskHelper(const std::string& kind, const std::string& subject, int timeoutMs = 120000,
                                     const std::string& input = "");

// A secret answer (a PIN): held in one fixed buffer that is never copied or
// moved in memory and is wiped when the object goes.
class SecretText {
 public:
  static constexpr size_t kCapacity = 4096;
  SecretText() = default;
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  const char* data() const { return bytes_; }
  size_t size() const { return size_; }
  // Wipes the text now.
  void Wipe();

 private:
  friend std::unique_ptr<SecretText> AskSecret(const std::string&, const std::string&, int);
  char bytes_[kCapacity + 1] = {};
  size_t size_ = 0;
};

// As AskHelper, for an answer that is a secret: it is read straight into the
// returned buffer, and every other copy of it is wiped. nullptr as nullopt
// above.
std::unique_ptr<SecretText> AskSecret(const std::string& kind, const std::string& subject, int timeoutMs = 120000);

}  // namespace rimo::platform
