#include "config/DirectoryLibrary.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "platform/Utf8.h"

#include "support/ConfigSandbox.h"

namespace rimo::config {
namespace {

namespace fs = std::filesystem;
using testing::ConfigSandbox;
using testing::ReadFile;
using testing::RegKey;

std::string DataDir(DirectoryLibrary& lib, const char* component = "P4100002", const char* category = "RIMO",
                    bool create = true, int32_t* rc = nullptr) {
  char dir[260] = "junk";
  int32_t result = lib.GetDataDir(component, dir, sizeof dir, create, category, "1.0");
  if (rc != nullptr) *rc = result;
  return dir;
}

std::string KonfigDir(DirectoryLibrary& lib, const char* component = "P4100002") {
  char dir[260] = "junk";
  lib.GetKonfigDir(component, dir, sizeof dir);
  return dir;
}

TEST(DirectoryLibraryTest, FreshMachineCreatesTheDataDirectoryUnderProgramData) {
  ConfigSandbox box;
  int32_t rc = -1;
  EXPECT_EQ(DataDir(box.library(), "P4100002", "RIMO", true, &rc), box.Path("var/lib/Quandel/Daten/P4100002/RIMO/"));
  EXPECT_EQ(rc, kResultOk);
  EXPECT_TRUE(fs::is_directory(box.Path("var/lib/Quandel/Daten/P4100002/RIMO")));
}

TEST(DirectoryLibraryTest, WithoutCreateAMissingDataDirectoryIsNotFound) {
  ConfigSandbox box;
  int32_t rc = -1;
  EXPECT_EQ(DataDir(box.library(), "P4100002", "RIMO", false, &rc), "");
  EXPECT_EQ(rc, kResultNotFound);
  EXPECT_FALSE(fs::exists(box.Path("var/lib/Quandel/Daten/P4100002")));
}

TEST(DirectoryLibraryTest, InsideAPackageInstallationDataGoesToTheLowTempDirectory) {
  // The program directory names the component: a package installation.
  ConfigSandbox box;
  fs::create_directories(box.Path("opt/P4100002/bin"));
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ProgKey\"=\"" + box.Path("opt/P4100002/bin") + "\""));
  EXPECT_EQ(DataDir(box.library()),
            box.Path("tmp/kelo-" + std::to_string(geteuid()) + "/Low/Quandel/Daten/P4100002/RIMO/"));
}

TEST(DirectoryLibraryTest, BufferMustBeLargerThanThePath) {
  ConfigSandbox box;
  const std::string expected = DataDir(box.library());
  std::vector<char> buf(expected.size());
  EXPECT_EQ(box.library().GetDataDir("P4100002", buf.data(), static_cast<int32_t>(buf.size()), true, "RIMO", "1.0"),
            kResultBufferTooSmall);
  EXPECT_EQ(buf[0], '\0');
  buf.resize(expected.size() + 1);
  EXPECT_EQ(box.library().GetDataDir("P4100002", buf.data(), static_cast<int32_t>(buf.size()), true, "RIMO", "1.0"),
            kResultOk);
  EXPECT_EQ(std::string(buf.data()), expected);
}

TEST(DirectoryLibraryTest, NullArgumentsGive1001AndAnEmptyBuffer) {
  ConfigSandbox box;
  char dir[260] = "junk";
  DirectoryLibrary& lib = box.library();
  EXPECT_EQ(lib.GetDataDir(nullptr, dir, sizeof dir, true, "RIMO", "1.0"), kResultNullArgument);
  EXPECT_STREQ(dir, "");
  EXPECT_EQ(lib.GetDataDir("P4100002", dir, sizeof dir, true, "RIMO", nullptr), kResultNullArgument);
  EXPECT_EQ(lib.GetKonfigDir(nullptr, dir, sizeof dir), kResultNullArgument);
  EXPECT_EQ(lib.GetSystemDir(nullptr, 10, 0), kResultNullArgument);
  EXPECT_EQ(lib.GetVersion("P4100002", nullptr, 10, 0), kResultNullArgument);
  wchar_t wdir[10];
  EXPECT_EQ(lib.GetLogDir(nullptr, wdir, 10, true), kResultNullArgument);
}

TEST(DirectoryLibraryTest, KonfigDirectoryIsTheProgramFilesFolderOnlyWhenItExists) {
  ConfigSandbox box;
  // Nothing configured: the module's own directory.
  EXPECT_EQ(KonfigDir(box.library()), box.moduleDir());
  fs::create_directories(box.Path("opt/Quandel/Konfig/KeloCompact"));
  EXPECT_EQ(KonfigDir(box.library()), box.Path("opt/Quandel/Konfig/KeloCompact/"));
  EXPECT_EQ(KonfigDir(box.library(), "P4100001"), box.moduleDir()) << "other components have their own folder";
}

TEST(DirectoryLibraryTest, RegistryPathsOfOtherComponentsUseTheNewestVersionKey) {
  ConfigSandbox box;
  fs::create_directories(box.Path("conf29"));
  fs::create_directories(box.Path("conf210"));
  box.WriteRegistry(
      RegKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions\\1.0\\ConfigDir", "@=\"/nope\"") +
      RegKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions\\2.10\\ConfigDir",
             "@=\"" + box.Path("conf210") + "\"") +
      RegKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions\\2.9\\ConfigDir",
             "@=\"" + box.Path("conf29") + "\""));
  EXPECT_EQ(box.library().GetHighestVersionKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions"), "\\2.9");
  EXPECT_EQ(box.library().GetHighestVersionKey("SOFTWARE\\QUANDELeg\\Components\\P4100009\\Versions"), "\\1.0");
  EXPECT_EQ(KonfigDir(box.library(), "P4100001"), box.Path("conf29/"));
  EXPECT_EQ(box.library().GetKonfigDirFromRegistry("P4100002"), "") << "never read for this component";
}

TEST(DirectoryLibraryTest, SystemDirectoryIsProgKeyOrThisModulesDirectory) {
  ConfigSandbox box;
  char dir[260];
  ASSERT_EQ(box.library().GetSystemDir(dir, sizeof dir, 0), kResultOk);
  EXPECT_EQ(std::string(dir), box.moduleDir());
  fs::create_directories(box.Path("prog"));
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ProgKey\"=\"" + box.Path("prog") + "\""));
  ASSERT_EQ(box.library().GetSystemDir(dir, sizeof dir, 0), kResultOk);
  EXPECT_EQ(std::string(dir), box.Path("prog/"));
}

TEST(DirectoryLibraryTest, CreateDirectoryBuildsTheTreeAndRefusesAFileInTheWay) {
  ConfigSandbox box;
  EXPECT_TRUE(box.library().CreateDirectory(box.Path("a/b/c/")));
  EXPECT_TRUE(fs::is_directory(box.Path("a/b/c")));
  EXPECT_TRUE(box.library().CreateDirectory(box.Path("a/b/c")));
  testing::WriteFile(box.Path("a/file"), "x");
  errno = 0;
  EXPECT_FALSE(box.library().CreateDirectory(box.Path("a/file")));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(box.library().CreateDirectory(box.Path("a/file/sub")));
  EXPECT_FALSE(box.library().CreateDirectory(""));
}

TEST(DirectoryLibraryTest, RelativeDirectoriesFollowTheComponentRules) {
  ConfigSandbox box;
  struct Case {
    const char* component;
    const char* kind;
    const char* expected;
  } cases[] = {
      {"P4100002", "Konfig", "Quandel/Konfig/KeloCompact/"}, {"P4100005", "Konfig", "Quandel/Konfig/P4100005/"},
      {"P4100006", "Log", "Quandel/Log/Kelo/"},              {"P4100009", "Log", "Quandel/Log/P4100009/"},
      {"P4100002", "Daten", "Quandel/Daten/P4100002/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(box.library().MakeRelativeDir(c.component, c.kind), c.expected) << c.component << " " << c.kind;
  }
}

TEST(DirectoryLibraryTest, LogDirectoryIsTheUsersStateFolder) {
  ConfigSandbox box;
  wchar_t dir[260];
  ASSERT_EQ(box.library().GetLogDir(L"P4100002", dir, 260, true), kResultOk);
  EXPECT_EQ(std::wstring(dir), platform::Utf8ToWide(box.Path("home/.local/state/Quandel/Log/Kelo/")));
  EXPECT_EQ(box.library().GetLogDir(L"P4100002", dir, 5, true), kResultBufferTooSmall);
  EXPECT_EQ(dir[0], L'\0');
}

TEST(DirectoryLibraryTest, SpecialFolderKindsMapToTheLinuxFolders) {
  ConfigSandbox box;
  DirectoryLibrary& lib = box.library();
  EXPECT_EQ(lib.GetSpecialFolderPath(0), box.Path("home/.local/state/"));
  EXPECT_EQ(lib.GetSpecialFolderPath(1), box.Path("home/.local/share/"));
  EXPECT_EQ(lib.GetSpecialFolderPath(2), box.Path("home/.config/"));
  EXPECT_EQ(lib.GetSpecialFolderPath(3), box.Path("var/lib/"));
  EXPECT_EQ(lib.GetSpecialFolderPath(4), box.Path("opt/"));
  EXPECT_EQ(lib.GetSpecialFolderPath(6), "");
  EXPECT_EQ(lib.GetSpecialFolderPath(-1), "");
}

// Program files that cannot be had fall back to program data.
class FailingProgramFiles : public platform::IFolders {
 public:
  std::string Folder(platform::FolderKind kind, bool create) override {
    if (kind == platform::FolderKind::ProgramFiles) return {};
    return real_.Folder(kind, create);
  }
  std::string TempDir(bool create) override { return real_.TempDir(create); }

 private:
  platform::SystemFolders real_;
};

TEST(DirectoryLibraryTest, ProgramFilesFailureRetriesWithProgramData) {
  FailingProgramFiles folders;
  ConfigSandbox box("", &folders);
  EXPECT_EQ(box.library().GetSpecialFolderPath(4), box.Path("var/lib/"));
}

TEST(DirectoryLibraryTest, StartUpSwitches) {
  struct Case {
    const char* name;
    std::string values;
    bool configDb;
    bool internalLog;
  } cases[] = {
      {"nothing", "", false, false},
      {"ConfigDBActive Aus", "\"ConfigDBActive\"=\"Aus\"", false, false},
      {"ConfigDBActive empty", "\"ConfigDBActive\"=\"\"", true, false},
      {"ConfigDBActive ein", "\"ConfigDBActive\"=\"ein\"", true, false},
      {"log EIN, directory missing", "\"LogVia_InternTrace\"=\"EIN\"\n\"LogVia_InternTraceDirectory\"=\"/nonexistent\"",
       false, false},
      {"log EIN, no directory value", "\"LogVia_InternTrace\"=\"EIN\"", false, false},
      {"log EIN", "\"LogVia_InternTrace\"=\"EIN\"\n\"LogVia_InternTraceDirectory\"=\"@LOG@\"", false, true},
      {"log aus", "\"LogVia_InternTrace\"=\"aus\"\n\"LogVia_InternTraceDirectory\"=\"@LOG@\"", false, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigSandbox box;
    fs::create_directories(box.Path("log"));
    size_t at = c.values.find("@LOG@");
    if (at != std::string::npos) c.values.replace(at, 5, box.Path("log"));
    box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", c.values));
    EXPECT_EQ(box.library().ConfigDbActive(), c.configDb);
    EXPECT_EQ(box.library().InternalLogOn(), c.internalLog);
    DataDir(box.library());
    EXPECT_EQ(fs::exists(box.Path("log/ConfigDB_Intern.log")), c.internalLog);
  }
}

TEST(DirectoryLibraryTest, InternalLogLinesCarryTimePidTidAndLevel) {
  ConfigSandbox box;
  fs::create_directories(box.Path("log"));
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact",
                           "\"LogVia_InternTrace\"=\"ein\"\n\"LogVia_InternTraceDirectory\"=\"" + box.Path("log") + "\""));
  box.library().GetSpecialFolderPath(6);
  const std::string log = ReadFile(box.Path("log/ConfigDB_Intern.log"));
  EXPECT_TRUE(std::regex_search(
      log, std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3} \[\d+\] \[\d+\] ERROR - CDB_GetSpecialFolderPath: )"
                      R"(Falscher ConfigDBDirType <6> wurde übergeben!\n)")))
      << log;
}

TEST(DirectoryLibraryTest, LineWrittenWhileAnotherHoldsTheLogLockFollowsTheTimeoutMarker) {
  ConfigSandbox box;
  fs::create_directories(box.Path("log"));
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact",
                           "\"LogVia_InternTrace\"=\"ein\"\n\"LogVia_InternTraceDirectory\"=\"" + box.Path("log") + "\""));
  ASSERT_TRUE(box.library().InternalLogOn());
  const std::string file = box.Path("log/ConfigDB_Intern.log");
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // a separate open file: conflicts like another process
  box.library().GetSpecialFolderPath(7);
  flock(fd, LOCK_UN);
  close(fd);
  const std::string log = ReadFile(file);
  EXPECT_NE(log.find("-----> _InternTrace: Timeout bei WaitForSingleObject, eigentliche Trace-Zeile folgt:"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Falscher ConfigDBDirType <7>"), std::string::npos);
}

// The one-time listing names the listed component's folders as they are: a
// listing, like every log, makes no folder.
TEST(DirectoryLibraryTest, OneTimeListingNamesTheListedComponentsDirectoriesAndMakesNone) {
  for (bool present : {true, false}) {
    SCOPED_TRACE(present ? "folders present" : "folders missing");
    ConfigSandbox box;
    fs::create_directories(box.Path("list"));
    box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ConfigDBTracingDirsActive\"=\"ein\"\n"
                                                               "\"ConfigDBTracingDirsDirectory\"=\"" +
                                                                   box.Path("list") + "\""));
    const std::vector<std::string> folders = {box.Path("var/lib/Quandel/Daten/P4100003/Data/"),
                                              box.Path("home/.local/state/Quandel/Log/Kelo/"),
                                              box.Path("home/.config/Quandel/Konfig/P4100003/")};
    if (present) {
      for (const std::string& folder : folders) fs::create_directories(folder);
    }
    // The component's own data folder is made (asked for with creation);
    // the listed component's are not.
    DataDir(box.library());
    const std::string listing = ReadFile(box.Path("list/P4100003_TracingDirs.log"));
    EXPECT_EQ(listing.find("Daten <" + folders[0] + ">") != std::string::npos, present) << listing;
    EXPECT_EQ(listing.find("Log <" + folders[1] + ">") != std::string::npos, present) << listing;
    for (const std::string& folder : folders) EXPECT_EQ(fs::is_directory(folder), present) << folder;
    EXPECT_EQ(fs::exists(box.Path("var/lib/Quandel/Daten/P4100003")), present);
    EXPECT_EQ(fs::exists(box.Path("home/.config")), present);
  }
}

TEST(DirectoryLibraryTest, PerQueryListingRecordsEveryAnswer) {
  ConfigSandbox box;
  fs::create_directories(box.Path("list"));
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact",
                           "\"ConfigDBLibDirsActive\"=\"ein\"\n\"ConfigDBLibDirsDirectory\"=\"" + box.Path("list") +
                               "\""));
  const std::string data = DataDir(box.library());
  EXPECT_NE(ReadFile(box.Path("list/ConfigDB_Lib_Dirs.log")).find("P4100002 Daten <" + data + ">"),
            std::string::npos);
}

TEST(DirectoryLibraryTest, ConfigurationDatabaseAnswersFirstWhenSwitchedOn) {
  ConfigSandbox box;
  fs::create_directories(box.Path("db/konfig"));
  testing::WriteFile(box.Path("etc/kelo/configdb.ini"),
                     "[P4100002]\nKonfigDir=" + box.Path("db/konfig") + "\nDataDir.RIMO=" + box.Path("db/data") +
                         "\nVersion0=9.9.9\n");
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ConfigDBActive\"=\"ein\""));
  EXPECT_EQ(KonfigDir(box.library()), box.Path("db/konfig/"));
  EXPECT_EQ(DataDir(box.library()), box.Path("db/data/")) << "created from the database's answer";
  char version[15];
  EXPECT_EQ(box.library().GetVersion("P4100002", version, sizeof version, 0), kResultOk);
  EXPECT_STREQ(version, "9.9.9");
}

TEST(DirectoryLibraryTest, ComponentVersions) {
  ConfigSandbox box;
  box.WriteRegistry(
      RegKey("SOFTWARE\\QUANDEL Kelo Compact",
             "\"CompVersion\"=\"5.2\"\n\"BuildNumber\"=dword:0000007b\n\"FileVersion\"=\"5.2.0.1\"") +
      RegKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions\\3.0", "\"BuildNumber\"=dword:00000007") +
      RegKey("SOFTWARE\\QUANDELeg\\Packages\\P4100001\\Versions\\2.0", "\"CompVersion\"=\"2.0\""));
  struct Case {
    const char* component;
    int32_t type;
    int32_t size;
    int32_t rc;
    const char* version;
  } cases[] = {
      {"P4100002", 0, 15, kResultOk, "5.2.123"},   {"P4100002", 2, 15, kResultOk, "5.2"},
      {"P4100002", 4, 15, kResultOk, "123"},       {"P4100002", 6, 15, kResultOk, "5.2.0.1"},
      {"P4100002", 1, 15, kResultNoVersion, ""},   {"P4100002", 3, 15, kResultNoVersion, ""},
      {"P4100002", 0, 7, kResultBufferTooSmall, ""}, {"P4100002", 0, 8, kResultOk, "5.2.123"},
      {"P4100001", 0, 15, kResultNoVersion, ""},   {"P4100001", 4, 15, kResultOk, "7"},
      {"P4100001", 3, 15, kResultOk, "2.0"},       {"P4100001", 1, 15, kResultOk, "2.0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.component) + " type " + std::to_string(c.type));
    char version[32] = "junk";
    EXPECT_EQ(box.library().GetVersion(c.component, version, c.size, c.type), c.rc);
    EXPECT_STREQ(version, c.version);
  }
}

TEST(DirectoryLibraryTest, FileVersionComesFromTheLibrarysNote) {
  ConfigSandbox box;
  EXPECT_EQ(box.library().GetOsBuildNr(L"" RIMO_LIB_DIR "/librimodata.so"), L"" RIMO_PROJECT_VERSION);
  EXPECT_EQ(box.library().GetOsBuildNr(L"" RIMO_LIB_DIR "/QnTraceSystem001.so"), L"0.0.0.0");
  EXPECT_EQ(box.library().GetOsBuildNr(L"/nonexistent"), L"0.0.0.0");
  testing::WriteFile(box.Path("notelf"), "\x7f" "ELF but not really");
  EXPECT_EQ(box.library().GetOsBuildNr(platform::Utf8ToWide(box.Path("notelf")).c_str()), L"0.0.0.0");
  EXPECT_EQ(box.library().GetOsVersion(), 0);
}

}  // namespace
}  // namespace rimo::config
