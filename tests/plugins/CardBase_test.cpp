// The card base plug-in against SoftHSM2 tokens made at test time in the
// test's own token folder (SOFTHSM2_CONF), through p11-kit's proxy, an
// explicit module and a counting module in front of SoftHSM2.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/CertFunctions.h"
#include "pki/Pki.h"
#include "pki/SoftToken.h"
#include "support/TempDir.h"
#include "support/TrustCenterFixture.h"

namespace rimo::crypto {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::SharedPki;
using testing::TrustCenterSandbox;

constexpr char kPin[] = "73519864";

struct Keys {
  pki::Key holder = pki::GenerateKey();
  pki::Key other = pki::GenerateKey();
  static const Keys& Get() {
    static const Keys keys;
    return keys;
  }
};

pki::Cert HolderCert(const std::string& name, long days, const pki::Key& key) {
  pki::CertProfile profile;
  profile.commonName = name;
  profile.clientAuth = true;
  profile.notBeforeOffset = -400L * 86400;
  profile.notAfterOffset = days * 86400 - 3600;
  return pki::Issue(profile, key, SharedPki::Get().genuine.root, SharedPki::Get().genuine.rootKey);
}

void PutOnToken(const std::string& token, const std::string& object, const pki::Cert& cert, const pki::Key* key) {
  pki::PutOnToken({pki::SoftHsmModule(), token, kPin, ""}, object, cert, key);
}

// The plug-in as the component loads it.
class Plugin {
 public:
  Plugin() : handle_(dlopen(RIMO_LIB_DIR "/QNCardBase002.so", RTLD_NOW | RTLD_LOCAL)) {}
  ~Plugin() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool ok() const { return handle_ != nullptr; }
  int Read(pki::Bytes* der) const {
    using Fn = int32_t (*)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, uint8_t*, uint32_t*);
    auto read = reinterpret_cast<Fn>(dlsym(handle_, "QNCardbase_ReadCertificates"));
    der->assign(2048, 0);
    uint32_t length = 2048;
    const int rc = read(3, 0, 0, 0, 0, 0, der->data(), &length);
    der->resize(rc == 0 ? length : 0);
    return rc;
  }
  std::string Source() const {
    using Fn = int32_t (*)(char*, uint32_t*);
    auto describe = reinterpret_cast<Fn>(dlsym(handle_, "QNCardbase_DescribeCertificateSource"));
    char text[1024] = {};
    uint32_t length = sizeof text;
    describe(text, &length);
    return text;
  }

 private:
  void* handle_;
};

// The counting module in front of SoftHSM2, logging into the test's tree.
std::string CountThroughShim(int busyAnswers = 0) {
  const std::string log = std::string(std::getenv("TMPDIR")) + "/p11.log";
  setenv("KELO_PKCS11_MODULE", RIMO_TEST_LIB_DIR "/CountingPkcs11.so", 1);
  setenv("RIMO_TEST_P11_TARGET", pki::SoftHsmModule().c_str(), 1);
  setenv("RIMO_TEST_P11_LOG", log.c_str(), 1);
  setenv("RIMO_TEST_P11_BUSY", std::to_string(busyAnswers).c_str(), 1);
  return log;
}

int Calls(const std::string& log, const std::string& name) {
  if (!fs::exists(log)) return 0;
  const std::string text = ReadFile(log);
  int n = 0;
  for (size_t at = text.find(name + " "); at != std::string::npos; at = text.find(name + " ", at + 1)) ++n;
  return n;
}

class CardBaseTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"KELO_PKCS11_MODULE", "KELO_CARD_URI", "KELO_CARD_CERT", "RIMO_TEST_P11_TARGET",
                             "RIMO_TEST_P11_LOG", "RIMO_TEST_P11_BUSY"}) {
      unsetenv(name);
    }
  }
  // Every token of the test's folder goes.
  static void RemoveTokens() {
    const std::string conf = std::getenv("SOFTHSM2_CONF");
    const std::string tokens = fs::path(conf).parent_path() / "tokens";
    fs::remove_all(tokens);
    fs::create_directories(tokens);
  }
  Plugin plugin_;
};

TEST_F(CardBaseTest, HolderCertificateComesFromTheTokenThroughEitherModule) {
  ASSERT_TRUE(plugin_.ok());
  const pki::Cert cert = HolderCert("Karteninhaber", 30, Keys::Get().holder);
  PutOnToken("card1", "Karteninhaber", cert, &Keys::Get().holder);
  const struct {
    const char* name;
    std::string module;  // "" for the default, p11-kit's proxy
  } cases[] = {{"p11-kit's proxy", ""}, {"SoftHSM2's module named", pki::SoftHsmModule()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.module.empty()) {
      unsetenv("KELO_PKCS11_MODULE");
    } else {
      setenv("KELO_PKCS11_MODULE", c.module.c_str(), 1);
    }
    pki::Bytes der;
    ASSERT_EQ(plugin_.Read(&der), 0);
    EXPECT_EQ(der, pki::ToDer(cert));
    EXPECT_EQ(plugin_.Source().rfind("token \"card1\" (pkcs11:", 0), 0u) << plugin_.Source();
  }
}

TEST_F(CardBaseTest, TheTokensAndTheUriDecideWhichCertificate) {
  ASSERT_TRUE(plugin_.ok());
  const pki::Cert a = HolderCert("Inhaber A", 30, Keys::Get().holder);
  const pki::Cert b = HolderCert("Inhaber B", 30, Keys::Get().other);
  const pki::Cert keyless = HolderCert("Ohne Schluessel", 30, pki::GenerateKey(1024));
  enum Layout { kTwoOnOneToken, kKeylessTokenFirst };
  const struct {
    const char* name;
    Layout layout;
    const char* uri;   // KELO_CARD_URI; nullptr: unset
    int rc;
    const pki::Cert* expected;
  } cases[] = {
      {"the URI names the second object", kTwoOnOneToken, "pkcs11:token=card%201;object=B", 0, &b},
      {"the URI names the first object", kTwoOnOneToken, "pkcs11:object=A;type=cert", 0, &a},
      {"percent-escapes in every part", kTwoOnOneToken, "pkcs11:token=%63ard%201;object=%42", 0, &b},
      {"a URI of another token", kTwoOnOneToken, "pkcs11:token=card%202", 2, nullptr},
      {"a URI of the private key", kTwoOnOneToken, "pkcs11:object=B;type=private", 2, nullptr},
      {"a URI carrying a PIN", kTwoOnOneToken, "pkcs11:object=B?pin-value=73519864", 2, nullptr},
      {"a URI with an unknown part", kTwoOnOneToken, "pkcs11:object=B;x-colour=red", 2, nullptr},
      {"garbage", kTwoOnOneToken, "pkcs11:object=%zz", 2, nullptr},
      {"not a URI", kTwoOnOneToken, "object=B", 2, nullptr},
      {"no URI: a token whose certificate has no key is passed over", kKeylessTokenFirst, nullptr, 0, &b},
      {"no URI: the first with a key", kTwoOnOneToken, nullptr, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTokens();
    if (c.layout == kTwoOnOneToken) {
      PutOnToken("card 1", "A", a, &Keys::Get().holder);
      PutOnToken("card 1", "B", b, &Keys::Get().other);
    } else {
      PutOnToken("aaa", "Ohne", keyless, nullptr);
      PutOnToken("card 2", "B", b, &Keys::Get().other);
    }
    if (c.uri != nullptr) {
      setenv("KELO_CARD_URI", c.uri, 1);
    } else {
      unsetenv("KELO_CARD_URI");
    }
    pki::Bytes der;
    EXPECT_EQ(plugin_.Read(&der), c.rc) << plugin_.Source();
    if (c.expected != nullptr) {
      EXPECT_EQ(der, pki::ToDer(*c.expected));
    } else if (c.rc == 0) {
      EXPECT_TRUE(der == pki::ToDer(a) || der == pki::ToDer(b));
    }
  }
}

// A library that is no PKCS#11 module but links p11-kit (whose own
// C_GetFunctionList dlsym would find through it); "" when there is none.
std::string LibraryLinkingP11Kit() {
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/libcurl.so.4", "/usr/lib/aarch64-linux-gnu/libcurl.so.4",
                           "/usr/lib64/libcurl.so.4", "/usr/lib/libcurl.so.4"}) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) continue;
    const bool reaches = dlsym(handle, "C_GetFunctionList") != nullptr;
    dlclose(handle);
    if (reaches) return path;
  }
  return "";
}

TEST_F(CardBaseTest, AModuleThatIsNoModuleOrNoRegularFileIsRefused) {
  ASSERT_TRUE(plugin_.ok());
  const pki::Cert cert = HolderCert("Karteninhaber", 30, Keys::Get().holder);
  PutOnToken("card1", "Karteninhaber", cert, &Keys::Get().holder);
  const std::string dir = std::getenv("TMPDIR");
  ASSERT_EQ(mkfifo((dir + "/module.so").c_str(), 0600), 0);
  fs::create_directories(dir + "/folder.so");
  struct Case {
    std::string name, module;
  };
  std::vector<Case> cases = {{"missing", dir + "/none.so"}, {"a FIFO", dir + "/module.so"},
                             {"a folder", dir + "/folder.so"}};
  const std::string linksP11Kit = LibraryLinkingP11Kit();
  if (!linksP11Kit.empty()) cases.push_back({"a library linking p11-kit", linksP11Kit});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("KELO_PKCS11_MODULE", c.module.c_str(), 1);
    pki::Bytes der;
    EXPECT_NE(plugin_.Read(&der), 0) << "read through " << c.module;
    EXPECT_TRUE(der.empty());
  }
  // The token's module itself still answers.
  setenv("KELO_PKCS11_MODULE", pki::SoftHsmModule().c_str(), 1);
  pki::Bytes der;
  EXPECT_EQ(plugin_.Read(&der), 0);
  EXPECT_EQ(der, pki::ToDer(cert));
  if (linksP11Kit.empty()) GTEST_SKIP() << "no library here links p11-kit without being a module";
}

TEST_F(CardBaseTest, TheFileWinsOverTheTokenAndKeepsItsRules) {
  ASSERT_TRUE(plugin_.ok());
  const pki::Cert onToken = HolderCert("Auf dem Token", 30, Keys::Get().holder);
  const pki::Cert inFile = HolderCert("In der Datei", 30, Keys::Get().other);
  PutOnToken("card1", "Karteninhaber", onToken, &Keys::Get().holder);
  const std::string dir = std::getenv("TMPDIR");
  testing::WriteFile(dir + "/card.pem", pki::ToPem(inFile));
  const pki::Bytes der = pki::ToDer(inFile);
  testing::WriteFile(dir + "/card.der", std::string(der.begin(), der.end()));
  testing::WriteFile(dir + "/garbage", "not a certificate");
  fs::create_directories(dir + "/folder");
  const struct {
    const char* name;
    std::string file;
    int rc;
  } cases[] = {{"PEM", dir + "/card.pem", 0},           {"DER", dir + "/card.der", 0},
               {"missing", dir + "/none", 2},           {"a folder", dir + "/folder", 2},
               {"no certificate", dir + "/garbage", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("KELO_CARD_CERT", c.file.c_str(), 1);
    pki::Bytes read;
    EXPECT_EQ(plugin_.Read(&read), c.rc) << "the token is not asked when the file is set";
    if (c.rc == 0) {
      EXPECT_EQ(read, der);
    }
    EXPECT_EQ(plugin_.Source().rfind("file " + c.file, 0), 0u) << plugin_.Source();
  }
}

// The component reads the card through CertFunctions, which reads a busy
// card (1050) again, up to six times.
class CardReadsTest : public CardBaseTest {
 protected:
  TrustCenterSandbox sandbox_{RIMO_LIB_DIR};
  config::CRimoPaths paths_;
};

TEST_F(CardReadsTest, NoCardCostsOneRead) {
  const pki::Cert keyless = HolderCert("Ohne Schluessel", 30, Keys::Get().holder);
  const struct {
    const char* name;
    int tokens;  // 0 none, 1 an empty token, 2 a token with a certificate but no key
  } cases[] = {{"no token", 0}, {"an empty token", 1}, {"a certificate without its key", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTokens();
    if (c.tokens == 1) pki::EnsureToken({pki::SoftHsmModule(), "empty", kPin, ""});
    if (c.tokens == 2) PutOnToken("card1", "Karteninhaber", keyless, nullptr);
    const std::string log = CountThroughShim();
    fs::remove(log);
    CertFunctions cf(&paths_);
    cf.SetCardRetryPauseForTesting(1);
    int64_t notAfter = 0;
    EXPECT_FALSE(cf.GetCertificateNotAfter(&notAfter));
    EXPECT_EQ(cf.CardReads(), 1);
    EXPECT_EQ(Calls(log, "C_GetSlotList"), 1) << ReadFile(log);
    EXPECT_EQ(Calls(log, "C_Login"), 0) << "reading asks for no PIN";
  }
}

TEST_F(CardReadsTest, ABusyReaderIsReadAgain) {
  const pki::Cert cert = HolderCert("Karteninhaber", 30, Keys::Get().holder);
  PutOnToken("card1", "Karteninhaber", cert, &Keys::Get().holder);
  const struct {
    int busy;
    bool read;
    int reads;
  } cases[] = {{0, true, 1}, {2, true, 3}, {5, true, 6}, {6, false, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.busy);
    const std::string log = CountThroughShim(c.busy);
    fs::remove(log);
    CertFunctions cf(&paths_);
    cf.SetCardRetryPauseForTesting(1);
    int64_t notAfter = 0;
    EXPECT_EQ(cf.GetCertificateNotAfter(&notAfter), c.read);
    EXPECT_EQ(cf.CardReads(), c.reads);
    EXPECT_EQ(Calls(log, "C_Login"), 0);
  }
}

}  // namespace
}  // namespace rimo::crypto
