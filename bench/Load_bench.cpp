// LoadRimoResponseFromFile in synchronous mode, through the exports, beside
// the floor of the same work done directly: reading the file, one plain
// xmlTextReader pass, Base64 decoding of the container, one EVP_DigestVerify
// and one X509_verify_cert.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <libxml/xmlreader.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "BenchSupport.h"
#include "rimo/RimoData.h"
#include "xml/KeloUtilities.h"
#include "rimo/RimoStatusCodes.h"

namespace {

using namespace rimo;

bench::BenchMachine& Machine() {
  static bench::BenchMachine machine;
  return machine;
}

struct Response {
  std::string path;
  pki::TcResponseParts parts;
};

const Response& ResponseWith(int n) {
  static std::map<int, Response> cache;
  Response& r = cache[n];
  if (r.path.empty()) {
    const auto& tc = Machine().tc;
    r.parts = pki::SignContainer(bench::ContainerWith(tc, n), tc.signerKey, tc.signer, "12345678901234567890",
                                 "12345678901234567891");
    r.path = Machine().root() + "/response-" + std::to_string(n) + ".xml";
    std::ofstream(r.path) << pki::MakeTcResponse(r.parts);
  }
  return r;
}

struct Library {
  void* handle = dlopen(RIMO_LIB_DIR "/librimodata.so", RTLD_NOW | RTLD_LOCAL);
  IScDataStatus* (*createStatus)() =
      reinterpret_cast<IScDataStatus* (*)()>(dlsym(handle, "CreateRimoDataStatusObject"));
  bool (*deleteStatus)(IScDataStatus*) =
      reinterpret_cast<bool (*)(IScDataStatus*)>(dlsym(handle, "DeleteRimoDataStatusObject"));
  IRimoData* (*create)(IScDataStatus*, uint8_t) =
      reinterpret_cast<IRimoData* (*)(IScDataStatus*, uint8_t)>(dlsym(handle, "CreateRimoDataObject"));
  bool (*destroy)(IRimoData*) = reinterpret_cast<bool (*)(IRimoData*)>(dlsym(handle, "DeleteRimoDataObject"));
};

void BM_Floor(benchmark::State& state) {
  const Response& r = ResponseWith(static_cast<int>(state.range(0)));
  const auto& tc = Machine().tc;
  const pki::Bytes signature = pki::SignSha1(tc.signerKey, r.parts.containerBase64);
  X509_STORE* store = bench::HashDirStore(Machine().root() + "/etc/ssl/certs");
  xml::KeloUtilities utilities;
  for (auto _ : state) {
    std::ifstream in(r.path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string file = content.str();
    xmlTextReaderPtr reader =
        xmlReaderForMemory(file.data(), static_cast<int>(file.size()), nullptr, nullptr, XML_PARSE_NONET);
    size_t total = 0;
    while (xmlTextReaderRead(reader) == 1) {
      if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_TEXT) {
        total += std::strlen(reinterpret_cast<const char*>(xmlTextReaderConstValue(reader)));
      }
    }
    xmlFreeTextReader(reader);
    const std::string& b64 = r.parts.containerBase64;
    std::vector<uint8_t> container(b64.size());
    total += static_cast<size_t>(utilities.Base64DecodeByteArray(b64.c_str(), static_cast<uint32_t>(b64.size()),
                                                                 container.data(), static_cast<int>(b64.size())));
    if (!bench::FloorVerify(tc.signer, b64, signature, store)) state.SkipWithError("floor did not verify");
    benchmark::DoNotOptimize(total);
  }
  X509_STORE_free(store);
}

void BM_LoadSynchronous(benchmark::State& state) {
  const Response& r = ResponseWith(static_cast<int>(state.range(0)));
  static Library lib;
  IScDataStatus* status = lib.createStatus();
  IRimoData* component = lib.create(status, 0);
  const std::wstring path(r.path.begin(), r.path.end());
  for (auto _ : state) {
    component->LoadRimoResponseFromFile(path.c_str());
    if (status->GetErrorKind() != rimo::codes::kErrorNone) state.SkipWithError("response not published");
  }
  lib.destroy(component);
  lib.deleteStatus(status);
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_Floor)->Arg(3)->Arg(1000);
BENCHMARK(BM_LoadSynchronous)->Arg(3)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
