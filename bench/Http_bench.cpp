// One HTTPS execution against rimo-datacenter on 127.0.0.1, beside a bare
// libcurl easy GET of the same URL with the same TLS settings (the floor):
// a new connection and handshake each time, as the component makes them.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <memory>
#include <string>

#include <libxml/xmlreader.h>

#include "BenchSupport.h"
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
  X509_STORE* store = nullptr;

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
    store = bench::HashDirStore(dir + "/etc/ssl/certs");
    center = std::make_unique<testing::DataCenterProcess>(std::vector<std::string>{
        "--cert", dir + "/server.pem", "--key", dir + "/server.key", "--answers", dir + "/answers"});
    url = center->BaseUrl() + "/pvtwmod/rest/DataTcService/890?anw=KeloComp";
    std::ofstream(dir + "/etc/kelo/registry.reg")
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n\"ProgKey\"=\"" RIMO_LIB_DIR "\"\n"
        << "\"RimoServiceUrl\"=\"" << center->BaseUrl() << "/pvtwmod/rest/\"\n";
    // The response is not stored: the floor writes no file either.
    std::filesystem::create_directories(dir + "/opt/Quandel/Konfig/KeloCompact");
    std::ofstream(dir + "/opt/Quandel/Konfig/KeloCompact/WizardProperties.ini") << "[Allgemein]\nstoreResponse=0\n";
    parts = pki::SignContainer(container, machine.tc.signerKey, machine.tc.signer, "12345678901234567890",
                               "12345678901234567890");
    signature = pki::SignSha1(machine.tc.signerKey, parts.containerBase64);
    // A card whose certificate is far from expiry: read, and no status INI due.
    pki::CertProfile card;
    card.commonName = "Karteninhaber";
    std::ofstream(dir + "/card.pem") << pki::ToPem(pki::Issue(card, key, machine.tc.root, machine.tc.rootKey));
    setenv("KELO_CARD_CERT", (dir + "/card.pem").c_str(), 1);
  }
  pki::Bytes signature;
  pki::TcResponseParts parts;
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

std::string BareGet(const std::string& url) {
  const std::string caPath = crypto::RootStore::Directory();
  CURL* easy = curl_easy_init();
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, caPath.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  return body;
}

std::string DecodeBase64(const std::string& text) {
  std::string out(text.size() / 4 * 3 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// The floor of a fetch: the bare GET, Base64 decoding of the envelope, one
// plain reader pass over the response, Base64 of the container, one
// EVP_DigestVerify and one X509_verify_cert.
void BM_FetchFloor(benchmark::State& state) {
  Setup& s = Setup::Get();
  for (auto _ : state) {
    const std::string body = BareGet(s.url);
    const size_t open = body.find("<TCRESPONSE>") + 12;
    const std::string response = DecodeBase64(body.substr(open, body.find("</TCRESPONSE>") - open));
    xmlTextReaderPtr reader = xmlReaderForMemory(response.data(), static_cast<int>(response.size()), nullptr,
                                                 nullptr, XML_PARSE_NONET);
    while (xmlTextReaderRead(reader) == 1) benchmark::DoNotOptimize(xmlTextReaderConstValue(reader));
    xmlFreeTextReader(reader);
    benchmark::DoNotOptimize(DecodeBase64(s.parts.containerBase64));
    if (!bench::FloorVerify(s.machine.tc.signer, s.parts.containerBase64, s.signature, s.store)) {
      state.SkipWithError("floor did not verify");
    }
  }
}

// LoadRimoResponseFromRZ in synchronous mode: query, verify, publish.
void BM_FetchSynchronous(benchmark::State& state) {
  Setup::Get();
  status::ScDataStatus status;
  component::RimoData component(&status, 0);
  for (auto _ : state) {
    component.LoadRimoResponseFromRZ(L"12345678901234567890");
    if (status.GetStateCode() != rimo::codes::kStatePublished || status.GetErrorKind() != rimo::codes::kErrorNone) {
      state.SkipWithError("not published");
    }
  }
}

BENCHMARK(BM_BareCurlGet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FetchSynchronous)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExecuteHttpRequest)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
