// Requests against real servers on 127.0.0.1: rimo-datacenter, and small
// in-test servers for the odd peers. Certificates are made at test time.
#include "webcomm/KeloHttpComm.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "pki/Pki.h"
#include "support/DataCenterProcess.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "support/TraceRecorder.h"
#include "platform/Utf8.h"
#include "webcomm/WinInetCodes.h"

#include <curl/curl.h>

namespace WebCommLib {
namespace {

namespace fs = std::filesystem;
namespace pki = rimo::pki;
using rimo::testing::DataCenterProcess;
using rimo::testing::LoopbackServer;
using rimo::testing::ReadFile;
using rimo::testing::WriteFile;

// Keys and certificates for the whole program, in a directory of its own.
struct Tls {
  rimo::testing::TempDir dir{std::getenv("RIMO_TEST_SHARED_DIR")};
  pki::TrustCenter tc = pki::TrustCenter::Make();
  pki::Key serverKey = pki::GenerateKey();
  pki::Key otherCaKey = pki::GenerateKey();
  std::string path(const std::string& name) const { return dir.path() + "/" + name; }

  Tls() {
    WriteFile(path("root.pem"), pki::ToPem(tc.root));
    WriteFile(path("server.key"), pki::KeyToPem(serverKey));
    auto server = [&](const std::string& file, std::vector<std::string> dns, std::vector<std::string> ips,
                      long notAfter, const pki::Cert& issuer, const pki::Key& issuerKey) {
      pki::CertProfile profile;
      profile.commonName = dns.empty() ? "server" : dns[0];
      profile.dnsNames = std::move(dns);
      profile.ipAddresses = std::move(ips);
      profile.serverAuth = true;
      profile.notAfterOffset = notAfter;
      if (notAfter < 0) profile.notBeforeOffset = notAfter - 3600;
      const pki::Cert cert = pki::Issue(profile, serverKey, issuer, issuerKey);
      WriteFile(path(file), pki::ToPem(cert) + pki::ToPem(issuer));
      return cert;
    };
    const pki::Cert good = server("server.pem", {"localhost"}, {"127.0.0.1"}, 86400, tc.root, tc.rootKey);
    server("expired.pem", {"localhost"}, {"127.0.0.1"}, -86400, tc.root, tc.rootKey);
    server("otherhost.pem", {"otherhost.invalid"}, {}, 86400, tc.root, tc.rootKey);
    pki::CertProfile otherCa = pki::RootProfile("Somebody Else");
    const pki::Cert other = pki::Issue(otherCa, otherCaKey, nullptr, otherCaKey);
    server("untrusted.pem", {"localhost"}, {"127.0.0.1"}, 86400, other, otherCaKey);
    pki::CertProfile client;
    client.commonName = "client";
    client.clientAuth = true;
    const pki::Key clientKey = pki::GenerateKey();
    WriteFile(path("client-bundle.pem"),
              pki::ToPem(pki::Issue(client, clientKey, tc.root, tc.rootKey)) + pki::KeyToPem(clientKey));
    const auto good_ocsp = pki::MakeOcspResponse(good, tc.root, tc.rootKey, false);
    const auto revoked = pki::MakeOcspResponse(good, tc.root, tc.rootKey, true);
    WriteFile(path("good.ocsp"), std::string(good_ocsp.begin(), good_ocsp.end()));
    WriteFile(path("revoked.ocsp"), std::string(revoked.begin(), revoked.end()));
    fs::create_directories(path("answers"));
    WriteFile(path("answers/b10000"), std::string(10000, 'a'));
    WriteFile(path("answers/b4096"), std::string(4096, 'b'));
  }
  static Tls& Get() {
    static Tls tls;
    return tls;
  }
};

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // This test's machine root store holds the maker's root.
    const std::string store = std::string(std::getenv("KELO_ROOT")) + "/etc/ssl/certs";
    fs::create_directories(store);
    pki::InstallRoot(Tls::Get().tc.root, store);
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");
    unsetenv("ALL_PROXY");
    unsetenv("all_proxy");
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    answers_ = std::string(std::getenv("TMPDIR")) + "/answers";
    fs::create_directories(answers_);
    for (const char* file : {"b10000", "b4096"}) fs::copy(Tls::Get().path(std::string("answers/") + file), answers_);
  }
  void TearDown() override { unsetenv("KELO_ASKPASS"); }

  std::unique_ptr<DataCenterProcess> Start(const std::string& cert = "server.pem",
                                           std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--cert", Tls::Get().path(cert), "--key", Tls::Get().path("server.key"),
                                     "--answers", answers_};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<DataCenterProcess>(args);
  }
  void Card(const std::string& card, const std::string& settings) { WriteFile(answers_ + "/" + card + ".conf", settings); }
  static std::wstring Url(const DataCenterProcess& dc, const std::string& card) {
    const std::string url = dc.BaseUrl() + "/pvtwmod/rest/DataTcService/" + card + "?anw=KeloComp";
    return std::wstring(url.begin(), url.end());
  }
  // An askpass helper that records each call in calls.log and answers.
  std::string Askpass(const std::string& answer, int exitStatus = 0) {
    const std::string dir = std::getenv("TMPDIR");
    const std::string script = dir + "/askpass.sh";
    fs::remove(dir + "/calls.log");
    WriteFile(script, "#!/bin/sh\necho \"$1 $2\" >> " + dir + "/calls.log\necho '" + answer + "'\nexit " +
                          std::to_string(exitStatus) + "\n");
    chmod(script.c_str(), 0700);
    setenv("KELO_ASKPASS", script.c_str(), 1);
    return dir + "/calls.log";
  }
  static int Lines(const std::string& file) {
    if (!fs::exists(file)) return 0;
    const std::string text = ReadFile(file);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  std::string answers_;
};

struct Expected {
  int32_t errorCode;
  uint32_t wininet;
  int32_t status;
};

void ExpectResult(const HttpRequestResult& r, Expected e) {
  SCOPED_TRACE(rimo::platform::WideToUtf8(r.message));
  EXPECT_EQ(r.errorCode, e.errorCode);
  EXPECT_EQ(r.wininetCode, e.wininet);
  EXPECT_EQ(r.httpStatus, e.status);
  if (r.errorCode == kErrorTransport) {
    EXPECT_FALSE(r.message.empty());
    EXPECT_NE(r.message.back(), L'\n');
  }
}

TEST_F(HttpTest, TlsFailuresGiveTheirWinInetNumbers) {
  struct Case {
    const char* name;
    const char* cert;
    uint32_t wininet;
  } cases[] = {
      {"untrusted server certificate", "untrusted.pem", kInetInvalidCa},
      {"wrong host name", "otherhost.pem", kInetCertCnInvalid},
      {"expired server certificate", "expired.pem", kInetCertDateInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto dc = Start(c.cert);
    KeloHttpComm http;
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "123")), {kErrorTransport, c.wininet, 0});
    EXPECT_TRUE(dc->Requests().empty()) << "nothing reached the server";
  }
}

TEST_F(HttpTest, UrlsThatCannotBeRequested) {
  KeloHttpComm http;
  ExpectResult(http.ExecuteHttpRequest(L""), {kErrorEmptyUrl, 0, 0});
  ExpectResult(http.ExecuteHttpRequest(L"ftp://127.0.0.1/x"), {kErrorScheme, 0, 0});
  EXPECT_EQ(http.SendsOfLastExecution(), 0) << "no handle made";
  ExpectResult(http.ExecuteHttpRequest(L"https://[::1"), {kErrorUrl, 0, 0});
  ExpectResult(http.ExecuteHttpRequest(L"https://rz.kelo.INVALID/pvtwmod/rest/"),
               {kErrorTransport, kInetNameNotResolved, 0});
  EXPECT_EQ(http.SendsOfLastExecution(), 0) << "no resolver is asked for a reserved name";
}

TEST_F(HttpTest, PeersThatDoNotAnswer) {
  KeloHttpComm http;
  const int closed = rimo::testing::ClosedPort();
  ExpectResult(http.ExecuteHttpRequest(L"https://127.0.0.1:" + std::to_wstring(closed) + L"/x"),
               {kErrorTransport, kInetCannotConnect, 0});
  EXPECT_EQ(http.SendsOfLastExecution(), 2) << "a failed send is tried once more";

  // A TLS server that reads the request and closes without an answer.
  const auto& tls = Tls::Get();
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
  SSL_CTX_use_certificate_chain_file(ctx.get(), tls.path("server.pem").c_str());
  SSL_CTX_use_PrivateKey_file(ctx.get(), tls.path("server.key").c_str(), SSL_FILETYPE_PEM);
  LoopbackServer silent([&](int fd) {
    SSL* ssl = SSL_new(ctx.get());
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      char buf[4096];
      SSL_read(ssl, buf, sizeof buf);
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
  });
  ExpectResult(http.ExecuteHttpRequest(L"https://127.0.0.1:" + std::to_wstring(silent.port()) + L"/x"),
               {kErrorTransport, kInetConnectionAborted, 0});

  // A server that drips one byte at a time, slower than the time-out.
  auto dc = Start();
  Card("777", "status=200\nbody=" + std::string(100, 'd') + "\ndrip_ms=300\n");
  http.SetTimeouts(2000, 1000, 700);
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "777")), {kErrorTransport, kInetTimeout, 0});
}

TEST_F(HttpTest, RedirectIntoClearTextIsRefusedAndNeverSent) {
  LoopbackServer plain([](int fd) {
    rimo::testing::ReadHttpHead(fd);
    rimo::testing::WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  auto dc = Start();
  Card("301", "redirect=http://127.0.0.1:" + std::to_string(plain.port()) + "/clear\n");
  Card("302", "redirect=" + dc->BaseUrl() + "/pvtwmod/rest/DataTcService/303\n");
  Card("303", "status=200\nbody=<x/>\n");
  KeloHttpComm http;
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "301")), {kErrorTransport, kInetHttpsToHttp, 0});
  EXPECT_EQ(http.SendsOfLastExecution(), 1);
  EXPECT_EQ(plain.connections(), 0) << "no request reached the http address";
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "302")), {kErrorNone, 0, 200});
  EXPECT_EQ(http.GetHttpContentLength(), 4) << "an HTTPS redirect is followed";
}

TEST_F(HttpTest, OversizeBodyIsRefusedAndNothingKept) {
  auto dc = Start();
  Card("999", "oversize=3000000\n");
  KeloHttpComm http;
  http.SetMaxBodySize(1 << 20);
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "999")), {kErrorTransport, kInetInvalidServerResponse, 0});
  EXPECT_EQ(http.GetHttpContentLength(), 0);
}

TEST_F(HttpTest, RevocationByStapledStatus) {
  {
    // No stapled status: the fallback, in the same handshake, kept later.
    auto dc = Start();
    Card("200", "status=200\nbody=<x/>\n");
    rimo::testing::TraceRecorder recorder({{"*", 16}});
    KeloHttpComm http;
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "200")), {kErrorNone, 0, 200});
    EXPECT_EQ(http.SecurityFlags() & KeloHttpComm::kSecurityIgnoreRevocation, KeloHttpComm::kSecurityIgnoreRevocation);
    EXPECT_EQ(http.ConnectionsOfLastExecution(), 1);
    EXPECT_EQ(recorder.Matching("Überprüfung wird für den Request deaktiviert.").size(), 1u);
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "200")), {kErrorNone, 0, 200});
    EXPECT_NE(http.SecurityFlags() & KeloHttpComm::kSecurityIgnoreRevocation, 0u) << "kept for later executions";
  }
  {
    auto dc = Start("server.pem", {"--ocsp", Tls::Get().path("good.ocsp")});
    Card("200", "status=200\nbody=<x/>\n");
    KeloHttpComm http;
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "200")), {kErrorNone, 0, 200});
    EXPECT_EQ(http.SecurityFlags(), 0u) << "a good stapled status needs no fallback";
  }
  {
    auto dc = Start("server.pem", {"--ocsp", Tls::Get().path("revoked.ocsp")});
    KeloHttpComm http;
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "200")), {kErrorTransport, kInetCertRevoked, 0});
    EXPECT_EQ(http.SendsOfLastExecution(), 1) << "never tried again";
    EXPECT_TRUE(dc->Requests().empty());
  }
}

TEST_F(HttpTest, ServerAskingForAClientCertificate) {
  auto dc = Start("server.pem", {"--client-ca", Tls::Get().path("root.pem")});
  Card("123", "status=200\nbody=<x/>\n");
  {
    const std::string calls = Askpass(Tls::Get().path("client-bundle.pem"));
    KeloHttpComm http;
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "123")), {kErrorNone, 0, 200});
    EXPECT_EQ(Lines(calls), 1);
    EXPECT_NE(ReadFile(calls).find("client-cert 127.0.0.1"), std::string::npos);
  }
  {
    // The user cancels: asked once, no second send, code 5.
    const std::string calls = Askpass("", 1);
    KeloHttpComm http;
    const HttpRequestResult r = http.ExecuteHttpRequest(Url(*dc, "123"));
    EXPECT_EQ(r.errorCode, kErrorClientAuth);
    EXPECT_EQ(r.wininetCode, kInetClientCertNeeded);
    EXPECT_EQ(http.SendsOfLastExecution(), 1);
    EXPECT_EQ(Lines(calls), 1);
  }
}

TEST_F(HttpTest, ForbiddenThreeTimesGivesUp) {
  auto dc = Start();
  Card("403", "status=403\n");
  // A certificate is chosen each time, and refused each time.
  const std::string calls = Askpass(Tls::Get().path("client-bundle.pem"));
  KeloHttpComm http;
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "403")), {kErrorClientAuth, 0, 403});
  EXPECT_EQ(dc->Requests(3).size(), 3u);
}

// A CONNECT proxy that wants user:secret, relaying to 127.0.0.1 only.
void Proxy(int fd) {
  const std::string head = rimo::testing::ReadHttpHead(fd);
  const std::string wanted = "Proxy-Authorization: Basic " + pki::Base64(std::string("user:secret"));
  if (head.find(wanted) == std::string::npos) {
    rimo::testing::WriteAll(fd,
                            "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"t\"\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  const size_t colon = head.find(':', 8);
  const int port = std::atoi(head.c_str() + colon + 1);
  if (head.compare(0, 18, "CONNECT 127.0.0.1:") != 0) return;
  const int target = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(target);
    return;
  }
  rimo::testing::WriteAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n");
  pollfd fds[2] = {{fd, POLLIN, 0}, {target, POLLIN, 0}};
  char buf[16384];
  for (;;) {
    if (poll(fds, 2, 10000) <= 0) break;
    const int from = (fds[0].revents & (POLLIN | POLLHUP)) ? 0 : 1;
    const ssize_t n = read(fds[from].fd, buf, sizeof buf);
    if (n <= 0) break;
    rimo::testing::WriteAll(fds[1 - from].fd, std::string(buf, static_cast<size_t>(n)));
  }
  close(target);
}

TEST_F(HttpTest, ProxyCredentialsComeFromTheHelperAndNeverShowUp) {
  LoopbackServer proxy(&Proxy);
  setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
  auto dc = Start();
  Card("123", "status=200\nbody=<x/>\n");
  {
    rimo::testing::TraceRecorder recorder({{"*", 16}});
    const std::string calls = Askpass("user:secret");
    KeloHttpComm http;
    ExpectResult(http.ExecuteHttpRequest(Url(*dc, "123")), {kErrorNone, 0, 200});
    EXPECT_EQ(Lines(calls), 1);
    for (const auto& line : recorder.Lines()) EXPECT_EQ(line.text.find("secret"), std::string::npos) << line.text;
  }
  {
    const std::string calls = Askpass("user:wrong");
    KeloHttpComm http;
    const HttpRequestResult r = http.ExecuteHttpRequest(Url(*dc, "123"));
    ExpectResult(r, {kErrorProxyAuth, 0, 407});
    EXPECT_EQ(Lines(calls), 2) << "two credential requests, then the third 407 ends it";
    EXPECT_EQ(r.message.find(L"wrong"), std::wstring::npos);
  }
  unsetenv("https_proxy");
}

TEST_F(HttpTest, BodyIsCollectedInPiecesAndJoinedOnce) {
  auto dc = Start();
  Card("100", "status=200\nbodyfile=b10000\n");
  Card("496", "status=200\nbodyfile=b4096\n");
  Card("000", "status=200\n");
  rimo::testing::TraceRecorder recorder({{"*", 16}});
  KeloHttpComm http;
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "100")), {kErrorNone, 0, 200});
  EXPECT_EQ(http.GetHttpContentLength(), 10000);
  EXPECT_EQ(http.GetHttpContentLength(), 10000);
  EXPECT_EQ(recorder.Matching("Ermittelte HttpContentLength").size(), 1u) << "asked twice, read once";
  EXPECT_EQ(http.ChunkSizesOfLastBody(), (std::vector<uint32_t>{4096, 4096, 1808}));
  std::vector<uint8_t> body(10000);
  ASSERT_TRUE(http.GetHttpContent(body.data()));
  EXPECT_EQ(std::string(body.begin(), body.end()), std::string(10000, 'a'));

  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "496")), {kErrorNone, 0, 200});
  EXPECT_EQ(http.GetHttpContentLength(), 4096);
  EXPECT_EQ(http.ChunkSizesOfLastBody(), (std::vector<uint32_t>{4096}));

  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "000")), {kErrorNone, 0, 200});
  EXPECT_EQ(http.GetHttpContentLength(), 0);
  EXPECT_TRUE(http.GetHttpContent(body.data()));
  const std::string dir = std::getenv("TMPDIR");
  const std::wstring file = rimo::platform::Utf8ToWide(dir + "/empty.xml");
  EXPECT_TRUE(http.WriteXmlFileFromContent(file));
  EXPECT_EQ(fs::file_size(dir + "/empty.xml"), 0u);
  EXPECT_FALSE(http.WriteXmlFileFromContent(rimo::platform::Utf8ToWide(dir + "/missing/x.xml")));
  EXPECT_FALSE(fs::exists(dir + "/missing")) << "no directory is created";
}

TEST_F(HttpTest, ManyClientsAtOnceAllGetTheirAnswer) {
  auto dc = Start();
  Card("123", "status=200\nbody=<answer/>\n");
  constexpr int kClients = 200;
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      KeloHttpComm http;
      const HttpRequestResult r = http.ExecuteHttpRequest(Url(*dc, "123"));
      if (r.errorCode == 0 && r.httpStatus == 200 && http.GetHttpContentLength() == 9) ++answered;
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(answered.load(), kClients);
}

TEST_F(HttpTest, RequestFlagsAndHeaders) {
  auto dc = Start();
  Card("123", "status=200\nbody=<x/>\n");
  KeloHttpComm http;
  http.SetAcceptTypes(L"application/xml");
  http.SetUserAgent(L"KeloRimoWizzard|Mozilla/5.0 (X11; Linux)");
  ExpectResult(http.ExecuteHttpRequest(Url(*dc, "123")), {kErrorNone, 0, 200});
  EXPECT_EQ(http.RequestFlags(), 0x2080C000u);
  const auto requests = dc->Requests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("accept=\"application/xml\""), std::string::npos) << requests[0];
  EXPECT_NE(requests[0].find("user-agent=\"KeloRimoWizzard|Mozilla/5.0 (X11; Linux)\""), std::string::npos);

  KeloHttpComm plain;
  plain.ExecuteHttpRequest(L"http://127.0.0.1:" + std::to_wstring(rimo::testing::ClosedPort()) + L"/x");
  EXPECT_EQ(plain.RequestFlags(), 0x2000C000u);
  KeloHttpComm defaults;
  EXPECT_EQ(defaults.GetUserAgent(), rimo::platform::Utf8ToWide(KeloHttpComm::SystemUserAgent()));
}

TEST(WinInetCodesTest, CurlOutcomesMapToTheNumbersOfTheSameMeaning) {
  struct Case {
    const char* name;
    CurlFailure failure;
    uint32_t wininet;
  } cases[] = {
      {"refused", {CURLE_COULDNT_CONNECT, 111}, kInetCannotConnect},
      {"name", {CURLE_COULDNT_RESOLVE_HOST}, kInetNameNotResolved},
      {"proxy name", {CURLE_COULDNT_RESOLVE_PROXY}, kInetNameNotResolved},
      {"time-out", {CURLE_OPERATION_TIMEDOUT}, kInetTimeout},
      {"reset", {CURLE_RECV_ERROR, 104}, kInetConnectionReset},
      {"reset in handshake", {CURLE_SSL_CONNECT_ERROR, 104}, kInetConnectionReset},
      {"nothing", {CURLE_GOT_NOTHING}, kInetConnectionAborted},
      {"cut short", {CURLE_PARTIAL_FILE}, kInetConnectionAborted},
      {"untrusted", {CURLE_PEER_FAILED_VERIFICATION, 0, 20}, kInetInvalidCa},
      {"host name", {CURLE_PEER_FAILED_VERIFICATION, 0, 62}, kInetCertCnInvalid},
      {"ip", {CURLE_PEER_FAILED_VERIFICATION, 0, 64}, kInetCertCnInvalid},
      {"curl's name check", {CURLE_PEER_FAILED_VERIFICATION, 0, 1}, kInetCertCnInvalid},
      {"expired", {CURLE_PEER_FAILED_VERIFICATION, 0, 10}, kInetCertDateInvalid},
      {"not yet valid", {CURLE_PEER_FAILED_VERIFICATION, 0, 9}, kInetCertDateInvalid},
      {"handshake", {CURLE_SSL_CONNECT_ERROR}, kInetSecurityChannelError},
      {"status", {CURLE_SSL_INVALIDCERTSTATUS}, kInetRevocationFailed},
      {"not http", {CURLE_WEIRD_SERVER_REPLY}, kInetInvalidServerResponse},
      {"proxy 407", {CURLE_RECV_ERROR, 0, 0, 407}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(WinInetCodeOf(c.failure), c.wininet) << c.name;
  CurlFailure clientCert{CURLE_SSL_CONNECT_ERROR};
  clientCert.clientCertRequested = true;
  EXPECT_EQ(WinInetCodeOf(clientCert), kInetClientCertNeeded);
  CurlFailure clientCert13{CURLE_RECV_ERROR};
  clientCert13.clientCertRequested = true;
  EXPECT_EQ(WinInetCodeOf(clientCert13), kInetClientCertNeeded);
  CurlFailure revoked{CURLE_SSL_CONNECT_ERROR};
  revoked.revoked = true;
  EXPECT_EQ(WinInetCodeOf(revoked), kInetCertRevoked);
  CurlFailure toHttp{CURLE_UNSUPPORTED_PROTOCOL, 0, 0, 0, 302};
  toHttp.redirectToHttp = true;
  EXPECT_EQ(WinInetCodeOf(toHttp), kInetHttpsToHttp);
}

}  // namespace
}  // namespace WebCommLib
