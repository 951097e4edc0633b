#include "config/IniFileBase.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "platform/IniDocument.h"
#include "support/ConfigSandbox.h"
#include "support/TraceRecorder.h"

namespace FileOperations {
namespace {

namespace fs = std::filesystem;
using rimo::testing::ConfigSandbox;
using rimo::testing::ReadFile;
using rimo::testing::WriteFile;

class IniFileBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ini_.SetTraceCategory(L"Kelo.Rimo.SuppLib");
    ASSERT_TRUE(ini_.SetFilePath(box_.Path("conf/status.ini").c_str()));
  }
  ConfigSandbox box_;
  CIniFileBase ini_;
};

TEST_F(IniFileBaseTest, ReadsWithDefaultsAndTheSentinel) {
  WriteFile(ini_.FilePath(),
            "[A]\nText=hello\nEmpty=\nSentinel=INI_FEHLER\nMinus=-1\nOne=1\nZero=0\nTrue=true\n"
            "Digits=42abc\nLetters=abc\nLong=" + std::string(300, 'x') + "\nTen=0123456789\n");
  struct Case {
    const char* key;
    int32_t outSize;
    bool read;
    const char* out;
  } strings[] = {
      {"Text", 260, true, "hello"},   {"Empty", 260, false, "dflt"},  {"Sentinel", 260, false, "dflt"},
      {"Missing", 260, false, "dflt"}, {"Ten", 11, true, "0123456789"}, {"Ten", 10, false, "dflt"},
      {"Ten", 3, false, "df"},
  };
  // A value past what one profile read delivers reads as its first 259
  // characters, as the profile function gives it.
  const std::string first259(259, 'x');
  struct {
    int32_t outSize;
    bool read;
    std::string out;
  } longs[] = {{260, true, first259}, {259, false, "dflt"}};
  for (const auto& c : longs) {
    SCOPED_TRACE("Long into " + std::to_string(c.outSize));
    char out[300] = "untouched";
    EXPECT_EQ(ini_.GetIniValueString("A", "Long", out, c.outSize, "dflt"), c.read);
    EXPECT_EQ(std::string(out), c.out);
  }
  for (const Case& c : strings) {
    SCOPED_TRACE(std::string(c.key) + " into " + std::to_string(c.outSize));
    char out[300] = "untouched";
    EXPECT_EQ(ini_.GetIniValueString("A", c.key, out, c.outSize, "dflt"), c.read);
    EXPECT_STREQ(out, c.out);
  }
  struct IntCase {
    const char* key;
    int32_t value;
  } ints[] = {{"Minus", 77}, {"One", 1}, {"Digits", 42}, {"Letters", 0}, {"Missing", 77}, {"Empty", 77}};
  for (const IntCase& c : ints) EXPECT_EQ(ini_.GetIniValueInt("A", c.key, 77), c.value) << c.key;
  struct BoolCase {
    const char* key;
    bool dflt;
    bool value;
  } bools[] = {{"One", false, true}, {"Zero", true, false},   {"True", true, false},
               {"Minus", true, true}, {"Missing", true, true}, {"Digits", true, false}};
  for (const BoolCase& c : bools) EXPECT_EQ(ini_.GetIniValueBool("A", c.key, c.dflt), c.value) << c.key;
}

TEST_F(IniFileBaseTest, MissingFileLeavesTheOutputUntouched) {
  char out[16] = "untouched";
  EXPECT_FALSE(ini_.GetIniValueString("A", "Text", out, sizeof out, "dflt"));
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(ini_.GetIniValueInt("A", "Text", 5), 5);
}

TEST_F(IniFileBaseTest, WriteCreatesTheTreeThenTheFileAndNullDeletes) {
  rimo::testing::TraceRecorder recorder({{"*", 16}});
  ASSERT_TRUE(ini_.SetIniValueString("Allgemein", "QuerySucceeded", "1"));
  ASSERT_TRUE(ini_.SetIniValueBool("Allgemein", "PackageExists", false));
  EXPECT_EQ(ReadFile(ini_.FilePath()), "[Allgemein]\nQuerySucceeded=1\nPackageExists=0\n");
  ASSERT_TRUE(ini_.SetIniValueString("Allgemein", "QuerySucceeded", nullptr));
  EXPECT_EQ(ReadFile(ini_.FilePath()), "[Allgemein]\nPackageExists=0\n");
  EXPECT_EQ(recorder.Matching("Der Key [QuerySucceeded] wurde gelöscht.").size(), 1u);
  EXPECT_EQ(recorder.Matching("Der Wert [1] wurde in den Key [QuerySucceeded] geschrieben.").size(), 1u);
}

TEST_F(IniFileBaseTest, BadParametersAreRefusedWithTheirLengths) {
  rimo::testing::TraceRecorder recorder({{"*", 16}});
  EXPECT_FALSE(ini_.SetIniValueString("Allgemein", "Key", ""));
  EXPECT_FALSE(ini_.SetIniValueString("", "Key", "v"));
  EXPECT_FALSE(ini_.SetIniValueBool("Allgemein", "", true));
  EXPECT_FALSE(fs::exists(ini_.FilePath()));
  auto lines = recorder.Matching("Falscher Parameter beim Schreiben in die INI-Datei");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("SectionLen[9] - KeyLen[3] - ValueLen[0]"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("SectionLen[9] - KeyLen[0]"), std::string::npos) << lines[2];
}

TEST_F(IniFileBaseTest, ValuesWithLineBreaksAreNeverWritten) {
  ASSERT_TRUE(ini_.SetIniValueString("A", "k", "old"));
  EXPECT_FALSE(ini_.SetIniValueString("A", "k", "new\n[Injected]\nx=1"));
  EXPECT_EQ(ReadFile(ini_.FilePath()), "[A]\nk=old\n");
}

TEST_F(IniFileBaseTest, UnreadableExistingFileIsNeverReplaced) {
  // A directory in place of the file cannot be read; it must survive.
  fs::create_directories(ini_.FilePath());
  EXPECT_FALSE(ini_.SetIniValueString("A", "k", "v"));
  EXPECT_TRUE(fs::is_directory(ini_.FilePath()));
}

TEST_F(IniFileBaseTest, PathsThatDoNotFitOrAreRelativeAreRefused) {
  CIniFileBase other;
  EXPECT_FALSE(other.SetFilePath(("/" + std::string(259, 'x')).c_str()));
  EXPECT_FALSE(other.SetFilePath("relative.ini"));
  EXPECT_FALSE(other.SetIniValueString("A", "k", "v"));
  EXPECT_FALSE(other.SetTraceCategory(L""));
  EXPECT_FALSE(other.SetTraceCategory(nullptr));
}

// A writer killed at any moment leaves a file that parses and holds a value
// that was written, never a torn or empty file.
TEST_F(IniFileBaseTest, KilledWriterNeverLeavesAHalfWrittenFile) {
  ASSERT_TRUE(ini_.SetIniValueString("Keep", "comment", "this line must survive"));
  std::mt19937 random(12345);
  for (int round = 0; round < 30; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) {
        std::string value = "value-" + std::to_string(i) + std::string(static_cast<size_t>(i % 4000), 'v');
        ini_.SetIniValueString("Allgemein", "Counter", value.c_str());
      }
    }
    usleep(1000 + random() % 20000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    auto doc = rimo::platform::IniDocument::Parse(ReadFile(ini_.FilePath()));
    ASSERT_EQ(doc.Get("Keep", "comment"), "this line must survive") << "round " << round;
    auto counter = doc.Get("Allgemein", "Counter");
    if (counter) {
      ASSERT_EQ(counter->rfind("value-", 0), 0u) << *counter;
      int n = std::stoi(counter->substr(6));
      ASSERT_EQ(counter->size(), 6 + std::to_string(n).size() + static_cast<size_t>(n % 4000));
    }
  }
}

}  // namespace
}  // namespace FileOperations
