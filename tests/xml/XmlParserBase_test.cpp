#include "xml/XmlParserBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace rimo::xml {
namespace {

// Records every handler call as "kind:PATH[:text]".
class Recorder : public CXmlParserBase {
 public:
  explicit Recorder(const std::string& document, int stopAfterTexts = -1, bool failOnText = false)
      : CXmlParserBase(std::make_shared<platform::MemoryStream>(document.data(), document.size())),
        stopAfterTexts_(stopAfterTexts),
        failOnText_(failOnText) {}
  std::vector<std::string> calls;
  using CXmlParserBase::CheckCurrentPath;

 protected:
  bool ParseElement(int32_t*) override {
    calls.push_back("start:" + Narrow(ElementPath()));
    return true;
  }
  bool ParseElementEnd(int32_t*) override {
    calls.push_back("end:" + Narrow(ElementPath()));
    return true;
  }
  bool ParseText(int32_t* status) override {
    std::wstring_view value;
    GetValue(&value);
    calls.push_back("text:" + Narrow(ElementPath()) + ":" + Narrow(std::wstring(value)));
    if (failOnText_) *status = kXmlErrorMalformed;
    return stopAfterTexts_ < 0 || static_cast<int>(++texts_) < stopAfterTexts_;
  }

 private:
  static std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return s;
  }
  int stopAfterTexts_;
  bool failOnText_;
  size_t texts_ = 0;
};

TEST(XmlParserBaseTest, ElementPathIsUpperCasedAndWithoutNamespacePrefixes) {
  Recorder r("<a:TcResponse xmlns:a='urn:x'><CurrentSsn>1</CurrentSsn><A.B>x</A.B></a:TcResponse>");
  ASSERT_TRUE(r.Parse());
  EXPECT_EQ(r.calls, (std::vector<std::string>{"start:TCRESPONSE", "start:TCRESPONSE.CURRENTSSN",
                                               "text:TCRESPONSE.CURRENTSSN:1", "end:TCRESPONSE.CURRENTSSN",
                                               "start:TCRESPONSE.A.B", "text:TCRESPONSE.A.B:x",
                                               "end:TCRESPONSE.A.B", "end:TCRESPONSE"}));
}

// Checks the path while the reader stands inside an element.
class PathProbe : public CXmlParserBase {
 public:
  explicit PathProbe(const std::string& doc)
      : CXmlParserBase(std::make_shared<platform::MemoryStream>(doc.data(), doc.size())) {}
  std::vector<bool> results;

 protected:
  bool ParseText(int32_t*) override {
    for (const wchar_t* p : {L"TCRESPONSE.CURRENTSSN", L"tcresponse.currentssn", L"TcResponse.CurrentSsn",
                             L"TCRESPONSE", L"TCRESPONSE.CURRENTSSNX", L"", static_cast<const wchar_t*>(nullptr)}) {
      results.push_back(CheckCurrentPath(p));
    }
    return true;
  }
};

TEST(XmlParserBaseTest, CheckCurrentPathComparesWholeUpperCasedPaths) {
  PathProbe probe("<TcResponse><CurrentSsn>1</CurrentSsn></TcResponse>");
  ASSERT_TRUE(probe.Parse());
  EXPECT_EQ(probe.results, (std::vector<bool>{true, true, true, false, false, false, false}));
}

TEST(XmlParserBaseTest, EmptyElementTagIsOpenedAndClosedAtOnce) {
  Recorder r("<R><a/><b>t</b></R>");
  ASSERT_TRUE(r.Parse());
  EXPECT_EQ(r.calls, (std::vector<std::string>{"start:R", "start:R.A", "end:R.A", "start:R.B", "text:R.B:t",
                                               "end:R.B", "end:R"}));
  Recorder root("<R/>");
  EXPECT_TRUE(root.Parse());
}

TEST(XmlParserBaseTest, OnlyElementsTextAndEndsReachTheHandlers) {
  Recorder r(
      "<?xml version='1.0'?><!-- c --><R>\n  <?pi data?><!-- inner --><![CDATA[cdata]]><x>a&amp;b&#65;</x>\n</R>");
  ASSERT_TRUE(r.Parse());
  EXPECT_EQ(r.calls, (std::vector<std::string>{"start:R", "text:R:cdata", "start:R.X", "text:R.X:a&bA", "end:R.X",
                                               "end:R"}));
}

TEST(XmlParserBaseTest, TextInPiecesReachesTheHandlerWhole) {
  const struct {
    const char* name;
    const char* document;
    const char* text;
  } cases[] = {
      {"split by a comment", "<R><T>QUJD<!-- c -->REVG</T></R>", "text:R.T:QUJDREVG"},
      {"split by a processing instruction", "<R><T>QUJD<?pi x?>REVG</T></R>", "text:R.T:QUJDREVG"},
      {"in CDATA", "<R><T><![CDATA[QUJDREVG]]></T></R>", "text:R.T:QUJDREVG"},
      {"text, CDATA and text", "<R><T>QU<![CDATA[JDRE]]>VG</T></R>", "text:R.T:QUJDREVG"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r(c.document);
    ASSERT_TRUE(r.Parse());
    EXPECT_EQ(r.calls, (std::vector<std::string>{"start:R", "start:R.T", c.text, "end:R.T", "end:R"}));
  }
}

TEST(XmlParserBaseTest, HandlerStopIsARegularEndButAFailureStatusIsNot) {
  Recorder stopped("<R><a>1</a><b>2</b></R>", 1);
  EXPECT_TRUE(stopped.Parse());
  EXPECT_EQ(stopped.calls.back(), "text:R.A:1");
  Recorder failed("<R><a>1</a></R>", -1, true);
  EXPECT_FALSE(failed.Parse());
}

TEST(XmlParserBaseTest, HostileAndBrokenDocumentsAreRefused) {
  testing::TempDir dir;
  testing::WriteFile(dir.path() + "/secret.txt", "SECRET");
  const std::string bomb =
      "<?xml version='1.0'?><!DOCTYPE r [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>"
      "<!ENTITY c '&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;'><!ENTITY d '&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;'>]><r>&d;&d;&d;</r>";
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "<a>";
  for (int i = 0; i < 10000; ++i) deep += "</a>";
  struct Case {
    const char* name;
    std::string document;
  } cases[] = {
      {"document type", "<!DOCTYPE r><r>x</r>"},
      {"document type after a comment", "<!-- c --><!DOCTYPE r><r>x</r>"},
      {"entity bomb", bomb},
      {"external entity", "<!DOCTYPE r [<!ENTITY s SYSTEM 'file://" + dir.path() + "/secret.txt'>]><r>&s;</r>"},
      {"external DTD", "<!DOCTYPE r SYSTEM 'file://" + dir.path() + "/secret.txt'><r/>"},
      {"truncated", "<r><a>text</a>"},
      {"invalid UTF-8", "<r>\xC3\x28</r>"},
      {"empty input", ""},
      {"not XML", "just text"},
      {"nesting 10000 deep", deep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r(c.document);
    EXPECT_FALSE(r.Parse());
    for (const std::string& call : r.calls) EXPECT_EQ(call.find("SECRET"), std::string::npos);
  }
}

std::string Utf16Le(const std::string& ascii, bool bom) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

std::string Utf16Be(const std::string& ascii) {
  std::string out = "\xFE\xFF";
  for (char c : ascii) {
    out.push_back('\0');
    out.push_back(c);
  }
  return out;
}

// Whatever follows the root element is not read: the document ends with it.
TEST(XmlParserBaseTest, ContentAfterTheRootIsIgnored) {
  const std::string root = "<?xml version='1.0'?><!-- a <b> c --><R a='>' b=\"/\"><?pi x>y?><a>1</a>"
                           "<![CDATA[</R>]]><b/></R>";
  const std::vector<std::string> expected = {"start:R", "start:R.A", "text:R.A:1", "end:R.A",
                                             "text:R:</R>", "start:R.B", "end:R.B", "end:R"};
  struct Case {
    const char* name;
    std::string document;
  } cases[] = {
      {"nothing", root},
      {"a NUL byte", root + std::string(1, '\0')},
      {"text", root + "trailing text"},
      {"a comment and junk", root + "<!-- c -->\x01\x02junk<<<"},
      {"a second root", root + "<R><a>2</a></R>"},
      {"an unclosed element", root + "<R><a>"},
      {"UTF-16LE with BOM and junk", Utf16Le(root + "junk<", true)},
      {"UTF-16LE without BOM and a second root", Utf16Le(root + "<x/>", false)},
      {"UTF-16BE with BOM and a NUL", Utf16Be(root) + std::string(2, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r(c.document);
    ASSERT_TRUE(r.Parse());
    EXPECT_EQ(r.calls, expected);
  }
  Recorder emptyRoot("<R/><junk");
  ASSERT_TRUE(emptyRoot.Parse());
  EXPECT_EQ(emptyRoot.calls, (std::vector<std::string>{"start:R", "end:R"}));
}

TEST(XmlParserBaseTest, ElementsWithTooManyAttributesAreRefused) {
  auto element = [](unsigned attributes, const std::string& quote) {
    std::string e = "<R";
    for (unsigned i = 0; i < attributes; ++i) e += " a" + std::to_string(i) + "=" + quote + "v>" + quote;
    return e + "><x>1</x></R>";
  };
  const unsigned limit = 64;
  struct Case {
    const char* name;
    std::string document;
    bool parsed;
  } cases[] = {
      {"at the limit", element(limit, "\""), true},
      {"at the limit, single quotes", element(limit, "'"), true},
      {"one more", element(limit + 1, "\""), false},
      {"100,000 attributes", element(100000, "'"), false},
      {"one more, in UTF-16", Utf16Le(element(limit + 1, "\""), true), false},
      {"on a nested empty element", "<R><e" + element(limit + 1, "'").substr(2) + "</R>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r(c.document);
    EXPECT_EQ(r.Parse(), c.parsed);
  }
}

TEST(XmlParserBaseTest, UnusualEncodingsAreRefused) {
  // "<?xml" in EBCDIC, and "<" in the two mixed UCS-4 byte orders.
  for (const std::string& document : {std::string("\x4C\x6F\xA7\x94\x93", 5), std::string("\0\0<\0", 4),
                                      std::string("\0<\0\0", 4)}) {
    Recorder r(document + "junk");
    EXPECT_FALSE(r.Parse());
  }
}

TEST(XmlParserBaseTest, HugeTextNodeIsRefusedWithoutHarm) {
  std::string document = "<r>";
  document.append(50 * 1024 * 1024, 'x');
  document += "</r>";
  Recorder r(document);
  EXPECT_FALSE(r.Parse());
}

TEST(XmlParserBaseTest, Utf16WithByteOrderMarkIsRead) {
  std::wstring text = L"<R><a>Grüße</a></R>";
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  Recorder r(bytes);
  ASSERT_TRUE(r.Parse());
  EXPECT_EQ(r.calls[2], "text:R.A:Gr??e");
}

TEST(XmlParserBaseTest, EncodingErrorsNeverReachStandardError) {
  // UTF-16LE with a lone surrogate: libxml2 reports it outside the reader.
  const std::string bytes("\xFF\xFE<\0R\0>\0\0\xD8" "A\0<\0/\0R\0>\0", 20);
  ::testing::internal::CaptureStderr();
  Recorder r(bytes);
  EXPECT_FALSE(r.Parse());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(XmlParserBaseTest, NoStreamMeansNoReading) {
  class NoStream : public CXmlParserBase {
   public:
    NoStream() : CXmlParserBase(nullptr) {}
  } parser;
  EXPECT_FALSE(parser.Parse());
}

}  // namespace
}  // namespace rimo::xml
