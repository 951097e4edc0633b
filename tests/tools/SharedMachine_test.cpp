// One machine, several users: root and two throwaway users run rimo against
// one data folder and one data center. Links and FIFOs that another user
// plants are never followed or opened, every user gets their files, no lock
// file blocks for good, and nothing is made in a home that is not the
// caller's. Needs root (CI runs as root); skipped with a note otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/StatusIni.h"
#include "host/HostLibrary.h"
#include "support/DataCenterProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using rimo::testing::ReadFile;
using rimo::testing::WriteFile;

const char* const kUserId = "12345678901234567890";
const char* const kData = "/var/lib/Quandel/Daten/P4100002/RIMO/";

struct Outcome {
  int exitCode;
  std::string out, err;
  double seconds;
};

struct User {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

std::string Tool(const std::string& name) { return std::string(RIMO_BIN_DIR) + "/" + name; }

// Makes every folder from the program's private tree down to path passable
// (x for others), so that the test users reach what the test gives them.
void Passable(const std::string& path) {
  const std::string root = fs::path(std::getenv("RIMO_TEST_SHARED_DIR")).parent_path().string();
  for (fs::path p = path; p.string().size() >= root.size() && p != p.root_path(); p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0) chmod(p.c_str(), (st.st_mode & 07777) | 0111);
  }
}

// The kernel's link protections switched off while it lives, and restored
// as they were: what is tested is the component's own protection. The
// tests that use it run one at a time (a resource lock of the build).
class LinkProtectionsOff {
 public:
  LinkProtectionsOff() {
    for (const char* name : {"protected_symlinks", "protected_fifos", "protected_hardlinks", "protected_regular"}) {
      const std::string path = std::string("/proc/sys/fs/") + name;
      std::ifstream in(path);
      std::string value;
      if (!(in >> value)) continue;
      std::ofstream out(path);
      if (!(out << "0\n") || !out.flush()) {
        ok_ = false;
        continue;
      }
      saved_.emplace_back(path, value);
    }
  }
  ~LinkProtectionsOff() {
    for (const auto& [path, value] : saved_) std::ofstream(path) << value << "\n";
  }
  bool ok() const { return ok_ && !saved_.empty(); }

 private:
  bool ok_ = true;
  std::vector<std::pair<std::string, std::string>> saved_;
};

class SharedMachineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || system("command -v useradd >/dev/null && command -v setpriv >/dev/null") != 0) return;
    for (const char* name : {"rimotsta", "rimotstb"}) {
      if (getpwnam(name) == nullptr) {
        const std::string add = std::string("useradd --system --no-create-home --home-dir /nonexistent --shell "
                                            "/usr/sbin/nologin ") + name + " >/dev/null 2>&1";
        if (system(add.c_str()) != 0) return;
        created_.push_back(name);
      }
    }
    ready_ = true;
  }
  static void TearDownTestSuite() {
    for (const std::string& name : created_) {
      const std::string del = "userdel " + name + " >/dev/null 2>&1";
      (void)!system(del.c_str());
    }
    created_.clear();
  }

  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "needs root, useradd and setpriv to run as two other users";
    tree_ = std::string(std::getenv("TMPDIR")) + "/machine";
    fs::create_directories(tree_);
    chmod(tree_.c_str(), 0755);
    Passable(tree_);
    a_ = Lookup("rimotsta");
    b_ = Lookup("rimotstb");
    // A PKI, its root store as the machine's, and a data center with the
    // user's answer.
    ASSERT_EQ(Shell(Tool("rimo-tcsign") + " pki " + tree_ + "/pki >/dev/null").exitCode, 0);
    Shell(Tool("rimo-tcsign") + " container --cert SIG=" + tree_ + "/pki/signer.pem -o " + tree_ + "/c.xml");
    Shell(Tool("rimo-tcsign") + " sign --container " + tree_ + "/c.xml --key " + tree_ + "/pki/signer.key --cert " +
          tree_ + "/pki/signer.pem --current 12345678901234567890 --new 12345678901234567891 -o " + tree_ +
          "/good.xml");
    fs::create_directories(tree_ + "/answers");
    fs::copy_file(tree_ + "/good.xml", tree_ + "/answers/890.xml");
    center_ = std::make_unique<rimo::testing::DataCenterProcess>(std::vector<std::string>{
        "--cert", tree_ + "/pki/server.pem", "--key", tree_ + "/pki/server.key", "--answers", tree_ + "/answers"});
    root_ = tree_ + "/pki/kelo-root";
    fs::create_directories(root_ + "/etc/kelo");
    WriteFile(root_ + "/etc/kelo/registry.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
                                                "\"RimoServiceUrl\"=\"" + center_->BaseUrl() + "/pvtwmod/rest/\"\n");
    // A card 10 days from expiry, inside the alert period: every fetch
    // writes the status INI as well.
    Shell(Tool("rimo-tcsign") + " card --pki " + tree_ + "/pki --days 10 -o " + tree_ + "/card.pem");
    const std::string wizard = root_ + "/opt/Quandel/Konfig/KeloCompact";
    fs::create_directories(wizard);
    WriteFile(wizard + "/WizardProperties.ini",
              "[Allgemein]\nstoreResponse=1\ncacheProperties=0\n[PlugInInfos]\nSuspendableAlerts=60\n"
              "NonSuspendableAlerts=7\n");
    Shell("chmod -R a+rX " + root_ + " && chmod a+r " + tree_ + "/card.pem " + tree_ + "/good.xml");
    for (const User* u : {&a_, &b_}) HomeOf(*u);
    HomeOf(User{"root", 0, 0});
  }

  static User Lookup(const char* name) {
    const passwd* pw = getpwnam(name);
    return pw != nullptr ? User{name, pw->pw_uid, pw->pw_gid} : User{};
  }

  // A home of the user's own in the tree, with a private temp folder.
  std::string HomeOf(const User& u) {
    const std::string home = tree_ + "/home-" + u.name;
    if (!fs::exists(home)) {
      fs::create_directories(home + "/tmp");
      Shell("chown -R " + std::to_string(u.uid) + ":" + std::to_string(u.gid) + " " + home + " && chmod 0700 " +
            home + " " + home + "/tmp");
    }
    return home;
  }

  // The shared data folder as the Debian package lays it out.
  void PackageLayout() {
    const std::string data = root_ + kData;
    fs::create_directories(data);
    Shell("chmod 0755 " + root_ + "/var " + root_ + "/var/lib " + root_ + "/var/lib/Quandel " + root_ +
          "/var/lib/Quandel/Daten " + root_ + "/var/lib/Quandel/Daten/P4100002 " + data);
    for (const char* kind : {"Response", "Status"}) {
      fs::create_directories(data + kind);
      chmod((data + kind).c_str(), 01777);
    }
  }

  static Outcome Shell(const std::string& command) {
    const std::string dir = std::getenv("TMPDIR");
    const auto start = std::chrono::steady_clock::now();
    const int status =
        std::system(("(" + command + ") >" + dir + "/sh.out 2>" + dir + "/sh.err </dev/null").c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(dir + "/sh.out"), ReadFile(dir + "/sh.err"),
            seconds};
  }

  // rimo as user u (root for nullptr), with the user's own home and temp
  // folder, and the machine's KELO_ROOT. homeOf: whose home HOME names.
  Outcome Rimo(const User* u, const std::string& args, const std::string& extraEnv = "",
               const User* homeOf = nullptr) {
    const User& me = u != nullptr ? *u : root;
    const std::string home = HomeOf(homeOf != nullptr ? *homeOf : me);
    std::string env = "env -u XDG_STATE_HOME -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u "
                      "XDG_RUNTIME_DIR -u KELO_TRACE KELO_ROOT=" + root_ + " KELO_CARD_CERT=" + tree_ +
                      "/card.pem HOME=" + home +
                      " TMPDIR=" + HomeOf(me) + "/tmp " + extraEnv + " ";
    std::string prefix = u == nullptr ? "" : "setpriv --reuid=" + std::to_string(u->uid) + " --regid=" +
                                                 std::to_string(u->gid) + " --clear-groups ";
    return Shell(prefix + env + "timeout 60 " + Tool("rimo") + " --quiet " + args);
  }

  static std::string Listing(const std::string& dir) {
    std::set<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied)) {
      entries.insert(e.path().string());
    }
    std::string out;
    for (const auto& e : entries) out += e + "\n";
    return out;
  }

  static uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  // command as user u, through sh.
  static Outcome As(const User& u, const std::string& command) {
    return Shell("setpriv --reuid=" + std::to_string(u.uid) + " --regid=" + std::to_string(u.gid) +
                 " --clear-groups sh -c '" + command + "'");
  }

  inline static bool ready_ = false;
  inline static std::vector<std::string> created_;
  const User root{"root", 0, 0};
  User a_, b_;
  std::string tree_, root_;
  std::unique_ptr<rimo::testing::DataCenterProcess> center_;
};

TEST_F(SharedMachineTest, LinksAnotherUserPlantedAreNeverFollowed) {
  PackageLayout();
  const std::string data = root_ + kData;
  // Root-owned files elsewhere, and links to them planted by user B where
  // root's files would go.
  const std::string victims = tree_ + "/victims";
  fs::create_directories(victims);
  for (const char* v : {"response", "ini", "lock"}) WriteFile(victims + "/" + v, std::string("root's ") + v);
  Shell("setpriv --reuid=" + std::to_string(b_.uid) + " --regid=" + std::to_string(b_.gid) +
        " --clear-groups sh -c 'ln -s " + victims + "/response " + data + "Response/" + kUserId + ".xml && ln -s " +
        victims + "/ini " + data + "Status/" + kUserId + ".ini && ln -s " + victims + "/lock " + data +
        "Status/." + kUserId + ".ini.lock'");
  ASSERT_TRUE(fs::is_symlink(data + "Response/" + kUserId + ".xml"));
  const Outcome run = Rimo(nullptr, "fetch " + std::string(kUserId));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const char* v : {"response", "ini", "lock"}) {
    EXPECT_EQ(ReadFile(victims + "/" + v), std::string("root's ") + v) << v << " untouched";
  }
  // Root's files went to root's own data folder, and rimo says where.
  const std::string own = HomeOf(root) + "/.local/share/Quandel/Daten/P4100002/RIMO/";
  EXPECT_NE(run.out.find("response file:        " + own + "Response/" + kUserId + ".xml"), std::string::npos)
      << run.out;
  EXPECT_TRUE(fs::exists(own + "Response/" + std::string(kUserId) + ".xml"));
  EXPECT_EQ(ReadFile(own + "Status/" + std::string(kUserId) + ".ini"),
            "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
}

TEST_F(SharedMachineTest, FifosPlantedInTheFilesPlaceNeverBlock) {
  PackageLayout();
  const std::string data = root_ + kData;
  Shell("setpriv --reuid=" + std::to_string(b_.uid) + " --regid=" + std::to_string(b_.gid) +
        " --clear-groups sh -c 'mkfifo " + data + "Status/" + kUserId + ".ini " + data + "Response/" + kUserId +
        ".xml'");
  const Outcome run = Rimo(&a_, "fetch " + std::string(kUserId));
  EXPECT_LT(run.seconds, 10.0) << "no open of a FIFO ever waits for a peer";
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find(HomeOf(a_) + "/.local/share/Quandel"), std::string::npos) << run.out;
  struct stat st {};
  ASSERT_EQ(lstat((data + "Status/" + kUserId + ".ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO stays as it was";
}

TEST_F(SharedMachineTest, EveryUserGetsTheirFilesWhoeverMadeTheFolderFirst) {
  // Root runs first on a fresh machine (no package layout): the folders it
  // makes must not lock out the others, whatever its umask.
  const Outcome first = Rimo(nullptr, "fetch " + std::string(kUserId), "", nullptr);
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const std::string data = root_ + kData;
  EXPECT_EQ(ModeOf(data + "Response"), 01777u);
  EXPECT_EQ(ModeOf(data + "Status"), 01777u);
  EXPECT_EQ(ModeOf(data), 0755u);
  for (const User* u : {&a_, &b_}) {
    SCOPED_TRACE(u->name);
    const Outcome run = Rimo(u, "fetch " + std::string(kUserId));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // The shared folder holds root's file of this ID: the user's goes to
    // the user's own folder, and rimo says so.
    EXPECT_NE(run.out.find("response file:        " + HomeOf(*u) + "/.local/share/"), std::string::npos) << run.out;
    const std::string userFile = HomeOf(*u) + "/.local/share/Quandel/Daten/P4100002/RIMO/Response/" + kUserId + ".xml";
    EXPECT_EQ(OwnerOf(userFile), u->uid);
  }
  // Another ID: each user's file in the shared folder, theirs alone.
  const std::string other = "12345678901234567891";
  WriteFile(tree_ + "/answers/891.xml", ReadFile(tree_ + "/good.xml"));
  for (const char* mask : {"000", "077"}) {
    SCOPED_TRACE(std::string("umask ") + mask);
    fs::remove_all(data + "Response/" + other + ".xml");
    const std::string sh = "sh -c 'umask " + std::string(mask) + " && exec \"$@\"' umask ";
    const Outcome run = Shell("setpriv --reuid=" + std::to_string(a_.uid) + " --regid=" + std::to_string(a_.gid) +
                              " --clear-groups " + sh + "env KELO_ROOT=" + root_ + " HOME=" + HomeOf(a_) +
                              " TMPDIR=" + HomeOf(a_) + "/tmp " + Tool("rimo") + " --quiet fetch " + other);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string file = data + "Response/" + other + ".xml";
    EXPECT_EQ(OwnerOf(file), a_.uid);
    EXPECT_EQ(ModeOf(file) & 022u, 0u) << "never writable by others";
    // B cannot change, replace or delete it: the folder is sticky.
    const Outcome tamper = Shell("setpriv --reuid=" + std::to_string(b_.uid) + " --regid=" + std::to_string(b_.gid) +
                                 " --clear-groups sh -c 'echo x > " + file + " || rm -f " + file + "'");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(ReadFile(file), ReadFile(tree_ + "/good.xml"));
  }
}

TEST_F(SharedMachineTest, SharedFolderOnlyRootCanWriteGivesUsersTheirOwn) {
  const std::string data = root_ + kData;
  fs::create_directories(data + "Response");
  fs::create_directories(data + "Status");
  Shell("chmod -R 0755 " + root_ + "/var");
  const Outcome run = Rimo(&a_, "fetch " + std::string(kUserId));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string own = HomeOf(a_) + "/.local/share/Quandel/Daten/P4100002/RIMO/";
  EXPECT_NE(run.out.find("response file:        " + own + "Response/" + kUserId + ".xml"), std::string::npos)
      << run.out;
  EXPECT_EQ(ModeOf(own + "Response"), 0700u);
}

TEST_F(SharedMachineTest, JobWhoseFilesCannotBeWrittenAnywhereSaysSo) {
  // Only root may write the shared folder, and the user's home is not the
  // user's: no folder is left, and rimo must not report success.
  const std::string data = root_ + kData;
  fs::create_directories(data + "Response");
  fs::create_directories(data + "Status");
  Shell("chmod -R 0755 " + root_ + "/var");
  const Outcome run = Rimo(&a_, "fetch " + std::string(kUserId), "", &b_);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_NE(run.err.find("could not be"), std::string::npos) << run.err;
}

TEST_F(SharedMachineTest, LockFileOfAnotherUserDoesNotBlock) {
  PackageLayout();
  const std::string data = root_ + kData;
  // B plants A's lock file, private to B: A cannot open it.
  Shell("setpriv --reuid=" + std::to_string(b_.uid) + " --regid=" + std::to_string(b_.gid) +
        " --clear-groups sh -c 'touch " + data + "Status/." + kUserId + ".ini.lock && chmod 0600 " + data +
        "Status/." + kUserId + ".ini.lock'");
  const Outcome run = Rimo(&a_, "fetch " + std::string(kUserId));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_LT(run.seconds, 10.0);
  const std::string ini = data + "Status/" + kUserId + ".ini";
  EXPECT_EQ(OwnerOf(ini), a_.uid);
  EXPECT_EQ(ReadFile(ini), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
  EXPECT_EQ(OwnerOf(data + "Status/." + kUserId + ".ini.lock"), b_.uid) << "the planted file is not used";
}

TEST_F(SharedMachineTest, SharedFolderAnotherUserMadeIsNotTrusted) {
  // B made the data folder (its Response and Status sticky): B could still
  // empty or swap them, so A's files go to A's own folder.
  const std::string data = root_ + kData;
  Shell("mkdir -p " + root_ + "/var/lib/Quandel/Daten && chmod 1777 " + root_ + "/var/lib/Quandel/Daten " + root_ +
        "/var/lib/Quandel && chmod 0755 " + root_ + "/var " + root_ + "/var/lib");
  Shell("setpriv --reuid=" + std::to_string(b_.uid) + " --regid=" + std::to_string(b_.gid) +
        " --clear-groups sh -c 'umask 022 && mkdir -p " + data + "Response " + data + "Status && chmod 1777 " + data +
        "Response " + data + "Status'");
  ASSERT_EQ(OwnerOf(data), b_.uid);
  const Outcome run = Rimo(&a_, "fetch " + std::string(kUserId));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(fs::exists(data + "Response/" + std::string(kUserId) + ".xml"));
  EXPECT_NE(run.out.find("response file:        " + HomeOf(a_) + "/.local/share/"), std::string::npos) << run.out;
}

TEST_F(SharedMachineTest, RootWithAnotherUsersHomeCreatesNothingThere) {
  PackageLayout();
  const std::string home = HomeOf(a_);
  // A's state folder for logs exists, and the registry switches the log on
  // into a folder that is not root's own.
  Shell("setpriv --reuid=" + std::to_string(a_.uid) + " --regid=" + std::to_string(a_.gid) +
        " --clear-groups mkdir -p " + home + "/.local/state/Quandel/Log");
  const std::string foreignLog = HomeOf(b_);
  WriteFile(root_ + "/etc/kelo/registry.reg", ReadFile(root_ + "/etc/kelo/registry.reg") +
                                                  "\"LogVia_InternTrace\"=\"ein\"\n\"LogVia_InternTraceDirectory\"=\"" +
                                                  foreignLog + "\"\n");
  const std::string before = Listing(home);
  const Outcome run = Rimo(nullptr, "fetch " + std::string(kUserId), "", &a_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Listing(home), before) << "nothing made in a home that is not root's";
}

// A load makes no folder: on a fresh tree, and with every logging switch of
// the registry on (the logs go into their existing folder).
TEST_F(SharedMachineTest, LoadMakesNoFolderWithOrWithoutLogging) {
  const std::string logs = tree_ + "/logs";
  fs::create_directories(logs);
  Shell("chown " + std::to_string(a_.uid) + " " + logs);
  const std::string plain = ReadFile(root_ + "/etc/kelo/registry.reg");
  const std::string logging = plain + "\"LogVia_InternTrace\"=\"ein\"\n\"LogVia_InternTraceDirectory\"=\"" + logs +
                              "\"\n\"ConfigDBTracingDirsActive\"=\"ein\"\n\"ConfigDBTracingDirsDirectory\"=\"" + logs +
                              "\"\n\"ConfigDBLibDirsActive\"=\"ein\"\n\"ConfigDBLibDirsDirectory\"=\"" + logs + "\"\n";
  for (const bool logged : {false, true}) {
    SCOPED_TRACE(logged ? "logging on" : "logging off");
    WriteFile(root_ + "/etc/kelo/registry.reg", logged ? logging : plain);
    const std::string home = HomeOf(a_);
    const std::string beforeRoot = Listing(root_), beforeHome = Listing(home);
    const Outcome run = Rimo(&a_, "load " + tree_ + "/good.xml");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Listing(root_), beforeRoot);
    // The user's temp folder holds rimo's own trace file while it runs only.
    EXPECT_EQ(Listing(home), beforeHome);
    EXPECT_EQ(fs::exists(logs + "/ConfigDB_Intern.log"), logged);
  }
}

#define LINK_PROTECTIONS_OFF()                                                                       \
  LinkProtectionsOff linkProtectionsOff;                                                             \
  if (!linkProtectionsOff.ok()) GTEST_SKIP() << "the kernel's link protections cannot be switched off here"

// A caller with no usable folder of its own never takes another user's file
// in the shared folder for its own: the data center is asked, nothing is
// written, and the job says so.
TEST_F(SharedMachineTest, WithoutAnOwnFolderAnotherUsersFileIsNeverUsed) {
  LINK_PROTECTIONS_OFF();
  PackageLayout();
  const std::string data = root_ + kData;
  const std::string response = data + "Response/" + kUserId + ".xml", ini = data + "Status/" + kUserId + ".ini";
  const std::string plantedIni = "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n";
  WriteFile(tree_ + "/planted.ini", plantedIni);
  Shell("chmod a+r " + tree_ + "/planted.ini");
  As(b_, "cp " + tree_ + "/good.xml " + response + " && cp " + tree_ + "/planted.ini " + ini);
  ASSERT_EQ(OwnerOf(response), b_.uid);
  struct Case {
    const char* name;
    const User* user;
    std::string env;
    const User* homeOf;
  } cases[] = {{"a service account without a home", &a_, "HOME=/nonexistent", nullptr},
               {"root with another user's HOME", nullptr, "", &b_}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = center_->Requests().size();
    const Outcome run = Rimo(c.user, "query " + std::string(kUserId), c.env, c.homeOf);
    EXPECT_EQ(center_->Requests(before + 1).size(), before + 1) << "the data center is asked: " << run.out;
    EXPECT_EQ(run.exitCode, 1) << "its files could be written nowhere: " << run.out;
    EXPECT_EQ(run.out.find("QuerySucceeded = 1"), std::string::npos) << "another user's record is not shown as its own";
    EXPECT_EQ(OwnerOf(response), b_.uid);
    EXPECT_EQ(ReadFile(response), ReadFile(tree_ + "/good.xml"));
    EXPECT_EQ(OwnerOf(ini), b_.uid);
    EXPECT_EQ(ReadFile(ini), plantedIni);
  }
}

// A racer of B's plants files where root's go, between root's choice of a
// path and its write, 1,000 times: what root writes is always root's, and
// no success is ever recorded that did not happen.
TEST_F(SharedMachineTest, RacerNeverOwnsWhatRootWritesNorRecordsItsSuccess) {
  LINK_PROTECTIONS_OFF();
  PackageLayout();
  const std::string data = root_ + kData;
  // One ID whose query fails (500), one that gets a response.
  const std::string failing = "12345678901234567893", receiving = "12345678901234567890";
  WriteFile(tree_ + "/answers/893.fault", "500\nRZ-4711\nGesperrt.\nblocked\n");
  const std::string planted = "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n";
  const std::string forged = "B's response";
  // The racer: plants, and takes away again, B's files at both IDs' names.
  const pid_t racer = fork();
  if (racer == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(b_.gid) != 0 || setuid(b_.uid) != 0) _exit(1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (std::chrono::steady_clock::now() < end && getppid() != 1) {
      for (const std::string& id : {failing, receiving}) {
        for (const auto& [name, text] : {std::pair{data + "Status/" + id + ".ini", planted},
                                         std::pair{data + "Response/" + id + ".xml", forged}}) {
          const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
          if (fd >= 0) {
            (void)!write(fd, text.data(), text.size());
            close(fd);
          }
          unlink(name.c_str());  // only B's own go, in the sticky folders
        }
      }
    }
    _exit(0);
  }
  ASSERT_GT(racer, 0);
  struct EndRacer {
    pid_t pid;
    ~EndRacer() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } endRacer{racer};

  // Root's jobs, through the library in this process, as rimo would run them.
  const std::string home = HomeOf(root);
  for (const char* name : {"XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
    unsetenv(name);
  }
  setenv("KELO_ROOT", root_.c_str(), 1);
  setenv("KELO_CARD_CERT", (tree_ + "/card.pem").c_str(), 1);
  setenv("HOME", home.c_str(), 1);
  setenv("TMPDIR", (home + "/tmp").c_str(), 1);
  // Errors are traced, to be shown with a failing round.
  const std::string trace = tree_ + "/racer-trace.log";
  setenv("KELO_TRACE", "*=8", 1);
  setenv("KELO_TRACE_FILE", trace.c_str(), 1);
  rimo::host::HostLibrary lib;
  ASSERT_TRUE(lib.ok());
  IScDataStatus* status = lib.createStatus();
  const std::string own = home + "/.local/share/Quandel/Daten/P4100002/RIMO/";
  const std::string good = ReadFile(tree_ + "/good.xml");
  int sharedWrites = 0;
  for (int round = 0; round < 1000; ++round) {
    const bool fails = round % 2 == 0;
    const std::string id = fails ? failing : receiving;
    SCOPED_TRACE("round " + std::to_string(round));
    // Root's files of the round before go, so that each round chooses anew.
    for (const std::string& dir : {data, own}) {
      for (const std::string& file : {dir + "Status/" + id + ".ini", dir + "Response/" + id + ".xml"}) {
        if (OwnerOf(file) == 0) fs::remove(file);
      }
    }
    IRimoData* component = lib.create(status, 0);
    const std::wstring wide(id.begin(), id.end());
    component->LoadRimoResponseFromRZ(wide.c_str());
    lib.destroy(component);
    // Root's record is root's, wherever it is, and says what happened.
    int records = 0;
    for (const std::string& dir : {data, own}) {
      const std::string ini = dir + "Status/" + id + ".ini";
      const std::string text = fs::exists(ini) ? ReadFile(ini) : std::string();
      if (OwnerOf(ini) == 0) {
        ++records;
        sharedWrites += dir == data;
        EXPECT_EQ(text, fails ? "[Allgemein]\nErrorInfoRZ=500-00000\nQuerySucceeded=0\nPackageExists=0\n"
                              : "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
      } else {
        // B's file, if one is there, read while B may still be writing it.
        EXPECT_EQ(planted.rfind(text, 0), 0u) << "a file of B's holds only what B wrote: " << text;
      }
      const std::string response = dir + "Response/" + id + ".xml";
      if (OwnerOf(response) != 0) {
        const std::string bytes = fs::exists(response) ? ReadFile(response) : std::string();
        EXPECT_EQ(forged.rfind(bytes, 0), 0u) << "a file of B's holds only what B wrote";
      }
    }
    EXPECT_EQ(records, 1) << "one record of root's, never none because B's said success";
    if (!fails) {
      EXPECT_TRUE((OwnerOf(data + "Response/" + id + ".xml") == 0 && ReadFile(data + "Response/" + id + ".xml") == good) ||
                  (OwnerOf(own + "Response/" + id + ".xml") == 0 && ReadFile(own + "Response/" + id + ".xml") == good))
          << "the response stored where root's files go";
    }
    if (HasFailure()) {
      ADD_FAILURE() << "the trace:\n" << (fs::exists(trace) ? ReadFile(trace) : std::string()) << Listing(data)
                    << Listing(own);
      break;
    }
    if (fs::exists(trace)) fs::resize_file(trace, 0);
  }
  lib.deleteStatus(status);
  // Not a test of luck: the racer did not drive every write to root's own folder.
  EXPECT_GT(sharedWrites, 0);
}

// The trace file is opened as every other file: never through another
// user's link, never a FIFO, created 0600.
TEST_F(SharedMachineTest, TraceFileIsOpenedLikeEveryOtherFile) {
  LINK_PROTECTIONS_OFF();
  const std::string sticky = tree_ + "/sticky";
  fs::create_directories(sticky);
  chmod(sticky.c_str(), 01777);
  const std::string victim = tree_ + "/root-only.log";
  WriteFile(victim, "root's\n");
  chmod(victim.c_str(), 0600);
  const std::string aFile = HomeOf(a_) + "/a.log";
  As(a_, "echo mine > " + aFile);
  As(b_, "ln -s " + victim + " " + sticky + "/root.log && ln -s " + aFile + " " + sticky + "/a.log && mkfifo " + sticky +
             "/fifo.log");
  const std::string load = "load " + tree_ + "/good.xml";
  struct Case {
    const char* name;
    const User* user;
    std::string traceFile;
  } cases[] = {{"root, through B's link to a root-only file", nullptr, sticky + "/root.log"},
               {"A, through B's link to A's file", &a_, sticky + "/a.log"},
               {"root, a FIFO of B's", nullptr, sticky + "/fifo.log"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Rimo(c.user, load, "KELO_TRACE=*=16 KELO_TRACE_FILE=" + c.traceFile);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_LT(run.seconds, 10.0) << "nothing waits for a FIFO's reader";
  }
  EXPECT_EQ(ReadFile(victim), "root's\n");
  EXPECT_EQ(ReadFile(aFile), "mine\n");
  // A file of the caller's own is made 0600 and written.
  const Outcome own = Rimo(nullptr, load, "KELO_TRACE=*=16 KELO_TRACE_FILE=" + sticky + "/new.log");
  EXPECT_EQ(own.exitCode, 0) << own.err;
  EXPECT_EQ(OwnerOf(sticky + "/new.log"), 0u);
  EXPECT_EQ(ModeOf(sticky + "/new.log"), 0600u);
  EXPECT_NE(ReadFile(sticky + "/new.log").find("RimoData::ExecuteGetFromFile"), std::string::npos);
}

// A second name of one of A's files, made by B (hard links, with the
// kernel's protection off), is never taken for A's own file: not as a
// stored response, not as a recorded success, not as a lock file.
TEST_F(SharedMachineTest, AnotherUsersHardLinksAreNotTheCallersFiles) {
  LINK_PROTECTIONS_OFF();
  PackageLayout();
  const std::string data = root_ + kData;
  const std::string stored = "12345678901234567891", failing = "12345678901234567893", locked = "12345678901234567892";
  WriteFile(tree_ + "/answers/891.xml", ReadFile(tree_ + "/good.xml"));
  WriteFile(tree_ + "/answers/892.xml", ReadFile(tree_ + "/good.xml"));
  WriteFile(tree_ + "/answers/893.fault", "500\nRZ-4711\nGesperrt.\nblocked\n");
  ASSERT_EQ(Rimo(&a_, "fetch " + stored).exitCode, 0);
  const std::string storedResponse = data + "Response/" + stored + ".xml", storedIni = data + "Status/" + stored + ".ini";
  ASSERT_EQ(OwnerOf(storedResponse), a_.uid);
  ASSERT_EQ(ReadFile(storedIni), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
  As(b_, "ln " + storedResponse + " " + data + "Response/" + failing + ".xml && ln " + storedIni + " " + data +
             "Status/" + failing + ".ini && ln " + storedIni + " " + data + "Status/." + locked + ".ini.lock");
  ASSERT_EQ(fs::hard_link_count(storedIni), 3u);

  // A stored response and a recorded success that are B's links.
  const size_t before = center_->Requests().size();
  const Outcome query = Rimo(&a_, "query " + failing);
  EXPECT_EQ(center_->Requests(before + 1).size(), before + 1) << "asked, not answered from a link: " << query.out;
  EXPECT_EQ(query.exitCode, 1);
  const std::string ownIni = HomeOf(a_) + "/.local/share/Quandel/Daten/P4100002/RIMO/Status/" + failing + ".ini";
  EXPECT_EQ(ReadFile(ownIni), "[Allgemein]\nErrorInfoRZ=500-00000\nQuerySucceeded=0\nPackageExists=0\n")
      << "the failure is recorded in A's own file";
  EXPECT_EQ(ReadFile(storedIni), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n") << "A's other record untouched";

  // A lock file that is a link of B's to A's file, held by B: A's private
  // lock serves instead.
  const std::string holdLock = "flock -x " + data + "Status/." + locked + ".ini.lock sleep 20";
  Shell("setpriv --reuid=" + std::to_string(b_.uid) + " --regid=" + std::to_string(b_.gid) + " --clear-groups " +
        holdLock + " >/dev/null 2>&1 & sleep 0.5");
  const Outcome fetch = Rimo(&a_, "fetch " + locked);
  EXPECT_EQ(fetch.exitCode, 0) << fetch.out << fetch.err;
  EXPECT_EQ(ReadFile(data + "Status/" + locked + ".ini"), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n");
  Shell("pkill -u " + std::to_string(b_.uid) + " -x flock; pkill -u " + std::to_string(b_.uid) + " -x sleep");
}

// Folders are made only in folders of the caller's own (or root's), never
// through another user's link, and the shared sticky mode only where the
// package's (root's) data tree is.
TEST_F(SharedMachineTest, FoldersAreMadeOnlyWhereTheCallerMayMakeThem) {
  LINK_PROTECTIONS_OFF();
  const std::string rootFolder = tree_ + "/root-folder";
  fs::create_directories(rootFolder);
  chmod(rootFolder.c_str(), 0755);
  // Root with B's HOME, whose .local is B's link to a root folder.
  As(b_, "ln -s " + rootFolder + " " + HomeOf(b_) + "/.local");
  Rimo(nullptr, "fetch " + std::string(kUserId), "", &b_);
  EXPECT_EQ(Listing(rootFolder), "") << "nothing made where B's link leads";
  // Root with KELO_ROOT in B's tree, whose var is B's link to a root folder.
  const std::string bRoot = HomeOf(b_) + "/kroot";
  Shell("cp -r " + root_ + " " + bRoot + " && chown -R " + std::to_string(b_.uid) + ":" + std::to_string(b_.gid) + " " +
        bRoot + " && rm -rf " + bRoot + "/var");
  As(b_, "ln -s " + rootFolder + " " + bRoot + "/var");
  Rimo(nullptr, "fetch " + std::string(kUserId), "KELO_ROOT=" + bRoot);
  EXPECT_EQ(Listing(rootFolder), "") << "nothing made where B's link leads";
  // A with KELO_ROOT in A's own tree: the data folders are A's, private.
  const std::string aRoot = HomeOf(a_) + "/kroot";
  Shell("cp -r " + root_ + " " + aRoot + " && rm -rf " + aRoot + "/var && chown -R " + std::to_string(a_.uid) + ":" +
        std::to_string(a_.gid) + " " + aRoot + " && chmod 0755 " + HomeOf(a_));
  const Outcome run = Rimo(&a_, "fetch " + std::string(kUserId), "KELO_ROOT=" + aRoot);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* kind : {"Response", "Status"}) {
    const std::string folder = aRoot + kData + kind;
    EXPECT_EQ(OwnerOf(folder), a_.uid) << kind;
    EXPECT_EQ(ModeOf(folder), 0700u) << kind << ": no other user may keep files there";
  }
}

// The private lock folder is checked and used through one handle; in a
// folder another user owns it is never made.
TEST_F(SharedMachineTest, PrivateLockFolderIsNeverMadeInAnotherUsersFolder) {
  LINK_PROTECTIONS_OFF();
  PackageLayout();
  const std::string data = root_ + kData;
  // B's lock file at root's INI: root needs its private lock.
  As(b_, "touch " + data + "Status/." + kUserId + ".ini.lock && chmod 0600 " + data + "Status/." + kUserId + ".ini.lock");
  const std::string bTmp = HomeOf(b_) + "/tmp";
  const std::string before = Listing(bTmp);
  const Outcome run = Rimo(nullptr, "fetch " + std::string(kUserId), "TMPDIR=" + bTmp);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Listing(bTmp), before) << "root makes nothing in B's temp folder, which B could swap";
  EXPECT_EQ(ReadFile(data + "Status/" + kUserId + ".ini"), "[Allgemein]\nQuerySucceeded=1\nPackageExists=1\n")
      << "written all the same, atomically";
}

}  // namespace
