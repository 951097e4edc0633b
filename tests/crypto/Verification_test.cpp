// Genuine and forged TC responses, made at test time, through the real
// signature, chain, locality and root checks.
//
//   CA QUANDEL (root store) ── signer, L=QUANDEL Nachladesignatur ── signs the container
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <ctime>
#include <filesystem>

#include "crypto/CertFunctions.h"
#include "crypto/SignatureFunctions.h"
#include "support/TraceRecorder.h"
#include "support/TrustCenterFixture.h"
#include "xml/TcResponseXml.h"

namespace rimo::crypto {
namespace {

namespace fs = std::filesystem;
using testing::SharedPki;
using testing::TrustCenterSandbox;

const std::string kSsn = "12345678901234567890";

std::string Container() {
  return pki::MakeContainer("JA", "NEIN", {{"SIG", pki::CertificateText(SharedPki::Get().genuine.signer)}});
}

struct Outcome {
  bool parsed;
  uint32_t code;
};

Outcome Check(const std::string& document) {
  xml::KeloUtilities utilities;
  SignatureFunctions signature;
  xml::CTcResponseXml doc(std::make_shared<platform::MemoryStream>(document.data(), document.size()), &utilities,
                          &signature);
  return {doc.Parse(), doc.VerificationError()};
}

pki::Cert SignerUnder(const pki::Cert& issuer, const pki::Key& issuerKey, const std::string& locality,
                      long notAfter = 365L * 24 * 3600) {
  pki::CertProfile profile = pki::SignerProfile(locality);
  profile.notAfterOffset = notAfter;
  if (notAfter < 0) profile.notBeforeOffset = notAfter - 3600;
  return pki::Issue(profile, SharedPki::Get().otherSignerKey, issuer, issuerKey);
}

std::string Signed(const pki::Cert& signer, const pki::Key& key) {
  return pki::MakeTcResponse(pki::SignContainer(Container(), key, signer, kSsn, kSsn));
}

TEST(VerificationTest, ForgedAndBrokenResponsesGiveTheirCodes) {
  TrustCenterSandbox sandbox;
  const auto& p = SharedPki::Get();
  // Roots that look like the maker's: one outside the store, one inside with
  // its name in other case.
  // (OpenSSL matches names without regard to case, so the two need keys of
  // their own for the chain to tell them apart.)
  const pki::Cert impostor = pki::Issue(pki::RootProfile("CA QUANDEL"), p.otherSignerKey, nullptr, p.otherSignerKey);
  const pki::Cert lowerCase = pki::Issue(pki::RootProfile("CA Quandel"), p.otherRootKey, nullptr, p.otherRootKey);
  sandbox.Install(lowerCase);

  pki::TcResponseParts genuine = pki::SignContainer(Container(), p.genuine.signerKey, p.genuine.signer, kSsn, kSsn);
  pki::TcResponseParts tampered = genuine;
  tampered.containerBase64[10] = tampered.containerBase64[10] == 'A' ? 'B' : 'A';
  pki::TcResponseParts noCert = genuine;
  noCert.withCertificate = false;
  pki::TcResponseParts noSignature = genuine;
  noSignature.withSignature = false;
  pki::TcResponseParts littleEndian = genuine;
  {
    pki::Bytes sig = pki::SignSha1(p.genuine.signerKey, genuine.containerBase64);
    littleEndian.signatureBase64 = pki::Base64(pki::Bytes(sig.rbegin(), sig.rend()));
  }
  pki::TcResponseParts garbageCert = genuine;
  garbageCert.certificateText = "-----BEGIN CERTIFICATE-----\nYWJjZGVm\n-----END CERTIFICATE-----";

  struct Case {
    const char* name;
    std::string document;
    bool parsed;
    uint32_t code;
  } cases[] = {
      {"genuine", pki::MakeTcResponse(genuine), true, 0},
      {"one character of the container changed", pki::MakeTcResponse(tampered), false, 1},
      {"signature in little-endian order", pki::MakeTcResponse(littleEndian), false, 1},
      {"certificate bytes that are no certificate", pki::MakeTcResponse(garbageCert), false, 1},
      {"signer under another CA QUANDEL outside the store",
       Signed(SignerUnder(impostor, p.otherSignerKey, pki::kSignerLocality), p.otherSignerKey), false, 2},
      {"expired signer",
       Signed(SignerUnder(p.genuine.root, p.genuine.rootKey, pki::kSignerLocality, -60), p.otherSignerKey), false, 2},
      {"locality with a trailing blank",
       Signed(SignerUnder(p.genuine.root, p.genuine.rootKey, std::string(pki::kSignerLocality) + " "),
              p.otherSignerKey),
       false, 3},
      {"locality that only starts alike",
       Signed(SignerUnder(p.genuine.root, p.genuine.rootKey, std::string(pki::kSignerLocality) + "X"),
              p.otherSignerKey),
       false, 3},
      {"root named CA Quandel in the store",
       Signed(SignerUnder(lowerCase, p.otherRootKey, pki::kSignerLocality), p.otherSignerKey), false, 4},
      {"no SIGCERT", pki::MakeTcResponse(noCert), false, 5},
      {"no SIGNATURTC", pki::MakeTcResponse(noSignature), false, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = Check(c.document);
    EXPECT_EQ(o.parsed, c.parsed);
    EXPECT_EQ(o.code, c.code);
  }
}

TEST(VerificationTest, RootStoreChangesAreSeen) {
  TrustCenterSandbox sandbox(RIMO_LIB_DIR, false);
  const std::string document = Signed(SharedPki::Get().genuine.signer, SharedPki::Get().genuine.signerKey);
  EXPECT_EQ(Check(document).code, 2u);
  sandbox.Install(SharedPki::Get().genuine.root);
  EXPECT_EQ(Check(document).code, 0u);
}

TEST(SignatureFunctionsTest, ChainErrorsAreCollectedIntoTrustBits) {
  TrustCenterSandbox sandbox;
  const auto& p = SharedPki::Get();
  const pki::Cert untrusted = pki::Issue(pki::RootProfile("Elsewhere"), p.otherRootKey, nullptr, p.otherRootKey);
  pki::CertProfile future = pki::SignerProfile("x");
  future.notBeforeOffset = 3600;
  const pki::Cert notYetValid = pki::Issue(future, p.otherSignerKey, p.genuine.root, p.genuine.rootKey);
  struct Case {
    const char* name;
    pki::Cert cert;
    uint32_t error;
    uint32_t info;
  } cases[] = {
      {"not yet valid signer", notYetValid, kTrustNotTimeValid, kInfoExactMatchIssuer},
      {"genuine signer", p.genuine.signer, 0, kInfoExactMatchIssuer},
      {"expired signer", SignerUnder(p.genuine.root, p.genuine.rootKey, "x", -60), kTrustNotTimeValid,
       kInfoExactMatchIssuer},
      {"untrusted self-signed", untrusted, kTrustUntrustedRoot, kInfoSelfSigned},
      {"issuer missing", SignerUnder(untrusted, p.otherRootKey, "x"), kTrustPartialChain, 0},
      {"expired and issuer missing", SignerUnder(untrusted, p.otherRootKey, "x", -60),
       kTrustPartialChain | kTrustNotTimeValid, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pki::Bytes der = pki::ToDer(c.cert);
    ChainStatus s = SignatureFunctions::BuildChain(der.data(), static_cast<uint32_t>(der.size()));
    ASSERT_TRUE(s.built);
    EXPECT_EQ(s.error, c.error);
    EXPECT_EQ(s.info, c.info);
    EXPECT_EQ(SignatureFunctions().VerifyCertificateChain(der.data(), static_cast<uint32_t>(der.size())),
              c.error == 0);
  }
}

TEST(SignatureFunctionsTest, CombinedErrorTracesNoTextButSingleOnesDo) {
  TrustCenterSandbox sandbox;
  const auto& p = SharedPki::Get();
  const pki::Cert untrusted = pki::Issue(pki::RootProfile("Elsewhere"), p.otherRootKey, nullptr, p.otherRootKey);
  testing::TraceRecorder recorder({{"*", 16}});
  pki::Bytes single = pki::ToDer(SignerUnder(p.genuine.root, p.genuine.rootKey, "x", -60));
  SignatureFunctions().VerifyCertificateChain(single.data(), static_cast<uint32_t>(single.size()));
  EXPECT_EQ(recorder.Matching("is not time-valid").size(), 1u);
  recorder.Clear();
  pki::Bytes both = pki::ToDer(SignerUnder(untrusted, p.otherRootKey, "x", -60));
  SignatureFunctions().VerifyCertificateChain(both.data(), static_cast<uint32_t>(both.size()));
  EXPECT_TRUE(recorder.Matching("is not time-valid").empty());
  EXPECT_TRUE(recorder.Matching("not complete").empty());
}

TEST(SignatureFunctionsTest, RootLookupChecksSignatureAndValidity) {
  TrustCenterSandbox sandbox;
  const auto& p = SharedPki::Get();
  SignatureFunctions f;
  auto find = [&](const pki::Cert& cert, pki::Bytes* root) {
    pki::Bytes der = pki::ToDer(cert);
    uint8_t* out = reinterpret_cast<uint8_t*>(0x1);
    uint32_t length = 7;
    bool found = f.FindRootCertInMachinestore(der.data(), static_cast<uint32_t>(der.size()), &out, &length);
    if (found) {
      root->assign(out, out + length);
      std::free(out);
    } else {
      EXPECT_EQ(out, reinterpret_cast<uint8_t*>(0x1)) << "outputs untouched";
      EXPECT_EQ(length, 7u);
    }
    return found;
  };
  pki::Bytes root;
  EXPECT_TRUE(find(p.genuine.signer, &root));
  EXPECT_EQ(root, pki::ToDer(p.genuine.root));
  EXPECT_FALSE(find(SignerUnder(p.genuine.root, p.genuine.rootKey, "x", -60), &root)) << "expired";
  // Same issuer name, other key: found by name, fails the signature check.
  const pki::Cert sameName = pki::Issue(pki::RootProfile("CA QUANDEL"), p.otherRootKey, nullptr, p.otherRootKey);
  EXPECT_FALSE(find(SignerUnder(sameName, p.otherRootKey, "x"), &root));
  const uint8_t garbage[] = {0x30, 0x03, 0x02, 0x01, 0x01};
  uint8_t* out = nullptr;
  uint32_t length = 0;
  EXPECT_FALSE(f.FindRootCertInMachinestore(garbage, sizeof garbage, &out, &length));
  EXPECT_FALSE(f.VerifySignature(garbage, sizeof garbage, garbage, sizeof garbage, garbage, sizeof garbage));
  EXPECT_FALSE(f.VerifyCertificateChain(garbage, sizeof garbage));
}

TEST(SignatureFunctionsTest, EmptyDataAndEmptySignature) {
  const auto& p = SharedPki::Get();
  SignatureFunctions f;
  pki::Bytes der = pki::ToDer(p.genuine.signer);
  pki::Bytes sig = pki::SignSha1(p.genuine.signerKey, "");
  EXPECT_TRUE(f.VerifySignature(nullptr, 0, sig.data(), static_cast<uint32_t>(sig.size()), der.data(),
                                static_cast<uint32_t>(der.size())));
  EXPECT_FALSE(f.VerifySignature(nullptr, 0, nullptr, 0, der.data(), static_cast<uint32_t>(der.size())));
}

class CertFunctionsTest : public ::testing::Test {
 protected:
  TrustCenterSandbox sandbox_;
  config::CRimoPaths paths_;
};

TEST_F(CertFunctionsTest, QuandelRootNeedsSelfIssuedExactName) {
  const auto& p = SharedPki::Get();
  CertFunctions cf(&paths_);
  auto check = [&](const pki::Cert& c) {
    pki::Bytes der = pki::ToDer(c);
    return cf.VerifyQuandelRoot(der.data(), static_cast<uint32_t>(der.size()));
  };
  EXPECT_TRUE(check(p.genuine.root));
  EXPECT_FALSE(check(pki::Issue(pki::RootProfile("CA Quandel"), p.otherRootKey, nullptr, p.otherRootKey)));
  EXPECT_FALSE(check(pki::Issue(pki::RootProfile("CA QUANDEL 2"), p.otherRootKey, nullptr, p.otherRootKey)));
  pki::CertProfile sub = pki::RootProfile("CA QUANDEL");
  EXPECT_FALSE(check(pki::Issue(sub, p.otherRootKey, pki::Issue(pki::RootProfile("Other"), p.otherRootKey, nullptr,
                                                                 p.otherRootKey),
                                p.otherRootKey)))
      << "issuer differs";
  const uint8_t garbage[] = {1, 2, 3};
  testing::TraceRecorder recorder({{"*", 16}});
  EXPECT_FALSE(cf.VerifyQuandelRoot(garbage, sizeof garbage));
  EXPECT_EQ(recorder.Matching("Es sind Fehler beim einlesen des Signaturzertifikats aufgetreten.").size(), 1u);
  EXPECT_GE(recorder.Lines().size(), 2u) << "the plug-in's warnings follow";
}

TEST_F(CertFunctionsTest, LocalityMustMatchExactly) {
  const auto& p = SharedPki::Get();
  CertFunctions cf(&paths_);
  pki::Bytes der = pki::ToDer(p.genuine.signer);
  const auto n = static_cast<uint32_t>(der.size());
  EXPECT_TRUE(cf.VerifyLocalityName(der.data(), n, "QUANDEL Nachladesignatur"));
  EXPECT_FALSE(cf.VerifyLocalityName(der.data(), n, "QUANDEL Nachladesignatur "));
  EXPECT_FALSE(cf.VerifyLocalityName(der.data(), n, "QUANDEL Nachlade"));
  EXPECT_FALSE(cf.VerifyLocalityName(der.data(), n, "quandel nachladesignatur"));
}

TEST_F(CertFunctionsTest, MissingPlugInsFailEveryCheck) {
  TrustCenterSandbox empty("/nonexistent");
  config::CRimoPaths paths;
  CertFunctions cf(&paths);
  pki::Bytes der = pki::ToDer(SharedPki::Get().genuine.root);
  EXPECT_FALSE(cf.VerifyQuandelRoot(der.data(), static_cast<uint32_t>(der.size())));
  EXPECT_FALSE(cf.VerifyLocalityName(der.data(), static_cast<uint32_t>(der.size()), "x"));
  int64_t t = 0;
  EXPECT_FALSE(cf.GetCertificateNotAfter(&t));
}

TEST_F(CertFunctionsTest, DaysUntil) {
  CertFunctions cf(&paths_);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  EXPECT_EQ(cf.GetDaysUntil(now + 86400 + 30), 2) << "a started day counts";
  EXPECT_EQ(cf.GetDaysUntil(now + 5 * 86400 - 30), 5);
  EXPECT_EQ(cf.GetDaysUntil(now - 1), -1);
  EXPECT_EQ(cf.GetDaysUntil(0), 0);
  EXPECT_EQ(cf.GetDaysUntil(-5), 0);
}

TEST_F(CertFunctionsTest, CardCertificateExpiryIsTheSameInstantInEveryTimeZone) {
  const auto& p = SharedPki::Get();
  pki::CertProfile profile = pki::SignerProfile("x");
  profile.notAfterOffset = 30L * 24 * 3600 - 3600;  // 30 days from expiry, to the day
  const pki::Cert card = pki::Issue(profile, p.otherSignerKey, p.genuine.root, p.genuine.rootKey);
  const std::string file = sandbox_.box().Path("card.pem");
  testing::WriteFile(file, pki::ToPem(card));
  setenv("KELO_CARD_CERT", file.c_str(), 1);
  struct tm utc {};
  ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(card.get()), &utc), 1);
  const int64_t instant = static_cast<int64_t>(timegm(&utc));
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved != nullptr ? saved : "";
  for (const char* zone : {"UTC", "Europe/Berlin", "Etc/GMT+12", "Etc/GMT-14"}) {
    SCOPED_TRACE(zone);
    setenv("TZ", zone, 1);
    tzset();
    CertFunctions cf(&paths_);
    int64_t notAfter = 0;
    ASSERT_TRUE(cf.GetCertificateNotAfter(&notAfter));
    EXPECT_EQ(notAfter, instant) << "the certificate's true NotAfter";
    EXPECT_EQ(cf.GetDaysUntil(notAfter), 30) << "inside a 30-day alert period everywhere";
  }
  if (saved != nullptr) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  unsetenv("KELO_CARD_CERT");
  int64_t unused = 0;
  EXPECT_FALSE(CertFunctions(&paths_).GetCertificateNotAfter(&unused)) << "no card certificate configured";
}

TEST(CardRetryTest, BusyCardIsReadAgainAtMostSixTimes) {
  // A system directory with the busy card double beside the real ASN.1 plug-in.
  testing::TempDir dir;
  fs::copy_file(RIMO_TEST_LIB_DIR "/busycard/QNCardBase002.so", dir.path() + "/QNCardBase002.so");
  fs::create_symlink(RIMO_LIB_DIR "/QNCardAsn1N003.so", dir.path() + "/QNCardAsn1N003.so");
  TrustCenterSandbox sandbox(dir.path());
  const std::string file = sandbox.box().Path("card.pem");
  testing::WriteFile(file, pki::ToPem(SharedPki::Get().genuine.signer));
  setenv("KELO_CARD_CERT", file.c_str(), 1);
  config::CRimoPaths paths;
  void* handle = dlopen((dir.path() + "/QNCardBase002.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_EQ(handle, nullptr) << "loaded only by the checks below";
  for (int busy : {5, 6}) {
    SCOPED_TRACE(busy);
    CertFunctions cf(&paths);
    cf.SetCardRetryPauseForTesting(1);
    void* lib = dlopen((dir.path() + "/QNCardBase002.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    reinterpret_cast<void (*)(int)>(dlsym(lib, "TestCardBase_Reset"))(busy);
    int64_t notAfter = 0;
    EXPECT_EQ(cf.GetCertificateNotAfter(&notAfter), busy == 5);
    EXPECT_EQ(reinterpret_cast<int (*)()>(dlsym(lib, "TestCardBase_Reads"))(), 6);
    dlclose(lib);
  }
  unsetenv("KELO_CARD_CERT");
}

}  // namespace
}  // namespace rimo::crypto
