// Keys, certificates and signed TC responses made with OpenSSL: the test
// PKI of the trust center, for tests and for rimo-tcsign.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rimo::pki {

using Key = std::shared_ptr<EVP_PKEY>;
using Cert = std::shared_ptr<X509>;
using Bytes = std::vector<uint8_t>;

inline constexpr char kRootName[] = "CA QUANDEL";
inline constexpr char kSignerLocality[] = "QUANDEL Nachladesignatur";

struct CertProfile {
  std::string commonName;
  std::string locality;        // empty: none
  std::string organization;    // empty: none
  long notBeforeOffset = -3600;          // seconds from now
  long notAfterOffset = 365L * 24 * 3600;  // seconds from now
  bool ca = false;
  long serial = 0;  // 0: random
  std::vector<std::string> dnsNames;  // subjectAltName entries
  std::vector<std::string> ipAddresses;
  bool serverAuth = false;
  bool clientAuth = false;
  // Key identifiers as OpenSSL's extension syntax writes them; empty: none.
  // The authority key identifier is added only to certificates with an issuer.
  std::string subjectKeyId = "hash";
  std::string authorityKeyId = "keyid:always";
  std::string digest = "SHA256";  // of the issuer's signature
  bool printableNames = false;    // subject name entries as PrintableString, not UTF8String
};

// RSA key; throws std::runtime_error on failure (as every function here).
Key GenerateKey(int bits = 2048);
// Issues a certificate for subjectKey, signed by issuerKey with the profile's
// digest;
// issuer null makes it self-issued (subject name as issuer name).
Cert Issue(const CertProfile& profile, const Key& subjectKey, const Cert& issuer, const Key& issuerKey);

Bytes ToDer(const Cert& cert);
std::string ToPem(const Cert& cert);
std::string KeyToPem(const Key& key);
Cert CertFromPem(const std::string& pem);
Key KeyFromPem(const std::string& pem);

// RSA PKCS #1 v1.5 with SHA-1, big-endian signature bytes.
Bytes SignSha1(const Key& key, const std::string& data);

// Text for an XML element: '&', '<' and '>' escaped.
std::string XmlEscape(const std::string& text);

std::string Base64(const Bytes& bytes);
std::string Base64(const std::string& text);
// "-----BEGIN CERTIFICATE-----\n<Base64 in one line>\n-----END CERTIFICATE-----"
std::string CertificateText(const Cert& cert);

// Writes cert as PEM into dir with its "<subject-hash>.N" link, as
// `openssl rehash` names it; installing the same certificate again changes
// nothing. Returns the PEM file's path.
std::string InstallRoot(const Cert& cert, const std::string& dir);

struct ContainerCert {
  std::string type;
  std::string text;  // CERTDATA as it is to appear
};

// The response container document.
std::string MakeContainer(const std::string& keyChange, const std::string& switchOnActivation,
                          const std::vector<ContainerCert>& certs);

struct TcResponseParts {
  std::string currentSsn;
  std::string newSsn;
  std::string containerBase64;  // the signed text
  std::string signatureBase64;
  std::string certificateText;
  bool withSignature = true;
  bool withCertificate = true;
};

// Signs the container's Base64 with the signer key.
TcResponseParts SignContainer(const std::string& container, const Key& signerKey, const Cert& signerCert,
                              const std::string& currentSsn, const std::string& newSsn);
std::string MakeTcResponse(const TcResponseParts& parts);

// A DER OCSP response for cert, signed by its issuer: status good, or
// revoked an hour ago; valid from an hour ago for a week.
Bytes MakeOcspResponse(const Cert& cert, const Cert& issuer, const Key& issuerKey, bool revoked);

// A self-issued CA certificate named commonName, valid for ten years.
CertProfile RootProfile(const std::string& commonName);
// A signer certificate with the given subject locality, valid for a year.
CertProfile SignerProfile(const std::string& locality);

// A full, genuine test PKI: the maker's root and a signer under it.
struct TrustCenter {
  Key rootKey;
  Cert root;
  Key signerKey;
  Cert signer;
  static TrustCenter Make(int bits = 2048);
};

}  // namespace rimo::pki
