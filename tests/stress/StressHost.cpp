// A stress host against the public header, for scripts/stress.sh (not part
// of the test suite). For SECONDS it drives 32 component slots on 6 status
// objects (2 of them the host's own, forwarding to library ones) with
// creates, queued jobs and deletes with jobs still queued; host threads poll
// the status objects and walk their lists; on two more threads a component
// on a fresh host object deletes itself from a callback on its worker, and
// the host frees that object as soon as the callback returned. The data center
// is reached through a proxy in this process that passes, stalls, drops or
// resets each connection.
//   stress_host SECONDS UPSTREAM_PORT RESPONSE_FILE
// KELO_ROOT must hold the root store; the registry file is written here.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/ChildHostLibrary.h"
#include "host/ForwardingStatus.h"

namespace {

using Clock = std::chrono::steady_clock;

using Library = rimo::host::ChildHostLibrary;

struct Counts {
  std::atomic<long> creates{0}, jobs{0}, deletes{0}, deletesWithQueue{0}, callbackDeletes{0}, polls{0}, items{0};
  std::atomic<long> passed{0}, stalled{0}, dropped{0}, reset{0}, cutOff{0};
};
Counts g_counts;
std::atomic<bool> g_stop{false};

thread_local std::mt19937 t_random{std::random_device{}()};
int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(t_random); }

// ------------------------------------------------------------------ proxy

void CloseWithReset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

int ConnectUpstream(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Copies both ways until one side closes; with cutAfter > 0, resets both
// after that many bytes from upstream.
void Relay(int client, int upstream, long cutAfter) {
  char buffer[16384];
  long fromUpstream = 0;
  while (!g_stop) {
    pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (poll(p, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(p[i].fd, buffer, sizeof buffer);
      if (n <= 0) return;
      if (i == 1) {
        fromUpstream += n;
        if (cutAfter > 0 && fromUpstream > cutAfter) {
          ++g_counts.cutOff;
          return;
        }
      }
      if (write(p[1 - i].fd, buffer, static_cast<size_t>(n)) != n) return;
    }
  }
}

void Serve(int client, int upstreamPort) {
  const int choice = Pick(100);
  if (choice < 10) {
    ++g_counts.dropped;
    close(client);
    return;
  }
  if (choice < 20) {
    ++g_counts.reset;
    CloseWithReset(client);
    return;
  }
  if (choice < 35) {
    // Holds the connection without a word for up to 3 s.
    ++g_counts.stalled;
    const auto until = Clock::now() + std::chrono::milliseconds(Pick(3000));
    char buffer[4096];
    while (!g_stop && Clock::now() < until) {
      pollfd p{client, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && read(client, buffer, sizeof buffer) <= 0) break;
    }
    close(client);
    return;
  }
  const int upstream = ConnectUpstream(upstreamPort);
  if (upstream < 0) {
    close(client);
    return;
  }
  ++g_counts.passed;
  const long cutAfter = choice < 45 ? 1 + Pick(4000) : 0;
  Relay(client, upstream, cutAfter);
  if (cutAfter > 0) {
    CloseWithReset(client);
  } else {
    close(client);
  }
  close(upstream);
}

class Proxy {
 public:
  explicit Proxy(int upstreamPort) : upstreamPort_(upstreamPort) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listenFd_, 128);
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~Proxy() {
    acceptor_.join();
    for (auto& t : connections_) t.join();
    close(listenFd_);
  }
  int port() const { return port_; }

 private:
  void Accept() {
    while (!g_stop) {
      pollfd p{listenFd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      connections_.emplace_back([this, client] { Serve(client, upstreamPort_); });
    }
  }
  int upstreamPort_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // touched by the acceptor only, joined after it
};

// ------------------------------------------------------------------ host

const wchar_t* const kIds[] = {L"12345678901234567890", L"12345678901234567891", L"12345678901234567892"};

void QueueJobs(IRimoData* c, const std::wstring& response, int n) {
  for (int i = 0; i < n; ++i) {
    switch (Pick(3)) {
      case 0: c->LoadRimoResponseFromFile(response.c_str()); break;
      case 1: c->LoadRimoResponseFromRZ(kIds[Pick(3)]); break;
      default: c->QueryRimoResponse(kIds[Pick(3)]); break;
    }
    ++g_counts.jobs;
  }
}

struct Slot {
  std::mutex mutex;
  IRimoData* component = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: stress_host SECONDS UPSTREAM_PORT RESPONSE_FILE\n");
    return 2;
  }
  const int seconds = std::atoi(argv[1]);
  const std::string file = argv[3];
  const std::wstring response(file.begin(), file.end());
  Proxy proxy(std::atoi(argv[2]));
  {
    const std::string root = std::getenv("KELO_ROOT") != nullptr ? std::getenv("KELO_ROOT") : "";
    std::ofstream registry(root + "/etc/kelo/registry.reg");
    registry << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
             << "\"RimoServiceUrl\"=\"https://127.0.0.1:" << proxy.port() << "/pvtwmod/rest/\"\n"
             << "\"HttpConnectTimeout\"=dword:000003e8\n\"HttpStallTimeout\"=dword:000003e8\n"
             << "\"HttpRequestTimeout\"=dword:000007d0\n";
  }
  Library lib;
  if (lib.handle == nullptr) {
    std::fprintf(stderr, "stress_host: %s\n", dlerror());
    return 3;
  }
  std::vector<IScDataStatus*> library;
  for (int i = 0; i < 4; ++i) library.push_back(lib.createStatus());
  std::vector<std::unique_ptr<rimo::host::ForwardingStatus>> own;
  for (int i = 0; i < 2; ++i) own.push_back(std::make_unique<rimo::host::ForwardingStatus>(library[static_cast<size_t>(i)]));
  std::vector<IScDataStatus*> statuses(library);
  for (auto& o : own) statuses.push_back(o.get());

  std::vector<Slot> slots(32);
  std::vector<std::thread> threads;
  // Host threads: create, queue, delete (often with jobs still queued).
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!g_stop) {
        Slot& slot = slots[static_cast<size_t>(Pick(32))];
        std::lock_guard<std::mutex> guard(slot.mutex);
        if (slot.component == nullptr) {
          const uint8_t mode = Pick(4) == 0 ? 0 : 1;
          slot.component = lib.create(statuses[static_cast<size_t>(Pick(6))], mode);
          if (slot.component != nullptr) ++g_counts.creates;
          if (mode == 1 && slot.component != nullptr) QueueJobs(slot.component, response, 1 + Pick(3));
          continue;
        }
        if (Pick(3) == 0) {
          lib.destroy(slot.component);
          slot.component = nullptr;
          ++g_counts.deletes;
          continue;
        }
        QueueJobs(slot.component, response, 1 + Pick(2));
        if (Pick(2) == 0) {
          lib.destroy(slot.component);
          slot.component = nullptr;
          ++g_counts.deletesWithQueue;
        }
      }
    });
  }
  // Pollers: the status record and the certificate list under their locks.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!g_stop) {
        IScDataStatus* s = statuses[static_cast<size_t>(Pick(6))];
        s->Lock();
        (void)s->GetStateCode();
        (void)s->GetBusy();
        const wchar_t* message = s->GetUserMessage();
        if (message != nullptr) (void)message[0];
        ICertificateList* list = s->GetCertificateList();
        list->LockObject();
        void* cursor = nullptr;
        for (CertificateRecord* r = list->GetFirstCertificate(&cursor); r != nullptr; r = list->GetNextCertificate(&cursor)) {
          ++g_counts.items;
        }
        list->UnlockObject();
        s->Unlock();
        ++g_counts.polls;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  // Deletes from a callback: a fresh host object per round, freed as soon
  // as the callback that deleted its component returned.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      while (!g_stop) {
        auto host = std::make_unique<rimo::host::ForwardingStatus>(library[static_cast<size_t>(2 + t)]);
        std::atomic<IRimoData*> self{nullptr};
        std::atomic<bool> returned{false};
        // Armed once the jobs are queued: from then on the host makes no
        // call on the component; the worker's next call deletes it.
        host->afterUnlock = [&] {
          if (IRimoData* c = self.exchange(nullptr)) {
            lib.destroy(c);
            ++g_counts.callbackDeletes;
            returned = true;
          }
        };
        IRimoData* c = lib.create(host.get(), 1);
        if (c == nullptr) break;
        ++g_counts.creates;
        QueueJobs(c, response, 1 + Pick(4));
        self = c;
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (!returned && Clock::now() < until && !g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (IRimoData* left = self.exchange(nullptr)) {
          lib.destroy(left);  // the callback never came: deleted as usual
        } else {
          // The callback has the component: a delete from a callback returns at once.
          while (!returned) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        host.reset();  // the host object is freed at once
      }
    });
  }
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  g_stop = true;
  for (auto& t : threads) t.join();
  for (Slot& slot : slots) {
    if (slot.component != nullptr) lib.destroy(slot.component);
  }
  for (IScDataStatus* s : library) lib.deleteStatus(s);
  std::printf(
      "operations in %d s: %ld creates, %ld jobs queued, %ld deletes, %ld deletes with jobs queued, %ld deletes "
      "from a callback, %ld polls (%ld list items read); proxy: %ld passed (%ld cut off), %ld stalled, %ld dropped, "
      "%ld reset\n",
      seconds, g_counts.creates.load(), g_counts.jobs.load(), g_counts.deletes.load(),
      g_counts.deletesWithQueue.load(), g_counts.callbackDeletes.load(), g_counts.polls.load(),
      g_counts.items.load(), g_counts.passed.load(), g_counts.cutOff.load(), g_counts.stalled.load(),
      g_counts.dropped.load(), g_counts.reset.load());
  return 0;
}
