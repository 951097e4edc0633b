// The least work a load and a fetch must do, written directly against
// libxml2, OpenSSL and libcurl and sharing no code with the component:
// the floors its benchmarks are measured against.
#pragma once

#include <curl/curl.h>
#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rimo/RimoData.h"

namespace rimo::bench::floor {

// Standard Base64 without line breaks (as signed), into out; false when
// malformed.
inline bool DecodeBase64(std::string_view text, std::string* out) {
  out->resize(text.size() / 4 * 3);
  if (text.empty()) return true;
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out->data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t pad = 0;
  if (text.back() == '=') ++pad;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
  out->resize(static_cast<size_t>(n) - pad);
  return true;
}

// UTF-8 to a fresh NUL-terminated wide text, into place (which has room for
// size + 1 characters); returns the characters written.
inline size_t WidenInto(std::string_view utf8, wchar_t* place) {
  size_t w = 0;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = cp << 6 | (utf8[i + k] & 0x3F);
    place[w++] = static_cast<wchar_t>(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  place[w] = L'\0';
  return w;
}

// The Base64 between a PEM text's markers, or nothing.
inline std::string_view PemPayload(std::string_view pem) {
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----\n";
  constexpr std::string_view kEnd = "\n-----END CERTIFICATE-----";
  const size_t begin = pem.find(kBegin);
  const size_t end = pem.rfind(kEnd);
  if (begin == std::string_view::npos || end == std::string_view::npos || end < begin + kBegin.size()) return {};
  return pem.substr(begin + kBegin.size(), end - begin - kBegin.size());
}

// One published certificate as the host's list must hold it (the public
// record: wide type, wide text, the DER form), in one block.
struct RecordBlockFree {
  void operator()(CertificateRecord* r) const { std::free(r); }
};
using RecordBlock = std::unique_ptr<CertificateRecord, RecordBlockFree>;

inline RecordBlock MakeRecord(std::string_view type, std::string_view text) {
  const size_t bytes = sizeof(CertificateRecord) + (type.size() + text.size() + 2) * sizeof(wchar_t);
  auto* r = static_cast<CertificateRecord*>(std::malloc(bytes));
  auto* chars = reinterpret_cast<wchar_t*>(r + 1);
  r->type = chars;
  r->certificateText = chars + WidenInto(type, chars) + 1;
  WidenInto(text, r->certificateText);
  const std::string_view payload = PemPayload(text);
  r->derLength = 0;
  if (payload.size() / 4 * 3 <= sizeof r->der) {
    const int n = EVP_DecodeBlock(r->der, reinterpret_cast<const unsigned char*>(payload.data()),
                                  static_cast<int>(payload.size()));
    const size_t pad = payload.size() >= 2 ? (payload.back() == '=') + (payload[payload.size() - 2] == '=') : 0;
    if (n > 0) r->derLength = static_cast<uint32_t>(static_cast<size_t>(n) - pad);
  }
  std::memset(r->der + r->derLength, 0, sizeof r->der - r->derLength);
  return RecordBlock(r);
}

inline std::wstring Widen(std::string_view utf8) {
  std::wstring out(utf8.size(), L'\0');
  out.resize(WidenInto(utf8, out.data()));
  return out;
}

// Calls onText(elementName, text) for every text node, with the name of the
// element it is in; false for a malformed document.
template <typename OnText, typename OnEnd>
bool ReadDocument(const char* data, size_t size, OnText onText, OnEnd onEnd) {
  xmlTextReaderPtr reader = xmlReaderForMemory(data, static_cast<int>(size), nullptr, nullptr, XML_PARSE_NONET);
  if (reader == nullptr) return false;
  std::string_view element;
  int rc;
  while ((rc = xmlTextReaderRead(reader)) == 1) {
    switch (xmlTextReaderNodeType(reader)) {
      case XML_READER_TYPE_ELEMENT:
        element = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader));
        break;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA:
        onText(element, std::string_view(reinterpret_cast<const char*>(xmlTextReaderConstValue(reader))));
        break;
      case XML_READER_TYPE_END_ELEMENT:
        onEnd(std::string_view(reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader))));
        break;
      default:
        break;
    }
  }
  xmlFreeTextReader(reader);
  return rc == 0;
}

// What one load publishes.
struct Published {
  std::wstring currentSerial;
  std::wstring newSerial;
  bool keyChange = false;
  bool switchOnActivation = false;
  std::vector<RecordBlock> certificates;
};

// The load floor: one reader pass over the response, the signer
// certificate decoded (and parsed only when its bytes changed), one
// EVP_DigestVerify of the container's Base64 text, one X509_verify_cert
// against a store holding the root, the container decoded and read in one
// pass, each certificate made a wide record.
class Loader {
 public:
  explicit Loader(X509* root) : store_(X509_STORE_new()) { X509_STORE_add_cert(store_, root); }
  ~Loader() {
    X509_STORE_free(store_);
    X509_free(signer_);
  }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  bool Load(const char* data, size_t size, Published* out) {
    std::string current, next, container, signature, certificate;
    const bool read = ReadDocument(
        data, size,
        [&](std::string_view element, std::string_view text) {
          if (element == "CURRENTSSN") current.append(text);
          else if (element == "NEWSSN") next.append(text);
          else if (element == "RESPONSECONTAINER") container.append(text);
          else if (element == "SIGNATURTC") signature.append(text);
          else if (element == "SIGCERT") certificate.append(text);
        },
        [](std::string_view) {});
    if (!read) return false;
    std::string der, sig;
    if (!DecodeBase64(PemPayload(certificate), &der) || der.empty() || !DecodeBase64(signature, &sig)) return false;
    if (der != signerDer_) {
      const auto* p = reinterpret_cast<const unsigned char*>(der.data());
      X509* parsed = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      if (parsed == nullptr) return false;
      X509_free(signer_);
      signer_ = parsed;
      signerDer_ = der;
    }
    if (!Verify(container, sig)) return false;
    std::string inner;
    if (!DecodeBase64(container, &inner)) return false;
    out->certificates.clear();
    std::string type, text;
    const bool containerRead = ReadDocument(
        inner.data(), inner.size(),
        [&](std::string_view element, std::string_view value) {
          if (element == "TYPE") type.append(value);
          else if (element == "CERTDATA") text.append(value);
          else if (element == "KEYCHANGE") out->keyChange = value == "JA";
          else if (element == "SWITCHONACTIVATION") out->switchOnActivation = value == "JA";
        },
        [&](std::string_view element) {
          if (element != "CERT") return;
          out->certificates.push_back(MakeRecord(type, text));
          type.clear();
          text.clear();
        });
    if (!containerRead) return false;
    out->currentSerial = Widen(current);
    out->newSerial = Widen(next);
    return true;
  }

 private:
  bool Verify(const std::string& data, const std::string& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    int ok = EVP_DigestVerifyInit_ex(ctx, &pctx, "SHA1", nullptr, nullptr, X509_get0_pubkey(signer_), nullptr);
    if (ok == 1) ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
    if (ok == 1) {
      ok = EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size());
    }
    EVP_MD_CTX_free(ctx);
    if (ok != 1) return false;
    X509_STORE_CTX* sctx = X509_STORE_CTX_new();
    ok = X509_STORE_CTX_init(sctx, store_, signer_, nullptr);
    if (ok == 1) ok = X509_verify_cert(sctx);
    X509_STORE_CTX_free(sctx);
    return ok == 1;
  }

  X509_STORE* store_;
  X509* signer_ = nullptr;
  std::string signerDer_;
};

// The whole file in one read.
inline bool ReadFile(const std::string& path, std::string* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (ok) {
    out->resize(static_cast<size_t>(st.st_size));
    ok = read(fd, out->data(), out->size()) == st.st_size;
  }
  close(fd);
  return ok;
}

// Temporary file, fsync, rename, fsync of the folder.
inline bool WriteDurably(const std::string& folder, const std::string& name, const std::string& bytes) {
  const std::string target = folder + "/" + name;
  const std::string temp = target + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), target.c_str()) == 0;
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok = ok && dir >= 0 && fsync(dir) == 0;
  if (dir >= 0) close(dir);
  return ok;
}

inline size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// A bare libcurl GET on a new connection, verifying the server against the
// hashed folder caPath.
inline bool Get(const std::string& url, const std::string& caPath, std::string* body) {
  CURL* easy = curl_easy_init();
  body->clear();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, caPath.c_str());
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  long status = 0;
  const bool ok = curl_easy_perform(easy) == CURLE_OK &&
                  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  curl_easy_cleanup(easy);
  return ok;
}

// The fetch floor: the GET, the envelope's Base64 decoded, the load floor
// on the response, and the response written durably.
inline bool Fetch(Loader& loader, const std::string& url, const std::string& caPath, const std::string& folder,
                  Published* out) {
  std::string body;
  if (!Get(url, caPath, &body)) return false;
  std::string envelopeText;
  const bool read = ReadDocument(
      body.data(), body.size(),
      [&](std::string_view element, std::string_view text) {
        if (element == "TCRESPONSE") envelopeText.append(text);
      },
      [](std::string_view) {});
  std::string response;
  return read && DecodeBase64(envelopeText, &response) && loader.Load(response.data(), response.size(), out) &&
         WriteDurably(folder, "response.xml", response);
}

}  // namespace rimo::bench::floor
