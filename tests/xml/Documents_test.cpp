// The component's documents over small fixtures, with checks that answer as
// each case needs.
#include <gtest/gtest.h>

#include <string>

#include "status/CertificateList.h"
#include "support/FakeVerifiers.h"
#include "xml/ResponseContainerXml.h"
#include "xml/RzResponseXml.h"
#include "xml/TcResponseXml.h"
#include "platform/Utf8.h"

namespace rimo::xml {
namespace {

using testing::FakeCertFunctions;
using testing::FakeSignatureFunctions;

std::shared_ptr<platform::IByteStream> Stream(const std::string& text) {
  return std::make_shared<platform::MemoryStream>(text.data(), text.size());
}

// "abc" as Base64; a certificate text whose DER is the bytes "abc".
constexpr char kAbcCert[] = "-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----";

class CertificateDecoding : public CXmlParserRimo {
 public:
  explicit CertificateDecoding(KeloUtilities* u) : CXmlParserRimo(Stream("<r/>"), u, nullptr) {}
};

TEST(DecodeCertificateTest, MarkersAndSeparators) {
  KeloUtilities utilities;
  CertificateDecoding d(&utilities);
  struct Case {
    const wchar_t* text;
    std::string der;
  } cases[] = {
      {L"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----", "abc"},
      {L"-----BEGIN CERTIFICATE----- YWJj -----END CERTIFICATE-----", "abc"},
      {L"-----BEGIN CERTIFICATE-----YWJj-----END CERTIFICATE-----", "abc"},
      {L"\n-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----", "abc"},
      {L"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n\ntrailing", "abc"},
      {L"-----BEGIN CERTIFICATE-----\r\nYWJj\r\n-----END CERTIFICATE-----", ""},
      {L"YWJj", ""},
      {L"-----BEGIN CERTIFICATE-----\nYWJj", ""},
      {L"-----END CERTIFICATE----------BEGIN CERTIFICATE-----", ""},
      {L"-----END CERTIFICATE-----x-----BEGIN CERTIFICATE-----", ""},
      {L"", ""},
      {L"-----BEGIN CERTIFICATE-----\nYW\u0141j\n-----END CERTIFICATE-----", "a"},
  };
  for (const Case& c : cases) {
    Bytes der = {1, 2, 3};
    ASSERT_TRUE(d.DecodeCertificate(c.text, &der));
    EXPECT_EQ(std::string(der.begin(), der.end()), c.der) << platform::WideToUtf8(c.text);
  }
  Bytes untouched = {9};
  EXPECT_FALSE(d.DecodeCertificate(nullptr, &untouched));
  EXPECT_EQ(untouched.size(), 1u);
}

std::string TcResponse(const std::string& current, const std::string& next, const std::string& extra = "",
                       bool withSignature = true, bool withCert = true) {
  std::string xml = "<TCRESPONSE><CURRENTSSN>" + current + "</CURRENTSSN><NEWSSN>" + next +
                    "</NEWSSN><RESPONSECONTAINER>PFI+PC9SPg==</RESPONSECONTAINER>";
  if (withSignature) xml += "<SIGNATURTC>c2ln</SIGNATURTC>";
  if (withCert) xml += std::string("<SIGCERT>") + kAbcCert + "</SIGCERT>";
  return xml + extra + "</TCRESPONSE>";
}

const std::string kSsn20 = "12345678901234567890";
const std::string kSsn19 = "1234567890123456789";
const std::string kSsn21 = "123456789012345678901";

struct Verifiers {
  KeloUtilities utilities;
  FakeSignatureFunctions signature;
  FakeCertFunctions cert;
};

TEST(TcResponseTest, GenuineDocumentPassesAndHandsOutItsContainer) {
  Verifiers v;
  CTcResponseXml doc(Stream(TcResponse(kSsn20, "ABCDEFGHIJKLMNOPQRST")), &v.utilities, &v.signature, &v.cert);
  ASSERT_TRUE(doc.Parse());
  EXPECT_TRUE(doc.Integrity());
  EXPECT_EQ(doc.VerificationError(), 0u);
  EXPECT_EQ(v.signature.signedData, "PFI+PC9SPg==") << "the Base64 text itself is signed";
  EXPECT_EQ(std::string(v.signature.signature.begin(), v.signature.signature.end()), "sig");
  EXPECT_EQ(v.cert.askedLocality, "QUANDEL Nachladesignatur");
  EXPECT_EQ(*doc.NewSerial(), L"ABCDEFGHIJKLMNOPQRST");
  uint32_t length = 0;
  const uint8_t* container = doc.GetResponseContainer(&length);
  ASSERT_NE(container, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(container), length), "<R></R>");
  const int callsBefore = v.signature.calls;
  EXPECT_TRUE(doc.VerifyDocumentIntegrity());
  EXPECT_EQ(v.signature.calls, callsBefore) << "a verified document is not checked again";
}

TEST(TcResponseTest, EachFailureGivesItsCode) {
  struct Case {
    const char* name;
    std::string document;
    void (*setup)(Verifiers&);
    uint32_t code;
    bool read;  // Parse of the base succeeded
  } cases[] = {
      {"signature invalid", TcResponse(kSsn20, kSsn20), [](Verifiers& v) { v.signature.signatureValid = false; }, 1,
       true},
      {"chain invalid", TcResponse(kSsn20, kSsn20), [](Verifiers& v) { v.signature.chainValid = false; }, 2, true},
      {"locality wrong", TcResponse(kSsn20, kSsn20), [](Verifiers& v) { v.cert.localityValid = false; }, 3, true},
      {"root not in store", TcResponse(kSsn20, kSsn20), [](Verifiers& v) { v.signature.rootFound = false; }, 4, true},
      {"root not the maker's", TcResponse(kSsn20, kSsn20), [](Verifiers& v) { v.cert.rootIsQuandel = false; }, 4,
       true},
      {"no signature", TcResponse(kSsn20, kSsn20, "", false, true), [](Verifiers&) {}, 5, true},
      {"no certificate", TcResponse(kSsn20, kSsn20, "", true, false), [](Verifiers&) {}, 5, true},
      {"current serial 19", TcResponse(kSsn19, kSsn20), [](Verifiers&) {}, 5, true},
      {"new serial 21", TcResponse(kSsn20, kSsn21), [](Verifiers&) {}, 5, true},
      {"unreadable", "<TCRESPONSE>", [](Verifiers&) {}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Verifiers v;
    c.setup(v);
    CTcResponseXml doc(Stream(c.document), &v.utilities, &v.signature, &v.cert);
    EXPECT_FALSE(doc.Parse());
    EXPECT_EQ(doc.VerificationError(), c.code);
    uint32_t length = 99;
    if (c.code != 5 || std::string(c.name).find("serial") == std::string::npos) {
      EXPECT_EQ(doc.GetResponseContainer(&length), nullptr);
      EXPECT_EQ(length, 0u);
    }
  }
}

TEST(TcResponseTest, EmptyCertificateNeverPassesTheSignatureCheck) {
  Verifiers v;
  std::string doc = "<TCRESPONSE><CURRENTSSN>" + kSsn20 + "</CURRENTSSN><NEWSSN>" + kSsn20 +
                    "</NEWSSN><RESPONSECONTAINER>YWJj</RESPONSECONTAINER><SIGNATURTC>c2ln</SIGNATURTC>"
                    "<SIGCERT>no markers</SIGCERT></TCRESPONSE>";
  CTcResponseXml tc(Stream(doc), &v.utilities, &v.signature, &v.cert);
  EXPECT_FALSE(tc.Parse());
  EXPECT_EQ(tc.VerificationError(), 1u);
  EXPECT_EQ(v.signature.calls, 0) << "nothing to verify with";
}

TEST(TcResponseTest, FirstTextWins) {
  Verifiers v;
  CTcResponseXml doc(Stream(TcResponse(kSsn20, kSsn20, "<CURRENTSSN>ZZZZZZZZZZZZZZZZZZZZ</CURRENTSSN>")), &v.utilities,
                     &v.signature, &v.cert);
  ASSERT_TRUE(doc.Parse());
  EXPECT_EQ(*doc.CurrentSerial(), platform::Utf8ToWide(kSsn20));
}

struct ContainerResult {
  bool parsed;
  uint32_t error;
  int32_t keyChange;
  bool switchOn;
  std::vector<std::wstring> types;
  std::vector<uint32_t> derLengths;
};

ContainerResult ReadContainer(const std::string& body) {
  KeloUtilities utilities;
  status::CertificateList list;
  CResponseContainerXml doc(Stream("<ResponseContainer>" + body + "</ResponseContainer>"), &utilities, nullptr, &list);
  ContainerResult r{doc.Parse(), doc.ErrorCode(), doc.KeyChange(), doc.SwitchOnActivation(), {}, {}};
  void* cursor = nullptr;
  for (auto* rec = list.GetFirstCertificate(&cursor); rec != nullptr; rec = list.GetNextCertificate(&cursor)) {
    r.types.emplace_back(rec->type);
    r.derLengths.push_back(rec->derLength);
  }
  return r;
}

std::string Cert(const std::string& type, const std::string& data = kAbcCert) {
  return "<CERT><TYPE>" + type + "</TYPE><CERTDATA>" + data + "</CERTDATA></CERT>";
}

TEST(ResponseContainerTest, FlagsAndCertificates) {
  struct Case {
    const char* name;
    std::string body;
    bool parsed;
    uint32_t error;
    int32_t keyChange;
    bool switchOn;
    std::vector<std::wstring> types;
  } cases[] = {
      {"lower-case ja", "<KeyChange>ja</KeyChange><Certificates>" + Cert("SIG") + "</Certificates>", true, 0, 0, true,
       {L"SIG"}},
      {"NEIN and switch off", "<KEYCHANGE>Nein</KEYCHANGE><SWITCHONACTIVATION>NEIN</SWITCHONACTIVATION>", true, 0, 1,
       false, {}},
      {"leading space", "<KEYCHANGE> JA</KEYCHANGE><CERTIFICATES>" + Cert("A") + "</CERTIFICATES>", false, 2, -1, true,
       {}},
      {"bad switch value", "<KEYCHANGE>JA</KEYCHANGE><SWITCHONACTIVATION>vielleicht</SWITCHONACTIVATION>", false, 2, 0,
       true, {}},
      {"certificates without KEYCHANGE", "<CERTIFICATES>" + Cert("A") + "</CERTIFICATES>", false, 3, -1, true,
       {L"A"}},
      {"KEYCHANGE without certificates", "<KEYCHANGE>JA</KEYCHANGE>", true, 0, 0, true, {}},
      {"duplicate type", "<KEYCHANGE>JA</KEYCHANGE><CERTIFICATES>" + Cert("A") + Cert("A") + Cert("B") +
                             "</CERTIFICATES>",
       false, 4, 0, true, {L"A"}},
      {"types differing in case", "<KEYCHANGE>JA</KEYCHANGE><CERTIFICATES>" + Cert("a") + Cert("A") + "</CERTIFICATES>",
       true, 0, 0, true, {L"a", L"A"}},
      {"incomplete CERT", "<KEYCHANGE>JA</KEYCHANGE><CERTIFICATES>" + Cert("A") +
                              "<CERT><TYPE>B</TYPE></CERT>" + Cert("C") + "</CERTIFICATES>",
       false, 5, 0, true, {L"A"}},
      {"empty CERT tag", "<KEYCHANGE>JA</KEYCHANGE><CERTIFICATES><CERT/></CERTIFICATES>", false, 5, 0, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ContainerResult r = ReadContainer(c.body);
    EXPECT_EQ(r.parsed, c.parsed);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.keyChange, c.keyChange);
    EXPECT_EQ(r.switchOn, c.switchOn);
    EXPECT_EQ(r.types, c.types);
  }
}

TEST(ResponseContainerTest, DerIsStoredOnlyWhenItFits) {
  std::string big = "-----BEGIN CERTIFICATE-----\n" + std::string(2732, 'A') + "\n-----END CERTIFICATE-----";
  ContainerResult r = ReadContainer("<KEYCHANGE>JA</KEYCHANGE><CERTIFICATES>" + Cert("SMALL") + Cert("BIG", big) +
                                    Cert("NOMARKERS", "YWJj") + "</CERTIFICATES>");
  ASSERT_TRUE(r.parsed);
  EXPECT_EQ(r.derLengths, (std::vector<uint32_t>{3, 0, 0}));
}

TEST(RzDocumentsTest, EnvelopeCarriesTheTcResponse) {
  KeloUtilities u;
  CRzResponseXml envelope(Stream("<getdatatcresponse><tcresponse>PFI+PC9SPg==</tcresponse></getdatatcresponse>"), &u,
                          nullptr);
  ASSERT_TRUE(envelope.Parse());
  EXPECT_EQ(envelope.TcResponseLength(), 7u);
  uint8_t buffer[7];
  EXPECT_TRUE(envelope.CopyTcResponse(buffer, 7));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 7), "<R></R>");
  uint8_t shorter[6] = {1, 1, 1, 1, 1, 1};
  EXPECT_FALSE(envelope.CopyTcResponse(shorter, 6));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(shorter), 6), std::string(6, '\0'));
  EXPECT_FALSE(envelope.CopyTcResponse(nullptr, 7));

  CRzResponseXml lines(Stream("<GETDATATCRESPONSE><TCRESPONSE>YWJj\nZGVm</TCRESPONSE></GETDATATCRESPONSE>"), &u,
                       nullptr);
  ASSERT_TRUE(lines.Parse());
  EXPECT_EQ(lines.TcResponseLength(), 6u) << "line breaks inside the text are skipped, nothing is cut";
  EXPECT_EQ(std::string(lines.TcResponse().begin(), lines.TcResponse().end()), "abcdef");
  for (const char* text : {"YWJj*ZGVm", "YWJjZGVm!", "YW=JjZGVm"}) {
    CRzResponseXml bad(Stream(std::string("<GETDATATCRESPONSE><TCRESPONSE>") + text + "</TCRESPONSE></GETDATATCRESPONSE>"),
                       &u, nullptr);
    EXPECT_FALSE(bad.Parse()) << text;
    EXPECT_EQ(bad.ErrorCode(), 2u) << text;
    EXPECT_EQ(bad.TcResponseLength(), 0u);
  }

  CRzResponseXml none(Stream("<GETDATATCRESPONSE><OTHER>x</OTHER></GETDATATCRESPONSE>"), &u, nullptr);
  EXPECT_FALSE(none.Parse());
  EXPECT_EQ(none.ErrorCode(), 1u);

  CRzResponseXml unreadable(Stream("<GETDATATCRESPONSE>"), &u, nullptr);
  EXPECT_FALSE(unreadable.Parse());
  EXPECT_EQ(unreadable.ErrorCode(), 0u);
}

TEST(RzDocumentsTest, FaultDocumentNeedsAllThreeTexts) {
  KeloUtilities u;
  CRzErrorXml full(Stream("<FAULTINFO><ID>F-17</ID><USERMESSAGE>Kein Paket</USERMESSAGE>"
                          "<TECHMESSAGE>none</TECHMESSAGE></FAULTINFO>"),
                   &u, nullptr);
  ASSERT_TRUE(full.Parse());
  EXPECT_EQ(*full.FaultId(), L"F-17");
  EXPECT_EQ(*full.UserMessage(), L"Kein Paket");
  CRzErrorXml partial(Stream("<FAULTINFO><ID>F</ID><USERMESSAGE></USERMESSAGE></FAULTINFO>"), &u, nullptr);
  EXPECT_FALSE(partial.Parse());
  EXPECT_EQ(partial.MissingParts(), 6u);
  CRzErrorXml unreadable(Stream("no xml"), &u, nullptr);
  EXPECT_FALSE(unreadable.Parse());
  EXPECT_EQ(unreadable.MissingParts(), 0u);
}

}  // namespace
}  // namespace rimo::xml
