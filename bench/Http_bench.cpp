// One HTTPS execution against rimo-datacenter on 127.0.0.1, beside a bare
// libcurl easy GET of the same URL with the same TLS settings, and a whole
// fetch beside the fetch floor of Floor.h: a new connection and handshake
// each time, as the component makes them.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "BenchSupport.h"
#include "Floor.h"
#include "component/RimoData.h"
#include "status/ScDataStatus.h"
#include "crypto/RootStore.h"
#include "support/DataCenterProcess.h"
#include "webcomm/KeloHttpComm.h"
#include "rimo/RimoStatusCodes.h"

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
    std::ofstream(dir + "/answers/003.xml") << bench::TcResponseWith(machine.tc, 3);
    std::ofstream(dir + "/answers/000.xml") << bench::TcResponseWith(machine.tc, 1000);
    center = std::make_unique<testing::DataCenterProcess>(std::vector<std::string>{
        "--cert", dir + "/server.pem", "--key", dir + "/server.key", "--answers", dir + "/answers"});
    url = center->BaseUrl() + "/pvtwmod/rest/DataTcService/890?anw=KeloComp";
    std::ofstream(dir + "/etc/kelo/registry.reg")
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n\"ProgKey\"=\"" RIMO_LIB_DIR "\"\n"
        << "\"RimoServiceUrl\"=\"" << center->BaseUrl() << "/pvtwmod/rest/\"\n";
    // The response is stored, as the floor writes it.
    std::filesystem::create_directories(dir + "/opt/Quandel/Konfig/KeloCompact");
    std::ofstream(dir + "/opt/Quandel/Konfig/KeloCompact/WizardProperties.ini") << "[Allgemein]\nstoreResponse=1\n";
    // A card whose certificate is far from expiry: read, and no status INI due.
    pki::CertProfile card;
    card.commonName = "Karteninhaber";
    std::ofstream(dir + "/card.pem") << pki::ToPem(pki::Issue(card, key, machine.tc.root, machine.tc.rootKey));
    setenv("KELO_CARD_CERT", (dir + "/card.pem").c_str(), 1);
  }
  static Setup& Get() {
    static Setup setup;
    return setup;
  }
};

void BM_BareCurlGet(benchmark::State& state) {
  Setup& s = Setup::Get();
  const std::string caPath = crypto::RootStore::Directory();
  std::string body;
  for (auto _ : state) {
    if (!bench::floor::Get(s.url, caPath, &body)) state.SkipWithError("bare GET failed");
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

// Card numbers (the ID's last three characters) of the answers by size.
std::wstring UserIdFor(int certificates) { return certificates == 3 ? L"12345678901234567003" : L"12345678901234567000"; }
std::string AnswerUrl(const Setup& s, int certificates) {
  return s.center->BaseUrl() + "/pvtwmod/rest/DataTcService/" + (certificates == 3 ? "003" : "000") + "?anw=KeloComp";
}

// The floor of a fetch (Floor.h): the bare GET, the envelope read and its
// Base64 decoded, the load floor, the response written durably.
void BM_FetchFloor(benchmark::State& state) {
  Setup& s = Setup::Get();
  const int n = static_cast<int>(state.range(0));
  const std::string url = AnswerUrl(s, n);
  const std::string caPath = crypto::RootStore::Directory();
  const std::string folder = s.machine.root() + "/floor";
  std::filesystem::create_directories(folder);
  bench::floor::Loader loader(s.machine.tc.root.get());
  bench::floor::Published published;
  for (auto _ : state) {
    if (!bench::floor::Fetch(loader, url, caPath, folder, &published) ||
        published.certificates.size() != static_cast<size_t>(n)) {
      state.SkipWithError("floor did not fetch");
    }
  }
}

// LoadRimoResponseFromRZ in synchronous mode: query, verify, store, publish,
// status INI.
void BM_FetchSynchronous(benchmark::State& state) {
  Setup::Get();
  const int n = static_cast<int>(state.range(0));
  const std::wstring id = UserIdFor(n);
  status::ScDataStatus status;
  component::RimoData component(&status, 0);
  for (auto _ : state) {
    component.LoadRimoResponseFromRZ(id.c_str());
    if (status.GetStateCode() != rimo::codes::kStatePublished || status.GetErrorKind() != rimo::codes::kErrorNone ||
        status.GetCertificateList()->Count() != static_cast<unsigned>(n)) {
      state.SkipWithError("not published");
    }
  }
}

BENCHMARK(BM_BareCurlGet)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::Minimum);
BENCHMARK(BM_FetchFloor)->Arg(3)->Arg(1000)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::Minimum);
BENCHMARK(BM_FetchSynchronous)->Arg(3)->Arg(1000)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::Minimum);
BENCHMARK(BM_ExecuteHttpRequest)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::Minimum);

}  // namespace

BENCHMARK_MAIN();
