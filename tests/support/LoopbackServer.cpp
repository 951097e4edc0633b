#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace rimo::testing {
namespace {

int ListenOnLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

LoopbackServer::LoopbackServer(std::function<void(int)> handler) : handler_(std::move(handler)) {
  listenFd_ = ListenOnLoopback(&port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  close(listenFd_);
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& worker : workers_) worker.join();
}

void LoopbackServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard<std::mutex> guard(mutex_);
    workers_.emplace_back([this, fd] {
      handler_(fd);
      close(fd);
    });
  }
}

std::string ReadHttpHead(int fd) {
  std::string text;
  char c;
  while (text.size() < 65536 && text.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0 || read(fd, &c, 1) != 1) break;
    text.push_back(c);
  }
  return text;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int ClosedPort() {
  int port = 0;
  const int fd = ListenOnLoopback(&port);
  close(fd);
  return port;
}

}  // namespace rimo::testing
