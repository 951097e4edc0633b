// Reading the TC response and the response container, beside a plain
// xmlTextReader loop over the same bytes (the floor).
#include <benchmark/benchmark.h>
#include <libxml/xmlreader.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "BenchSupport.h"
#include "support/AcceptingChecks.h"
#include "status/CertificateList.h"
#include "xml/ResponseContainerXml.h"
#include "xml/TcResponseXml.h"

namespace {

using namespace rimo;

const pki::TrustCenter& Pki() {
  static const pki::TrustCenter tc = pki::TrustCenter::Make();
  return tc;
}

const std::string& Document(bool container, int n) {
  static std::map<std::pair<bool, int>, std::string> cache;
  auto& doc = cache[{container, n}];
  if (doc.empty()) doc = container ? bench::ContainerWith(Pki(), n) : bench::TcResponseWith(Pki(), n);
  return doc;
}


// Every node read and every text value taken: what any reader must do.
void PlainReaderLoop(const std::string& doc) {
  xmlTextReaderPtr reader = xmlReaderForMemory(doc.data(), static_cast<int>(doc.size()), nullptr, nullptr,
                                               XML_PARSE_NONET);
  size_t total = 0;
  while (xmlTextReaderRead(reader) == 1) {
    if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_TEXT) {
      total += std::strlen(reinterpret_cast<const char*>(xmlTextReaderConstValue(reader)));
    } else {
      total += std::strlen(reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader)));
    }
  }
  xmlFreeTextReader(reader);
  benchmark::DoNotOptimize(total);
}

void BM_PlainReader_Container(benchmark::State& state) {
  const std::string& doc = Document(true, static_cast<int>(state.range(0)));
  for (auto _ : state) PlainReaderLoop(doc);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_Parse_Container(benchmark::State& state) {
  const std::string& doc = Document(true, static_cast<int>(state.range(0)));
  xml::KeloUtilities utilities;
  for (auto _ : state) {
    status::CertificateList list;
    list.LockObject();
    xml::CResponseContainerXml container(std::make_shared<platform::MemoryStream>(doc.data(), doc.size()),
                                         &utilities, nullptr, &list);
    if (!container.Parse()) state.SkipWithError("container not read");
    list.UnlockObject();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_PlainReader_TcResponse(benchmark::State& state) {
  const std::string& doc = Document(false, static_cast<int>(state.range(0)));
  for (auto _ : state) PlainReaderLoop(doc);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

// Reading with the checks answered at once: the parser's own cost.
void BM_Parse_TcResponse(benchmark::State& state) {
  const std::string& doc = Document(false, static_cast<int>(state.range(0)));
  xml::KeloUtilities utilities;
  testing::AcceptingChecks checks;
  for (auto _ : state) {
    xml::CTcResponseXml tc(std::make_shared<platform::MemoryStream>(doc.data(), doc.size()), &utilities, &checks,
                           &checks);
    if (!tc.Parse()) state.SkipWithError("response not read");
    uint32_t length = 0;
    benchmark::DoNotOptimize(tc.GetResponseContainer(&length));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

// A hostile document of about 1.1 MB: one element with 100,000 attributes,
// or (the worst a cap still lets through) elements at the attribute limit
// one after another. Beside it, a TC response of about the same size.
std::string AttributeDocument(unsigned perElement, size_t bytes) {
  std::string doc = "<R>";
  while (doc.size() < bytes) {
    doc += "<e";
    for (unsigned i = 0; i < perElement && doc.size() < bytes + 64; ++i) doc += " a" + std::to_string(i) + "='v'";
    doc += "/>";
  }
  return doc + "</R>";
}

void BM_Parse_ManyAttributes(benchmark::State& state) {
  const std::string doc = AttributeDocument(static_cast<unsigned>(state.range(0)), 1100 * 1000);
  xml::KeloUtilities utilities;
  testing::AcceptingChecks checks;
  for (auto _ : state) {
    xml::CTcResponseXml tc(std::make_shared<platform::MemoryStream>(doc.data(), doc.size()), &utilities, &checks,
                           &checks);
    benchmark::DoNotOptimize(tc.Parse());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

BENCHMARK(BM_Parse_ManyAttributes)->Arg(100000)->Arg(64)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_PlainReader_Container)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_Parse_Container)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_PlainReader_TcResponse)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_Parse_TcResponse)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
