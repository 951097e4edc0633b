// The configuration layer on a machine shared by several users and
// processes: real files, real permissions, a second process and, where the
// tests run as root, a second user (nobody).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "config/DirectoryLibrary.h"
#include "config/IniFileBase.h"
#include "config/RimoPaths.h"
#include "platform/Folders.h"
#include "platform/IniDocument.h"
#include "platform/Utf8.h"
#include "support/ConfigSandbox.h"

namespace rimo::config {
namespace {

namespace fs = std::filesystem;
using testing::ConfigSandbox;
using testing::ReadFile;
using testing::RegKey;
using testing::WriteFile;

constexpr uid_t kNobody = 65534;

bool Root() { return geteuid() == 0; }

// Runs fn in a child process; its result, or false when the child died.
bool InChild(const std::function<bool()>& fn, bool asNobody = false) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(3);
    _exit(fn() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Lets others pass through every directory of ours on the way to path.
void MakeTraversable(fs::path path) {
  for (; path != path.root_path(); path = path.parent_path()) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
      chmod(path.c_str(), (st.st_mode & 07777) | 0011);
    }
  }
}

std::string DataDir(DirectoryLibrary& lib) {
  char dir[260] = "";
  lib.GetDataDir("P4100002", dir, sizeof dir, true, "RIMO", "1.0");
  return dir;
}

// ------------------------------------------------------------ temp fallback

TEST(PrivateTempDirTest, OnlyTheUsersOwnDirectoryIsUsed) {
  testing::TempDir base;
  const std::string b = base.path() + "/";
  const std::string mine = b + "kelo-" + std::to_string(geteuid());
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool used;
  } cases[] = {
      {"fresh", [] {}, true},
      {"existing, 0700", [&] { fs::create_directory(mine, base.path()); chmod(mine.c_str(), 0700); }, true},
      {"existing, 0750", [&] { fs::create_directory(mine); chmod(mine.c_str(), 0750); }, true},
      {"writable by others", [&] { fs::create_directory(mine); chmod(mine.c_str(), 0777); }, false},
      {"writable by the group", [&] { fs::create_directory(mine); chmod(mine.c_str(), 0770); }, false},
      {"a link to a directory of the user's", [&] {
         fs::create_directory(b + "elsewhere");
         chmod((b + "elsewhere").c_str(), 0700);
         fs::create_directory_symlink(b + "elsewhere", mine);
       }, false},
      {"a file", [&] { WriteFile(mine, "x"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(mine);
    fs::remove_all(b + "elsewhere");
    c.prepare();
    const std::string dir = platform::PrivateTempDir(b, geteuid());
    EXPECT_EQ(dir, c.used ? mine + "/" : "");
    if (c.used) {
      struct stat st {};
      ASSERT_EQ(lstat(mine.c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
  }
  fs::remove_all(mine);
  ASSERT_EQ(platform::PrivateTempDir(b, geteuid()), mine + "/");
  struct stat st {};
  ASSERT_EQ(stat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "created for the user alone";
}

TEST(PrivateTempDirTest, AnotherUserCannotPlantTheFallbackDirectory) {
  if (!Root()) GTEST_SKIP() << "needs root to act as a second user";
  // A package installation with no other data directory: the fallback is the
  // temp directory. The other user came first and made the user's directory.
  ConfigSandbox box;
  fs::create_directories(box.Path("opt/P4100002/bin"));
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ProgKey\"=\"" + box.Path("opt/P4100002/bin") + "\""));
  const std::string shared = box.Path("tmp");
  chmod(shared.c_str(), 01777);
  MakeTraversable(shared);
  const std::string planted = shared + "/kelo-" + std::to_string(geteuid());
  ASSERT_TRUE(InChild([&] { return mkdir(planted.c_str(), 0777) == 0 && chmod(planted.c_str(), 0777) == 0; }, true));

  EXPECT_EQ(DataDir(box.library()), "") << "the lookup fails";
  EXPECT_FALSE(fs::exists(planted + "/Low")) << "nothing was written into the other user's directory";

  // Without the plant, the user's own private directory is used.
  fs::remove_all(planted);
  EXPECT_EQ(DataDir(box.library()), planted + "/Low/Quandel/Daten/P4100002/RIMO/");
}

// ------------------------------------------------------------- KELO_ROOT

TEST(KeloRootTest, RelativeRootIsTakenAgainstTheDirectoryOfItsFirstUse) {
  ConfigSandbox box;
  const fs::path before = fs::current_path();
  fs::current_path(fs::path(box.root()).parent_path());
  setenv("KELO_ROOT", fs::path(box.root()).filename().c_str(), 1);
  const std::string resolved = platform::KeloRoot();
  fs::current_path("/");
  EXPECT_EQ(resolved, box.root());
  EXPECT_EQ(platform::KeloRoot(), box.root()) << "the same after the working directory changed";
  EXPECT_EQ(DataDir(box.library()), box.Path("var/lib/Quandel/Daten/P4100002/RIMO/"));
  fs::current_path(before);
}

// ------------------------------------------------------------ INI writes

class IniWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = box_.Path("status");
    path_ = dir_ + "/user.ini";
    fs::create_directories(dir_);
    ini_.SetTraceCategory(L"Kelo.Rimo.SuppLib");
    ASSERT_TRUE(ini_.SetFilePath(path_.c_str()));
  }
  std::string Get(const char* section, const char* key) {
    char out[260];
    return ini_.GetIniValueString(section, key, out, sizeof out, "<none>") ? out : "<none>";
  }

  ConfigSandbox box_;
  std::string dir_;
  std::string path_;
  FileOperations::CIniFileBase ini_;
};

TEST_F(IniWriterTest, FileIsUpdatedNotReplacedBySomethingElse) {
  // A link is followed and kept.
  fs::create_directories(box_.Path("real"));
  WriteFile(box_.Path("real/target.ini"), "[A]\nx=1\n");
  fs::create_symlink(box_.Path("real/target.ini"), path_);
  ASSERT_TRUE(ini_.SetIniValueString("A", "y", "2"));
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(ReadFile(box_.Path("real/target.ini")), "[A]\nx=1\ny=2\n");
  fs::remove(path_);

  // Mode and line ends are kept, also on changed and added lines.
  WriteFile(path_, "[A]\r\nx=1\r\n; note\r\n");
  chmod(path_.c_str(), 0640);
  ASSERT_TRUE(ini_.SetIniValueString("A", "x", "2"));
  ASSERT_TRUE(ini_.SetIniValueString("B", "z", "3"));
  EXPECT_EQ(ReadFile(path_), "[A]\r\nx=2\r\n; note\r\n[B]\r\nz=3\r\n");
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  fs::remove(path_);

  // A new file honours the umask.
  const mode_t old = umask(027);
  ASSERT_TRUE(ini_.SetIniValueString("A", "x", "1"));
  umask(old);
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  fs::remove(path_);

  // UTF-16LE is read and written as UTF-16LE.
  WriteFile(path_, platform::Utf8ToUtf16Le("[Allgemein]\r\nQuerySucceeded=1\r\nName=Grüße\r\n"));
  EXPECT_EQ(Get("Allgemein", "QuerySucceeded"), "1");
  EXPECT_EQ(Get("Allgemein", "Name"), "Grüße");
  ASSERT_TRUE(ini_.SetIniValueString("Allgemein", "PackageExists", "0"));
  const std::string bytes = ReadFile(path_);
  ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(platform::Utf16LeToUtf8(bytes.substr(2)), "[Allgemein]\r\nQuerySucceeded=1\r\nName=Grüße\r\nPackageExists=0\r\n");
}

// What a writer writes is its own: another user's file in the place is
// neither replaced nor given to its owner's name (root included).
TEST_F(IniWriterTest, AnotherUsersFileIsNeverReplaced) {
  if (!Root()) GTEST_SKIP() << "needs root to give the file to another user";
  WriteFile(path_, "[A]\nx=1\n");
  ASSERT_EQ(chown(path_.c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(ini_.SetIniValueString("A", "x", "2"));
  EXPECT_EQ(errno, EPERM);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(ReadFile(path_), "[A]\nx=1\n");
}

TEST_F(IniWriterTest, DeletingFromAMissingFileCreatesNothing) {
  ASSERT_TRUE(ini_.SetFilePath(box_.Path("nowhere/user.ini").c_str()));
  EXPECT_TRUE(ini_.SetIniValueString("A", "x", nullptr));
  EXPECT_FALSE(fs::exists(box_.Path("nowhere")));
}

TEST_F(IniWriterTest, TemporaryFilesOfAKilledWriterAreRemovedByTheNextWriter) {
  WriteFile(path_, "[A]\nx=1\n");
  WriteFile(dir_ + "/.user.ini.tmp-0badf00d", "[A]\nx=half");
  WriteFile(dir_ + "/.user.ini.tmp-notours", "kept");
  WriteFile(dir_ + "/.other.ini.tmp-0badf00d", "kept");
  ASSERT_TRUE(ini_.SetIniValueString("A", "x", "2"));
  EXPECT_FALSE(fs::exists(dir_ + "/.user.ini.tmp-0badf00d"));
  EXPECT_TRUE(fs::exists(dir_ + "/.user.ini.tmp-notours"));
  EXPECT_TRUE(fs::exists(dir_ + "/.other.ini.tmp-0badf00d"));
}

TEST_F(IniWriterTest, DuplicateKeysReadFirstAndAreAllDeleted) {
  WriteFile(path_, "[A]\nk=1\nk=2\n[B]\nk=b\n[a]\nk=3\n");
  EXPECT_EQ(Get("A", "k"), "1");
  ASSERT_TRUE(ini_.SetIniValueString("A", "k", "9"));
  EXPECT_EQ(ReadFile(path_), "[A]\nk=9\n[B]\nk=b\n[a]\n");
  WriteFile(path_, "[A]\nk=1\nk=2\n[B]\nk=b\n[a]\nk=3\n");
  ASSERT_TRUE(ini_.SetIniValueString("A", "k", nullptr));
  EXPECT_EQ(Get("A", "k"), "<none>") << "a deleted flag can never still be read";
  EXPECT_EQ(Get("B", "k"), "b");
}

TEST_F(IniWriterTest, TwoProcessesWithTwoThreadsEachKeepEveryKey) {
  constexpr int kKeys = 25;
  auto writeKeys = [this](const std::string& who) {
    bool all = true;
    std::vector<std::thread> threads;
    std::vector<char> ok(2, 1);
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        FileOperations::CIniFileBase ini;
        ini.SetTraceCategory(L"Kelo.Rimo.SuppLib");
        ini.SetFilePath(path_.c_str());
        for (int k = 0; k < kKeys; ++k) {
          const std::string key = who + "t" + std::to_string(t) + "k" + std::to_string(k);
          if (!ini.SetIniValueString("Keys", key.c_str(), "1")) ok[static_cast<size_t>(t)] = 0;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    for (char c : ok) all = all && c != 0;
    return all;
  };
  const pid_t child = fork();
  if (child == 0) _exit(writeKeys("child") ? 0 : 1);
  const bool parentOk = writeKeys("parent");
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(parentOk);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto doc = platform::IniDocument::Parse(ReadFile(path_));
  int missing = 0;
  for (const char* who : {"child", "parent"}) {
    for (int t = 0; t < 2; ++t) {
      for (int k = 0; k < kKeys; ++k) {
        const std::string key = std::string(who) + "t" + std::to_string(t) + "k" + std::to_string(k);
        if (!doc.Get("Keys", key)) ++missing;
      }
    }
  }
  EXPECT_EQ(missing, 0);
}

TEST_F(IniWriterTest, EightProcessesOfAHundredUpdatesEachLoseNothing) {
  // Each update waits its turn in the lock's queue: none runs out of time
  // while others keep taking the lock.
  constexpr int kProcesses = 8;
  constexpr int kUpdates = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      FileOperations::CIniFileBase ini;
      ini.SetTraceCategory(L"Kelo.Rimo.SuppLib");
      ini.SetFilePath(path_.c_str());
      int failed = 0;
      for (int u = 0; u < kUpdates; ++u) {
        const std::string key = "p" + std::to_string(p) + "u" + std::to_string(u);
        if (!ini.SetIniValueString("Keys", key.c_str(), "1")) ++failed;
      }
      _exit(failed == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  int failedChildren = 0;
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failedChildren;
  }
  EXPECT_EQ(failedChildren, 0);
  const auto doc = platform::IniDocument::Parse(ReadFile(path_));
  int missing = 0;
  for (int p = 0; p < kProcesses; ++p) {
    for (int u = 0; u < kUpdates; ++u) {
      if (!doc.Get("Keys", "p" + std::to_string(p) + "u" + std::to_string(u))) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
}

TEST_F(IniWriterTest, WriterGivesUpWhenTheLockIsHeldElsewhere) {
  WriteFile(path_, "[A]\nx=1\n");
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open((dir_ + "/.user.ini.lock").c_str(), O_RDWR | O_CREAT, 0600);
    const bool locked = fd >= 0 && flock(fd, LOCK_EX) == 0;
    char c = locked ? 'L' : 'F';
    (void)!write(toParent[1], &c, 1);
    (void)!read(toChild[0], &c, 1);  // hold until told
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 'L');
  EXPECT_FALSE(ini_.SetIniValueString("A", "x", "2")) << "failed, not waiting for ever";
  EXPECT_EQ(ReadFile(path_), "[A]\nx=1\n");
  (void)!write(toChild[1], "go", 1);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(ini_.SetIniValueString("A", "x", "2"));
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST_F(IniWriterTest, AnotherUsersLockFileIsNotUsedAndBlocksNothing) {
  if (!Root()) GTEST_SKIP() << "needs root to give the lock file to another user";
  WriteFile(path_, "[A]\nx=1\n");
  WriteFile(dir_ + "/.user.ini.lock", "");
  ASSERT_EQ(chown((dir_ + "/.user.ini.lock").c_str(), kNobody, kNobody), 0);
  // The user's private lock stands in: the write goes through, and the
  // planted file is neither used nor changed.
  EXPECT_TRUE(ini_.SetIniValueString("A", "x", "2"));
  EXPECT_EQ(ReadFile(path_), "[A]\nx=2\n");
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/.user.ini.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
}

// ----------------------------------------------------- paths not in UTF-8

TEST(NonUtf8PathTest, PathsRoundTripExactlyOrTheLookupFails) {
  ConfigSandbox box;
  wchar_t wide[260];
  // A home directory whose name holds a byte that is not UTF-8.
  const std::string badHome = box.Path("home\xFF");
  fs::create_directories(badHome);
  setenv("HOME", badHome.c_str(), 1);
  EXPECT_NE(box.library().GetLogDir(L"P4100002", wide, 260, true), kResultOk);
  // ... and one that is proper UTF-8.
  const std::string goodHome = box.Path("hömé");
  fs::create_directories(goodHome);
  setenv("HOME", goodHome.c_str(), 1);
  ASSERT_EQ(box.library().GetLogDir(L"P4100002", wide, 260, true), kResultOk);
  EXPECT_EQ(platform::WideToUtf8(wide), goodHome + "/.local/state/Quandel/Log/Kelo/");

  CRimoPaths paths;
  char narrow[260];
  // A user ID that is no proper text (a lone surrogate).
  const std::wstring badId = std::wstring(L"1234567890123456") + static_cast<wchar_t>(0xD800) + L"789";
  EXPECT_FALSE(paths.GetResponseFilePath(badId.c_str(), wide));
  EXPECT_FALSE(paths.GetStatusIniPath(badId.c_str(), narrow));
  EXPECT_TRUE(paths.GetResponseFilePath(L"12345678901234567890", wide));

  // A machine root whose name is not UTF-8.
  const std::string badRoot = box.Path("root\xFE");
  fs::create_directories(badRoot);
  setenv("KELO_ROOT", badRoot.c_str(), 1);
  EXPECT_FALSE(paths.GetResponseFilePath(L"12345678901234567890", wide));
}

// ------------------------------------------------------------- versions

TEST(VersionKeyTest, NewestVersionIsTheSameInEveryLocale) {
  testing::TempDir locales;
  const std::string command = "localedef -i de_DE -f UTF-8 " + locales.path() + "/de_DE.UTF-8 >/dev/null 2>&1";
  if (system(command.c_str()) != 0) GTEST_SKIP() << "no German locale can be made here";
  ConfigSandbox box;
  box.WriteRegistry(RegKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions\\2.10\\ConfigDir", "@=\"/a\"") +
                    RegKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions\\2.9\\ConfigDir", "@=\"/b\""));
  // In a child: a process's locale is its own, and setlocale's data stay.
  EXPECT_TRUE(InChild([&] {
    setenv("LOCPATH", locales.path().c_str(), 1);
    if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) return false;
    return box.library().GetHighestVersionKey("SOFTWARE\\QUANDELeg\\Components\\P4100001\\Versions") == "\\2.9";
  }));
}

}  // namespace
}  // namespace rimo::config
