// A status INI on a data folder without room: a tiny tmpfs of its own, in a
// mount namespace of a child process, so that nothing of the machine's
// mounts changes. Needs root.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/RimoPaths.h"
#include "config/StatusIni.h"
#include "support/ConfigSandbox.h"

namespace rimo::config {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

constexpr wchar_t kUser[] = L"12345678901234567890";
constexpr wchar_t kNewUser[] = L"12345678901234567891";
const std::string kFailure = "[Allgemein]\nErrorInfoRZ=500-00000\nQuerySucceeded=0\nPackageExists=0\n";
const std::string kSuccess = "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n";

std::string IniPath(const wchar_t* user) {
  char path[FileOperations::CIniFileBase::kMaxPath] = {};
  return CRimoPaths().GetStatusIniPath(user, path) ? path : "";
}

// Fills the file system of folder until no byte fits; the filler stays.
void Fill(const std::string& folder) {
  const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  while (write(fd, "x", 1) > 0) {
  }
  close(fd);
}

bool NoTemporaries(const std::string& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".tmp-") != std::string::npos) return false;
  }
  return true;
}

// The scenario, in a child that has its own mount namespace: 0 when every
// check held, 77 when no namespace or tmpfs could be made, else the step.
int FullDiskScenario(const std::string& dataRoot) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
  fs::create_directories(dataRoot);
  if (mount("tmpfs", dataRoot.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) return 77;
  if (!CStatusIni(kUser).RecordQuery(false, false, L"500-00000")) return 1;
  const std::string path = IniPath(kUser);
  if (path.empty() || ReadFile(path) != kFailure) return 2;
  const std::string folder = fs::path(path).parent_path();
  Fill(folder);

  // No room: the failure stays recorded whole, or the success is, never a
  // mix or a cut file, the result says which, and no temporary file is left.
  const bool written = CStatusIni(kUser).RecordQuery(true, true, nullptr);
  const std::string after = ReadFile(path);
  if (after != (written ? kSuccess : kFailure)) {
    std::fprintf(stderr, "status INI after a write without room:\n%s\n", after.c_str());
    return 3;
  }
  // A user without a file yet gets none, or a whole one.
  CStatusIni(kNewUser).RecordQuery(false, false, L"404-00000");
  const std::string fresh = IniPath(kNewUser);
  if (fs::exists(fresh) &&
      ReadFile(fresh) != "[Allgemein]\nErrorInfoRZ=404-00000\nQuerySucceeded=0\nPackageExists=0\n") {
    return 4;
  }
  if (!NoTemporaries(folder)) return 5;

  // With room again, the next write records the whole success.
  fs::remove(folder + "/filler");
  if (!CStatusIni(kUser).RecordQuery(true, true, nullptr) || ReadFile(path) != kSuccess) return 6;
  return 0;
}

TEST(FullDiskTest, StatusIniIsWholeOrUntouched) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tiny file system of the test's own";
  testing::ConfigSandbox box;
  const std::string dataRoot = box.Path("var/lib");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(FullDiskScenario(dataRoot));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace or tmpfs could be made here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the step of the scenario that failed";
}

}  // namespace
}  // namespace rimo::config
