#include "platform/Pkcs11.h"

#include <dlfcn.h>
#include <link.h>
#include <p11-kit/uri.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#ifndef RIMO_P11KIT_PROXY
#define RIMO_P11KIT_PROXY "p11-kit-proxy.so"
#endif

namespace rimo::platform::pkcs11 {
namespace {

constexpr CK_ULONG kMaxSlots = 256;

struct UriDeleter {
  void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};
using UriPtr = std::unique_ptr<P11KitUri, UriDeleter>;

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

std::string Trimmed(const CK_UTF8CHAR* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// The URI of one object on the token, with the token's label,
// manufacturer, model and serial number.
std::string ObjectUri(const CK_TOKEN_INFO& token, CK_OBJECT_CLASS objectClass, const std::vector<uint8_t>& id,
                      const std::vector<uint8_t>& label) {
  UriPtr uri(p11_kit_uri_new());
  if (uri == nullptr) return "";
  std::memcpy(p11_kit_uri_get_token_info(uri.get()), &token, sizeof token);
  CK_ATTRIBUTE attributes[] = {
      {CKA_CLASS, &objectClass, sizeof objectClass},
      {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
      {CKA_LABEL, const_cast<uint8_t*>(label.data()), label.size()},
  };
  for (CK_ATTRIBUTE& attribute : attributes) {
    if (attribute.type == CKA_LABEL && label.empty()) continue;
    if (p11_kit_uri_set_attribute(uri.get(), &attribute) != P11_KIT_URI_OK) return "";
  }
  char* text = nullptr;
  if (p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN, &text) != P11_KIT_URI_OK) return "";
  std::unique_ptr<char, FreeDeleter> owned(text);
  return text;
}

UriPtr ParseUri(const std::string& text) {
  if (text.rfind("pkcs11:", 0) != 0) return nullptr;
  UriPtr uri(p11_kit_uri_new());
  if (uri == nullptr || p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, uri.get()) != P11_KIT_URI_OK) {
    return nullptr;
  }
  // A PIN never travels in a URI here.
  if (p11_kit_uri_get_pin_value(uri.get()) != nullptr || p11_kit_uri_get_pin_source(uri.get()) != nullptr) {
    return nullptr;
  }
  return uri;
}

// The CKA_IDs of the key objects of one class.
CK_RV KeyIds(const Session& session, CK_OBJECT_CLASS keyClass, std::set<std::vector<uint8_t>>* ids) {
  CK_ATTRIBUTE templ[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
  std::vector<CK_OBJECT_HANDLE> keys;
  CK_RV rv = session.Find(templ, 1, &keys);
  if (rv != CKR_OK) return rv;
  for (CK_OBJECT_HANDLE key : keys) {
    std::vector<uint8_t> id;
    rv = session.Attribute(key, CKA_ID, &id, 1024);
    if (IsTransient(rv)) return rv;
    if (rv == CKR_OK && !id.empty()) ids->insert(id);
  }
  return CKR_OK;
}

}  // namespace

std::string ModulePath() {
  const char* configured = std::getenv("KELO_PKCS11_MODULE");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return RIMO_P11KIT_PROXY;
}

std::string ReturnValueName(CK_RV rv) {
  static const struct {
    CK_RV rv;
    const char* name;
  } kNames[] = {
      {CKR_OK, "CKR_OK"},
      {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
      {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
      {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
      {CKR_CANT_LOCK, "CKR_CANT_LOCK"},
      {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
      {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
      {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
      {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
      {CKR_FUNCTION_CANCELED, "CKR_FUNCTION_CANCELED"},
      {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
      {CKR_PIN_INVALID, "CKR_PIN_INVALID"},
      {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
      {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
      {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
      {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
      {CKR_SESSION_COUNT, "CKR_SESSION_COUNT"},
      {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
      {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
      {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
      {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
      {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
      {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
  };
  for (const auto& entry : kNames) {
    if (entry.rv == rv) return entry.name;
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(rv));
  return text;
}

bool IsTransient(CK_RV rv) {
  switch (rv) {
    case CKR_DEVICE_ERROR:            // the reader did not answer this time (busy, shared)
    case CKR_DEVICE_REMOVED:          // pulled in the middle of a read
    case CKR_TOKEN_NOT_PRESENT:       // pulled after it was listed
    case CKR_SESSION_CLOSED:          // closed under the read
    case CKR_SESSION_HANDLE_INVALID:  // likewise
    case CKR_SESSION_COUNT:           // every session of the token in use
      return true;
    default:
      return false;
  }
}

std::unique_ptr<Module> Module::Open(const std::string& path, std::string* why, CK_RV* rv) {
  if (rv != nullptr) *rv = CKR_GENERAL_ERROR;
  // Kept mapped after dlclose: a module may leave exit handlers or thread
  // destructors behind that must still find their code.
  std::unique_ptr<Module> module(new Module());
  // Only a regular file is loaded: a FIFO or a device would hold dlopen.
  struct stat st {};
  if (path.find('/') != std::string::npos && (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))) {
    *why = "the PKCS#11 module " + path + " is not a regular file";
    return nullptr;
  }
  module->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (module->handle_ == nullptr) {
    const char* error = dlerror();
    *why = "the PKCS#11 module " + path + " cannot be loaded: " + (error != nullptr ? error : "unknown error");
    return nullptr;
  }
  // dlsym also searches what the library links: the symbol counts only when
  // the named library itself defines it (not, say, p11-kit linked by it).
  void* symbol = dlsym(module->handle_, "C_GetFunctionList");
  struct link_map* own = nullptr;
  struct link_map* defining = nullptr;
  Dl_info info{};
  if (symbol != nullptr &&
      (dlinfo(module->handle_, RTLD_DI_LINKMAP, &own) != 0 ||
       dladdr1(symbol, &info, reinterpret_cast<void**>(&defining), RTLD_DL_LINKMAP) == 0 || own == nullptr ||
       defining != own)) {
    *why = "the PKCS#11 module " + path + " is no PKCS#11 module (it defines no C_GetFunctionList of its own)";
    return nullptr;
  }
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(symbol);
  if (getList == nullptr || getList(&module->functions_) != CKR_OK || module->functions_ == nullptr) {
    *why = "the PKCS#11 module " + path + " has no function list";
    module->functions_ = nullptr;
    return nullptr;
  }
  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  const CK_RV initialised = module->functions_->C_Initialize(&args);
  if (rv != nullptr) *rv = initialised;
  if (initialised == CKR_OK) {
    module->initialised_ = true;
  } else if (initialised != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    *why = "the PKCS#11 module " + path + " cannot be initialised: " + ReturnValueName(initialised);
    module->functions_ = nullptr;
    return nullptr;
  }
  if (rv != nullptr) *rv = CKR_OK;
  return module;
}

Module::~Module() {
  if (functions_ != nullptr && initialised_) functions_->C_Finalize(nullptr);
  if (handle_ != nullptr) dlclose(handle_);
}

CK_RV Module::PresentSlots(std::vector<CK_SLOT_ID>* slots) const {
  slots->clear();
  for (int attempt = 0; attempt < 3; ++attempt) {
    CK_ULONG count = 0;
    CK_RV rv = functions_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) return rv;
    if (count == 0) return CKR_OK;
    count = std::min(count, kMaxSlots);
    slots->assign(count, 0);
    rv = functions_->C_GetSlotList(CK_TRUE, slots->data(), &count);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;  // a reader came in between
    if (rv != CKR_OK) {
      slots->clear();
      return rv;
    }
    slots->resize(std::min<CK_ULONG>(count, slots->size()));
    return CKR_OK;
  }
  slots->clear();
  return CKR_BUFFER_TOO_SMALL;
}

Session::Session(const Module& module, CK_SLOT_ID slot, bool readWrite) : f_(module.functions()) {
  const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
  status_ = f_->C_OpenSession(slot, flags, nullptr, nullptr, &handle_);
}

Session::~Session() {
  if (status_ == CKR_OK) f_->C_CloseSession(handle_);
}

CK_RV Session::Find(const CK_ATTRIBUTE* templ, CK_ULONG count, std::vector<CK_OBJECT_HANDLE>* found,
                    size_t max) const {
  found->clear();
  CK_RV rv = f_->C_FindObjectsInit(handle_, const_cast<CK_ATTRIBUTE*>(templ), count);
  if (rv != CKR_OK) return rv;
  CK_OBJECT_HANDLE batch[32];
  while (found->size() < max) {
    CK_ULONG n = 0;
    rv = f_->C_FindObjects(handle_, batch, std::min<CK_ULONG>(std::size(batch), max - found->size()), &n);
    if (rv != CKR_OK || n == 0) break;
    found->insert(found->end(), batch, batch + std::min<CK_ULONG>(n, std::size(batch)));
  }
  const CK_RV finalRv = f_->C_FindObjectsFinal(handle_);
  return rv != CKR_OK ? rv : finalRv;
}

CK_RV Session::Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>* value,
                         size_t maxBytes) const {
  value->clear();
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  CK_RV rv = f_->C_GetAttributeValue(handle_, object, &attribute, 1);
  if (rv != CKR_OK) return rv;
  if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_ATTRIBUTE_TYPE_INVALID;
  if (attribute.ulValueLen > maxBytes) return CKR_DATA_LEN_RANGE;
  value->assign(attribute.ulValueLen, 0);
  attribute.pValue = value->data();
  rv = f_->C_GetAttributeValue(handle_, object, &attribute, 1);
  if (rv != CKR_OK) {
    value->clear();
    return rv;
  }
  // A module that reports more than it was given room for is not believed.
  if (attribute.ulValueLen > value->size()) {
    value->clear();
    return CKR_GENERAL_ERROR;
  }
  value->resize(attribute.ulValueLen);
  return CKR_OK;
}

std::string TokenLabel(const CK_TOKEN_INFO& info) { return Trimmed(info.label, sizeof info.label); }

bool IsUsableUri(const std::string& text) { return ParseUri(text) != nullptr; }

Search FindCertificates(const Module& module, const std::string& uriText, std::vector<TokenCertificate>* found,
                        CK_RV* lastError) {
  found->clear();
  auto fail = [&](Search kind, CK_RV rv) {
    if (lastError != nullptr) *lastError = rv;
    return kind;
  };
  UriPtr uri;
  if (!uriText.empty()) {
    uri = ParseUri(uriText);
    if (uri == nullptr) return fail(Search::kFailed, CKR_ARGUMENTS_BAD);
    // A part p11-kit does not know could select anything: it selects nothing.
    if (p11_kit_uri_any_unrecognized(uri.get())) return Search::kNone;
  }
  CK_FUNCTION_LIST* f = module.functions();
  if (uri != nullptr) {
    CK_INFO info{};
    if (f->C_GetInfo(&info) == CKR_OK && !p11_kit_uri_match_module_info(uri.get(), &info)) return Search::kNone;
  }
  std::vector<CK_SLOT_ID> slots;
  CK_RV rv = module.PresentSlots(&slots);
  if (rv != CKR_OK) return fail(IsTransient(rv) ? Search::kTransient : Search::kFailed, rv);
  for (CK_SLOT_ID slot : slots) {
    if (uri != nullptr) {
      const CK_SLOT_ID wanted = p11_kit_uri_get_slot_id(uri.get());
      if (wanted != static_cast<CK_SLOT_ID>(-1) && wanted != slot) continue;
      CK_SLOT_INFO slotInfo{};
      if (f->C_GetSlotInfo(slot, &slotInfo) == CKR_OK && !p11_kit_uri_match_slot_info(uri.get(), &slotInfo)) continue;
    }
    CK_TOKEN_INFO token{};
    rv = f->C_GetTokenInfo(slot, &token);
    if (IsTransient(rv)) return fail(Search::kTransient, rv);
    if (rv != CKR_OK || (token.flags & CKF_TOKEN_INITIALIZED) == 0) continue;  // unknown or blank
    if (uri != nullptr && !p11_kit_uri_match_token_info(uri.get(), &token)) continue;
    const Session session(module, slot);
    if (IsTransient(session.status())) return fail(Search::kTransient, session.status());
    if (session.status() != CKR_OK) continue;
    std::set<std::vector<uint8_t>> keyIds;
    for (CK_OBJECT_CLASS keyClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
      rv = KeyIds(session, keyClass, &keyIds);
      if (IsTransient(rv)) return fail(Search::kTransient, rv);
    }
    if (keyIds.empty()) continue;
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType = CKC_X_509;
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &certClass, sizeof certClass},
                            {CKA_CERTIFICATE_TYPE, &certType, sizeof certType}};
    std::vector<CK_OBJECT_HANDLE> certs;
    rv = session.Find(templ, std::size(templ), &certs);
    if (IsTransient(rv)) return fail(Search::kTransient, rv);
    for (CK_OBJECT_HANDLE cert : certs) {
      std::vector<uint8_t> id, label, der;
      rv = session.Attribute(cert, CKA_ID, &id, 1024);
      if (rv == CKR_OK) rv = session.Attribute(cert, CKA_LABEL, &label, 1024);
      if (rv == CKR_ATTRIBUTE_TYPE_INVALID) rv = CKR_OK;  // no label
      if (IsTransient(rv)) return fail(Search::kTransient, rv);
      if (rv != CKR_OK || id.empty() || keyIds.count(id) == 0) continue;
      if (uri != nullptr) {
        CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                     {CKA_ID, id.data(), id.size()},
                                     {CKA_LABEL, label.data(), label.size()}};
        if (!p11_kit_uri_match_attributes(uri.get(), attributes, std::size(attributes))) continue;
      }
      rv = session.Attribute(cert, CKA_VALUE, &der);
      if (IsTransient(rv)) return fail(Search::kTransient, rv);
      if (rv != CKR_OK || der.empty()) continue;
      TokenCertificate entry;
      entry.slot = slot;
      entry.tokenLabel = TokenLabel(token);
      entry.der = std::move(der);
      entry.uri = ObjectUri(token, CKO_CERTIFICATE, id, label);
      entry.keyUri = ObjectUri(token, CKO_PRIVATE_KEY, id, {});
      if (entry.uri.empty() || entry.keyUri.empty()) continue;
      found->push_back(std::move(entry));
    }
  }
  return found->empty() ? Search::kNone : Search::kFound;
}

CK_RV CheckPin(const Module& module, CK_SLOT_ID slot, const char* pin, size_t length) {
  const Session session(module, slot);
  if (session.status() != CKR_OK) return session.status();
  CK_FUNCTION_LIST* f = module.functions();
  const CK_RV rv = f->C_Login(session.handle(), CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin)),
                              static_cast<CK_ULONG>(length));
  // Logged in by another session of this process: nothing was checked, and
  // that login is not ours to end.
  if (rv == CKR_USER_ALREADY_LOGGED_IN) return CKR_OK;
  if (rv == CKR_OK) f->C_Logout(session.handle());
  return rv;
}

void LogOut(const Module& module, const std::string& tokenLabel) {
  std::vector<CK_SLOT_ID> slots;
  if (module.PresentSlots(&slots) != CKR_OK) return;
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO token{};
    if (module.functions()->C_GetTokenInfo(slot, &token) != CKR_OK || TokenLabel(token) != tokenLabel) continue;
    const Session session(module, slot);
    if (session.status() == CKR_OK) module.functions()->C_Logout(session.handle());
  }
}

}  // namespace rimo::platform::pkcs11
