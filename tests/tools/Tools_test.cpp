// The command-line tools as a user runs them: rimo-tcsign makes the PKI and
// the responses, rimo loads them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/TempDir.h"

namespace {

struct Outcome {
  int exitCode;
  std::string output;
};

Outcome Execute(const std::string& command) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  Outcome run{-1, ""};
  if (pipe == nullptr) return run;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) run.output.append(buf, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class ToolsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new rimo::testing::TempDir;
    const std::string d = dir_->path();
    ASSERT_EQ(Execute(Tool("rimo-tcsign") + " pki " + d + "/pki").exitCode, 0);
    ASSERT_EQ(Execute(Tool("rimo-tcsign") + " container --keychange JA --switch NEIN --cert SIG=" + d +
                      "/pki/signer.pem --cert ROOT=" + d + "/pki/root.pem -o " + d + "/c.xml")
                  .exitCode,
              0);
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string Tool(const std::string& name) { return std::string(RIMO_BIN_DIR) + "/" + name; }
  static std::string Dir() { return dir_->path(); }
  static std::string Sign(const std::string& out, const std::string& extra = "") {
    const std::string d = Dir();
    Outcome run = Execute(Tool("rimo-tcsign") + " sign --container " + d + "/c.xml --key " + d + "/pki/signer.key" +
                      " --cert " + d + "/pki/signer.pem --current 12345678901234567890" +
                      " --new 12345678901234567891 -o " + d + "/" + out + " " + extra);
    EXPECT_EQ(run.exitCode, 0);
    return d + "/" + out;
  }
  static Outcome Load(const std::string& file, const std::string& options = "--json") {
    return Execute("KELO_ROOT=" + Dir() + "/pki/kelo-root " + Tool("rimo") + " " + options + " load " + file);
  }

  static rimo::testing::TempDir* dir_;
};

rimo::testing::TempDir* ToolsTest::dir_ = nullptr;

TEST_F(ToolsTest, SignedResponseIsPublishedInBothModes) {
  const std::string response = Sign("r.xml");
  for (const char* options : {"--json", "--json --sync"}) {
    SCOPED_TRACE(options);
    Outcome run = Load(response, options);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("\"stateCode\":6002"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\"published\":true"), std::string::npos);
    EXPECT_NE(run.output.find("\"currentSerial\":\"12345678901234567890\""), std::string::npos);
    EXPECT_NE(run.output.find("\"type\":\"SIG\""), std::string::npos);
    EXPECT_NE(run.output.find("CN=CA QUANDEL"), std::string::npos);
  }
}

TEST_F(ToolsTest, BrokenResponsesAreRefused) {
  for (const char* extra : {"--tamper", "--no-signature", "--no-certificate"}) {
    SCOPED_TRACE(extra);
    Outcome run = Load(Sign("broken.xml", extra));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("\"errorKind\":3"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\"certificates\":[]"), std::string::npos);
  }
  Outcome missing = Load(Dir() + "/missing.xml", "");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("Die Datei konnte nicht geöffnet werden."), std::string::npos);
}

TEST_F(ToolsTest, WrongUsageExitsWithTwo) {
  EXPECT_EQ(Execute(Tool("rimo")).exitCode, 2);
  EXPECT_EQ(Execute(Tool("rimo") + " load").exitCode, 2);
  EXPECT_EQ(Execute(Tool("rimo") + " --bogus load x").exitCode, 2);
  EXPECT_EQ(Execute(Tool("rimo") + " --lib /nonexistent/librimodata.so load x").exitCode, 2);
  EXPECT_EQ(Execute(Tool("rimo") + " --help").exitCode, 0);
  EXPECT_EQ(Execute(Tool("rimo-tcsign") + " sign").exitCode, 2);
  EXPECT_EQ(Execute(Tool("rimo-tcsign") + " nonsense").exitCode, 2);
}

}  // namespace
