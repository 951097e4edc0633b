// OpenSSL's engine interface is deprecated in 3.0, yet it is how the PKCS#11
// engine Debian ships is reached.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "webcomm/TokenKey.h"

#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <cstring>

#include "platform/Pkcs11.h"

namespace WebCommLib {
namespace {

// The engine's file in OpenSSL's engine directory.
std::string EnginePath() {
  // "ENGINESDIR: "/usr/lib/x86_64-linux-gnu/engines-3""
  const std::string text = OpenSSL_version(OPENSSL_ENGINES_DIR);
  const size_t open = text.find('"');
  const size_t close = text.rfind('"');
  if (open == std::string::npos || close <= open) return "";
  return text.substr(open + 1, close - open - 1) + "/pkcs11.so";
}

// What OpenSSL's error queue says, emptied.
std::string DrainErrors() {
  std::string text;
  unsigned long code = 0;
  while ((code = ERR_get_error()) != 0) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

// The engine gets the PIN through its "PIN" command, which copies it whole
// (its dialog takes 32 bytes at most): its dialog is never needed, and
// answers nothing, so that a retry inside the engine can never ask again.
int ReadNothing(UI*, UI_STRING* uis) {
  switch (UI_get_string_type(uis)) {
    case UIT_PROMPT:
    case UIT_VERIFY:
      return 0;
    default:
      return 1;
  }
}

// Nothing is shown on a terminal.
int WriteNothing(UI*, UI_STRING*) { return 1; }

struct UiMethodDeleter {
  void operator()(UI_METHOD* method) const { UI_destroy_method(method); }
};

}  // namespace

struct TokenKey::Engine {
  ENGINE* engine = nullptr;
  bool initialised = false;
  ~Engine() {
    if (engine == nullptr) return;
    if (initialised) ENGINE_finish(engine);
    ENGINE_free(engine);
  }
};

std::unique_ptr<TokenKey> TokenKey::Load(const std::string& modulePath, const std::string& tokenLabel,
                                         const std::string& keyUri,
                                         const std::vector<uint8_t>& certDer, const char* pin, size_t pinLength,
                                         std::string* why) {
  ERR_clear_error();
  std::unique_ptr<TokenKey> key(new TokenKey());
  key->modulePath_ = modulePath;
  key->tokenLabel_ = tokenLabel;
  const unsigned char* p = certDer.data();
  key->certificate_ = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
  if (key->certificate_ == nullptr) {
    *why = "the token's certificate cannot be read";
    return nullptr;
  }
  const std::string enginePath = EnginePath();
  // The engine stays mapped when OpenSSL unloads it: what it registered
  // with OpenSSL (methods, indexes) must still find its code.
  if (void* pinned = dlopen(enginePath.c_str(), RTLD_NOW | RTLD_NODELETE)) dlclose(pinned);
  key->engine_ = std::make_unique<Engine>();
  key->engine_->engine = ENGINE_by_id("dynamic");
  ENGINE* e = key->engine_->engine;
  if (e == nullptr || !ENGINE_ctrl_cmd_string(e, "SO_PATH", enginePath.c_str(), 0) ||
      !ENGINE_ctrl_cmd_string(e, "ID", "pkcs11", 0) || !ENGINE_ctrl_cmd_string(e, "LIST_ADD", "0", 0) ||
      !ENGINE_ctrl_cmd_string(e, "LOAD", nullptr, 0) ||
      !ENGINE_ctrl_cmd_string(e, "MODULE_PATH", modulePath.c_str(), 0) ||
      // What goes wrong is told by our own reason, not on standard error.
      !ENGINE_ctrl_cmd_string(e, "QUIET", nullptr, 1)) {
    *why = "OpenSSL's PKCS#11 engine (" + enginePath + ") cannot be loaded: " + DrainErrors();
    return nullptr;
  }
  if (!ENGINE_init(e)) {
    *why = "OpenSSL's PKCS#11 engine cannot be started: " + DrainErrors();
    return nullptr;
  }
  key->engine_->initialised = true;
  // The command takes a C string: the PIN must be one, whole.
  if (pin == nullptr || std::strlen(pin) != pinLength || !ENGINE_ctrl_cmd_string(e, "PIN", pin, 0)) {
    *why = "the PIN cannot be handed to OpenSSL's PKCS#11 engine";
    DrainErrors();
    return nullptr;
  }
  std::unique_ptr<UI_METHOD, UiMethodDeleter> ui(UI_create_method("rimo token PIN"));
  if (ui == nullptr || UI_method_set_reader(ui.get(), &ReadNothing) != 0 ||
      UI_method_set_writer(ui.get(), &WriteNothing) != 0) {
    *why = "no PIN dialog for the engine";
    return nullptr;
  }
  key->key_ = ENGINE_load_private_key(e, keyUri.c_str(), ui.get(), nullptr);
  if (key->key_ == nullptr) {
    *why = "the token's private key cannot be used: " + DrainErrors();
    return nullptr;
  }
  if (X509_check_private_key(key->certificate_, key->key_) != 1) {
    *why = "the token's private key does not belong to its certificate";
    DrainErrors();
    return nullptr;
  }
  return key;
}

TokenKey::~TokenKey() {
  EVP_PKEY_free(key_);
  X509_free(certificate_);
  const bool loggedIn = engine_ != nullptr && engine_->initialised;
  engine_.reset();
  if (!loggedIn) return;
  // The engine keeps the module initialised and its sessions open (it never
  // finalises the module): the login is ended here.
  std::string why;
  if (const auto module = rimo::platform::pkcs11::Module::Open(modulePath_, &why)) {
    rimo::platform::pkcs11::LogOut(*module, tokenLabel_);
  }
}

std::string SubjectLine(const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
  if (cert == nullptr) return "";
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (bio == nullptr ||
      X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
    return "";
  }
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  std::string line(data != nullptr && n > 0 ? data : "", n > 0 ? static_cast<size_t>(n) : 0);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

}  // namespace WebCommLib
