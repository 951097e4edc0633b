// Which root the checks rely on must not depend on the order of the store's
// hash links, and a root that was removed or replaced must stop counting at
// once, in the same process.
//
//   store:  CA QUANDEL (key A)   CA QUANDEL (key B)   CA Quandel (key C) ...
//                \___ only the one whose key verifies the signer counts ___/
//   signer, L=QUANDEL Nachladesignatur ── signs the container
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <thread>

#include "crypto/RootStore.h"
#include "crypto/SignatureFunctions.h"
#include "platform/Clock.h"
#include "support/TempDir.h"
#include "support/TrustCenterFixture.h"
#include "xml/TcResponseXml.h"

namespace rimo::crypto {
namespace {

namespace fs = std::filesystem;
using testing::SharedPki;
using testing::TrustCenterSandbox;
using testing::VerificationCode;

const std::string kSsn = "12345678901234567890";

// Keys for the extra roots; 1024 bits keeps them quick to make and is the
// smallest size the checks accept.
struct Keys {
  std::vector<pki::Key> keys;
  static const Keys& Get() {
    static const Keys k = [] {
      Keys out;
      for (int i = 0; i < 6; ++i) out.keys.push_back(pki::GenerateKey(1024));
      return out;
    }();
    return k;
  }
};

const pki::Key& KeyNo(size_t i) { return Keys::Get().keys.at(i); }

pki::Cert Root(const std::string& name, const pki::Key& key, pki::CertProfile profile = pki::RootProfile("")) {
  profile.commonName = name;
  profile.ca = true;
  return pki::Issue(profile, key, nullptr, key);
}

pki::CertProfile SignerProfile() { return pki::SignerProfile(pki::kSignerLocality); }

pki::Cert Signer(const pki::Cert& issuer, const pki::Key& issuerKey, pki::CertProfile profile = SignerProfile(),
                 const pki::Key& key = SharedPki::Get().otherSignerKey) {
  return pki::Issue(profile, key, issuer, issuerKey);
}

std::string Response(const pki::Cert& signer, const pki::Key& signerKey) {
  const std::string container = pki::MakeContainer("JA", "NEIN", {{"SIG", pki::CertificateText(signer)}});
  return pki::MakeTcResponse(pki::SignContainer(container, signerKey, signer, kSsn, kSsn));
}


struct StoreCase {
  const char* name;
  std::vector<pki::Cert> store;  // installed in every order
  std::string response;
  uint32_t code;
};

// Every order of the store for up to four roots; for more, each rotation
// forwards and backwards.
std::vector<std::vector<size_t>> Orders(size_t n) {
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::vector<std::vector<size_t>> out;
  if (n <= 4) {
    do out.push_back(order);
    while (std::next_permutation(order.begin(), order.end()));
    return out;
  }
  for (size_t r = 0; r < n; ++r) {
    std::vector<size_t> rotated(n);
    for (size_t i = 0; i < n; ++i) rotated[i] = (i + r) % n;
    out.push_back(rotated);
    std::reverse(rotated.begin(), rotated.end());
    out.push_back(rotated);
  }
  return out;
}

std::vector<StoreCase> Cases() {
  const auto& p = SharedPki::Get();
  const pki::Cert& genuine = p.genuine.root;
  const pki::Key& genuineKey = p.genuine.rootKey;
  const std::string genuineResponse = Response(p.genuine.signer, p.genuine.signerKey);
  std::vector<StoreCase> cases;

  cases.push_back({"another root of the same name", {Root("CA QUANDEL", KeyNo(0)), genuine}, genuineResponse, 0});
  cases.push_back({"a root whose name differs only in case", {Root("CA Quandel", KeyNo(0)), genuine}, genuineResponse, 0});
  cases.push_back({"same name and same name but case",
                   {Root("CA QUANDEL", KeyNo(0)), Root("ca quandel", KeyNo(1)), genuine},
                   genuineResponse,
                   0});

  {  // A key rollover: the old and the new root both in the store.
    const pki::Cert next = Root("CA QUANDEL", KeyNo(2));
    cases.push_back({"rollover, signer under the new key", {genuine, next},
                     Response(Signer(next, KeyNo(2)), p.otherSignerKey), 0});
    cases.push_back({"rollover, signer under the old key", {genuine, next},
                     Response(Signer(genuine, genuineKey), p.otherSignerKey), 0});
  }
  {  // Roots and signer without any key identifier.
    pki::CertProfile bare = pki::RootProfile("CA QUANDEL");
    bare.subjectKeyId.clear();
    const pki::Cert a = Root("CA QUANDEL", KeyNo(0), bare);
    const pki::Cert b = Root("CA QUANDEL", KeyNo(1), bare);
    pki::CertProfile signer = SignerProfile();
    signer.subjectKeyId.clear();
    signer.authorityKeyId.clear();
    cases.push_back({"no key identifiers", {a, b}, Response(Signer(b, KeyNo(1), signer), p.otherSignerKey), 0});
  }
  {  // The signer names the root's key by another method than the root does.
    pki::CertProfile other = pki::RootProfile("CA QUANDEL");
    other.subjectKeyId = "01:02:03:04:05:06:07:08";
    const pki::Cert asSigned = Root("CA QUANDEL", KeyNo(3), other);
    const pki::Cert asStored = Root("CA QUANDEL", KeyNo(3));
    cases.push_back({"mismatching key identifiers", {Root("CA QUANDEL", KeyNo(0)), asStored},
                     Response(Signer(asSigned, KeyNo(3)), p.otherSignerKey), 0});
  }
  {  // The root renewed with the same key and a new serial, the old one gone;
     // the signer's authority key identifier names the old serial.
    pki::CertProfile first = pki::RootProfile("CA QUANDEL");
    first.serial = 1001;
    pki::CertProfile renewed = first;
    renewed.serial = 1002;
    const pki::Cert old = Root("CA QUANDEL", KeyNo(4), first);
    pki::CertProfile signer = SignerProfile();
    signer.authorityKeyId = "keyid:always,issuer:always";
    cases.push_back({"renewed root", {Root("CA QUANDEL", KeyNo(0)), Root("CA QUANDEL", KeyNo(4), renewed)},
                     Response(Signer(old, KeyNo(4), signer), p.otherSignerKey), 0});
  }
  {  // A link certificate: the new key certified by the old root.
    const pki::Cert next = Root("CA QUANDEL", KeyNo(2));
    pki::CertProfile link = pki::RootProfile("CA QUANDEL");
    link.ca = true;
    const pki::Cert linkCert = pki::Issue(link, KeyNo(2), genuine, genuineKey);
    const std::string response = Response(Signer(next, KeyNo(2)), p.otherSignerKey);
    cases.push_back({"link certificate beside both roots", {genuine, linkCert, next}, response, 0});
    cases.push_back({"link certificate to the old root only", {genuine, linkCert}, response, 0});
  }
  {  // The maker's root and certificates of the same subject and key that
     // another root issued: a link or cross certificate is never the root
     // the maker test looks at, whatever sorts first.
    const pki::Cert other = Root("Other Root", KeyNo(1));
    pki::CertProfile sameSubject = pki::RootProfile("CA QUANDEL");
    const pki::Cert link = pki::Issue(sameSubject, genuineKey, other, KeyNo(1));
    cases.push_back({"link of the root's key beside the root", {genuine, link, other}, genuineResponse, 0});
    cases.push_back({"link of the root's key, its issuer not in the store", {genuine, link}, genuineResponse, 0});
    const pki::Cert foreign = Root("Foreign Root", KeyNo(2));
    const pki::Cert cross = pki::Issue(sameSubject, genuineKey, foreign, KeyNo(2));
    cases.push_back({"cross certificate from a foreign root", {genuine, cross, foreign}, genuineResponse, 0});

    // The root's name as PrintableString, the signer's issuer name (and the
    // link's subject) as UTF8String: the link is the byte-exact match.
    pki::CertProfile printable = pki::RootProfile("CA QUANDEL");
    printable.printableNames = true;
    const pki::Cert printableRoot = Root("CA QUANDEL", genuineKey, printable);
    const pki::Cert utf8Link = pki::Issue(sameSubject, genuineKey, other, KeyNo(1));
    const std::string underUtf8Name = Response(Signer(utf8Link, genuineKey), p.otherSignerKey);
    cases.push_back({"PrintableString root, UTF8String issuer name, link beside it",
                     {printableRoot, utf8Link, other},
                     underUtf8Name,
                     0});
  }
  {  // Six roots of the same name; one is right.
    std::vector<pki::Cert> six;
    for (size_t i = 0; i < 5; ++i) six.push_back(Root(i % 2 == 0 ? "CA QUANDEL" : "CA Quandel", KeyNo(i)));
    six.push_back(genuine);
    cases.push_back({"six same-name roots", six, genuineResponse, 0});
  }

  {  // A cross certificate of the maker's key from another organisation's
     // "CA QUANDEL": not self-issued (whole names differ), so no maker root.
    pki::CertProfile otherOrg = pki::RootProfile("CA QUANDEL");
    otherOrg.organization = "Other Org";
    const pki::Cert otherOrgRoot = Root("CA QUANDEL", KeyNo(3), otherOrg);
    const pki::Cert cross = pki::Issue(pki::RootProfile("CA QUANDEL"), genuineKey, otherOrgRoot, KeyNo(3));
    cases.push_back({"cross certificate from another organisation's CA QUANDEL, maker root absent",
                     {otherOrgRoot, cross},
                     genuineResponse,
                     4});
  }
  {  // The maker's root expired: a link of its key through another root must
     // not stand in for it.
    pki::CertProfile expired = pki::RootProfile("CA QUANDEL");
    expired.notBeforeOffset = -20L * 24 * 3600;
    expired.notAfterOffset = -10L * 24 * 3600;
    const pki::Cert expiredRoot = Root("CA QUANDEL", KeyNo(4), expired);
    const pki::Cert other = Root("Other Root", KeyNo(1));
    const pki::Cert link = pki::Issue(pki::RootProfile("CA QUANDEL"), KeyNo(4), other, KeyNo(1));
    const std::string response = Response(Signer(expiredRoot, KeyNo(4)), p.otherSignerKey);
    cases.push_back({"expired maker root alone", {expiredRoot}, response, 2});
    cases.push_back({"expired maker root and a link of its key", {expiredRoot, link, other}, response, 4});
  }

  // Forged or broken: each keeps its code, whatever the order.
  {
    const pki::Cert foreign = Root("CA QUANDEL", KeyNo(5));
    cases.push_back({"signer under a foreign root of the same name", {genuine, Root("CA QUANDEL", KeyNo(0))},
                     Response(Signer(foreign, KeyNo(5)), p.otherSignerKey), 2});
  }
  {
    const pki::Cert lower = Root("CA Quandel", KeyNo(0));
    cases.push_back({"signer under a root named in other case", {genuine, lower},
                     Response(Signer(lower, KeyNo(0)), p.otherSignerKey), 4});
  }
  {
    const pki::Key weak = pki::GenerateKey(512);
    cases.push_back({"512-bit signer key", {genuine, Root("CA QUANDEL", KeyNo(0))},
                     Response(Signer(genuine, genuineKey, SignerProfile(), weak), weak), 1});
  }
  {
    pki::CertProfile md5 = SignerProfile();
    md5.digest = "MD5";
    cases.push_back({"signer certificate signed with MD5", {genuine, Root("CA QUANDEL", KeyNo(0))},
                     Response(Signer(genuine, genuineKey, md5), p.otherSignerKey), 2});
  }
  {
    const pki::Key weak = pki::GenerateKey(512);
    const pki::Cert weakRoot = Root("CA QUANDEL", weak);
    cases.push_back({"root with a 512-bit key", {weakRoot, genuine},
                     Response(Signer(weakRoot, weak), p.otherSignerKey), 2});
  }
  return cases;
}

TEST(RootSelectionTest, OutcomeDoesNotDependOnTheOrderOfTheLinks) {
  for (const StoreCase& c : Cases()) {
    for (const std::vector<size_t>& order : Orders(c.store.size())) {
      std::string orderText;
      for (size_t i : order) orderText += std::to_string(i);
      SCOPED_TRACE(std::string(c.name) + ", installed in the order " + orderText);
      TrustCenterSandbox sandbox(RIMO_LIB_DIR, false);
      for (size_t i : order) sandbox.Install(c.store[i]);
      EXPECT_EQ(VerificationCode(c.response), c.code);
    }
  }
}

TEST(RootSelectionTest, CrowdedStoreGivesTheSameOutcomeOnEveryLoad) {
  // A hundred roots named as the maker's beside the genuine one: the search
  // checks the best candidate first, so the first load already succeeds
  // and no load depends on what an earlier one left behind.
  const auto& p = SharedPki::Get();
  TrustCenterSandbox sandbox(RIMO_LIB_DIR, false);
  for (int i = 0; i < 100; ++i) {
    pki::CertProfile profile = pki::RootProfile("CA QUANDEL");
    profile.serial = 5000 + i;
    sandbox.Install(Root(i % 2 == 0 ? "CA QUANDEL" : "CA Quandel", KeyNo(static_cast<size_t>(i) % 6), profile));
  }
  sandbox.Install(p.genuine.root);
  const std::string response = Response(p.genuine.signer, p.genuine.signerKey);
  for (int load = 0; load < 3; ++load) {
    SCOPED_TRACE("load " + std::to_string(load + 1));
    EXPECT_EQ(VerificationCode(response), 0u);
  }
}

void WriteInPlace(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

void ReplaceByRename(const std::string& path, const std::string& content) {
  const std::string temp = path + ".new";
  std::ofstream(temp, std::ios::binary) << content;
  ASSERT_EQ(rename(temp.c_str(), path.c_str()), 0);
}

// The genuine root in the store as the only "<hash>.0" link to a PEM file.
struct GenuineStore {
  TrustCenterSandbox sandbox{RIMO_LIB_DIR, false};
  std::string pem = pki::InstallRoot(SharedPki::Get().genuine.root, sandbox.StoreDir());
  std::string genuinePem = pki::ToPem(SharedPki::Get().genuine.root);
  // Same name and size, another key.
  std::string impostorPem = pki::ToPem(pki::Issue(pki::RootProfile("CA QUANDEL"), SharedPki::Get().otherRootKey,
                                                   nullptr, SharedPki::Get().otherRootKey));
};

TEST(RootStoreFreshnessTest, EveryChangeCountsForTheVeryNextLoad) {
  GenuineStore s;
  const std::string response = Response(SharedPki::Get().genuine.signer, SharedPki::Get().genuine.signerKey);
  ASSERT_EQ(VerificationCode(response), 0u);

  struct Step {
    const char* what;
    std::function<void()> change;
    uint32_t code;
  };
  const std::string link = s.sandbox.StoreDir() + "/" + fs::path(s.pem).filename().string().substr(0, 8) + ".0";
  const std::vector<Step> steps = {
      {"rewritten in place with another key", [&] { WriteInPlace(s.pem, s.impostorPem); }, 2},
      {"rewritten in place with the genuine root", [&] { WriteInPlace(s.pem, s.genuinePem); }, 0},
      {"truncated to nothing", [&] { WriteInPlace(s.pem, ""); }, 2},
      {"restored", [&] { WriteInPlace(s.pem, s.genuinePem); }, 0},
      {"link target replaced by rename", [&] { ReplaceByRename(s.pem, s.impostorPem); }, 2},
      {"restored by rename", [&] { ReplaceByRename(s.pem, s.genuinePem); }, 0},
      {"link removed", [&] { ASSERT_TRUE(fs::remove(link)); }, 2},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    EXPECT_EQ(VerificationCode(response), step.code);
  }
}

TEST(RootStoreFreshnessTest, RootRewrittenLongAfterItWasReadIsReadAgain) {
  GenuineStore s;
  const std::string response = Response(SharedPki::Get().genuine.signer, SharedPki::Get().genuine.signerKey);
  // Past the file times' granularity, the store trusts what it read...
  platform::AdvanceClockForTesting(2100);
  ASSERT_EQ(VerificationCode(response), 0u);
  ASSERT_EQ(VerificationCode(response), 0u);
  // ... until the file is no longer the one it read.
  WriteInPlace(s.pem, s.impostorPem);
  EXPECT_EQ(VerificationCode(response), 2u);
}

// One check looks at the store once: a change in the middle of it counts
// for the next check, not for the rest of this one.
TEST(RootStoreFreshnessTest, OneLookSeesTheStoreAsItWasWhenItBegan) {
  GenuineStore s;
  const X509_NAME* name = X509_get_subject_name(SharedPki::Get().genuine.root.get());
  auto keyOf = [&](const std::vector<std::shared_ptr<X509>>& found) {
    return found.size() == 1 ? X509_get0_pubkey(found.front().get()) : nullptr;
  };
  EVP_PKEY* genuineKey = X509_get0_pubkey(SharedPki::Get().genuine.root.get());
  {
    RootStore::OneLook look;
    const auto first = RootStore::Candidates(name);
    ASSERT_EQ(EVP_PKEY_eq(keyOf(first), genuineKey), 1);
    ReplaceByRename(s.pem, s.impostorPem);
    {
      RootStore::OneLook nested;
      EXPECT_EQ(EVP_PKEY_eq(keyOf(RootStore::Candidates(name)), genuineKey), 1) << "within the look";
    }
    EXPECT_EQ(EVP_PKEY_eq(keyOf(RootStore::Candidates(name)), genuineKey), 1) << "still within the look";
  }
  EXPECT_NE(EVP_PKEY_eq(keyOf(RootStore::Candidates(name)), genuineKey), 1) << "after the look";
  RootStore::OneLook next;
  EXPECT_NE(EVP_PKEY_eq(keyOf(RootStore::Candidates(name)), genuineKey), 1) << "in the next look";
}

TEST(RootStoreFreshnessTest, StoreMadeByOpensslRehashIsRead) {
  // The store as Debian's own tool lays it out, not as our installer does.
  if (system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl command";
  TrustCenterSandbox sandbox(RIMO_LIB_DIR, false);
  const auto& p = SharedPki::Get();
  std::ofstream(sandbox.StoreDir() + "/other.pem") << pki::ToPem(Root("CA QUANDEL", KeyNo(0)));
  std::ofstream(sandbox.StoreDir() + "/quandel.pem") << pki::ToPem(p.genuine.root);
  ASSERT_EQ(system(("openssl rehash " + sandbox.StoreDir() + " 2>/dev/null").c_str()), 0);
  EXPECT_EQ(VerificationCode(Response(p.genuine.signer, p.genuine.signerKey)), 0u);
}

}  // namespace
}  // namespace rimo::crypto
