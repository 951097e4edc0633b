// Data centers that misbehave: they drip, stall, never answer, never finish
// the handshake, send too much, flood headers or reset the connection. Each
// execution must end with the WinInet number of what happened, send once
// where a repetition cannot help, and end within the request limit plus a
// second. The limits come from the registry, short ones here.
#include <gtest/gtest.h>

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "pki/Pki.h"
#include "platform/Utf8.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "webcomm/KeloHttpComm.h"
#include "webcomm/WinInetCodes.h"

namespace WebCommLib {
namespace {

namespace fs = std::filesystem;
namespace pki = rimo::pki;
using rimo::testing::LoopbackServer;
using Clock = std::chrono::steady_clock;

constexpr int kRequestLimitMs = 2000;

// Sends without SIGPIPE; false once the peer is gone.
bool Send(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Keeps the connection open, reading and dropping what comes, until the
// client closes it or ms have passed: a server that never answers.
void HoldOpen(int fd, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  char buffer[4096];
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0 && read(fd, buffer, sizeof buffer) <= 0) return;
  }
}

// Closes with a reset (RST) instead of an orderly close.
void Reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

struct Tls {
  rimo::testing::TempDir dir{std::getenv("RIMO_TEST_SHARED_DIR")};
  pki::TrustCenter tc = pki::TrustCenter::Make();
  std::string chain, key;
  Tls() {
    const pki::Key serverKey = pki::GenerateKey();
    pki::CertProfile profile;
    profile.commonName = "localhost";
    profile.ipAddresses = {"127.0.0.1"};
    profile.serverAuth = true;
    chain = dir.path() + "/server.pem";
    key = dir.path() + "/server.key";
    rimo::testing::WriteFile(chain, pki::ToPem(pki::Issue(profile, serverKey, tc.root, tc.rootKey)) +
                                        pki::ToPem(tc.root));
    rimo::testing::WriteFile(key, pki::KeyToPem(serverKey));
  }
  static Tls& Get() {
    static Tls tls;
    return tls;
  }
};

// Serves a handler over TLS on each connection.
std::function<void(int)> OverTls(std::function<void(SSL*, int)> handler) {
  return [handler](int fd) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
    SSL_CTX_use_certificate_chain_file(ctx.get(), Tls::Get().chain.c_str());
    SSL_CTX_use_PrivateKey_file(ctx.get(), Tls::Get().key.c_str(), SSL_FILETYPE_PEM);
    SSL* ssl = SSL_new(ctx.get());
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) handler(ssl, fd);
    SSL_free(ssl);
  };
}

std::string ReadTlsHead(SSL* ssl) {
  std::string text;
  char buffer[1024];
  while (text.find("\r\n\r\n") == std::string::npos && text.size() < 65536) {
    const int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

class HostilePeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = std::getenv("KELO_ROOT");
    fs::create_directories(root + "/etc/ssl/certs");
    pki::InstallRoot(Tls::Get().tc.root, root + "/etc/ssl/certs");
    fs::create_directories(root + "/etc/kelo");
    // 1 s to connect, 1 s without a byte, 2 s for the whole execution.
    rimo::testing::WriteFile(root + "/etc/kelo/registry.reg",
                             "Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
                             "\"HttpConnectTimeout\"=dword:000003e8\n"
                             "\"HttpStallTimeout\"=dword:000003e8\n"
                             "\"HttpRequestTimeout\"=dword:000007d0\n");
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"}) unsetenv(name);
  }
};

struct PeerCase {
  const char* name;
  bool tls;
  std::function<void(int)> serve;
  uint32_t wininet;
  int connections;  // sends; -1: one or two (a repetition may fit in the time left)
};

std::vector<PeerCase> Cases() {
  auto plain = [](std::function<void(int)> f) { return f; };
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  return {
      {"drips one byte every 300 ms", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         if (!Send(fd, ok + "Content-Length: 1000\r\n\r\n")) return;
         for (int i = 0; i < 20 && Send(fd, "x"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(300));
       }),
       kInetTimeout, 1},
      {"reads the request and stalls", false, plain([](int fd) {
         rimo::testing::ReadHttpHead(fd);
         HoldOpen(fd, 5000);
       }),
       kInetTimeout, -1},
      {"never reads, never answers", false, plain([](int fd) { HoldOpen(fd, 5000); }), kInetTimeout, -1},
      {"TCP accepted, TLS handshake never answered", true, plain([](int fd) { HoldOpen(fd, 5000); }), kInetTimeout,
       -1},
      {"Content-Length over the limit", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, ok + "Content-Length: 20000000\r\n\r\n" + std::string(65536, 'x'));
         HoldOpen(fd, 2000);
       }),
       kInetInvalidServerResponse, 1},
      {"no length, body over the limit", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, ok + "Connection: close\r\n\r\n");
         const std::string block(65536, 'x');
         for (int i = 0; i < 300 && Send(fd, block); ++i) {
         }
       }),
       kInetInvalidServerResponse, 1},
      {"300 KB of headers", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         std::string head = ok;
         while (head.size() < 300 * 1024) head += "X-Padding: " + std::string(100, 'p') + "\r\n";
         Send(fd, head + "Content-Length: 2\r\n\r\nok");
       }),
       kInetInvalidServerResponse, 1},
      {"one header line of 1 MiB", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, ok + "X-Long: " + std::string(1 << 20, 'l') + "\r\nContent-Length: 2\r\n\r\nok");
       }),
       kInetInvalidServerResponse, 1},
      {"a flood of Set-Cookie", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         std::string head = ok;
         for (int i = 0; i < 5000; ++i) head += "Set-Cookie: c" + std::to_string(i) + "=v; Path=/\r\n";
         Send(fd, head + "Content-Length: 2\r\n\r\nok");
       }),
       kInetInvalidServerResponse, 1},
      {"endless 100 Continue", false, plain([](int fd) {
         rimo::testing::ReadHttpHead(fd);
         for (int i = 0; i < 100000 && Send(fd, "HTTP/1.1 100 Continue\r\n\r\n"); ++i) {
         }
       }),
       kInetInvalidServerResponse, 1},
      {"closes without an answer", false, plain([](int fd) { rimo::testing::ReadHttpHead(fd); }),
       kInetConnectionAborted, 2},
      {"a status line, then the connection closes", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, ok);
       }),
       kInetConnectionAborted, 2},
      {"a chunked body with a chunk size that is no number", false, plain([](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n");
       }),
       kInetInvalidServerResponse, 1},
      {"a burst, then silence", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, ok + "Content-Length: 1000000\r\n\r\n" + std::string(200000, 'b'));
         HoldOpen(fd, 5000);
       }),
       kInetTimeout, -1},
      {"resets in the middle of the body", false, plain([ok](int fd) {
         rimo::testing::ReadHttpHead(fd);
         Send(fd, ok + "Content-Length: 1000\r\n\r\n" + std::string(100, 'b'));
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
         Reset(fd);
       }),
       kInetConnectionReset, 2},
      {"resets in the middle of the body, over TLS", true, OverTls([ok](SSL* ssl, int fd) {
         ReadTlsHead(ssl);
         const std::string part = ok + "Content-Length: 1000\r\n\r\n" + std::string(100, 'b');
         SSL_write(ssl, part.data(), static_cast<int>(part.size()));
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
         Reset(fd);
       }),
       kInetConnectionReset, 2},
  };
}

TEST_F(HostilePeerTest, EveryFailureEndsInTimeWithItsNumber) {
  for (const PeerCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.serve);
    KeloHttpComm http;
    const std::wstring url =
        std::wstring(c.tls ? L"https" : L"http") + L"://127.0.0.1:" + std::to_wstring(server.port()) + L"/x";
    const auto start = Clock::now();
    const HttpRequestResult r = http.ExecuteHttpRequest(url);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    SCOPED_TRACE(rimo::platform::WideToUtf8(r.message));
    EXPECT_EQ(http.RequestTimeoutOfLastExecution(), kRequestLimitMs) << "the registry's limit";
    EXPECT_EQ(r.errorCode, kErrorTransport);
    EXPECT_EQ(r.wininetCode, c.wininet);
    EXPECT_LE(elapsed, kRequestLimitMs + 1000) << "within the request limit plus a second";
    if (c.connections > 0) {
      EXPECT_EQ(server.connections(), c.connections) << "sends";
    } else {
      EXPECT_GE(server.connections(), 1);
      EXPECT_LE(server.connections(), 2);
    }
    EXPECT_EQ(http.GetHttpContentLength(), 0) << "nothing of a failed answer is kept";
  }
}

TEST_F(HostilePeerTest, RedirectToAReservedNameIsNeverResolved) {
  // The first server redirects to a name under .invalid; curl would ask the
  // resolver for it. The refusal is at once, with 12007, and no second
  // connection is made; also where IDNA would fold the name into one.
  for (const std::string host : {"rz.kelo.invalid", "RZ.KELO.INVALID.", "rz.kelo\xEF\xBC\x8Einvalid",
                                 "rz.kelo\xE3\x80\x82invalid", "rz.kelo.\xEF\xBD\x89nvalid"}) {
    SCOPED_TRACE(host);
    LoopbackServer server([host](int fd) {
      rimo::testing::ReadHttpHead(fd);
      Send(fd, "HTTP/1.1 302 Found\r\nLocation: http://" + host + ":1/next\r\nContent-Length: 0\r\n\r\n");
    });
    KeloHttpComm http;
    const HttpRequestResult r =
        http.ExecuteHttpRequest(L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/x");
    EXPECT_EQ(r.errorCode, kErrorTransport);
    EXPECT_TRUE(r.wininetCode == kInetNameNotResolved || r.wininetCode == kInetInvalidServerResponse)
        << r.wininetCode << " " << rimo::platform::WideToUtf8(r.message);
    EXPECT_EQ(server.connections(), 1) << "never repeated";
  }
}

TEST_F(HostilePeerTest, OnceHttpsARequestNeverGoesOnInClearText) {
  // http -> https -> http: the second redirect is refused although the
  // first URL was plain HTTP.
  LoopbackServer clear([](int fd) {
    rimo::testing::ReadHttpHead(fd);
    Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  const int clearPort = clear.port();
  LoopbackServer secure(OverTls([clearPort](SSL* ssl, int) {
    ReadTlsHead(ssl);
    const std::string answer = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(clearPort) +
                               "/clear\r\nContent-Length: 0\r\n\r\n";
    SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
  }));
  const int securePort = secure.port();
  LoopbackServer first([securePort](int fd) {
    rimo::testing::ReadHttpHead(fd);
    Send(fd, "HTTP/1.1 302 Found\r\nLocation: https://127.0.0.1:" + std::to_string(securePort) +
                 "/secure\r\nContent-Length: 0\r\n\r\n");
  });
  KeloHttpComm http;
  const HttpRequestResult r = http.ExecuteHttpRequest(L"http://127.0.0.1:" + std::to_wstring(first.port()) + L"/x");
  EXPECT_EQ(r.wininetCode, kInetHttpsToHttp) << rimo::platform::WideToUtf8(r.message);
  EXPECT_EQ(clear.connections(), 0) << "nothing reached the clear-text server";
}

// In a network and mount namespace of its own, with a DNS stand-in on
// 127.0.0.1:53 that counts the queries it gets, a redirect to a .invalid
// name asks no resolver, while a redirect to an ordinary name does (which
// shows that the stand-in would see a query). Runs in a child process: the
// namespaces must be entered before any thread starts.
void ResolverStandInScenario() {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) std::exit(77);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) std::exit(77);
  const std::string dir = std::getenv("TMPDIR");
  rimo::testing::WriteFile(dir + "/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
  rimo::testing::WriteFile(dir + "/nsswitch.conf", "hosts: files dns\n");
  if (mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
      mount((dir + "/nsswitch.conf").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0) {
    std::exit(77);
  }
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  ioctl(control, SIOCGIFFLAGS, &lo);
  lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
  if (ioctl(control, SIOCSIFFLAGS, &lo) != 0) std::exit(77);
  close(control);

  const int dns = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::atomic<int> queries{0};
  std::atomic<bool> stop{false};
  std::thread standIn([&] {
    char packet[1500];
    while (!stop) {
      pollfd p{dns, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && recv(dns, packet, sizeof packet, 0) > 0) ++queries;
    }
  });
  auto redirectTo = [](const std::string& host) {
    return [host](int fd) {
      rimo::testing::ReadHttpHead(fd);
      Send(fd, "HTTP/1.1 302 Found\r\nLocation: http://" + host + ":1/next\r\nContent-Length: 0\r\n\r\n");
    };
  };
  {
    LoopbackServer reserved(redirectTo("rz.kelo.invalid"));
    KeloHttpComm http;
    const HttpRequestResult r =
        http.ExecuteHttpRequest(L"http://127.0.0.1:" + std::to_wstring(reserved.port()) + L"/x");
    EXPECT_EQ(r.wininetCode, kInetNameNotResolved);
    EXPECT_EQ(queries.load(), 0) << "no query for a .invalid name";
  }
  {
    LoopbackServer ordinary(redirectTo("rz.kelo.example"));
    KeloHttpComm http;
    // The stand-in never answers: the lookup fails or times out.
    http.ExecuteHttpRequest(L"http://127.0.0.1:" + std::to_wstring(ordinary.port()) + L"/x");
    EXPECT_GT(queries.load(), 0) << "the stand-in sees the queries of an ordinary name";
  }
  stop = true;
  standIn.join();
  close(dns);
}

TEST_F(HostilePeerTest, RedirectToAReservedNameAsksNoResolver) {
  if (std::getenv("RIMO_RESOLVER_CHILD") != nullptr) {
    ResolverStandInScenario();
    return;
  }
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of the test's own";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("RIMO_RESOLVER_CHILD", "1", 1);
    // LeakSanitizer's exit-time tracer crashed now and then in this child
    // (namespaces of its own); the scenario checks no memory, so its leak
    // check is left out.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
    const std::string filter = "--gtest_filter=HostilePeerTest.RedirectToAReservedNameAsksNoResolver";
    execl("/proc/self/exe", "child", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network or mount namespace could be made here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the scenario failed in the child (its output is above)";
}

TEST_F(HostilePeerTest, PathIsSentAsBuiltWithoutDotSegmentRemoval) {
  std::mutex mutex;
  std::vector<std::string> heads;
  LoopbackServer server([&](int fd) {
    const std::string head = rimo::testing::ReadHttpHead(fd);
    {
      std::lock_guard<std::mutex> guard(mutex);
      heads.push_back(head.substr(0, head.find("\r\n")));
    }
    Send(fd, "HTTP/1.1 204 No Content\r\n\r\n");
  });
  KeloHttpComm http;
  const std::wstring base = L"http://127.0.0.1:" + std::to_wstring(server.port());
  http.ExecuteHttpRequest(base + L"/pvtwmod/rest/DataTcService/..?anw=KeloComp");
  http.ExecuteHttpRequest(base + L"/pvtwmod/rest/DataTcService/.?anw=KeloComp");
  std::lock_guard<std::mutex> guard(mutex);
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0], "GET /pvtwmod/rest/DataTcService/..?anw=KeloComp HTTP/1.1");
  EXPECT_EQ(heads[1], "GET /pvtwmod/rest/DataTcService/.?anw=KeloComp HTTP/1.1");
}

}  // namespace
}  // namespace WebCommLib
