#include "pki/Pki.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rimo::pki {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  char buf[256] = {};
  ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
  ERR_clear_error();
  throw std::runtime_error(what + ": " + buf);
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

void AddEntry(X509_NAME* name, const char* field, const std::string& value, bool printable) {
  if (value.empty()) return;
  Check(X509_NAME_add_entry_by_txt(name, field, printable ? V_ASN1_PRINTABLESTRING : MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
        "name entry");
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}


}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

Key GenerateKey(int bits) {
  EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
  Check(key != nullptr, "key generation");
  return Key(key, &EVP_PKEY_free);
}

Cert Issue(const CertProfile& profile, const Key& subjectKey, const Cert& issuer, const Key& issuerKey) {
  Cert cert(X509_new(), &X509_free);
  Check(cert != nullptr, "certificate");
  X509_set_version(cert.get(), 2);
  long serial = profile.serial;
  if (serial == 0) {
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    serial = (serial & 0x7FFFFFFFFFFFL) | 1;
  }
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), profile.notBeforeOffset);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), profile.notAfterOffset);
  X509_set_pubkey(cert.get(), subjectKey.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  AddEntry(name, "O", profile.organization, profile.printableNames);
  AddEntry(name, "L", profile.locality, profile.printableNames);
  AddEntry(name, "CN", profile.commonName, profile.printableNames);
  X509* issuerCert = issuer != nullptr ? issuer.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(issuerCert));
  AddExtension(cert.get(), issuerCert, NID_basic_constraints, profile.ca ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(cert.get(), issuerCert, NID_key_usage,
               profile.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
  if (!profile.subjectKeyId.empty()) {
    AddExtension(cert.get(), issuerCert, NID_subject_key_identifier, profile.subjectKeyId);
  }
  if (issuer != nullptr && !profile.authorityKeyId.empty()) {
    AddExtension(cert.get(), issuerCert, NID_authority_key_identifier, profile.authorityKeyId);
  }
  std::string altNames;
  for (const std::string& dns : profile.dnsNames) altNames += (altNames.empty() ? "DNS:" : ",DNS:") + dns;
  for (const std::string& ip : profile.ipAddresses) altNames += (altNames.empty() ? "IP:" : ",IP:") + ip;
  if (!altNames.empty()) AddExtension(cert.get(), issuerCert, NID_subject_alt_name, altNames);
  std::string usage;
  if (profile.serverAuth) usage += "serverAuth";
  if (profile.clientAuth) usage += usage.empty() ? "clientAuth" : ",clientAuth";
  if (!usage.empty()) AddExtension(cert.get(), issuerCert, NID_ext_key_usage, usage);
  const EVP_MD* digest = EVP_get_digestbyname(profile.digest.c_str());
  Check(digest != nullptr, "digest");
  Check(X509_sign(cert.get(), issuerKey.get(), digest) > 0, "signing the certificate");
  return cert;
}

Bytes ToDer(const Cert& cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert.get(), &der);
  Check(n > 0, "DER encoding");
  Bytes bytes(der, der + n);
  OPENSSL_free(der);
  return bytes;
}

std::string ToPem(const Cert& cert) {
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  Check(PEM_write_bio_X509(bio.get(), cert.get()) == 1, "PEM encoding");
  return BioText(bio.get());
}

std::string KeyToPem(const Key& key) {
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  Check(PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "key PEM");
  return BioText(bio.get());
}

Cert CertFromPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
  Check(cert != nullptr, "reading a PEM certificate");
  return Cert(cert, &X509_free);
}

Key KeyFromPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  Check(key != nullptr, "reading a PEM key");
  return Key(key, &EVP_PKEY_free);
}

Bytes SignSha1(const Key& key, const std::string& data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;
  Check(ctx != nullptr && EVP_DigestSignInit_ex(ctx.get(), &pctx, "SHA1", nullptr, nullptr, key.get(), nullptr) == 1,
        "signature init");
  Check(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1, "padding");
  size_t size = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  Check(EVP_DigestSign(ctx.get(), nullptr, &size, in, data.size()) == 1, "signature size");
  Bytes signature(size);
  Check(EVP_DigestSign(ctx.get(), signature.data(), &size, in, data.size()) == 1, "signing");
  signature.resize(size);
  return signature;
}

Bytes MakeOcspResponse(const Cert& cert, const Cert& issuer, const Key& issuerKey, bool revoked) {
  std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> basic(OCSP_BASICRESP_new(), &OCSP_BASICRESP_free);
  Check(basic != nullptr, "OCSP response");
  OCSP_CERTID* id = OCSP_cert_to_id(nullptr, cert.get(), issuer.get());
  Check(id != nullptr, "OCSP certificate id");
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> thisUpdate(X509_gmtime_adj(nullptr, -3600), &ASN1_TIME_free);
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> nextUpdate(X509_gmtime_adj(nullptr, 7L * 24 * 3600),
                                                                   &ASN1_TIME_free);
  std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> revokedAt(X509_gmtime_adj(nullptr, -3600), &ASN1_TIME_free);
  const bool added = OCSP_basic_add1_status(basic.get(), id, revoked ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD,
                                            revoked ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : -1,
                                            revoked ? revokedAt.get() : nullptr, thisUpdate.get(),
                                            nextUpdate.get()) != nullptr;
  OCSP_CERTID_free(id);
  Check(added, "OCSP status");
  Check(OCSP_basic_sign(basic.get(), issuer.get(), issuerKey.get(), EVP_sha256(), nullptr, 0) == 1, "OCSP signing");
  std::unique_ptr<OCSP_RESPONSE, decltype(&OCSP_RESPONSE_free)> response(
      OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()), &OCSP_RESPONSE_free);
  Check(response != nullptr, "OCSP response");
  unsigned char* der = nullptr;
  const int n = i2d_OCSP_RESPONSE(response.get(), &der);
  Check(n > 0, "OCSP encoding");
  Bytes bytes(der, der + n);
  OPENSSL_free(der);
  return bytes;
}

std::string Base64(const Bytes& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Base64(const std::string& text) { return Base64(Bytes(text.begin(), text.end())); }

std::string CertificateText(const Cert& cert) {
  return "-----BEGIN CERTIFICATE-----\n" + Base64(ToDer(cert)) + "\n-----END CERTIFICATE-----";
}

std::string InstallRoot(const Cert& cert, const std::string& dir) {
  char base[32];
  std::snprintf(base, sizeof base, "%08lx", X509_subject_name_hash(cert.get()));
  for (int n = 0;; ++n) {
    const std::string link = dir + "/" + base + "." + std::to_string(n);
    struct stat st {};
    if (lstat(link.c_str(), &st) != 0) {
      const std::string pem = dir + "/" + base + "-" + std::to_string(n) + ".pem";
      std::ofstream(pem, std::ios::binary) << ToPem(cert);
      Check(symlink((base + std::string("-") + std::to_string(n) + ".pem").c_str(), link.c_str()) == 0, "hash link");
      return pem;
    }
    // An existing link: the same certificate is installed already.
    std::ifstream in(link, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    if (content.str().empty()) continue;
    Cert existing = CertFromPem(content.str());
    if (X509_cmp(existing.get(), cert.get()) == 0) return link;
  }
}

std::string MakeContainer(const std::string& keyChange, const std::string& switchOnActivation,
                          const std::vector<ContainerCert>& certs) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<RESPONSECONTAINER>\n";
  if (!keyChange.empty()) xml += "  <KEYCHANGE>" + XmlEscape(keyChange) + "</KEYCHANGE>\n";
  if (!switchOnActivation.empty()) {
    xml += "  <SWITCHONACTIVATION>" + XmlEscape(switchOnActivation) + "</SWITCHONACTIVATION>\n";
  }
  xml += "  <CERTIFICATES>\n";
  for (const ContainerCert& c : certs) {
    xml += "    <CERT>\n      <TYPE>" + XmlEscape(c.type) + "</TYPE>\n      <CERTDATA>" + XmlEscape(c.text) +
           "</CERTDATA>\n    </CERT>\n";
  }
  xml += "  </CERTIFICATES>\n</RESPONSECONTAINER>\n";
  return xml;
}

TcResponseParts SignContainer(const std::string& container, const Key& signerKey, const Cert& signerCert,
                              const std::string& currentSsn, const std::string& newSsn) {
  TcResponseParts parts;
  parts.currentSsn = currentSsn;
  parts.newSsn = newSsn;
  parts.containerBase64 = Base64(container);
  parts.signatureBase64 = Base64(SignSha1(signerKey, parts.containerBase64));
  parts.certificateText = CertificateText(signerCert);
  return parts;
}

std::string MakeTcResponse(const TcResponseParts& p) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<TCRESPONSE>\n";
  xml += "  <CURRENTSSN>" + XmlEscape(p.currentSsn) + "</CURRENTSSN>\n";
  xml += "  <NEWSSN>" + XmlEscape(p.newSsn) + "</NEWSSN>\n";
  xml += "  <RESPONSECONTAINER>" + XmlEscape(p.containerBase64) + "</RESPONSECONTAINER>\n";
  if (p.withSignature) xml += "  <SIGNATURTC>" + XmlEscape(p.signatureBase64) + "</SIGNATURTC>\n";
  if (p.withCertificate) xml += "  <SIGCERT>" + XmlEscape(p.certificateText) + "</SIGCERT>\n";
  xml += "</TCRESPONSE>\n";
  return xml;
}

CertProfile RootProfile(const std::string& commonName) {
  CertProfile profile;
  profile.commonName = commonName;
  profile.organization = "QUANDEL";
  profile.notAfterOffset = 10L * 365 * 24 * 3600;
  profile.ca = true;
  return profile;
}

CertProfile SignerProfile(const std::string& locality) {
  CertProfile profile;
  profile.commonName = "QUANDEL TC Signatur";
  profile.locality = locality;
  profile.organization = "QUANDEL";
  return profile;
}

TrustCenter TrustCenter::Make(int bits) {
  TrustCenter tc;
  tc.rootKey = GenerateKey(bits);
  tc.root = Issue(RootProfile(kRootName), tc.rootKey, nullptr, tc.rootKey);
  tc.signerKey = GenerateKey(bits);
  tc.signer = Issue(SignerProfile(kSignerLocality), tc.signerKey, tc.root, tc.rootKey);
  return tc;
}

}  // namespace rimo::pki
