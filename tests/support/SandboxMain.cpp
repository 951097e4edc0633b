// The main of every test program: no test touches the real machine.
//
// Before any test runs, KELO_ROOT, HOME, TMPDIR, the XDG variables and
// SOFTHSM2_CONF (SoftHSM2's tokens, for the smart card) point into a private
// tree for the whole program (what suites set up lives there); each test
// then gets a fresh tree of its own, removed after it.
// A test that needs the real paths must say so and set them itself.
// RIMO_TEST_SHARED_DIR names a directory for fixtures shared by all tests.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

constexpr const char* kVariables[] = {"KELO_ROOT",      "HOME",          "TMPDIR",        "XDG_STATE_HOME",
                                      "XDG_DATA_HOME",  "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};

std::string MakeTree(const std::string& parent) {
  std::string pattern = parent + "/rimo-sandbox-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  for (const char* dir : {"kelo-root", "home", "tmp", "state", "data", "config", "cache", "runtime", "tokens"}) {
    fs::create_directories(pattern + "/" + dir);
  }
  chmod((pattern + "/runtime").c_str(), 0700);
  std::ofstream(pattern + "/softhsm2.conf") << "directories.tokendir = " << pattern
                                            << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
  return pattern;
}

void PointInto(const std::string& tree) {
  const std::string values[] = {tree + "/kelo-root", tree + "/home",   tree + "/tmp",   tree + "/state",
                                tree + "/data",      tree + "/config", tree + "/cache", tree + "/runtime"};
  for (size_t i = 0; i < std::size(kVariables); ++i) setenv(kVariables[i], values[i].c_str(), 1);
  setenv("SOFTHSM2_CONF", (tree + "/softhsm2.conf").c_str(), 1);
}

class SandboxPerTest : public ::testing::EmptyTestEventListener {
 public:
  explicit SandboxPerTest(std::string programTree) : programTree_(std::move(programTree)) {}

  void OnTestStart(const ::testing::TestInfo&) override {
    testTree_ = MakeTree(programTree_ + "/tmp");
    PointInto(testTree_);
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    PointInto(programTree_);
    std::error_code ignored;
    fs::remove_all(testTree_, ignored);
  }

 private:
  std::string programTree_;
  std::string testTree_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The card comes from the sandbox's tokens unless a test says otherwise.
  for (const char* name : {"KELO_PKCS11_MODULE", "KELO_CARD_URI", "KELO_CARD_CERT", "KELO_ASKPASS"}) unsetenv(name);
  const char* realTmp = std::getenv("TMPDIR");
  const std::string programTree = MakeTree(realTmp != nullptr && realTmp[0] == '/' ? realTmp : "/tmp");
  PointInto(programTree);
  // Fixtures shared by the whole program live here, outside every test's tree.
  fs::create_directories(programTree + "/shared");
  setenv("RIMO_TEST_SHARED_DIR", (programTree + "/shared").c_str(), 1);
  ::testing::UnitTest::GetInstance()->listeners().Append(new SandboxPerTest(programTree));
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  fs::remove_all(programTree, ignored);
  return result;
}
