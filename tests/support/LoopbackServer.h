// A TCP server on 127.0.0.1 with an ephemeral port for the odd peers tests
// need (a server that closes at once, a plain HTTP target, a proxy). Each
// connection runs the handler on a thread of its own; the destructor stops
// listening and joins every thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rimo::testing {

class LoopbackServer {
 public:
  // handler(fd): serve one connection; the fd is closed after it returns.
  explicit LoopbackServer(std::function<void(int fd)> handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  void AcceptLoop();

  std::function<void(int)> handler_;
  int listenFd_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
};

// Reads from fd until "\r\n\r\n" (at most 64 KiB); the text read.
std::string ReadHttpHead(int fd);
// Writes all of text to fd.
void WriteAll(int fd, const std::string& text);
// A port on 127.0.0.1 that nothing listens on.
int ClosedPort();

}  // namespace rimo::testing
