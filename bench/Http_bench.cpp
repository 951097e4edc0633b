// One HTTPS execution against rimo-datacenter on 127.0.0.1, beside a bare
// libcurl easy GET of the same URL with the same TLS settings (the floor):
// a new connection and handshake each time, as the component makes them.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <memory>
#include <string>

#include "BenchSupport.h"
#include "crypto/RootStore.h"
#include "support/DataCenterProcess.h"
#include "webcomm/KeloHttpComm.h"

namespace {

using namespace rimo;

struct Setup {
  bench::BenchMachine machine;
  std::unique_ptr<testing::DataCenterProcess> center;
  std::string url;

  Setup() {
    const std::string dir = machine.root();
    pki::CertProfile server;
    server.commonName = "localhost";
    server.dnsNames = {"localhost"};
    server.ipAddresses = {"127.0.0.1"};
    server.serverAuth = true;
    const pki::Key key = pki::GenerateKey();
    std::ofstream(dir + "/server.pem") << pki::ToPem(pki::Issue(server, key, machine.tc.root, machine.tc.rootKey))
                                       << pki::ToPem(machine.tc.root);
    std::ofstream(dir + "/server.key") << pki::KeyToPem(key);
    std::filesystem::create_directories(dir + "/answers");
    const std::string container = pki::MakeContainer(
        "NEIN", "JA", {{"SIG", pki::CertificateText(machine.tc.signer)}, {"ROOT", pki::CertificateText(machine.tc.root)}});
    std::ofstream(dir + "/answers/890.xml") << pki::MakeTcResponse(pki::SignContainer(
        container, machine.tc.signerKey, machine.tc.signer, "12345678901234567890", "12345678901234567890"));
    center = std::make_unique<testing::DataCenterProcess>(std::vector<std::string>{
        "--cert", dir + "/server.pem", "--key", dir + "/server.key", "--answers", dir + "/answers"});
    url = center->BaseUrl() + "/pvtwmod/rest/DataTcService/890?anw=KeloComp";
  }
  static Setup& Get() {
    static Setup setup;
    return setup;
  }
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

void BM_BareCurlGet(benchmark::State& state) {
  Setup& s = Setup::Get();
  const std::string caPath = crypto::RootStore::Directory();
  for (auto _ : state) {
    CURL* easy = curl_easy_init();
    std::string body;
    curl_easy_setopt(easy, CURLOPT_URL, s.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, caPath.c_str());
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("bare GET failed");
    curl_easy_cleanup(easy);
    benchmark::DoNotOptimize(body.size());
  }
}

void BM_ExecuteHttpRequest(benchmark::State& state) {
  Setup& s = Setup::Get();
  WebCommLib::KeloHttpComm http;  // one object for every query, as the component has it
  http.SetAcceptTypes(L"application/xml");
  const std::wstring url(s.url.begin(), s.url.end());
  for (auto _ : state) {
    const WebCommLib::HttpRequestResult r = http.ExecuteHttpRequest(url);
    if (r.errorCode != 0 || r.httpStatus != 200) state.SkipWithError("execution failed");
    std::vector<uint8_t> body(static_cast<size_t>(http.GetHttpContentLength()));
    http.GetHttpContent(body.data());
    benchmark::DoNotOptimize(body.data());
  }
}

BENCHMARK(BM_BareCurlGet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExecuteHttpRequest)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
