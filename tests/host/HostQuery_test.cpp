// The data-center query through the exports, as a host drives it, in both
// modes, against rimo-datacenter on 127.0.0.1 with a root store, a card
// certificate and wizard settings made at test time.
#include <gtest/gtest.h>
#include <poll.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/HostLibrary.h"
#include "pki/Pki.h"
#include "pki/SoftToken.h"
#include "platform/FileIo.h"
#include "platform/IniDocument.h"
#include "platform/Utf8.h"
#include "rimo/RimoStatusCodes.h"
#include "support/DataCenterProcess.h"
#include "support/LoopbackServer.h"
#include "support/QueryOutcomes.h"
#include "support/TempDir.h"

namespace rimo::host {
namespace {

namespace fs = std::filesystem;
using testing::DataCenterProcess;
using testing::ReadFile;
using testing::WriteFile;

const std::wstring kIdPrefix = L"12345678901234567";  // 17 characters; the card number follows

struct Shared {
  testing::TempDir dir{std::getenv("RIMO_TEST_SHARED_DIR")};
  pki::TrustCenter tc = pki::TrustCenter::Make();
  pki::Key serverKey = pki::GenerateKey();
  pki::Key cardKey = pki::GenerateKey(1024);
  std::string genuine;

  Shared() {
    pki::CertProfile server;
    server.commonName = "localhost";
    server.dnsNames = {"localhost"};
    server.ipAddresses = {"127.0.0.1"};
    server.serverAuth = true;
    WriteFile(dir.path() + "/server.pem",
              pki::ToPem(pki::Issue(server, serverKey, tc.root, tc.rootKey)) + pki::ToPem(tc.root));
    WriteFile(dir.path() + "/server.key", pki::KeyToPem(serverKey));
    const std::string container = pki::MakeContainer(
        "NEIN", "JA", {{"SIG", pki::CertificateText(tc.signer)}, {"ROOT", pki::CertificateText(tc.root)}});
    genuine = pki::MakeTcResponse(
        pki::SignContainer(container, tc.signerKey, tc.signer, "12345678901234567890", "12345678901234567891"));
  }
  static Shared& Get() {
    static Shared shared;
    return shared;
  }
};

struct Shown {
  int32_t stateCode, outcome, errorKind, httpStatus, requestError, responseLength;
  std::wstring errorId, userMessage, faultId;
  unsigned certificates;
};

std::wstring Text(const wchar_t* w) { return w != nullptr ? w : L"<null>"; }

class HostQueryTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    root_ = std::getenv("KELO_ROOT");
    fs::create_directories(root_ + "/etc/ssl/certs");
    pki::InstallRoot(Shared::Get().tc.root, root_ + "/etc/ssl/certs");
    answers_ = root_ + "/answers";
    fs::create_directories(answers_);
    WriteFile(answers_ + "/890.xml", Shared::Get().genuine);
    WriteFile(answers_ + "/500.fault", "500\nRZ-4711\nIhre Karte ist gesperrt.\ncard blocked in backend\n");
    WriteFile(answers_ + "/404.fault", "404\nRZ-0404\nUnbekannt.\nno such card\n");
    WriteFile(answers_ + "/400.conf", "status=400\n");
    WriteFile(answers_ + "/406.conf", "status=404\nbody=not a fault document\n");
    WriteFile(answers_ + "/212.conf", "status=212\n");
    WriteFile(answers_ + "/503.conf", "status=503\nbody=busy\n");
    WriteFile(answers_ + "/401.conf", "status=401\n");
    WriteFile(answers_ + "/403.conf", "status=403\n");
    WriteFile(answers_ + "/201.conf", "status=200\n");
    WriteFile(answers_ + "/202.conf",
              "status=200\nbody=<GETDATATCRESPONSE><TCRESPONSE>!!notbase64</TCRESPONSE></GETDATATCRESPONSE>\n");
    WriteFile(answers_ + "/203.conf", "status=200\nbody=<GETDATATCRESPONSE><OTHER/></GETDATATCRESPONSE>\n");
    WriteFile(answers_ + "/204.conf", "status=200\nbody=<GETDATATCRESPONSE><TCRESPONSE></TCRESPONSE></GETDATATCRESPONSE>\n");
    center_ = std::make_unique<DataCenterProcess>(
        std::vector<std::string>{"--cert", Shared::Get().dir.path() + "/server.pem", "--key",
                                 Shared::Get().dir.path() + "/server.key", "--answers", answers_});
    PointAt(center_->BaseUrl() + "/pvtwmod/rest/");
    Card(10);
    Wizard("60,30,14", "7", true);
    status_ = lib_.createStatus();
  }
  void TearDown() override { lib_.deleteStatus(status_); }

  void PointAt(const std::string& serviceUrl) {
    WriteFile(root_ + "/etc/kelo/registry.reg",
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
              "\"ProgKey\"=\"" RIMO_LIB_DIR "/\"\n\"RimoServiceUrl\"=\"" + serviceUrl + "\"\n");
  }
  // The card holder's certificate, expiring in days.
  void Card(long days) {
    pki::CertProfile card;
    card.commonName = "Karteninhaber";
    card.notAfterOffset = days * 86400 - 3600;
    card.notBeforeOffset = -400L * 86400;
    const std::string path = root_ + "/card.pem";
    WriteFile(path, pki::ToPem(pki::Issue(card, Shared::Get().cardKey, Shared::Get().tc.root, Shared::Get().tc.rootKey)));
    setenv("KELO_CARD_CERT", path.c_str(), 1);
  }
  void Wizard(const std::string& suspendable, const std::string& last, bool store) {
    const std::string dir = root_ + "/opt/Quandel/Konfig/KeloCompact";
    fs::create_directories(dir);
    WriteFile(dir + "/WizardProperties.ini", "[Allgemein]\nstoreResponse=" + std::string(store ? "1" : "0") +
                                                 "\ncacheProperties=0\n[PlugInInfos]\nSuspendableAlerts=" +
                                                 suspendable + "\nNonSuspendableAlerts=" + last + "\n");
  }
  static std::wstring Id(const std::wstring& card) { return kIdPrefix + card; }
  // A TC response whose signature over container verifies, whatever the
  // container holds.
  static std::string SignedOver(const std::string& container) {
    const auto& tc = Shared::Get().tc;
    return pki::MakeTcResponse(
        pki::SignContainer(container, tc.signerKey, tc.signer, "12345678901234567890", "12345678901234567891"));
  }
  std::string DataFile(const std::string& kind, const std::wstring& id, const char* extension) const {
    return root_ + "/var/lib/Quandel/Daten/P4100002/RIMO/" + kind + "/" +
           std::string(id.begin(), id.end()) + extension;
  }
  std::string StatusIni(const std::wstring& id) const { return DataFile("Status", id, ".ini"); }
  std::string ResponseFile(const std::wstring& id) const { return DataFile("Response", id, ".xml"); }

  // Runs call on a component of the mode under test, then destroys it (which
  // waits for the queued work) and reads the status object.
  Shown Run(const std::function<void(IRimoData*)>& call) {
    IRimoData* component = lib_.create(status_, GetParam());
    call(component);
    lib_.destroy(component);
    Shown s{};
    status_->Lock();
    s.stateCode = status_->GetStateCode();
    s.outcome = status_->GetQueryOutcome();
    s.errorKind = status_->GetErrorKind();
    s.httpStatus = status_->GetHttpStatus();
    s.requestError = status_->GetRequestError();
    s.responseLength = status_->GetResponseLength();
    s.errorId = Text(status_->GetErrorId());
    s.userMessage = Text(status_->GetUserMessage());
    s.faultId = Text(status_->GetFaultId());
    s.certificates = status_->GetCertificateList()->Count();
    status_->Unlock();
    return s;
  }
  Shown Query(const std::wstring& id) {
    return Run([&](IRimoData* c) { c->QueryRimoResponse(id.c_str()); });
  }
  Shown Fetch(const std::wstring& id) {
    return Run([&](IRimoData* c) { c->LoadRimoResponseFromRZ(id.c_str()); });
  }

  HostLibrary lib_;
  std::string root_;
  std::string answers_;
  std::unique_ptr<DataCenterProcess> center_;
  IScDataStatus* status_ = nullptr;
};

// The table the query's unit test runs against a scripted HTTP layer, here
// through the exports, TLS and rimo-datacenter.
TEST_P(HostQueryTest, EveryOutcomeOfTheQuery) {
  const auto responses = testing::QueryOutcomeResponses::Make(Shared::Get().tc);
  size_t asked = 0;
  for (const testing::QueryOutcomeCase& c : testing::QueryOutcomeCases(responses)) {
    if (!c.throughServer) continue;
    SCOPED_TRACE(c.name);
    ++asked;
    WriteFile(answers_ + "/" + c.card + ".conf",
              "status=" + std::to_string(c.httpStatus) + "\nbodyfile=" + c.card + "body\n");
    WriteFile(answers_ + "/" + c.card + "body", c.body);
    lib_.deleteStatus(status_);
    status_ = lib_.createStatus();
    const Shown s = Query(Id(platform::Utf8ToWide(c.card)));
    EXPECT_EQ(s.stateCode, c.stateCode);
    EXPECT_EQ(s.outcome, c.outcome);
    EXPECT_EQ(s.errorKind, c.errorKind);
    EXPECT_EQ(s.httpStatus, c.httpStatus);
    EXPECT_EQ(s.requestError, static_cast<int32_t>(c.wininetCode));
    EXPECT_EQ(s.errorId, c.errorId.empty() ? L"<null>" : c.errorId);
    EXPECT_EQ(s.userMessage, c.userMessage.empty() ? L"<null>" : c.userMessage);
    EXPECT_EQ(s.faultId, c.faultId.empty() ? L"<null>" : c.faultId);
    EXPECT_EQ(s.responseLength,
              c.outcome == codes::kOutcomeReceived ? static_cast<int32_t>(responses.genuine.size()) : 0);
    EXPECT_GE(center_->Requests(asked).size(), asked) << "each answer came from the data center";
  }
}

TEST_P(HostQueryTest, RequestCarriesThePathQueryAndHeaders) {
  Query(Id(L"890"));
  const auto requests = center_->Requests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /pvtwmod/rest/DataTcService/890?anw=KeloComp&anwvnr=", 0), 0u) << requests[0];
  const size_t anwvnr = requests[0].find("&anwvnr=");
  const size_t toolvnr = requests[0].find("&toolvnr=");
  const size_t medium = requests[0].find("&CASCADE_DESTINATION_MEDIUM=QUANDEL_medium4 ");
  EXPECT_TRUE(anwvnr < toolvnr && toolvnr < medium) << requests[0];
  EXPECT_NE(requests[0].find(" accept=\"application/xml\""), std::string::npos);
  EXPECT_NE(requests[0].find(" user-agent=\"KeloRimoWizzard|Mozilla/5.0 (X11; Linux "), std::string::npos);
}

TEST_P(HostQueryTest, CardNumberIsPercentEncoded) {
  for (const std::wstring& card : {std::wstring(L"?# "), std::wstring(L"%ü&")}) {
    Query(Id(card));
  }
  const auto requests = center_->Requests(2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /pvtwmod/rest/DataTcService/%3F%23%20?anw=KeloComp&", 0), 0u) << requests[0];
  EXPECT_EQ(requests[1].rfind("GET /pvtwmod/rest/DataTcService/%25%C3%BC%26?anw=KeloComp&", 0), 0u) << requests[1];
}

TEST_P(HostQueryTest, RefusedUserIdsSendNothing) {
  const std::vector<std::wstring> ids = {
      L"1234567890123456", L"123456789012345678901", L"1234567890123/../7", L"..",
      // The follow-up card number (from the 18th character) would be a dot
      // segment of the request's path, however the ID spells it.
      L"12345678901234567.", L"12345678901234567..", L"1234567890123456\\..", L"1234567890123456\u2215..",
      L"12345678901234567\\..", L"12345678901234567\u2215..", L"12345678901234567.\u2215",
      L"12345678901234567\uFF0E\uFF0E", L"12345678901234567..\u200B",
      // Not Unicode: a lone surrogate, a value above U+10FFFF.
      std::wstring(L"12345678901234567") + static_cast<wchar_t>(0xD800) + L"0",
      std::wstring(L"12345678901234567") + static_cast<wchar_t>(0x110000) + L"0"};
  for (const std::wstring& id : ids) {
    SCOPED_TRACE(::testing::PrintToString(id));
    lib_.deleteStatus(status_);
    status_ = lib_.createStatus();
    const Shown s = Query(id);
    EXPECT_EQ(s.errorKind, codes::kErrorRequest);
    EXPECT_EQ(s.errorId, L"INT-99001");
    EXPECT_EQ(s.outcome, codes::kOutcomeNoResult);
  }
  EXPECT_TRUE(center_->Requests().empty());
}

TEST_P(HostQueryTest, TransportFailureAfterASuccessShowsNoOldResponse) {
  ASSERT_EQ(Fetch(Id(L"890")).outcome, codes::kOutcomeReceived);
  PointAt("https://127.0.0.1:" + std::to_string(center_->port() == 1 ? 2 : 1) + "/pvtwmod/rest/");
  const Shown s = Fetch(Id(L"890"));
  EXPECT_EQ(s.outcome, codes::kOutcomeNoResult) << "the query starts from no result";
  EXPECT_EQ(s.responseLength, 0);
  EXPECT_EQ(s.errorKind, codes::kErrorRequest);
  EXPECT_EQ(s.errorId, L"000-12029");
  EXPECT_EQ(s.requestError, 12029);
}

TEST_P(HostQueryTest, FetchPublishesStoresAndRecords) {
  const std::wstring id = Id(L"890");
  const Shown s = Fetch(id);
  EXPECT_EQ(s.stateCode, codes::kStatePublished);
  EXPECT_EQ(s.errorKind, codes::kErrorNone);
  EXPECT_EQ(s.certificates, 2u);
  EXPECT_EQ(ReadFile(ResponseFile(id)), Shared::Get().genuine) << "stored unchanged";
  EXPECT_EQ(ReadFile(StatusIni(id)), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");

  // A query for a user whose response file exists sends nothing.
  const Shown again = Query(id);
  EXPECT_EQ(again.outcome, codes::kOutcomeReceived);
  EXPECT_EQ(center_->Requests(1).size(), 1u);
}

TEST_P(HostQueryTest, StatusIniFollowsTheAlertPeriod) {
  struct Case {
    const char* name;
    long days;
    std::string suspendable, last;
    std::wstring card;
    std::string expected;  // the file's content; "" for no file
  } cases[] = {
      {"10 days, alerts 60,30,14 / 7", 10, "60,30,14", "7", L"891",
       "[Allgemein]\nQuerySucceeded=1\nPackageExists=0\n"},
      {"90 days, alerts 60,30,14 / 7", 90, "60,30,14", "7", L"891", ""},
      {"empty list with 0, 10 days", 10, "", "0", L"891", ""},
      {"empty list with 0, expired", -2, "", "0", L"891", "[Allgemein]\nQuerySucceeded=1\nPackageExists=0\n"},
      {"no URL: INT-99001", 10, "60", "7", L"", "[Allgemein]\nErrorInfoRZ=INT-99001\nQuerySucceeded=0\nPackageExists=0\n"},
      {"fault document", 10, "60", "7", L"500",
       "[Allgemein]\nErrorInfoRZ=500-00000\nQuerySucceeded=0\nPackageExists=0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring id = Id(c.card);
    fs::remove(StatusIni(id));
    Card(c.days);
    Wizard(c.suspendable, c.last, true);
    Query(id);
    EXPECT_EQ(fs::exists(StatusIni(id)) ? ReadFile(StatusIni(id)) : "", c.expected);
  }
  // A recorded success is never overwritten by a later failure.
  const std::wstring id = Id(L"500");
  Card(10);
  WriteFile(StatusIni(id), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
  Query(id);
  EXPECT_EQ(ReadFile(StatusIni(id)), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
}

// The card holder's certificate on a token (through p11-kit's proxy), not
// in a file: its expiry decides the alert period in the same way.
TEST_P(HostQueryTest, StatusIniFollowsTheAlertPeriodOfATokenCertificate) {
  unsetenv("KELO_CARD_CERT");
  const struct {
    long days;
    std::string expected;
  } cases[] = {{10, "[Allgemein]\nQuerySucceeded=1\nPackageExists=0\n"}, {90, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.days);
    const std::string tokens = fs::path(std::getenv("SOFTHSM2_CONF")).parent_path() / "tokens";
    fs::remove_all(tokens);
    fs::create_directories(tokens);
    pki::CertProfile card;
    card.commonName = "Karteninhaber";
    card.notAfterOffset = c.days * 86400 - 3600;
    card.notBeforeOffset = -400L * 86400;
    pki::PutOnToken({pki::SoftHsmModule(), "card1", "73519864", ""}, "Karteninhaber",
                    pki::Issue(card, Shared::Get().cardKey, Shared::Get().tc.root, Shared::Get().tc.rootKey),
                    &Shared::Get().cardKey);
    const std::wstring id = Id(L"891");
    fs::remove(StatusIni(id));
    Query(id);
    EXPECT_EQ(fs::exists(StatusIni(id)) ? ReadFile(StatusIni(id)) : "", c.expected);
  }
}

TEST_P(HostQueryTest, WithoutStoreResponseNothingIsWrittenToDisk) {
  Wizard("60", "7", false);
  const std::wstring id = Id(L"890");
  const Shown s = Fetch(id);
  EXPECT_EQ(s.stateCode, codes::kStatePublished);
  EXPECT_EQ(s.certificates, 2u);
  EXPECT_FALSE(fs::exists(ResponseFile(id)));
}

TEST_P(HostQueryTest, HostThreadsPollWhileQueriesRun) {
  IRimoData* component = lib_.create(status_, GetParam());
  std::atomic<bool> done{false};
  std::atomic<size_t> sink{0};
  std::vector<std::thread> pollers;
  for (int i = 0; i < 3; ++i) {
    pollers.emplace_back([&] {
      while (!done) {
        status_->GetBusy();
        status_->GetChanged();
        status_->Lock();
        status_->GetStateCode();
        status_->GetQueryOutcome();
        const uint8_t* data = status_->GetResponseData();
        const int32_t length = status_->GetResponseLength();
        if (data != nullptr && length > 0) sink += data[length - 1];
        ICertificateList* list = status_->GetCertificateList();
        list->LockObject();
        void* cursor = nullptr;
        for (auto* r = list->GetFirstCertificate(&cursor); r != nullptr; r = list->GetNextCertificate(&cursor)) {
          sink += r->derLength;
        }
        list->UnlockObject();
        status_->Unlock();
      }
    });
  }
  for (const wchar_t* card : {L"890", L"891", L"500", L"890", L"202"}) component->LoadRimoResponseFromRZ(Id(card).c_str());
  lib_.destroy(component);
  done = true;
  for (auto& p : pollers) p.join();
  EXPECT_EQ(center_->Requests(5).size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, HostQueryTest, ::testing::Values(uint8_t{0}, uint8_t{1}),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == 1 ? std::string("Asynchronous") : std::string("Synchronous");
                         });

// A writer killed at any moment leaves the old response file or the new one.
TEST_P(HostQueryTest, JobsInSequenceOnOneStatusObjectEachStartClean) {
  // Success, then a fault: nothing of the success remains.
  ASSERT_EQ(Fetch(Id(L"890")).certificates, 2u);
  const Shown fault = Query(Id(L"500"));
  EXPECT_EQ(fault.outcome, codes::kOutcomeNoResult);
  EXPECT_EQ(fault.errorKind, codes::kErrorFault);
  EXPECT_EQ(fault.faultId, L"RZ-4711");
  EXPECT_EQ(fault.certificates, 0u);
  EXPECT_EQ(fault.responseLength, 0);
  // The fault, then a success: nothing of the fault remains.
  const Shown success = Fetch(Id(L"890"));
  EXPECT_EQ(success.outcome, codes::kOutcomeReceived);
  EXPECT_EQ(success.stateCode, codes::kStatePublished);
  EXPECT_EQ(success.errorKind, codes::kErrorNone);
  EXPECT_EQ(success.errorId, L"<null>");
  EXPECT_EQ(success.faultId, L"<null>");
  EXPECT_EQ(success.userMessage, L"<null>");
  EXPECT_EQ(success.certificates, 2u);
  // A success, then a refused ID: ends like a failed query.
  const Shown refused = Query(L"..");
  EXPECT_EQ(refused.outcome, codes::kOutcomeNoResult);
  EXPECT_EQ(refused.errorKind, codes::kErrorRequest);
  EXPECT_EQ(refused.errorId, L"INT-99001");
  EXPECT_EQ(refused.certificates, 0u);
  EXPECT_EQ(refused.responseLength, 0);
  // A 503 after the fault writes its own identifier, not the fault's.
  Query(Id(L"500"));
  const std::wstring busy = Id(L"503");
  fs::remove(StatusIni(busy));
  const Shown unexpected = Query(busy);
  EXPECT_EQ(unexpected.faultId, L"<null>");
  EXPECT_EQ(ReadFile(StatusIni(busy)).find("RZ-4711"), std::string::npos);
}

TEST_P(HostQueryTest, UnverifiedResponseIsNeitherStoredNorRecordedAsASuccess) {
  // A response whose container was changed after signing, and a TCRESPONSE
  // that decodes to something that is no TC response at all.
  const auto& tc = Shared::Get().tc;
  const std::string container = pki::MakeContainer("NEIN", "JA", {{"SIG", pki::CertificateText(tc.signer)}});
  pki::TcResponseParts parts = pki::SignContainer(container, tc.signerKey, tc.signer, "12345678901234567890",
                                                  "12345678901234567891");
  parts.containerBase64 = pki::Base64(container + " ");
  WriteFile(answers_ + "/771.xml", pki::MakeTcResponse(parts));
  WriteFile(answers_ + "/772.xml", "these bytes are no TC response");
  // Signed as they are, so that only the container is wrong: no XML at all,
  // and one cut short after its first <CERT>.
  WriteFile(answers_ + "/773.xml", SignedOver("no markup in this container"));
  WriteFile(answers_ + "/774.xml", SignedOver(container.substr(0, container.find("<CERT>") + 6)));
  for (const wchar_t* card : {L"771", L"772", L"773", L"774"}) {
    for (bool fetch : {false, true}) {
      SCOPED_TRACE(std::string(fetch ? "fetch " : "query ") + platform::WideToUtf8(card));
      const std::wstring id = Id(card);
      fs::remove(StatusIni(id));
      const size_t before = center_->Requests().size();
      const Shown s = fetch ? Fetch(id) : Query(id);
      EXPECT_EQ(s.outcome, codes::kOutcomeNoResult);
      EXPECT_EQ(s.errorKind, codes::kErrorVerification);
      EXPECT_NE(s.stateCode, codes::kStatePublished) << "never published together with a failed check";
      EXPECT_EQ(s.errorId, L"200-99000");
      EXPECT_EQ(s.responseLength, 0);
      EXPECT_EQ(s.certificates, 0u);
      EXPECT_FALSE(fs::exists(ResponseFile(id))) << "nothing unverified is stored";
      EXPECT_EQ(ReadFile(StatusIni(id)), "[Allgemein]\nErrorInfoRZ=200-99000\nQuerySucceeded=0\nPackageExists=0\n");
      Query(id);
      EXPECT_EQ(center_->Requests(before + 2).size(), before + 2) << "the next query asks the data center again";
    }
  }
}

TEST_P(HostQueryTest, StoredResponseThatNoLongerVerifiesIsAskedForAgain) {
  const std::wstring id = Id(L"890");
  ASSERT_EQ(Fetch(id).outcome, codes::kOutcomeReceived);
  ASSERT_TRUE(fs::exists(ResponseFile(id)));
  const size_t before = center_->Requests().size();
  EXPECT_EQ(Query(id).outcome, codes::kOutcomeReceived);
  EXPECT_EQ(center_->Requests().size(), before) << "a stored response that verifies needs no request";
  const std::string stored = ReadFile(ResponseFile(id));
  WriteFile(ResponseFile(id), stored.substr(0, stored.size() / 2));
  EXPECT_EQ(Query(id).outcome, codes::kOutcomeReceived);
  EXPECT_EQ(center_->Requests(before + 1).size(), before + 1) << "a request for the truncated file";
  EXPECT_EQ(ReadFile(ResponseFile(id)), Shared::Get().genuine) << "stored anew";
  // A stored file whose signature holds over a container that cannot be
  // read counts as missing too.
  WriteFile(ResponseFile(id), SignedOver("<RESPONSECONTAINER><CERTIFICATES><CERT>"));
  EXPECT_EQ(Query(id).outcome, codes::kOutcomeReceived);
  EXPECT_EQ(center_->Requests(before + 2).size(), before + 2) << "a request for the file that cannot be published";
  EXPECT_EQ(ReadFile(ResponseFile(id)), Shared::Get().genuine);
}

TEST_P(HostQueryTest, EachQueryRecordsItsOwnOutcomeWhateverRanBefore) {
  // B's response is stored; A's query fails. Asked A then B on one
  // component, each user's status INI records that user's own outcome.
  const std::wstring a = Id(L"500"), b = Id(L"890");
  ASSERT_EQ(Fetch(b).outcome, codes::kOutcomeReceived);
  fs::remove(StatusIni(a));
  fs::remove(StatusIni(b));
  Run([&](IRimoData* c) {
    c->QueryRimoResponse(a.c_str());
    c->QueryRimoResponse(b.c_str());
  });
  EXPECT_EQ(ReadFile(StatusIni(a)), "[Allgemein]\nErrorInfoRZ=500-00000\nQuerySucceeded=0\nPackageExists=0\n");
  EXPECT_EQ(ReadFile(StatusIni(b)), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
}

TEST_P(HostQueryTest, TcResponseTextInPiecesIsReadWhole) {
  const std::string base64 = pki::Base64(Shared::Get().genuine);
  const size_t half = base64.size() / 2;
  WriteFile(answers_ + "/781.conf", "status=200\nbody=<GETDATATCRESPONSE><TCRESPONSE>" + base64.substr(0, half) +
                                        "<!-- split -->" + base64.substr(half) + "</TCRESPONSE></GETDATATCRESPONSE>\n");
  WriteFile(answers_ + "/782.conf", "status=200\nbody=<GETDATATCRESPONSE><TCRESPONSE><![CDATA[" + base64 +
                                        "]]></TCRESPONSE></GETDATATCRESPONSE>\n");
  for (const wchar_t* card : {L"781", L"782"}) {
    SCOPED_TRACE(card[2] == L'1' ? "split by a comment" : "in CDATA");
    const std::wstring id = Id(card);
    const Shown s = Fetch(id);
    EXPECT_EQ(s.outcome, codes::kOutcomeReceived);
    EXPECT_EQ(s.stateCode, codes::kStatePublished);
    EXPECT_EQ(s.certificates, 2u);
    EXPECT_EQ(ReadFile(ResponseFile(id)), Shared::Get().genuine);
  }
}

TEST(ResponseFileTest, KilledWriterLeavesTheOldOrTheNewFile) {
  const std::string path = std::string(std::getenv("TMPDIR")) + "/user.xml";
  const std::string a(1 << 20, 'a');
  const std::string b(1 << 20, 'b');
  ASSERT_TRUE(platform::ReplaceFileAtomically(path, a));
  for (int round = 0; round < 30; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      for (int i = 0;; ++i) platform::ReplaceFileAtomically(path, i % 2 == 0 ? b : a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + round % 7));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string content = ReadFile(path);
    ASSERT_TRUE(content == a || content == b) << "round " << round << ": " << content.size() << " bytes";
  }
}

// Deletes while the data center misbehaves, with every registry time-out at
// one second: each queued query ends by its deadline, and the delete waits
// for no more than that.
class HostStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::getenv("KELO_ROOT");
    fs::create_directories(root_ + "/etc/ssl/certs");
    pki::InstallRoot(Shared::Get().tc.root, root_ + "/etc/ssl/certs");
    answers_ = root_ + "/answers";
    fs::create_directories(answers_);
    WriteFile(answers_ + "/891.conf", "delay_ms=40000\nbody=late\n");
    WriteFile(answers_ + "/892.conf", "drip_ms=500\nbody=" + std::string(200, 'x') + "\n");
    center_ = std::make_unique<DataCenterProcess>(
        std::vector<std::string>{"--cert", Shared::Get().dir.path() + "/server.pem", "--key",
                                 Shared::Get().dir.path() + "/server.key", "--answers", answers_});
  }
  void PointAt(const std::string& serviceUrl) {
    WriteFile(root_ + "/etc/kelo/registry.reg",
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
              "\"RimoServiceUrl\"=\"" + serviceUrl + "\"\n"
              "\"HttpConnectTimeout\"=dword:000003e8\n\"HttpStallTimeout\"=dword:000003e8\n"
              "\"HttpRequestTimeout\"=dword:000003e8\n");
  }

  std::string root_;
  std::string answers_;
  std::unique_ptr<DataCenterProcess> center_;
};

// A server that takes the connection and never says a word, until the
// client goes away (or 45 seconds have passed).
void Silent(int fd) {
  char buffer[4096];
  for (int i = 0; i < 4500; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) > 0 && read(fd, buffer, sizeof buffer) <= 0) return;
  }
}

TEST_F(HostStopTest, DeleteAndUnloadEndWithinTheQueuedDeadlines) {
  testing::LoopbackServer silent(&Silent);
  struct Case {
    const char* name;
    std::string url;
    const wchar_t* card;
    int queued;
  } cases[] = {
      {"TCP accepted, TLS never answered", "https://127.0.0.1:" + std::to_string(silent.port()) + "/pvtwmod/rest/",
       L"890", 1},
      {"answers after 40 s, two more queries queued", center_->BaseUrl() + "/pvtwmod/rest/", L"891", 3},
      {"sends 2 bytes a second", center_->BaseUrl() + "/pvtwmod/rest/", L"892", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PointAt(c.url);
    auto lib = std::make_unique<HostLibrary>();
    ASSERT_TRUE(lib->ok());
    IScDataStatus* status = lib->createStatus();
    IRimoData* component = lib->create(status, 1);
    const std::wstring id = kIdPrefix + c.card;
    for (int i = 0; i < c.queued; ++i) component->LoadRimoResponseFromRZ(id.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the first query is under way
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(lib->destroy(component));
    EXPECT_TRUE(lib->deleteStatus(status));
    lib.reset();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("    %s: delete and unload took %.2f s (bound %d s)\n", c.name, took.count(), c.queued + 1);
    EXPECT_LT(took.count(), 5.0) << "the queued deadlines were not kept";
  }
}

// A delete from another thread while a synchronous call runs waits for the
// call to end before it frees the object.
TEST_F(HostStopTest, DeleteFromAnotherThreadWaitsForTheSynchronousCall) {
  PointAt(center_->BaseUrl() + "/pvtwmod/rest/");
  HostLibrary lib;
  ASSERT_TRUE(lib.ok());
  IScDataStatus* status = lib.createStatus();
  IRimoData* component = lib.create(status, 0);
  std::atomic<bool> callEnded{false};
  std::atomic<bool> callStarted{false};
  std::thread caller([&] {
    const std::wstring id = kIdPrefix + L"891";
    callStarted = true;
    component->LoadRimoResponseFromRZ(id.c_str());
    callEnded = true;
  });
  while (!callStarted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(callEnded) << "the call holds out for its deadline";
  EXPECT_TRUE(lib.destroy(component));
  // The call's outcome is there when the delete returns: the call had ended.
  status->Lock();
  EXPECT_EQ(status->GetErrorKind(), codes::kErrorRequest);
  EXPECT_EQ(std::wstring(status->GetErrorId()), L"000-12002") << "timed out";
  status->Unlock();
  caller.join();
  EXPECT_TRUE(callEnded);
  EXPECT_TRUE(lib.deleteStatus(status));
}


using namespace std::chrono_literals;

struct BusySample {
  bool busy;
  int32_t stateCode, outcome;
};

// Busy as a host sees it, polled every millisecond under the status lock:
// it rises once when the job is taken and falls once, when the job's final
// state is set, however long the data center takes to answer.
TEST_P(HostQueryTest, BusyStaysRaisedForTheWholeJob) {
  WriteFile(answers_ + "/892.conf", "delay_ms=2500\n");
  WriteFile(answers_ + "/892.xml", Shared::Get().genuine);
  const std::wstring id = Id(L"892");
  for (bool fetch : {false, true}) {
    SCOPED_TRACE(fetch ? "LoadRimoResponseFromRZ" : "QueryRimoResponse");
    fs::remove(ResponseFile(id));
    fs::remove(StatusIni(id));
    IRimoData* component = lib_.create(status_, GetParam());
    std::atomic<bool> returned{false};
    std::vector<BusySample> samples;
    // Before the call: not busy (the call may raise busy before the first
    // sample in the loop is taken).
    status_->Lock();
    samples.push_back({status_->GetBusy(), status_->GetStateCode(), status_->GetQueryOutcome()});
    status_->Unlock();
    ASSERT_FALSE(samples.front().busy);
    std::thread caller([&] {
      if (fetch) {
        component->LoadRimoResponseFromRZ(id.c_str());
      } else {
        component->QueryRimoResponse(id.c_str());
      }
      returned = true;
    });
    bool rose = false;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      status_->Lock();
      samples.push_back({status_->GetBusy(), status_->GetStateCode(), status_->GetQueryOutcome()});
      status_->Unlock();
      rose = rose || samples.back().busy;
      // A host waits for busy to rise and fall (and for its own call).
      if (rose && !samples.back().busy && returned) break;
      std::this_thread::sleep_for(1ms);
    }
    caller.join();
    int rises = 0, falls = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
      rises += !samples[i - 1].busy && samples[i].busy;
      falls += samples[i - 1].busy && !samples[i].busy;
    }
    EXPECT_EQ(rises, 1);
    EXPECT_EQ(falls, 1);
    EXPECT_GT(std::count_if(samples.begin(), samples.end(), [](const BusySample& b) { return b.busy; }), 500)
        << "busy while the data center takes its time";
    ASSERT_FALSE(samples.empty());
    const BusySample& last = samples.back();
    EXPECT_FALSE(last.busy);
    EXPECT_EQ(last.outcome, codes::kOutcomeReceived) << "the job's outcome is there once busy falls";
    if (fetch) {
      EXPECT_EQ(last.stateCode, codes::kStatePublished);
    }
    EXPECT_EQ(ReadFile(StatusIni(id)), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n")
        << "the status INI is written before busy falls";
    lib_.destroy(component);
  }
}

// Busy as a host reads it without the lock, spinning: queued jobs taken in
// one drain raise it once and let it fall once; a synchronous call raises it
// once. No clean record a job starts from ever shows busy false mid-job.
TEST_P(HostQueryTest, BusyReadWithoutTheLockRisesOncePerDrain) {
  const std::wstring id = Id(L"500");
  IRimoData* component = lib_.create(status_, GetParam());
  std::atomic<bool> stop{false};
  std::atomic<int> rises{0}, falls{0};
  std::thread spinner([&] {
    bool last = false;
    while (!stop) {
      const bool now = status_->GetBusy();
      rises += !last && now;
      falls += last && !now;
      last = now;
    }
  });
  constexpr int kJobs = 12;
  if (GetParam() == 1) {
    // Queued while the host holds the lock: the worker takes them in one drain.
    status_->Lock();
    for (int i = 0; i < kJobs; ++i) component->QueryRimoResponse(id.c_str());
    status_->Unlock();
  } else {
    for (int i = 0; i < kJobs; ++i) component->QueryRimoResponse(id.c_str());
  }
  lib_.destroy(component);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  spinner.join();
  EXPECT_EQ(rises.load(), falls.load());
  if (GetParam() == 1) {
    // The drain of the jobs, and the Stop task's (in the same drain when
    // the delete came before the jobs were done).
    EXPECT_GE(rises.load(), 1);
    EXPECT_LE(rises.load(), 2);
  } else {
    // One rise per call at most (a spinner may miss the moment between two).
    EXPECT_GE(rises.load(), 1);
    EXPECT_LE(rises.load(), kJobs);
  }
}

// Two component objects on one status object: busy stays up while either
// runs a job, and falls when the last ends.
TEST_P(HostQueryTest, BusyStaysUpWhileAnyObjectOnTheStatusRunsAJob) {
  WriteFile(answers_ + "/895.conf", "delay_ms=1500\n");
  IRimoData* slow = lib_.create(status_, 1);
  IRimoData* quick = lib_.create(status_, GetParam());
  slow->QueryRimoResponse(Id(L"895").c_str());
  // Wait until the slow job is under way.
  for (int i = 0; i < 2000 && !status_->GetBusy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(status_->GetBusy());
  quick->QueryRimoResponse(Id(L"500").c_str());
  if (GetParam() == 1) {
    // The quick object's job ends long before the slow one's.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_TRUE(status_->GetBusy()) << "the slow job still runs";
  lib_.destroy(quick);
  EXPECT_TRUE(status_->GetBusy()) << "the slow job still runs";
  lib_.destroy(slow);
  EXPECT_FALSE(status_->GetBusy());
}

// An answer whose headers came whole and whose body was cut off on its way
// (over TLS): the status the data center sent is recorded, with what its
// body would have been had it been unreadable.
TEST_P(HostQueryTest, CutOffAnswerKeepsTheStatusTheDataCenterSent) {
  WriteFile(answers_ + "/775.xml", Shared::Get().genuine);
  WriteFile(answers_ + "/775.conf", "cut_after=90\n");
  WriteFile(answers_ + "/776.xml", Shared::Get().genuine);
  WriteFile(answers_ + "/776.conf", "cut_after=0\n");
  WriteFile(answers_ + "/777.fault", "500\nRZ-4711\nIhre Karte ist gesperrt.\ncard blocked in backend\n");
  WriteFile(answers_ + "/777.conf", "cut_after=60\n");
  WriteFile(answers_ + "/778.fault", "404\nRZ-0404\nUnbekannt.\nno such card\n");
  WriteFile(answers_ + "/778.conf", "cut_after=1\n");
  const struct {
    const char* name;
    std::wstring card;
    int32_t httpStatus;
    std::wstring errorId;
    int32_t errorKind;
  } cases[] = {
      {"200 cut in its envelope", L"775", 200, L"200-99000", codes::kErrorRequest},
      {"200 cut right after its headers", L"776", 200, L"200-99000", codes::kErrorRequest},
      {"500 cut in its fault document", L"777", 500, L"500-99000", codes::kErrorFaultUnreadable},
      {"404 cut after one byte", L"778", 404, L"404-99000", codes::kErrorFaultUnreadable},
  };
  for (const auto& c : cases) {
    for (bool fetch : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (fetch ? ", fetch" : ", query"));
      const std::wstring id = Id(c.card);
      fs::remove(StatusIni(id));
      const Shown s = fetch ? Fetch(id) : Query(id);
      EXPECT_EQ(s.httpStatus, c.httpStatus);
      EXPECT_EQ(s.errorId, c.errorId);
      EXPECT_EQ(s.errorKind, c.errorKind);
      EXPECT_EQ(s.outcome, codes::kOutcomeNoResult);
      EXPECT_EQ(s.stateCode, codes::kStateQueryStarted);
      EXPECT_EQ(s.requestError, 12030) << "how the answer ended";
      EXPECT_EQ(s.responseLength, 0);
      EXPECT_EQ(s.userMessage, L"<null>") << "nothing of a cut fault document is taken";
      EXPECT_EQ(s.certificates, 0u);
      EXPECT_FALSE(fs::exists(ResponseFile(id)));
      EXPECT_EQ(ReadFile(StatusIni(id)),
                "[Allgemein]\nErrorInfoRZ=" + platform::WideToUtf8(c.errorId) + "\nQuerySucceeded=0\nPackageExists=0\n");
    }
  }
}

// The response file and the status INI follow one rule for a path's
// length, counted in bytes: a data folder with non-ASCII characters whose
// paths have fewer than 260 characters but more than 259 bytes gives the
// user neither file, and says why.
TEST_P(HostQueryTest, UserFilesAreBothHadOrNeither) {
  // The machine-wide folders are unsafe (open to all, not sticky), so the
  // caller's own data folder is used; it lies under a long name.
  for (const char* kind : {"Response", "Status"}) {
    const std::string shared = root_ + "/var/lib/Quandel/Daten/P4100002/RIMO/" + kind;
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all);
  }
  const std::wstring id = Id(L"890");
  const std::string name = platform::WideToUtf8(id);
  // Both paths past 259 bytes (not characters); and only the longer one
  // ("Response/" has two letters more than "Status/").
  for (const char* kind : {"Status", "Response"}) {
    SCOPED_TRACE(std::string("past 259 bytes: the ") + kind + " path");
    const std::string tail = std::string("/Quandel/Daten/P4100002/RIMO/") + kind + "/" + name + ".xml";
    std::string base = root_ + "/data-" + kind + "/";
    for (size_t inFolder = 0; (base + tail).size() < 260; ++inFolder) {
      if (inFolder == 100) {
        base += "/";
        inFolder = 0;
      }
      base += "\xC3\xBC";  // ü: one character, two bytes
    }
    fs::create_directories(base);
    setenv("XDG_DATA_HOME", base.c_str(), 1);
    const std::string own = base + "/Quandel/Daten/P4100002/RIMO/";
    ASSERT_LE(platform::Utf8ToWide(own + "Response/" + name + ".xml").size(), 259u);
    ASSERT_GE((own + "Response/" + name + ".xml").size(), 260u);

    const Shown s = Fetch(id);
    EXPECT_EQ(s.outcome, codes::kOutcomeReceived) << "the response is still published";
    EXPECT_FALSE(fs::exists(own + "Response/" + name + ".xml"));
    EXPECT_FALSE(fs::exists(own + "Status/" + name + ".ini"));
    const size_t before = center_->Requests().size();
    Query(id);
    EXPECT_EQ(center_->Requests(before + 1).size(), before + 1) << "nothing stored, so the data center is asked";
  }
}


// The traces a reader of the Parts looks for, as the trace plug-in writes
// them. The settings are read when the library first traces, so they are
// made before the fixture's first call.
class HostQueryTraceTest : public HostQueryTest {
 protected:
  void SetUp() override {
    trace_ = std::string(std::getenv("KELO_ROOT")) + "/trace.log";
    setenv("KELO_TRACE", "*=16", 1);
    setenv("KELO_TRACE_FILE", trace_.c_str(), 1);
    HostQueryTest::SetUp();
  }
  // The texts of the trace lines written since the last call.
  std::vector<std::string> NewTexts() {
    const std::string all = fs::exists(trace_) ? ReadFile(trace_) : std::string();
    std::istringstream lines(all.substr(std::min(read_, all.size())));
    read_ = all.size();
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(lines, line)) {
      size_t at = 0;
      for (int tab = 0; tab < 5 && at != std::string::npos; ++tab) {
        at = line.find('\t', at);
        if (at != std::string::npos) ++at;
      }
      if (at != std::string::npos) texts.push_back(line.substr(at));
    }
    return texts;
  }
  // Where each needle is first found, in order, each after the one before;
  // the failing needle is named.
  static ::testing::AssertionResult InOrder(const std::vector<std::string>& texts,
                                            const std::vector<std::string>& needles) {
    size_t at = 0;
    for (const std::string& needle : needles) {
      while (at < texts.size() && texts[at].find(needle) == std::string::npos) ++at;
      if (at == texts.size()) return ::testing::AssertionFailure() << "not found in order: " << needle;
      ++at;
    }
    return ::testing::AssertionSuccess();
  }
  static size_t Count(const std::vector<std::string>& texts, const std::string& needle) {
    return std::count_if(texts.begin(), texts.end(),
                         [&](const std::string& t) { return t.find(needle) != std::string::npos; });
  }

  std::string trace_;
  size_t read_ = 0;
};

TEST_P(HostQueryTraceTest, StatusIniTracesEachKeyWrittenAndRemoved) {
  const std::wstring failed = Id(L"500"), noPackage = Id(L"891");
  const std::string failedIni = StatusIni(failed);
  Query(failed);
  std::vector<std::string> texts = NewTexts();
  const std::string write = "Schreibe in Datei [" + failedIni + "] - Section [Allgemein] - Key [";
  EXPECT_TRUE(InOrder(texts, {"---> Beginn: CStatusIni::SetErrorInfoRZ",
                              "---> Beginn: FileOperations::CIniFileBase::SetIniValueString",
                              write + "ErrorInfoRZ]", "Der Wert [500-00000] wurde in den Key [ErrorInfoRZ] geschrieben.",
                              "<--- Ende: CStatusIni::SetErrorInfoRZ",
                              "---> Beginn: FileOperations::CIniFileBase::SetIniValueBool", write + "QuerySucceeded]",
                              "Der Wert [0] wurde in den Key [QuerySucceeded] geschrieben.",
                              "---> Beginn: FileOperations::CIniFileBase::SetIniValueBool", write + "PackageExists]",
                              "Der Wert [0] wurde in den Key [PackageExists] geschrieben."}));
  Query(noPackage);
  texts = NewTexts();
  const std::string write2 = "Schreibe in Datei [" + StatusIni(noPackage) + "] - Section [Allgemein] - Key [";
  EXPECT_TRUE(InOrder(texts, {write2 + "QuerySucceeded]", "Der Wert [1] wurde in den Key [QuerySucceeded] geschrieben.",
                              "---> Beginn: CStatusIni::SetErrorInfoRZ", write2 + "ErrorInfoRZ]",
                              "Der Key [ErrorInfoRZ] wurde gelöscht.", write2 + "PackageExists]",
                              "Der Wert [0] wurde in den Key [PackageExists] geschrieben."}));
  EXPECT_EQ(ReadFile(StatusIni(noPackage)), "[Allgemein]\nQuerySucceeded=1\nPackageExists=0\n") << "one write";
}

TEST_P(HostQueryTraceTest, LifecycleTracesComeInTheirOrder) {
  IRimoData* component = lib_.create(status_, GetParam());
  std::vector<std::string> texts = NewTexts();
  EXPECT_TRUE(InOrder(texts, {"---> Beginn: RimoData::RimoData", "---> Beginn: RimoData::CreateUtilitiesObjects",
                              "<--- Ende: RimoData::CreateUtilitiesObjects",
                              "Event mit dem Namen Quandel.Security.Rimo.DataTaskInQueue wurde erzeugt.",
                              "<--- Ende: RimoData::RimoData"}));
  if (GetParam() == 1) {
    EXPECT_TRUE(InOrder(texts, {"---> Beginn: RimoData::RimoData", "DataWorkerThread wurde mit der ID[",
                                "<--- Ende: RimoData::RimoData"}));
  }
  // A null ID is an empty one.
  component->QueryRimoResponse(nullptr);
  lib_.destroy(component);
  texts = NewTexts();
  EXPECT_EQ(Count(texts, "Die SC-User-ID ist leer. Url kann nicht erstellt werden."), 1u);
  EXPECT_EQ(Count(texts, "länger als"), 0u);
  std::vector<std::string> end = {"---> Beginn: RimoData::~RimoData"};
  if (GetParam() == 1) {
    // The Stop task is pushed as every task is.
    for (const char* line : {"---> Beginn: RimoData::PushTask",
                             "Das Event zum Starten der Verarbeitung eines neuen Tasks wird signalisiert.",
                             "<--- Ende: RimoData::PushTask", "Task mit dem TaskTyp [0] wurde aus der Queue gelesen."}) {
      end.push_back(line);
    }
  }
  for (const char* line : {"---> Beginn: RimoData::DeleteUtilitiesObjects", "<--- Ende: RimoData::DeleteUtilitiesObjects",
                           "<--- Ende: RimoData::~RimoData"}) {
    end.push_back(line);
  }
  EXPECT_TRUE(InOrder(texts, end));
}

INSTANTIATE_TEST_SUITE_P(BothModes, HostQueryTraceTest, ::testing::Values(uint8_t{0}, uint8_t{1}),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == 1 ? std::string("Asynchronous") : std::string("Synchronous");
                         });
}  // namespace
}  // namespace rimo::host
