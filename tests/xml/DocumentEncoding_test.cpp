// The bounding stream and libxml2 must read a document the same way: where
// the stream ends a document (at its root's closing tag) libxml2 must find
// the same, complete document, or the stream refuses the document before
// libxml2 sees a byte. Each document is followed by junk, and holds bytes
// that spell a closing tag where the markup is not: in text, in a comment,
// in an attribute, or in another encoding's multi-byte characters.
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/ByteStream.h"
#include "xml/DocumentBoundStream.h"

namespace rimo::xml {
namespace {

// Code points to bytes; ASCII and BMP only, which is all the cases use.
std::string Encode(const std::u16string& text, int width, bool bigEndian, bool bom) {
  std::u16string all = bom ? u"\uFEFF" + text : text;
  std::string out;
  for (char16_t c : all) {
    const uint32_t u = c;
    for (int i = 0; i < width; ++i) {
      const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
      out.push_back(static_cast<char>((u >> shift) & 0xFF));
    }
  }
  return out;
}

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

struct StreamResult {
  bool refused = false;
  std::string bytes;  // what the stream handed on
  std::string error;
};

StreamResult RunStream(const std::string& document) {
  DocumentBoundStream stream(std::make_shared<platform::MemoryStream>(document.data(), document.size()));
  StreamResult result;
  char buffer[7];  // small reads: markup split across reads
  for (;;) {
    const long n = stream.Read(buffer, sizeof buffer);
    if (n < 0) {
      result.refused = true;
      result.error = stream.Error();
      return result;
    }
    if (n == 0) return result;
    result.bytes.append(buffer, static_cast<size_t>(n));
  }
}

void Quiet(void*, const char*, ...) {}

// libxml2's reading of bytes as a whole document: the root's text content
// in UTF-8, or nullopt when it is not one well-formed document.
std::optional<std::string> LibxmlText(const std::string& bytes) {
  xmlSetGenericErrorFunc(nullptr, &Quiet);
  xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  xmlSetGenericErrorFunc(nullptr, nullptr);
  if (doc == nullptr) return std::nullopt;
  xmlChar* content = xmlNodeGetContent(xmlDocGetRootElement(doc));
  std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  xmlFreeDoc(doc);
  return text;
}

struct Case {
  const char* name;
  std::string document;  // one document, without what follows it
  std::string expectedText;  // the root's text content (UTF-8); unused when refused
  bool refused;
};

std::vector<Case> Cases() {
  // "</R>" spelled by the bytes of UTF-16 characters: U+2F3C U+3E52 in
  // little-endian order, U+3C2F U+523E in big-endian order.
  const std::u16string lookalikeLe = u"\u2F3C\u3E52";
  const std::u16string lookalikeBe = u"\u3C2F\u523E";
  auto utf16 = [](const std::u16string& body, bool be, bool bom) { return Encode(body, 2, be, bom); };
  std::vector<Case> cases = {
      {"UTF-8, closing tag in a comment", "<R><!-- </R> --><C>x</C></R>", "x", false},
      {"UTF-8, closing tag in an attribute", "<R a='/R>' b=\"&lt;/R>x\"><C>x</C></R>", "x", false},
      {"UTF-8, closing tag in CDATA", "<R><![CDATA[</R>]]></R>", "</R>", false},
      {"UTF-8, closing tag in a processing instruction", "<R><?pi </R>?>y</R>", "y", false},
      {"UTF-8 declared lower case", "<?xml version='1.0' encoding='utf-8'?><R>\xC3\xA9</R>", "\xC3\xA9", false},
      {"UTF-8 with BOM", "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?><R>z</R>", "z", false},
      {"UTF-8 bytes declared ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R>\xC3\xA9</R>",
       "\xC3\x83\xC2\xA9", false},
      {"windows-1252", "<?xml version='1.0' encoding='windows-1252'?><R>\x80</R>", "\xE2\x82\xAC", false},
      {"US-ASCII", "<?xml version='1.0' encoding='US-ASCII'?><R>a</R>", "a", false},
      {"UTF-16LE with BOM, closing tag in characters' bytes",
       utf16(u"<?xml version='1.0' encoding='UTF-16'?><R>" + lookalikeLe + u"</R>", false, true),
       "\xE2\xBC\xBC\xE3\xB9\x92", false},
      {"UTF-16BE with BOM, closing tag in characters' bytes", utf16(u"<R>" + lookalikeBe + u"</R>", true, true),
       "\xE3\xB0\xAF\xE5\x88\xBE", false},
      {"UTF-16LE without BOM, declared", utf16(u"<?xml version='1.0' encoding='UTF-16'?><R>" + lookalikeLe + u"</R>",
                                               false, false),
       "\xE2\xBC\xBC\xE3\xB9\x92", false},
      {"UTF-16BE without BOM, declared", utf16(u"<?xml version='1.0' encoding='UTF-16'?><R>" + lookalikeBe + u"</R>",
                                               true, false),
       "\xE3\xB0\xAF\xE5\x88\xBE", false},
      // Refused before libxml2 sees a byte.
      {"UTF-7, closing tag spelled in Base64", "<?xml version='1.0' encoding='UTF-7'?><R>+ADw-/R+AD4-x</R>", "",
       true},
      {"UTF-7, quote spelled in Base64", "<?xml version=\"1.0\" encoding=\"UTF-7\"?><R a=+ACI-x+ACI->x</R>", "",
       true},
      {"ISO-2022-JP, closing tag in double-byte text",
       "<?xml version='1.0' encoding='ISO-2022-JP'?><R>\x1B$B</R>\x1B(Bx</R>", "", true},
      {"Shift_JIS", "<?xml version='1.0' encoding='Shift_JIS'?><R>x</R>", "", true},
      {"EBCDIC", std::string("\x4C\x6F\xA7\x94\x40\xA5\x85\x99", 8), "", true},
      {"UTF-8 bytes declared UTF-16", "<?xml version='1.0' encoding='UTF-16'?><R>x</R>", "", true},
      {"UTF-8 BOM declared ISO-8859-1", "\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?><R>x</R>", "", true},
      {"UTF-16LE declared UTF-8", utf16(u"<?xml version='1.0' encoding='UTF-8'?><R>x</R>", false, true), "", true},
      {"UTF-16LE declared UTF-16BE", utf16(u"<?xml version='1.0' encoding='UTF-16BE'?><R>x</R>", false, true), "",
       true},
      {"a document type whose comment holds a quote",
       "<!DOCTYPE R [<!-- ' -->]><R a0='1' a1='1' a2='1'>x</R>", "", true},
      {"a document type with nested entities",
       "<!DOCTYPE R [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;&a;\"><!ATTLIST R x CDATA \"&b;&b;\">]><R>x</R>", "",
       true},
      {"UTF-32LE with BOM", Encode(u"<R>x</R>", 4, false, true), "", true},
      {"UTF-32BE without BOM", Encode(u"<R>x</R>", 4, true, false), "", true},
      {"UTF-16LE without BOM or declaration", utf16(u"<R>x</R>", false, false), "", true},
      {"declaration never closed", "<?xml version='1.0' encoding='UTF-8'" + std::string(600, ' ') + "<R>x</R>", "",
       true},
  };
  return cases;
}

TEST(DocumentEncodingTest, StreamAndParserAgreeOnTheEndOfEveryAcceptedDocument) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string& d = c.document;
    const bool big = d[0] == '\0' || d.compare(0, 2, "\xFE\xFF") == 0;
    const bool wide = big || d[1] == '\0' || d.compare(0, 2, "\xFF\xFE") == 0;
    // Junk after the root, in the document's own encoding where it is wide.
    const std::string junk = wide ? Encode(u"<junk>", 2, big, false) : std::string("\0junk</R>", 9);
    const StreamResult got = RunStream(c.document + junk);
    ASSERT_EQ(got.refused, c.refused) << got.error;
    if (c.refused) {
      EXPECT_FALSE(got.error.empty());
      EXPECT_TRUE(got.bytes.empty()) << "nothing reaches the parser";
      continue;
    }
    EXPECT_EQ(got.bytes, c.document) << "the stream ends the document at its root's end";
    const std::optional<std::string> text = LibxmlText(got.bytes);
    ASSERT_TRUE(text.has_value()) << "libxml2 reads what the stream handed on as one whole document";
    EXPECT_EQ(*text, c.expectedText);
  }
}

TEST(DocumentEncodingTest, HundredThousandAttributesAreRefusedInEveryEncoding) {
  std::string attributes;
  for (int i = 0; i < 100000; ++i) attributes += " a" + std::to_string(i) + "='v'";
  const std::string utf8 = "<R" + attributes + ">x</R>";
  std::string utf7 = "<?xml version='1.0' encoding='UTF-7'?><R";
  for (int i = 0; i < 100000; ++i) utf7 += " a" + std::to_string(i) + "=+ACI-v+ACI-";
  utf7 += ">x</R>";
  const struct {
    const char* name;
    std::string document;
  } cases[] = {
      {"UTF-8", utf8},
      {"UTF-16LE", Encode(Widen(utf8), 2, false, true)},
      {"UTF-16BE", Encode(Widen(utf8), 2, true, true)},
      {"UTF-32LE", Encode(Widen(utf8), 4, false, true)},
      {"UTF-7", utf7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const StreamResult got = RunStream(c.document);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(got.refused);
    std::printf("  %s: %zu bytes refused after %.2f ms (%s)\n", c.name, c.document.size(), ms, got.error.c_str());
  }
}

TEST(DocumentEncodingTest, ParserProtectionsHoldWithLargeTexts) {
  const struct {
    const char* name;
    std::string document;
    bool refused;
  } cases[] = {
      {"256 levels", std::string() + [] {
         std::string d;
         for (int i = 0; i < 256; ++i) d += "<a>";
         for (int i = 0; i < 256; ++i) d += "</a>";
         return d;
       }(),
       false},
      {"257 levels", [] {
         std::string d;
         for (int i = 0; i < 257; ++i) d += "<a>";
         for (int i = 0; i < 257; ++i) d += "</a>";
         return d;
       }(),
       true},
      {"a name of 50,000 characters", "<" + std::string(50000, 'n') + "/>", false},
      {"a name of 50,001 characters", "<" + std::string(50001, 'n') + "/>", true},
      {"an attribute name of 50,001 characters", "<R " + std::string(50001, 'n') + "='v'/>", true},
      {"an end tag name of 50,001 characters", "<R></" + std::string(50001, 'n') + ">", true},
      {"a processing instruction target of 50,001 characters", "<R><?" + std::string(50001, 'p') + " x?></R>", true},
      {"a processing instruction target of 50,000 characters", "<R><?" + std::string(50000, 'p') + " x?></R>", false},
      {"a text of 12 MiB", "<R>" + std::string(12u << 20, 'A') + "</R>", false},
      {"a document of 16 MiB and one byte", "<R>" + std::string((16u << 20) - 6, 'A') + "</R>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const StreamResult got = RunStream(c.document);
    EXPECT_EQ(got.refused, c.refused) << got.error;
  }
}

}  // namespace
}  // namespace rimo::xml
