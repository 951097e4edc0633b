#include "platform/Askpass.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace rimo::platform {
namespace {

constexpr size_t kMaxAnswer = SecretText::kCapacity;

int64_t NowMs() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

struct Fd {
  int fd = -1;
  ~Fd() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

// Runs the helper and reads its answer into out (capacity bytes, of which
// the answer may fill all but one); *used is how much it printed, cut at
// capacity. False when there is no answer (see AskHelper).
bool RunHelper(const std::string& kind, const std::string& subject, const std::string& input, int timeoutMs,
               char* out, size_t capacity, size_t* used) {
  *used = 0;
  const char* helper = std::getenv("KELO_ASKPASS");
  if (helper == nullptr || helper[0] == '\0') return false;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  Fd answerRead{pipeFds[0]}, answerWrite{pipeFds[1]};
  // Standard input is a socket, so that a helper that leaves without
  // reading it costs an EPIPE here (MSG_NOSIGNAL), never a SIGPIPE.
  int socketFds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socketFds) != 0) return false;
  Fd inputWrite{socketFds[0]}, inputRead{socketFds[1]};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, answerWrite.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, inputRead.fd, STDIN_FILENO);
  const std::string program = helper;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(kind.c_str()),
                  const_cast<char*>(subject.c_str()), nullptr};
  // The helper stays in the caller's process group: one that asks on the
  // terminal would be stopped there otherwise. Run out of time, it alone is
  // killed; whatever it started can no longer answer.
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  answerWrite.Close();
  inputRead.Close();
  if (rc != 0) return false;
  size_t sent = 0;
  if (input.empty()) shutdown(inputWrite.fd, SHUT_WR);
  const int64_t deadline = NowMs() + timeoutMs;
  bool timedOut = false;
  bool overflow = false;
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd p[2] = {{answerRead.fd, POLLIN, 0}, {inputWrite.fd, POLLOUT, 0}};
    const bool sending = inputWrite.fd >= 0 && sent < input.size();
    const int ready = poll(p, sending ? 2 : 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    if (sending && (p[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = send(inputWrite.fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN) sent = input.size();  // it stopped reading
      if (sent == input.size()) inputWrite.Close();
    }
    if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t n = read(answerRead.fd, out + *used, capacity - *used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    *used += static_cast<size_t>(n);
    if (*used == capacity) {
      overflow = true;
      break;
    }
  }
  answerRead.Close();
  inputWrite.Close();
  if (timedOut || overflow) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut || overflow || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  // The first line only.
  for (size_t i = 0; i < *used; ++i) {
    if (out[i] == '\r' || out[i] == '\n') {
      *used = i;
      break;
    }
  }
  return *used != 0;
}

}  // namespace

std::optional<std::string> AskHelper(const std::string& kind, const std::string& subject, int timeoutMs,
                                     const std::string& input) {
  // One byte more than an answer may have: a longer answer is refused.
  char out[kMaxAnswer + 1];
  size_t used = 0;
  std::optional<std::string> answer;
  if (RunHelper(kind, subject, input, timeoutMs, out, sizeof out, &used)) answer.emplace(out, used);
  explicit_bzero(out, sizeof out);
  return answer;
}

SecretText::~SecretText() { Wipe(); }

void SecretText::Wipe() {
  explicit_bzero(bytes_, sizeof bytes_);
  size_ = 0;
}

std::unique_ptr<SecretText> AskSecret(const std::string& kind, const std::string& subject, int timeoutMs) {
  auto secret = std::make_unique<SecretText>();
  size_t used = 0;
  const bool answered = RunHelper(kind, subject, "", timeoutMs, secret->bytes_, kMaxAnswer + 1, &used);
  if (!answered) return nullptr;  // the destructor wipes what was read
  // Whatever followed the first line is wiped too.
  explicit_bzero(secret->bytes_ + used, sizeof secret->bytes_ - used);
  secret->size_ = used;
  return secret;
}

}  // namespace rimo::platform
