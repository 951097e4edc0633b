// Client authentication with a key that stays on a token: rimo-datacenter
// demands a client certificate from its CA, the askpass helper chooses among
// the tokens' certificates and gives the PIN. SoftHSM2 tokens are made at
// test time in the test's own token folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pki/Pki.h"
#include "pki/SoftToken.h"
#include "platform/Pkcs11.h"
#include "platform/Utf8.h"
#include "support/DataCenterProcess.h"
#include "support/TempDir.h"
#include "support/TraceRecorder.h"
#include "webcomm/KeloHttpComm.h"
#include "webcomm/WinInetCodes.h"

extern char** environ;

namespace WebCommLib {
namespace {

namespace fs = std::filesystem;
namespace pki = rimo::pki;
using rimo::testing::DataCenterProcess;
using rimo::testing::ReadFile;
using rimo::testing::WriteFile;

constexpr char kPin[] = "73519864";

struct Shared {
  rimo::testing::TempDir dir{std::getenv("RIMO_TEST_SHARED_DIR")};
  pki::TrustCenter tc = pki::TrustCenter::Make();
  pki::Key serverKey = pki::GenerateKey();
  pki::Key holderKey = pki::GenerateKey();
  pki::Key strangerKey = pki::GenerateKey();
  pki::Cert holder, stranger;
  std::string path(const std::string& name) const { return dir.path() + "/" + name; }
  Shared() {
    WriteFile(path("root.pem"), pki::ToPem(tc.root));
    pki::CertProfile server;
    server.commonName = "localhost";
    server.ipAddresses = {"127.0.0.1"};
    server.serverAuth = true;
    WriteFile(path("server.pem"), pki::ToPem(pki::Issue(server, serverKey, tc.root, tc.rootKey)) + pki::ToPem(tc.root));
    WriteFile(path("server.key"), pki::KeyToPem(serverKey));
    pki::CertProfile card;
    card.commonName = "Karteninhaber";
    card.clientAuth = true;
    holder = pki::Issue(card, holderKey, tc.root, tc.rootKey);
    // Issued by a CA the data center does not accept.
    const pki::Key otherCaKey = pki::GenerateKey();
    const pki::Cert otherCa = pki::Issue(pki::RootProfile("Somebody Else"), otherCaKey, nullptr, otherCaKey);
    card.commonName = "Fremder";
    stranger = pki::Issue(card, strangerKey, otherCa, otherCaKey);
    pki::CertProfile client;
    client.commonName = "client";
    client.clientAuth = true;
    const pki::Key clientKey = pki::GenerateKey();
    WriteFile(path("client-bundle.pem"),
              pki::ToPem(pki::Issue(client, clientKey, tc.root, tc.rootKey)) + pki::KeyToPem(clientKey));
  }
  static Shared& Get() {
    static Shared shared;
    return shared;
  }
};

class TokenClientAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = std::getenv("TMPDIR");
    const std::string store = std::string(std::getenv("KELO_ROOT")) + "/etc/ssl/certs";
    fs::create_directories(store);
    pki::InstallRoot(Shared::Get().tc.root, store);
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) unsetenv(name);
    const std::string answers = tmp_ + "/answers";
    fs::create_directories(answers);
    WriteFile(answers + "/123.conf", "status=200\nbody=<x/>\n");
    center_ = std::make_unique<DataCenterProcess>(std::vector<std::string>{
        "--cert", Shared::Get().path("server.pem"), "--key", Shared::Get().path("server.key"), "--answers", answers,
        "--client-ca", Shared::Get().path("root.pem")});
    url_ = rimo::platform::Utf8ToWide(center_->BaseUrl() + "/pvtwmod/rest/DataTcService/123?anw=KeloComp");
  }
  void TearDown() override {
    for (const char* name : {"KELO_ASKPASS", "KELO_PKCS11_MODULE", "RIMO_TEST_P11_TARGET", "RIMO_TEST_P11_LOG"}) {
      unsetenv(name);
    }
  }
  // A helper that records its calls (arguments), its standard input and its
  // environment, and answers: for client-cert the URI of candidate line
  // `line` (or `answer` when given), for pin the PIN `pin`.
  void Askpass(int line, const std::string& answer, const std::string& pin) {
    const std::string script = tmp_ + "/askpass.sh";
    WriteFile(script, "#!/bin/sh\n"
                      "echo \"$1 $2\" >> " + tmp_ + "/calls.log\n"
                      "env >> " + tmp_ + "/helper-env.txt\n"
                      "case \"$1\" in\n"
                      "  client-cert) cat > " + tmp_ + "/candidates.txt\n"
                      "    if [ -n '" + answer + "' ]; then echo '" + answer + "'; else sed -n '" +
                      std::to_string(line) + "p' " + tmp_ + "/candidates.txt | cut -d' ' -f1; fi ;;\n"
                      "  pin) echo '" + pin + "' ;;\n"
                      "esac\n");
    chmod(script.c_str(), 0700);
    setenv("KELO_ASKPASS", script.c_str(), 1);
  }
  // A helper that records its calls and runs clientCert (candidates on its
  // standard input, saved to candidates.txt first) or pin as shell text; $T
  // is the test's folder, $URI the first candidate's URI.
  void Helper(const std::string& clientCert, const std::string& pin) {
    const std::string script = tmp_ + "/askpass.sh";
    WriteFile(script, "#!/bin/sh\n"
                      "T='" + tmp_ + "'\n"
                      "echo \"$1 $2\" >> \"$T/calls.log\"\n"
                      "case \"$1\" in\n"
                      "  client-cert) cat > \"$T/candidates.txt\"\n"
                      "    URI=$(sed -n 1p \"$T/candidates.txt\" | cut -d' ' -f1)\n"
                      "    " + clientCert + " ;;\n"
                      "  pin) " + pin + " ;;\n"
                      "esac\n");
    chmod(script.c_str(), 0700);
    setenv("KELO_ASKPASS", script.c_str(), 1);
  }
  std::string CountLogins() {
    const std::string log = tmp_ + "/p11.log";
    setenv("KELO_PKCS11_MODULE", RIMO_TEST_LIB_DIR "/CountingPkcs11.so", 1);
    setenv("RIMO_TEST_P11_TARGET", pki::SoftHsmModule().c_str(), 1);
    setenv("RIMO_TEST_P11_LOG", log.c_str(), 1);
    return log;
  }
  static int Count(const std::string& file, const std::string& needle) {
    if (!fs::exists(file)) return 0;
    const std::string text = ReadFile(file);
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }
  void PutHolderOnToken(const std::string& token = "card1") {
    pki::PutOnToken({pki::SoftHsmModule(), token, kPin, ""}, "Karteninhaber", Shared::Get().holder,
                    &Shared::Get().holderKey);
  }
  // Nowhere but in the helper's answer: not in the process's environment.
  static bool PinInOwnEnvironment() {
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).find(kPin) != std::string::npos) return true;
    }
    return false;
  }

  std::string tmp_;
  std::unique_ptr<DataCenterProcess> center_;
  std::wstring url_;
};

TEST_F(TokenClientAuthTest, TheKeyOnTheTokenAuthenticatesAndThePinStaysInMemory) {
  PutHolderOnToken();
  Askpass(1, "", kPin);
  const std::string logins = CountLogins();
  rimo::testing::TraceRecorder trace({{"*", 16}});
  KeloHttpComm http;
  const HttpRequestResult r = http.ExecuteHttpRequest(url_);
  EXPECT_EQ(r.errorCode, kErrorNone) << rimo::platform::WideToUtf8(r.message);
  EXPECT_EQ(r.httpStatus, 200);
  EXPECT_EQ(center_->Requests(1).size(), 1u);
  EXPECT_EQ(ReadFile(tmp_ + "/calls.log"), "client-cert 127.0.0.1\npin card1\n");
  const std::string candidates = ReadFile(tmp_ + "/candidates.txt");
  EXPECT_EQ(std::count(candidates.begin(), candidates.end(), '\n'), 1) << candidates;
  EXPECT_EQ(candidates.rfind("pkcs11:", 0), 0u) << candidates;
  EXPECT_NE(candidates.find("token=card1"), std::string::npos) << candidates;
  EXPECT_NE(candidates.find(" CN=Karteninhaber"), std::string::npos) << candidates;
  // Ours and the engine's, both with the PIN already found right.
  EXPECT_EQ(Count(logins, "C_Login 0x0"), Count(logins, "C_Login ")) << ReadFile(logins);
  // The PIN is nowhere but where it was typed.
  for (const auto& line : trace.Lines()) EXPECT_EQ(line.text.find(kPin), std::string::npos) << line.text;
  EXPECT_EQ(rimo::platform::WideToUtf8(r.message).find(kPin), std::string::npos);
  EXPECT_FALSE(PinInOwnEnvironment());
  EXPECT_EQ(ReadFile(tmp_ + "/helper-env.txt").find(kPin), std::string::npos);
  EXPECT_EQ(ReadFile(logins).find(kPin), std::string::npos);
  // The engine leaves its sessions open: the card is not left logged in.
  namespace p11 = rimo::platform::pkcs11;
  std::string why;
  const auto module = p11::Module::Open(p11::ModulePath(), &why);
  ASSERT_NE(module, nullptr) << why;
  std::vector<p11::TokenCertificate> found;
  ASSERT_EQ(p11::FindCertificates(*module, "pkcs11:token=card1", &found), p11::Search::kFound);
  const p11::Session session(*module, found.front().slot);
  CK_SESSION_INFO info{};
  ASSERT_EQ(module->functions()->C_GetSessionInfo(session.handle(), &info), static_cast<CK_RV>(CKR_OK));
  EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION)) << "still logged in";
}

TEST_F(TokenClientAuthTest, AWrongPinEndsTheRequestAfterOneLogin) {
  PutHolderOnToken();
  Askpass(1, "", "11112222");
  const std::string logins = CountLogins();
  KeloHttpComm http;
  const HttpRequestResult r = http.ExecuteHttpRequest(url_);
  EXPECT_EQ(r.errorCode, kErrorClientAuth);
  EXPECT_EQ(r.wininetCode, kInetClientCertNeeded);
  const std::string message = rimo::platform::WideToUtf8(r.message);
  EXPECT_NE(message.find("PIN"), std::string::npos) << message;
  EXPECT_NE(message.find("wrong"), std::string::npos) << message;
  EXPECT_NE(message.find("card1"), std::string::npos) << message;
  EXPECT_EQ(Count(logins, "C_Login "), 1) << ReadFile(logins);
  EXPECT_EQ(Count(tmp_ + "/calls.log", "pin card1"), 1) << "the PIN is asked once";
  EXPECT_TRUE(center_->Requests().empty());
}

TEST_F(TokenClientAuthTest, AnswersThatChooseNothingCountAsCancelled) {
  PutHolderOnToken();
  const struct {
    const char* name;
    int line;
    std::string answer;
  } cases[] = {
      {"garbage", 0, "pkcs11:object=%zz"},
      {"a token that is not there", 0, "pkcs11:token=card9"},
      {"a URI that carries a PIN", 0, "pkcs11:token=card1?pin-value=73519864"},
      {"the private key's URI", 0, "pkcs11:token=card1;type=private"},
      {"no line chosen (empty answer)", 5, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(tmp_ + "/calls.log");
    Askpass(c.line, c.answer, kPin);
    const std::string logins = CountLogins();
    fs::remove(logins);
    KeloHttpComm http;
    const HttpRequestResult r = http.ExecuteHttpRequest(url_);
    EXPECT_EQ(r.errorCode, kErrorClientAuth);
    EXPECT_EQ(r.wininetCode, kInetClientCertNeeded);
    EXPECT_EQ(http.SendsOfLastExecution(), 1);
    EXPECT_EQ(Count(tmp_ + "/calls.log", "client-cert "), 1) << "a cancel ends the choice";
    EXPECT_EQ(Count(tmp_ + "/calls.log", "pin "), 0) << "no PIN for no choice";
    EXPECT_EQ(Count(logins, "C_Login "), 0);
  }
}

TEST_F(TokenClientAuthTest, OfTwoTokensTheChosenOneAuthenticates) {
  // The first token's certificate is from a CA the data center refuses.
  pki::PutOnToken({pki::SoftHsmModule(), "aaa", "99990000", ""}, "Fremder", Shared::Get().stranger,
                  &Shared::Get().strangerKey);
  PutHolderOnToken("card 2");
  // The helper picks the holder's line.
  Askpass(0, "", kPin);
  const std::string script = tmp_ + "/askpass.sh";
  std::string text = ReadFile(script);
  text.replace(text.find("sed -n '0p'"), 11, "grep Karteninhaber");
  WriteFile(script, text);
  KeloHttpComm http;
  const HttpRequestResult r = http.ExecuteHttpRequest(url_);
  EXPECT_EQ(r.httpStatus, 200) << rimo::platform::WideToUtf8(r.message);
  EXPECT_EQ(Count(tmp_ + "/candidates.txt", "\n"), 2) << ReadFile(tmp_ + "/candidates.txt");
  EXPECT_EQ(Count(tmp_ + "/calls.log", "pin card 2"), 1) << ReadFile(tmp_ + "/calls.log");
}

TEST_F(TokenClientAuthTest, APemFileStillAnswers) {
  PutHolderOnToken();  // offered, but not chosen
  Askpass(0, Shared::Get().path("client-bundle.pem"), kPin);
  KeloHttpComm http;
  const HttpRequestResult r = http.ExecuteHttpRequest(url_);
  EXPECT_EQ(r.httpStatus, 200) << rimo::platform::WideToUtf8(r.message);
  EXPECT_EQ(ReadFile(tmp_ + "/calls.log"), "client-cert 127.0.0.1\n");
}

TEST_F(TokenClientAuthTest, APinLongerThanThirtyTwoBytesIsUsedWhole) {
  const std::string longPin = "1234567890abcdefghijklmnopqrstuvwxyzABCD";  // 40 bytes
  pki::PutOnToken({pki::SoftHsmModule(), "card1", longPin, ""}, "Karteninhaber", Shared::Get().holder,
                  &Shared::Get().holderKey);
  Askpass(1, "", longPin);
  const std::string logins = CountLogins();
  rimo::testing::TraceRecorder trace({{"*", 16}});
  ::testing::internal::CaptureStderr();
  KeloHttpComm http;
  const HttpRequestResult r = http.ExecuteHttpRequest(url_);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.errorCode, kErrorNone) << rimo::platform::WideToUtf8(r.message);
  EXPECT_EQ(r.httpStatus, 200);
  EXPECT_EQ(ReadFile(tmp_ + "/calls.log"), "client-cert 127.0.0.1\npin card1\n");
  EXPECT_GE(Count(logins, "C_Login 0x0"), 1) << ReadFile(logins);
  EXPECT_EQ(Count(logins, "C_Login 0x0"), Count(logins, "C_Login ")) << ReadFile(logins);
  EXPECT_EQ(errors.find("PIN"), std::string::npos) << errors;
  EXPECT_EQ(errors.find(longPin), std::string::npos);
  for (const auto& line : trace.Lines()) EXPECT_EQ(line.text.find(longPin), std::string::npos) << line.text;
}

TEST_F(TokenClientAuthTest, ACancelEndsTheChoiceWithoutAnotherAsk) {
  PutHolderOnToken();
  const struct {
    const char* name;
    std::string clientCert, pin;
    int pinAsks;
    const char* because;  // in the result's message
  } cases[] = {
      {"client-cert fails", "exit 1", "echo 73519864", 0, "cancelled"},
      {"client-cert prints nothing", "true", "echo 73519864", 0, "cancelled"},
      {"client-cert selects nothing", "echo 'pkcs11:token=card9'", "echo 73519864", 0, "cancelled"},
      {"client-cert answers garbage", "echo hello", "echo 73519864", 0, "cancelled"},
      {"client-cert answers a relative path", "echo client-bundle.pem", "echo 73519864", 0, "cancelled"},
      {"pin fails", "echo \"$URI\"", "exit 1", 1, "cancelled"},
      {"pin prints nothing", "echo \"$URI\"", "true", 1, "cancelled"},
      {"pin holds a NUL", "echo \"$URI\"", "printf '7351\\0009864\\n'", 1, "NUL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(tmp_ + "/calls.log");
    Helper(c.clientCert, c.pin);
    const std::string logins = CountLogins();
    fs::remove(logins);
    KeloHttpComm http;
    const HttpRequestResult r = http.ExecuteHttpRequest(url_);
    EXPECT_EQ(r.errorCode, kErrorClientAuth);
    EXPECT_EQ(r.wininetCode, kInetClientCertNeeded);
    EXPECT_NE(rimo::platform::WideToUtf8(r.message).find(c.because), std::string::npos)
        << rimo::platform::WideToUtf8(r.message);
    EXPECT_EQ(http.SendsOfLastExecution(), 1);
    EXPECT_EQ(Count(tmp_ + "/calls.log", "client-cert "), 1) << ReadFile(tmp_ + "/calls.log");
    EXPECT_EQ(Count(tmp_ + "/calls.log", "pin "), c.pinAsks) << ReadFile(tmp_ + "/calls.log");
    EXPECT_EQ(Count(logins, "C_Login "), 0) << "no login after a cancel";
    EXPECT_TRUE(center_->Requests().empty());
  }
}

TEST_F(TokenClientAuthTest, APemAnswerCountsOnlyAsPrintedAndOnlyForARegularFile) {
  PutHolderOnToken();
  const std::string bundle = Shared::Get().path("client-bundle.pem");
  const std::string fifo = tmp_ + "/fifo.pem";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* name;
    std::string clientCert;
  } cases[] = {
      {"a leading blank", "echo ' " + bundle + "'"},
      {"a trailing blank", "echo '" + bundle + " '"},
      {"an embedded NUL", "printf '" + bundle + "\\000x\\n'"},
      {"a FIFO", "echo '" + fifo + "'"},
      {"a folder", "echo '" + tmp_ + "'"},
      {"a missing file", "echo '" + tmp_ + "/none.pem'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(tmp_ + "/calls.log");
    Helper(c.clientCert, "echo 73519864");
    KeloHttpComm http;
    const HttpRequestResult r = http.ExecuteHttpRequest(url_);
    EXPECT_EQ(r.errorCode, kErrorClientAuth);
    EXPECT_EQ(r.wininetCode, kInetClientCertNeeded);
    EXPECT_EQ(http.SendsOfLastExecution(), 1);
    EXPECT_EQ(Count(tmp_ + "/calls.log", "client-cert "), 1) << ReadFile(tmp_ + "/calls.log");
    EXPECT_TRUE(center_->Requests().empty());
  }
}

TEST_F(TokenClientAuthTest, TheHelperGetsOnlyTheRequestsTimeLeft) {
  PutHolderOnToken();
  // Each helper would write late.log after its sleep: it is killed first.
  const struct {
    const char* name;
    std::string clientCert, pin;
    int pinAsks;
  } cases[] = {
      {"client-cert sleeps", "sleep 30; echo late >> \"$T/late.log\"", "echo 73519864", 0},
      {"client-cert answers, then sleeps", "echo \"$URI\"; sleep 30; echo late >> \"$T/late.log\"", "echo 73519864", 0},
      {"pin sleeps", "echo \"$URI\"", "sleep 30; echo late >> \"$T/late.log\"", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(tmp_ + "/calls.log");
    fs::remove(tmp_ + "/late.log");
    Helper(c.clientCert, c.pin);
    const std::string logins = CountLogins();
    fs::remove(logins);
    KeloHttpComm http;
    http.SetTimeouts(3000, 3000, 3000);
    const HttpRequestResult r = http.ExecuteHttpRequest(url_);
    EXPECT_EQ(r.errorCode, kErrorClientAuth);
    EXPECT_EQ(r.wininetCode, kInetClientCertNeeded);
    EXPECT_EQ(http.SendsOfLastExecution(), 1);
    EXPECT_FALSE(fs::exists(tmp_ + "/late.log")) << "the helper outlived the request";
    EXPECT_EQ(Count(tmp_ + "/calls.log", "client-cert "), 1) << ReadFile(tmp_ + "/calls.log");
    EXPECT_EQ(Count(tmp_ + "/calls.log", "pin "), c.pinAsks) << ReadFile(tmp_ + "/calls.log");
    EXPECT_EQ(Count(logins, "C_Login "), 0);
  }
}

}  // namespace
}  // namespace WebCommLib
