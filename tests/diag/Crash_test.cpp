// Crash handling: a worker that faults leaves a dump; the history keeps the
// five newest; the installation's switches restart kelohost; a host thread's
// fault stays the host's. Faults happen in child processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "diag/ExceptionTranslator.h"
#include "diag/ProcessControl.h"
#include "support/TempDir.h"

extern char** environ;

namespace rimo::diag {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

struct Ended {
  bool signaled;
  int code;  // exit status, or the signal
  std::string err;
};

// Runs program with args, standard error to a file, and waits for it.
Ended RunChild(const std::string& program, const std::vector<std::string>& args) {
  const std::string err = std::string(std::getenv("TMPDIR")) + "/child.err";
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFSIGNALED(status), WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status), ReadFile(err)};
}

std::string LogDir() { return std::string(std::getenv("XDG_STATE_HOME")) + "/Quandel/Log/Kelo/"; }

std::vector<std::string> Dumps() {
  std::vector<std::string> names;
  if (!fs::exists(LogDir())) return names;
  for (const auto& e : fs::directory_iterator(LogDir())) {
    const std::string name = e.path().filename().string();
    if (name.find("AppCrashDump_") != std::string::npos) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Registry(const std::string& options) {
  const std::string root = std::getenv("KELO_ROOT");
  WriteFile(root + "/etc/kelo/registry.reg",
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\QUANDEL Kelo compact\\Options]\n" +
                options + "\n");
}

const std::string kCrashHost = RIMO_TEST_BIN_DIR "/crash_host";

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer takes over the fault signals";
    fs::create_directories(std::string(std::getenv("KELO_ROOT")) + "/etc/kelo");
  }
};

TEST_F(CrashTest, WorkerFaultLeavesADumpAndEndsWithTheSignal) {
  const Ended ended = RunChild(kCrashHost, {"worker-fault"});
  EXPECT_TRUE(ended.signaled);
  EXPECT_EQ(ended.code, SIGSEGV);
  const auto dumps = Dumps();
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_TRUE(std::regex_match(dumps[0], std::regex(R"(Kelo\.Rimo\.DataDll__crash_host__V1\.0\.0\.1_AppCrashDump_)"
                                                    R"(\d\d\.\d\d\.\d{4}\.\d\d\.\d\d\.\d\d\.dmp\.txt)")))
      << dumps[0];
  const std::string dump = ReadFile(LogDir() + dumps[0]);
  EXPECT_NE(dump.find("signal: 11 (SIGSEGV)"), std::string::npos);
  EXPECT_NE(dump.find("fault address: 0x0\n"), std::string::npos);
  EXPECT_NE(dump.find("module version: 1.0.0.1"), std::string::npos);
  EXPECT_NE(dump.find("backtrace:\n"), std::string::npos);
  EXPECT_NE(dump.find("librimodata.so"), std::string::npos) << "frames and maps name the component";
  EXPECT_NE(dump.find("/proc/self/maps:\n"), std::string::npos);
  EXPECT_NE(dump.find("[stack]"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat((LogDir() + dumps[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ended.err.find("KeloHost-Prozess"), std::string::npos) << "no message for another host";
}

TEST_F(CrashTest, HistoryKeepsTheFiveNewest) {
  fs::create_directories(LogDir());
  // Seven earlier dumps (two in the same second) and two of the old naming.
  const char* earlier[] = {"01.01.2020.10.00.00", "02.01.2020.10.00.00", "03.01.2020.10.00.00", "04.01.2020.10.00.00",
                           "05.01.2020.10.00.00", "05.01.2020.10.00.00", "06.01.2020.10.00.00"};
  int i = 0;
  for (const char* when : earlier) {
    WriteFile(LogDir() + "Kelo.Rimo.DataDll__host" + std::to_string(i++) + "__V1.0.0.1_AppCrashDump_" + when +
                  ".dmp.txt",
              "old");
  }
  WriteFile(LogDir() + "Kelo.Rimo.DataDll__host__AppCrashDump_01.01.2019.10.00.00.dmp.txt", "older");
  WriteFile(LogDir() + "x__AppCrashDump_y.dmp.txt", "older");
  WriteFile(LogDir() + "unrelated.txt", "kept");
  RunChild(kCrashHost, {"worker-fault"});
  const auto dumps = Dumps();
  ASSERT_EQ(dumps.size(), 6u);
  std::vector<std::string> keys;
  for (const auto& d : dumps) keys.push_back(ExceptionTranslator::HistoryKey(d));
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys[0], "20200103100000");
  EXPECT_EQ(keys[2], "20200105100000");
  EXPECT_EQ(keys[3], "20200105100000") << "dumps of one second count apart";
  EXPECT_EQ(keys[4], "20200106100000");
  EXPECT_GT(keys[5], "2026");
  EXPECT_TRUE(fs::exists(LogDir() + "unrelated.txt"));
}

TEST_F(CrashTest, SwitchesRestartOnlyKelohost) {
  const std::string dir = std::string(std::getenv("TMPDIR")) + "/bin dir";
  fs::create_directories(dir);
  fs::copy_file(kCrashHost, dir + "/kelohost");
  fs::copy_file(kCrashHost, dir + "/otherhost");
  fs::create_directories(dir + "/in/kelohost");
  fs::copy_file(kCrashHost, dir + "/in/kelohost/otherhost");
  fs::copy_file(kCrashHost, dir + "/kelohostile");
  const std::string record = std::string(std::getenv("TMPDIR")) + "/starts.log";
  setenv("CRASH_HOST_RECORD", record.c_str(), 1);
  struct Case {
    const char* name;
    std::string options;
    const char* host;
    bool acts;
  } cases[] = {
      {"both on, kelohost", "\"ShowCrashMessage\"=dword:00000001\n\"ShouldRestartKeloHost\"=dword:00000001",
       "kelohost", true},
      {"both on, another host", "\"ShowCrashMessage\"=dword:00000001\n\"ShouldRestartKeloHost\"=dword:00000001",
       "otherhost", false},
      {"both on, another host in a folder named kelohost",
       "\"ShowCrashMessage\"=dword:00000001\n\"ShouldRestartKeloHost\"=dword:00000001", "in/kelohost/otherhost", false},
      {"both on, a host whose name only begins with kelohost",
       "\"ShowCrashMessage\"=dword:00000001\n\"ShouldRestartKeloHost\"=dword:00000001", "kelohostile", false},
      {"string values", "\"ShowCrashMessage\"=\"1\"\n\"ShouldRestartKeloHost\"=\"1\"", "kelohost", false},
      {"low 16 bits 0", "\"ShowCrashMessage\"=dword:00010000\n\"ShouldRestartKeloHost\"=dword:00010000", "kelohost",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(record);
    Registry(c.options);
    const Ended ended = RunChild(dir + "/" + c.host, {"worker-fault"});
    if (c.acts) {
      EXPECT_FALSE(ended.signaled);
      EXPECT_EQ(ended.code, 255) << "exit code -1 after the restart";
      EXPECT_NE(ended.err.find("KeloHost-Prozess muss neu gestartet werden"), std::string::npos) << ended.err;
      // The new kelohost records its start.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      // Waits for the record's content, not only its name: the new process
      // may be between creating the file and writing it.
      while ((!fs::exists(record) || ReadFile(record).empty()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ASSERT_TRUE(fs::exists(record));
      EXPECT_EQ(ReadFile(record), "started\n");
    } else {
      EXPECT_TRUE(ended.signaled);
      EXPECT_EQ(ended.code, SIGSEGV);
      EXPECT_EQ(ended.err.find("KeloHost-Prozess"), std::string::npos);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_FALSE(fs::exists(record)) << "nothing was started";
    }
  }
  unsetenv("CRASH_HOST_RECORD");
}

TEST_F(CrashTest, FaultOnAHostThreadStaysTheHosts) {
  const Ended ended = RunChild(kCrashHost, {"host-fault"});
  EXPECT_FALSE(ended.signaled);
  EXPECT_EQ(ended.code, 42);
  EXPECT_NE(ended.err.find("host handler"), std::string::npos);
  EXPECT_TRUE(Dumps().empty());
}

TEST(ProcessStartTest, PathsAndResults) {
  const std::string dir = std::string(std::getenv("TMPDIR")) + "/with blank";
  fs::create_directories(dir);
  const std::string record = std::string(std::getenv("TMPDIR")) + "/ran.log";
  WriteFile(dir + "/prog.sh", "#!/bin/sh\necho \"ran $#\" >> '" + record + "'\n");
  chmod((dir + "/prog.sh").c_str(), 0700);
  auto ranTimes = [&](size_t times) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const std::string text = fs::exists(record) ? ReadFile(record) : "";
      if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= times ||
          std::chrono::steady_clock::now() >= deadline) {
        return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  EXPECT_EQ(TC_StartProcessAsyncA("with blank/prog.sh"), kStartBadParameters);
  EXPECT_EQ(TC_StartProcessAsyncA(nullptr), kStartBadParameters);
  EXPECT_EQ(TC_StartProcessAsyncA("/nonexistent/program"), kStartFailed);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(fs::exists(record)) << "nothing was started";
  EXPECT_EQ(TC_StartProcessAsyncA((dir + "/prog.sh").c_str()), kStartOk);
  EXPECT_EQ(ranTimes(1), "ran 0\n") << "a blank in a directory, no arguments";
  EXPECT_EQ(TC_StartProcessAsyncA(("\"" + dir + "/prog.sh\"").c_str()), kStartOk);
  EXPECT_EQ(ranTimes(2), "ran 0\nran 0\n") << "quotes are removed, not passed on";
}

}  // namespace
}  // namespace rimo::diag
