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
#include "support/TraceRecorder.h"

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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAllocatorTraps = false;
#else
constexpr bool kAllocatorTraps = true;
#endif

struct Ended {
  bool signaled;
  int code;  // exit status, or the signal
  std::string err;
  bool hung = false;  // killed after 20 seconds
  double seconds = 0;
};

// Runs program with args, standard error to a file, and waits for it (a
// child that hangs is killed after 20 seconds).
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
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  bool hung = false;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
      hung = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {WIFSIGNALED(status), WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status), ReadFile(err), hung,
          took.count()};
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

// The handler writes its dump and restarts or ends without entering the
// allocator, even when the fault happened inside it with its lock held.
TEST_F(CrashTest, HandlerNeverEntersTheAllocator) {
  if (!kAllocatorTraps) GTEST_SKIP() << "the sanitizer's allocator cannot be replaced";
  const std::string dir = std::string(std::getenv("TMPDIR")) + "/bin";
  fs::create_directories(dir);
  fs::copy_file(kCrashHost, dir + "/kelohost");
  const std::string record = std::string(std::getenv("TMPDIR")) + "/starts.log";
  setenv("CRASH_HOST_RECORD", record.c_str(), 1);
  Registry("\"ShowCrashMessage\"=dword:00000001\n\"ShouldRestartKeloHost\"=dword:00000001");
  struct Case {
    const char* trap;
    bool restart;
  } cases[] = {{"enter", true}, {"lock", true}, {"enter", false}, {"lock", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.trap) + (c.restart ? ", restarting kelohost" : ", another host"));
    fs::remove_all(LogDir());
    fs::remove(record);
    setenv("CRASH_HOST_TRAP", c.trap, 1);
    const Ended ended = RunChild(c.restart ? dir + "/kelohost" : kCrashHost, {"worker-fault"});
    unsetenv("CRASH_HOST_TRAP");
    ASSERT_FALSE(ended.hung) << "the handler hung";
    std::printf("    %s, %s: ended after %.3f s\n", c.trap, c.restart ? "restart" : "default action", ended.seconds);
    EXPECT_EQ(ended.err.find("allocator entered"), std::string::npos);
    EXPECT_EQ(Dumps().size(), 1u);
    if (c.restart) {
      EXPECT_FALSE(ended.signaled);
      EXPECT_EQ(ended.code, 255);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while ((!fs::exists(record) || ReadFile(record).empty()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_EQ(fs::exists(record) ? ReadFile(record) : "", "started\n") << "the new kelohost ran";
    } else {
      EXPECT_TRUE(ended.signaled);
      EXPECT_EQ(ended.code, SIGSEGV);
    }
  }
  unsetenv("CRASH_HOST_RECORD");
}

// A made-up zone whose daylight time (two hours ahead of its standard time)
// begins two seconds after the host starts; the worker faults after that.
TEST_F(CrashTest, DumpCarriesTheLocalTimeAfterAZoneShift) {
  const time_t shift = time(nullptr) + 2;
  const time_t standard = shift + 3600;  // the rule's time is given in standard time
  struct tm at {};
  gmtime_r(&standard, &at);
  char zone[128];
  std::snprintf(zone, sizeof zone, "XST-1XDT-3,%d/%02d:%02d:%02d,%d/00:00:00", at.tm_yday, at.tm_hour, at.tm_min,
                at.tm_sec, (at.tm_yday + 30) % 365);
  const char* previous = std::getenv("TZ");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("TZ", zone, 1);
  setenv("CRASH_HOST_DELAY_MS", "3500", 1);
  const time_t before = time(nullptr);
  const Ended ended = RunChild(kCrashHost, {"worker-fault"});
  const time_t after = time(nullptr);
  unsetenv("CRASH_HOST_DELAY_MS");
  previous != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  EXPECT_TRUE(ended.signaled);
  const auto dumps = Dumps();
  ASSERT_EQ(dumps.size(), 1u);
  std::smatch m;
  const std::string name = dumps[0];
  ASSERT_TRUE(std::regex_search(name, m, std::regex(R"((\d\d)\.(\d\d)\.(\d{4})\.(\d\d)\.(\d\d)\.(\d\d)\.dmp)")));
  struct tm named {};
  named.tm_mday = std::stoi(m[1]);
  named.tm_mon = std::stoi(m[2]) - 1;
  named.tm_year = std::stoi(m[3]) - 1900;
  named.tm_hour = std::stoi(m[4]);
  named.tm_min = std::stoi(m[5]);
  named.tm_sec = std::stoi(m[6]);
  const time_t crash = timegm(&named) - 3 * 3600;  // the name in daylight time, UTC+3
  EXPECT_GE(crash, std::max(before, shift)) << zone << ": " << name;
  EXPECT_LE(crash, after) << zone << ": " << name;
}

TEST_F(CrashTest, FaultOnAHostThreadStaysTheHosts) {
  // While the library is loaded, and once it was unloaded (also after a
  // second load at the same address): the host's own handler answers.
  for (const char* mode : {"host-fault", "fault-after-unload", "fault-after-reload"}) {
    SCOPED_TRACE(mode);
    const Ended ended = RunChild(kCrashHost, {mode});
    EXPECT_FALSE(ended.signaled);
    EXPECT_EQ(ended.code, 42) << ended.err;
    EXPECT_NE(ended.err.find("host handler"), std::string::npos);
    EXPECT_TRUE(Dumps().empty());
  }
}

// What the started program got: one line per start, its arguments joined by '|'.
class ProcessStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    WriteFile(dir_ + "/prog.sh", "#!/bin/sh\nIFS='|'; printf '%s\\n' \"$#:$*\" >> '" + record_ + "'\n");
    chmod((dir_ + "/prog.sh").c_str(), 0700);
  }
  // The record once it has n lines (or after ten seconds).
  std::string Record(size_t n) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const std::string text = fs::exists(record_) ? ReadFile(record_) : "";
      if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= n ||
          std::chrono::steady_clock::now() >= deadline) {
        return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  const std::string dir_ = std::string(std::getenv("TMPDIR")) + "/with blank";
  const std::string record_ = std::string(std::getenv("TMPDIR")) + "/ran.log";
};

TEST_F(ProcessStartTest, PathsQuotesAndTheirTraces) {
  const std::string prog = dir_ + "/prog.sh";
  struct Case {
    const char* name;
    std::string path;
    int32_t result;
    const char* quotedTrace;  // the path in the "gequoted" line; null when there is none
  } cases[] = {
      {"a blank in a directory", prog, kStartOk, "\"/"},
      {"in quotes", "\"" + prog + "\"", kStartOk, nullptr},
      {"a leading quote only", "\"" + prog, kStartOk, "\"/"},
      {"a trailing quote only", prog + "\"", kStartOk, "\"/"},
      {"relative", "with blank/prog.sh", kStartBadParameters, nullptr},
      {"relative in quotes", "\"with blank/prog.sh\"", kStartBadParameters, nullptr},
      {"a quote alone", "\"", kStartBadParameters, nullptr},
      {"empty", "", kStartBadParameters, nullptr},
      {"a program that is not there", "/nonexistent/program", kStartFailed, "\"/nonexistent/program\""},
  };
  size_t started = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rimo::testing::TraceRecorder recorder({{"*", 16}});
    EXPECT_EQ(TC_StartProcessAsyncA(c.path.c_str()), c.result);
    const auto quoted = recorder.Matching("gequoted");
    if (c.quotedTrace == nullptr) {
      EXPECT_TRUE(quoted.empty()) << quoted.front();
    } else {
      ASSERT_EQ(quoted.size(), 1u);
      EXPECT_NE(quoted[0].find(std::string("<") + c.quotedTrace), std::string::npos) << quoted[0];
      EXPECT_NE(quoted[0].find("\">."), std::string::npos) << quoted[0];
    }
    if (c.result == kStartBadParameters) {
      EXPECT_EQ(recorder.Matching("nicht absolut").size(), 1u);
      EXPECT_TRUE(recorder.Matching("wird gestartet").empty());
    }
    if (c.result == kStartOk) {
      ++started;
      EXPECT_EQ(recorder.Matching("Der Programmaufruf <\"" + prog + "\" > wird gestartet.").size(), 1u);
      Record(started);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string expected;
  for (size_t i = 0; i < started; ++i) expected += "0:\n";
  EXPECT_EQ(Record(started), expected) << "each start without arguments, the quotes not passed on";
  EXPECT_EQ(TC_StartProcessAsyncA(nullptr), kStartBadParameters);
}

TEST_F(ProcessStartTest, ParametersAreSplitAsACommandLine) {
  const std::wstring prog = std::wstring(dir_.begin(), dir_.end()) + L"/prog.sh";
  struct Case {
    const wchar_t* parameters;
    const char* arguments;
  } cases[] = {
      {L"", "0:"},
      {L"one", "1:one"},
      {L"  one \t two  ", "2:one|two"},
      {L"\"two words\" third", "2:two words|third"},
      {L"a\"b c\"d", "1:ab cd"},
      {L"\\\"quoted\\\"", "1:\"quoted\""},
      {L"back\\\\\"slash x\"", "1:back\\slash x"},
      {L"C:\\dir\\file", "1:C:\\dir\\file"},
      {L"\"\"", "1:"},
  };
  std::string expected;
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.parameters)));
    EXPECT_EQ(ThreadControl::StartProcess(prog.c_str(), c.parameters), kStartOk);
    expected += std::string(c.arguments) + "\n";
    EXPECT_EQ(Record(++n), expected);
  }
  // Up to the program path's length plus 258 characters; longer is refused.
  EXPECT_EQ(ThreadControl::StartProcess(prog.c_str(), std::wstring(prog.size() + 258, L'x').c_str()), kStartOk);
  expected += "1:" + std::string(prog.size() + 258, 'x') + "\n";
  EXPECT_EQ(Record(++n), expected);
  EXPECT_EQ(ThreadControl::StartProcess(prog.c_str(), std::wstring(prog.size() + 259, L'x').c_str()),
            kStartBadParameters);
  EXPECT_EQ(ThreadControl::StartProcess(nullptr, nullptr), kStartBadParameters);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Record(n), expected) << "nothing more was started";
}

}  // namespace
}  // namespace rimo::diag
