#include "support/DataCenterProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace rimo::testing {

DataCenterProcess::DataCenterProcess(const std::vector<std::string>& args) {
  const char* tmp = std::getenv("TMPDIR");
  std::string logPattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/rimo-dc-log-XXXXXX";
  const int fd = mkstemp(logPattern.data());
  if (fd < 0) throw std::runtime_error("no log file for rimo-datacenter");
  logPath_ = logPattern;
  const std::string program = std::string(RIMO_BIN_DIR) + "/rimo-datacenter";
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fd);
  if (rc != 0) throw std::runtime_error("cannot start rimo-datacenter");
  // The first line is the port.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream log(logPath_);
    std::string line;
    if (std::getline(log, line) && log.good()) {
      port_ = std::atoi(line.c_str());
      break;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("rimo-datacenter ended at start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (port_ <= 0) throw std::runtime_error("rimo-datacenter did not print its port");
}

DataCenterProcess::~DataCenterProcess() {
  Stop();
  unlink(logPath_.c_str());
}

int DataCenterProcess::Stop() {
  if (pid_ <= 0) return 0;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> DataCenterProcess::Requests(size_t atLeast) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    std::ifstream log(logPath_);
    std::vector<std::string> lines;
    std::string line;
    std::getline(log, line);  // the port
    while (std::getline(log, line)) lines.push_back(line);
    if (lines.size() >= atLeast || std::chrono::steady_clock::now() >= deadline) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace rimo::testing
