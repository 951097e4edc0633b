// Loading response files through the exports, as a host does, in both modes,
// over responses made at test time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "host/HostLibrary.h"
#include "pki/Pki.h"
#include "support/TempDir.h"
#include "rimo/RimoStatusCodes.h"

namespace rimo::host {
namespace {

namespace fs = std::filesystem;

const std::string kCurrent = "12345678901234567890";
const std::string kNew = "ABCDEFGHIJKLMNOPQRST";

struct Keys {
  pki::TrustCenter tc = pki::TrustCenter::Make();
  pki::Key otherKey = pki::GenerateKey();
};

const Keys& TheKeys() {
  static const Keys keys;
  return keys;
}

std::string Genuine(const std::string& container, const std::string& current = kCurrent,
                    const std::string& next = kNew) {
  const auto& tc = TheKeys().tc;
  return pki::MakeTcResponse(pki::SignContainer(container, tc.signerKey, tc.signer, current, next));
}

std::string GoodContainer() {
  const auto& tc = TheKeys().tc;
  return pki::MakeContainer("NEIN", "NEIN",
                            {{"SIG", pki::CertificateText(tc.signer)}, {"ROOT", pki::CertificateText(tc.root)}});
}

// What the status object shows after a load.
struct Shown {
  int32_t stateCode;
  int32_t errorKind;
  bool keyChange;
  bool switchOn;
  std::wstring current;
  std::wstring next;
  std::wstring userMessage;
  std::vector<std::wstring> types;
  std::vector<uint32_t> derLengths;
};

std::wstring Text(const wchar_t* w) { return w != nullptr ? w : L"<null>"; }

Shown Read(IScDataStatus* s) {
  Shown shown{};
  s->Lock();
  shown.stateCode = s->GetStateCode();
  shown.errorKind = s->GetErrorKind();
  shown.keyChange = s->GetKeyChange();
  shown.switchOn = s->GetSwitchOnActivation();
  shown.current = Text(s->GetCurrentSerial());
  shown.next = Text(s->GetNewSerial());
  shown.userMessage = Text(s->GetUserMessage());
  ICertificateList* list = s->GetCertificateList();
  list->LockObject();
  void* cursor = nullptr;
  for (auto* r = list->GetFirstCertificate(&cursor); r != nullptr; r = list->GetNextCertificate(&cursor)) {
    shown.types.emplace_back(r->type);
    shown.derLengths.push_back(r->derLength);
  }
  list->UnlockObject();
  s->Unlock();
  return shown;
}

class HostLoadTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    fs::create_directories(dir_.path() + "/etc/ssl/certs");
    pki::InstallRoot(TheKeys().tc.root, dir_.path() + "/etc/ssl/certs");
    setenv("KELO_ROOT", dir_.path().c_str(), 1);
    status_ = lib_.createStatus();
  }
  void TearDown() override {
    lib_.deleteStatus(status_);
    unsetenv("KELO_ROOT");
  }

  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = dir_.path() + "/" + name;
    testing::WriteFile(path, content);
    return path;
  }

  // Loads path with a component of the mode under test and destroys it,
  // which waits for the queued work.
  Shown Load(const std::string& path) {
    IRimoData* component = lib_.create(status_, GetParam());
    component->LoadRimoResponseFromFile(std::wstring(path.begin(), path.end()).c_str());
    lib_.destroy(component);
    return Read(status_);
  }

  HostLibrary lib_;
  testing::TempDir dir_;
  IScDataStatus* status_ = nullptr;
};

TEST_P(HostLoadTest, GenuineResponseIsPublished) {
  Shown s = Load(Write("r.xml", Genuine(GoodContainer())));
  EXPECT_EQ(s.stateCode, codes::kStatePublished);
  EXPECT_EQ(s.errorKind, codes::kErrorNone);
  EXPECT_TRUE(s.keyChange) << "the flag stands for the value of NEIN";
  EXPECT_FALSE(s.switchOn);
  EXPECT_EQ(s.current, L"12345678901234567890");
  EXPECT_EQ(s.next, L"ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(s.types, (std::vector<std::wstring>{L"SIG", L"ROOT"}));
  EXPECT_EQ(s.derLengths[0], pki::ToDer(TheKeys().tc.signer).size());
}

TEST_P(HostLoadTest, RefusedResponsesLeaveAResetRecord) {
  const auto& k = TheKeys();
  pki::TcResponseParts parts = pki::SignContainer(GoodContainer(), k.tc.signerKey, k.tc.signer, kCurrent, kNew);
  pki::TcResponseParts tampered = parts;
  tampered.containerBase64[20] = tampered.containerBase64[20] == 'A' ? 'B' : 'A';
  pki::TcResponseParts noCert = parts;
  noCert.withCertificate = false;
  pki::CertProfile wrongLocality = pki::SignerProfile("Anderswo");
  const pki::Cert wrongSigner = pki::Issue(wrongLocality, k.otherKey, k.tc.root, k.tc.rootKey);
  const pki::Cert lonely = pki::Issue(pki::RootProfile("CA QUANDEL"), k.otherKey, nullptr, k.otherKey);
  const pki::Cert outsider = pki::Issue(pki::SignerProfile(pki::kSignerLocality), k.otherKey, lonely, k.otherKey);
  const std::string sig = pki::CertificateText(k.tc.signer);

  struct Case {
    const char* name;
    std::string document;
    int32_t errorKind;
  } cases[] = {
      {"changed container", pki::MakeTcResponse(tampered), 3},
      {"signer outside the maker's chain",
       pki::MakeTcResponse(pki::SignContainer(GoodContainer(), k.otherKey, outsider, kCurrent, kNew)), 3},
      {"wrong locality", pki::MakeTcResponse(pki::SignContainer(GoodContainer(), k.otherKey, wrongSigner, kCurrent, kNew)),
       3},
      {"no signer certificate", pki::MakeTcResponse(noCert), 3},
      {"new serial of 19 characters", Genuine(GoodContainer(), kCurrent, kNew.substr(1)), 3},
      {"container with a duplicate type",
       Genuine(pki::MakeContainer("JA", "JA", {{"SIG", sig}, {"SIG", sig}, {"X", sig}})), 3},
      {"container with certificates and no KEYCHANGE", Genuine(pki::MakeContainer("", "JA", {{"SIG", sig}})), 3},
      {"container with a bad flag", Genuine(pki::MakeContainer("JA", "vielleicht", {{"SIG", sig}})), 3},
      {"container that is no XML", Genuine("not xml at all"), 3},
      {"unreadable document", "<TCRESPONSE><CURRENTSSN>", 0},
      {"document type declaration", "<!DOCTYPE TCRESPONSE><TCRESPONSE/>", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A published response first: a refused one must not leave any of it.
    ASSERT_EQ(Load(Write("good.xml", Genuine(GoodContainer()))).types.size(), 2u);
    Shown s = Load(Write("r.xml", c.document));
    EXPECT_EQ(s.errorKind, c.errorKind);
    EXPECT_EQ(s.stateCode, codes::kStateFileLoadStarted) << "a refused response is never published";
    EXPECT_TRUE(s.types.empty());
    EXPECT_EQ(s.userMessage, L"<null>");
  }
}

TEST_P(HostLoadTest, MissingFileChangesOnlyMessageAndState) {
  ASSERT_EQ(Load(Write("good.xml", Genuine(GoodContainer()))).stateCode, codes::kStatePublished);
  Shown s = Load(dir_.path() + "/missing.xml");
  EXPECT_EQ(s.stateCode, codes::kStateFileLoadStarted);
  EXPECT_EQ(s.userMessage, L"Die Datei konnte nicht geöffnet werden.");
  EXPECT_EQ(s.types.size(), 2u) << "no reset: the earlier certificates stay";
  EXPECT_EQ(s.current, L"12345678901234567890");
  Shown dir = Load(dir_.path());
  EXPECT_EQ(dir.userMessage, L"Die Datei konnte nicht geöffnet werden.") << "a directory is no response file";
}

TEST_P(HostLoadTest, ContentAfterTheResponseIsIgnored) {
  const std::string genuine = Genuine(GoodContainer());
  for (const std::string& after : {std::string(1, '\0'), std::string("\n trailing text"),
                                   std::string("<!-- c -->\x01junk<"), genuine}) {
    SCOPED_TRACE(::testing::PrintToString(after.substr(0, 20)));
    Shown s = Load(Write("r.xml", genuine + after));
    EXPECT_EQ(s.stateCode, codes::kStatePublished);
    EXPECT_EQ(s.errorKind, codes::kErrorNone);
    EXPECT_EQ(s.types.size(), 2u);
  }
}

// A refused call is reported after the work queued before it, not before:
// a refused last request must not end up looking like a published response.
TEST_P(HostLoadTest, RefusalIsReportedInTheOrderOfTheCalls) {
  const std::string good = Write("good.xml", Genuine(GoodContainer()));
  const std::wstring tooLong = L"/" + std::wstring(300, L'p');
  IRimoData* component = lib_.create(status_, GetParam());
  component->LoadRimoResponseFromFile(std::wstring(good.begin(), good.end()).c_str());
  component->LoadRimoResponseFromFile(tooLong.c_str());
  lib_.destroy(component);
  Shown s = Read(status_);
  EXPECT_EQ(s.stateCode, codes::kStateFileLoadStarted);
  EXPECT_EQ(s.userMessage, L"Die Datei konnte nicht geöffnet werden.");
}

TEST_P(HostLoadTest, StatusLockIsFreeAfterAFailedContainer) {
  Load(Write("r.xml", Genuine(pki::MakeContainer("", "", {{"SIG", pki::CertificateText(TheKeys().tc.signer)}}))));
  auto locked = std::async(std::launch::async, [this] {
    status_->Lock();
    status_->Unlock();
    return true;
  });
  ASSERT_EQ(locked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(status_->GetCertificateList()->TryLockObject());
  status_->GetCertificateList()->UnlockObject();
}

INSTANTIATE_TEST_SUITE_P(BothModes, HostLoadTest, ::testing::Values(uint8_t{0}, uint8_t{1}),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == 1 ? std::string("Asynchronous") : std::string("Synchronous");
                         });

}  // namespace
}  // namespace rimo::host
