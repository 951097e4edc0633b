#include "platform/Askpass.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace rimo::platform {
namespace {

constexpr size_t kMaxAnswer = 4096;

int64_t NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

}  // namespace

std::optional<std::string> AskHelper(const std::string& kind, const std::string& subject, int timeoutMs) {
  const char* helper = std::getenv("KELO_ASKPASS");
  if (helper == nullptr || helper[0] == '\0') return std::nullopt;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const std::string program = helper;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(kind.c_str()),
                  const_cast<char*>(subject.c_str()), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return std::nullopt;
  }
  std::string answer;
  const int64_t deadline = NowMs() + timeoutMs;
  bool timedOut = false;
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd p {out[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    char buf[512];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
    if (answer.size() > kMaxAnswer) break;
  }
  close(out[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  const size_t end = answer.find_first_of("\r\n");
  if (end != std::string::npos) answer.resize(end);
  if (answer.empty() || answer.size() > kMaxAnswer) return std::nullopt;
  return answer;
}

}  // namespace rimo::platform
