#include "pki/SoftToken.h"

#include <openssl/core_names.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/Pkcs11.h"

#ifndef RIMO_SOFTHSM_MODULE
#define RIMO_SOFTHSM_MODULE "/usr/lib/softhsm/libsofthsm2.so"
#endif

namespace rimo::pki {
namespace {

namespace p11 = platform::pkcs11;
using Blob = std::vector<uint8_t>;

void Require(CK_RV rv, const std::string& what) {
  if (rv != CKR_OK) throw std::runtime_error(what + ": " + p11::ReturnValueName(rv));
}

std::unique_ptr<p11::Module> Open(const std::string& path) {
  std::string why;
  auto module = p11::Module::Open(path, &why);
  if (module == nullptr) throw std::runtime_error(why);
  return module;
}

// The slot of the initialised token labelled label; false if there is none.
bool FindToken(const p11::Module& module, const std::string& label, CK_SLOT_ID* slot) {
  std::vector<CK_SLOT_ID> slots;
  Require(module.PresentSlots(&slots), "the slots cannot be listed");
  for (CK_SLOT_ID s : slots) {
    CK_TOKEN_INFO info{};
    if (module.functions()->C_GetTokenInfo(s, &info) != CKR_OK) continue;
    if ((info.flags & CKF_TOKEN_INITIALIZED) != 0 && p11::TokenLabel(info) == label) {
      *slot = s;
      return true;
    }
  }
  return false;
}

CK_UTF8CHAR* Utf8(const std::string& text) { return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text.data())); }

Blob BnParam(const Key& key, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), name, &bn) != 1) throw std::runtime_error(std::string("no RSA ") + name);
  Blob bytes(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, bytes.data());
  BN_clear_free(bn);
  return bytes;
}

template <typename F>
Blob Der(F encode) {
  const int n = encode(nullptr);
  if (n <= 0) throw std::runtime_error("a value cannot be encoded");
  Blob bytes(static_cast<size_t>(n));
  unsigned char* p = bytes.data();
  encode(&p);
  return bytes;
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t size) {
  return CK_ATTRIBUTE{type, const_cast<void*>(value), static_cast<CK_ULONG>(size)};
}
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const Blob& value) { return Attr(type, value.data(), value.size()); }
CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const std::string& value) { return Attr(type, value.data(), value.size()); }

}  // namespace

std::string SoftHsmModule() { return RIMO_SOFTHSM_MODULE; }

void EnsureToken(const TokenTarget& target) {
  const std::string soPin = target.soPin.empty() ? target.pin : target.soPin;
  {
    const auto module = Open(target.module);
    CK_SLOT_ID slot = 0;
    if (FindToken(*module, target.tokenLabel, &slot)) return;
    std::vector<CK_SLOT_ID> slots;
    Require(module->PresentSlots(&slots), "the slots cannot be listed");
    bool made = false;
    for (CK_SLOT_ID s : slots) {
      CK_TOKEN_INFO info{};
      if (module->functions()->C_GetTokenInfo(s, &info) != CKR_OK || (info.flags & CKF_TOKEN_INITIALIZED) != 0) continue;
      CK_UTF8CHAR label[32];
      std::memset(label, ' ', sizeof label);
      std::memcpy(label, target.tokenLabel.data(), std::min(sizeof label, target.tokenLabel.size()));
      Require(module->functions()->C_InitToken(s, Utf8(soPin), soPin.size(), label), "the token cannot be made");
      made = true;
      break;
    }
    if (!made) throw std::runtime_error("the module " + target.module + " has no blank token to make one on");
  }
  // A made token may move to another slot: it is looked up afresh.
  const auto module = Open(target.module);
  CK_SLOT_ID slot = 0;
  if (!FindToken(*module, target.tokenLabel, &slot)) throw std::runtime_error("the made token cannot be found");
  const p11::Session session(*module, slot, true);
  Require(session.status(), "no session on the token");
  CK_FUNCTION_LIST* f = module->functions();
  Require(f->C_Login(session.handle(), CKU_SO, Utf8(soPin), soPin.size()), "the security officer cannot log in");
  const CK_RV rv = f->C_InitPIN(session.handle(), Utf8(target.pin), target.pin.size());
  f->C_Logout(session.handle());
  Require(rv, "the user PIN cannot be set");
}

void PutOnToken(const TokenTarget& target, const std::string& objectLabel, const Cert& cert, const Key* key) {
  EnsureToken(target);
  const auto module = Open(target.module);
  CK_SLOT_ID slot = 0;
  if (!FindToken(*module, target.tokenLabel, &slot)) throw std::runtime_error("no token " + target.tokenLabel);
  const p11::Session session(*module, slot, true);
  Require(session.status(), "no session on the token");
  CK_FUNCTION_LIST* f = module->functions();
  Require(f->C_Login(session.handle(), CKU_USER, Utf8(target.pin), target.pin.size()), "the user cannot log in");

  // One CKA_ID for the certificate and its keys: a hash of the public key.
  const Blob publicKey = Der([&](unsigned char** p) { return i2d_PUBKEY(X509_get0_pubkey(cert.get()), p); });
  Blob id(SHA_DIGEST_LENGTH);
  SHA1(publicKey.data(), publicKey.size(), id.data());
  const Blob value = Der([&](unsigned char** p) { return i2d_X509(cert.get(), p); });
  const Blob subject = Der([&](unsigned char** p) { return i2d_X509_NAME(X509_get_subject_name(cert.get()), p); });
  const Blob issuer = Der([&](unsigned char** p) { return i2d_X509_NAME(X509_get_issuer_name(cert.get()), p); });
  const Blob serial = Der([&](unsigned char** p) {
    return i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(cert.get())), p);
  });
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
  CK_CERTIFICATE_TYPE certType = CKC_X_509;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_OBJECT_HANDLE object = 0;
  CK_ATTRIBUTE certTemplate[] = {
      Attr(CKA_CLASS, &certClass, sizeof certClass), Attr(CKA_CERTIFICATE_TYPE, &certType, sizeof certType),
      Attr(CKA_TOKEN, &yes, sizeof yes),             Attr(CKA_PRIVATE, &no, sizeof no),
      Attr(CKA_LABEL, objectLabel),                  Attr(CKA_ID, id),
      Attr(CKA_SUBJECT, subject),                    Attr(CKA_ISSUER, issuer),
      Attr(CKA_SERIAL_NUMBER, serial),               Attr(CKA_VALUE, value),
  };
  Require(f->C_CreateObject(session.handle(), certTemplate, std::size(certTemplate), &object),
          "the certificate cannot be written");
  if (key != nullptr) {
    const Blob n = BnParam(*key, OSSL_PKEY_PARAM_RSA_N), e = BnParam(*key, OSSL_PKEY_PARAM_RSA_E);
    const Blob d = BnParam(*key, OSSL_PKEY_PARAM_RSA_D), p = BnParam(*key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    const Blob q = BnParam(*key, OSSL_PKEY_PARAM_RSA_FACTOR2), dp = BnParam(*key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    const Blob dq = BnParam(*key, OSSL_PKEY_PARAM_RSA_EXPONENT2), qinv = BnParam(*key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    CK_ATTRIBUTE publicTemplate[] = {
        Attr(CKA_CLASS, &publicClass, sizeof publicClass), Attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
        Attr(CKA_TOKEN, &yes, sizeof yes),                 Attr(CKA_PRIVATE, &no, sizeof no),
        Attr(CKA_VERIFY, &yes, sizeof yes),                Attr(CKA_LABEL, objectLabel),
        Attr(CKA_ID, id),                                  Attr(CKA_SUBJECT, subject),
        Attr(CKA_MODULUS, n),                              Attr(CKA_PUBLIC_EXPONENT, e),
    };
    Require(f->C_CreateObject(session.handle(), publicTemplate, std::size(publicTemplate), &object),
            "the public key cannot be written");
    CK_ATTRIBUTE privateTemplate[] = {
        Attr(CKA_CLASS, &privateClass, sizeof privateClass), Attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
        Attr(CKA_TOKEN, &yes, sizeof yes),                   Attr(CKA_PRIVATE, &yes, sizeof yes),
        Attr(CKA_SENSITIVE, &yes, sizeof yes),               Attr(CKA_EXTRACTABLE, &no, sizeof no),
        Attr(CKA_SIGN, &yes, sizeof yes),                    Attr(CKA_DECRYPT, &yes, sizeof yes),
        Attr(CKA_LABEL, objectLabel),                        Attr(CKA_ID, id),
        Attr(CKA_SUBJECT, subject),                          Attr(CKA_MODULUS, n),
        Attr(CKA_PUBLIC_EXPONENT, e),                        Attr(CKA_PRIVATE_EXPONENT, d),
        Attr(CKA_PRIME_1, p),                                Attr(CKA_PRIME_2, q),
        Attr(CKA_EXPONENT_1, dp),                            Attr(CKA_EXPONENT_2, dq),
        Attr(CKA_COEFFICIENT, qinv),
    };
    Require(f->C_CreateObject(session.handle(), privateTemplate, std::size(privateTemplate), &object),
            "the private key cannot be written");
  }
  f->C_Logout(session.handle());
}

}  // namespace rimo::pki
