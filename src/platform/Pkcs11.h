// The smart card through PKCS#11: a module loaded by full path (p11-kit's
// proxy, which loads every module the machine registers, or the module named
// by KELO_PKCS11_MODULE), its present tokens, the card holder's certificates
// on them and one PIN check. RFC 7512 "pkcs11:" URIs are read and written
// with p11-kit's URI functions.
//
// Tokens are untrusted input: every value read from one is bounded, and
// nothing here asks for a PIN or logs in, except CheckPin.
//
// Not thread-safe; one thread at a time per Module and its sessions. Two
// Module objects for one module may live at once: the first initialises it
// and finalises it when it goes, the later ones use it as it is.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rimo::platform::pkcs11 {

// The module to load: KELO_PKCS11_MODULE when set and not empty, else
// p11-kit's proxy (by full path).
std::string ModulePath();

// The text of a PKCS#11 return value ("CKR_PIN_INCORRECT"), or its number in
// hexadecimal for values without a name here.
std::string ReturnValueName(CK_RV rv);

// True for the states of a reader or token that another try can mend: the
// device busy or briefly unreachable, the card pulled or the session closed
// in the middle of a read. An absent token, an unknown one or a refusal are
// not among them.
bool IsTransient(CK_RV rv);

class Module {
 public:
  // Loads the module at path (a regular file that defines
  // C_GetFunctionList itself, not through a library it links) and
  // initialises it (with the operating system's locking). nullptr when it cannot be loaded or initialised; *why then
  // says why (with the return value in *rv, CKR_GENERAL_ERROR when the
  // file could not be loaded).
  static std::unique_ptr<Module> Open(const std::string& path, std::string* why, CK_RV* rv = nullptr);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  CK_FUNCTION_LIST* functions() const { return functions_; }
  // The slots that hold a token now.
  CK_RV PresentSlots(std::vector<CK_SLOT_ID>* slots) const;

 private:
  Module() = default;
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* functions_ = nullptr;
  bool initialised_ = false;  // by this object: it finalises
};

// A read-only (or read-write) session on one slot, closed with the object.
class Session {
 public:
  Session(const Module& module, CK_SLOT_ID slot, bool readWrite = false);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // CKR_OK when the session is open.
  CK_RV status() const { return status_; }
  CK_SESSION_HANDLE handle() const { return handle_; }
  CK_FUNCTION_LIST* functions() const { return f_; }
  // The objects matching the template, at most max of them.
  CK_RV Find(const CK_ATTRIBUTE* templ, CK_ULONG count, std::vector<CK_OBJECT_HANDLE>* found, size_t max = 256) const;
  // One attribute's value, refused (CKR_DATA_LEN_RANGE) above maxBytes.
  CK_RV Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* value,
                  size_t maxBytes = 64 * 1024) const;

 private:
  CK_FUNCTION_LIST* f_;
  CK_SESSION_HANDLE handle_ = 0;
  CK_RV status_;
};

// A token's label without its padding (the field is 32 bytes, blank-padded).
std::string TokenLabel(const CK_TOKEN_INFO& info);

// A certificate on a present token that has a key on the same token: a
// private key with the certificate's CKA_ID, or (private objects are hidden
// until a login) a public key with it.
struct TokenCertificate {
  CK_SLOT_ID slot = 0;
  std::string tokenLabel;
  std::vector<uint8_t> der;
  std::string uri;     // the certificate object: token, object, id, type=cert
  std::string keyUri;  // its private key: the same with type=private
};

enum class Search {
  kFound,      // at least one
  kNone,       // no token present, or none holds such a certificate
  kTransient,  // a read failed in a state that another try can mend
  kFailed,     // the URI cannot be read, or a read failed for good
};

// The certificates with a key on the present tokens, in slot order; with a
// URI only those it selects (its token, slot, module and object parts).
// A URI that carries a PIN (pin-value, pin-source) selects nothing.
// *lastError, when given, is the return value behind kTransient or kFailed.
Search FindCertificates(const Module& module, const std::string& uri, std::vector<TokenCertificate>* found,
                        CK_RV* lastError = nullptr);

// True when text is a pkcs11: URI that p11-kit can read and that carries no
// PIN.
bool IsUsableUri(const std::string& text);

// One C_Login as the user on the token in slot, then a logout: CKR_OK when
// the PIN is right, CKR_PIN_INCORRECT or CKR_PIN_LOCKED when it is not. The
// PIN is passed on as it is and never copied here.
CK_RV CheckPin(const Module& module, CK_SLOT_ID slot, const char* pin, size_t length);

// Ends the user's login on every present token labelled tokenLabel, for all
// of this process's sessions with it (PKCS#11 logs a process in, not a
// session). Used after another library (OpenSSL's PKCS#11 engine) logged in
// and left its sessions open.
void LogOut(const Module& module, const std::string& tokenLabel);

}  // namespace rimo::platform::pkcs11
