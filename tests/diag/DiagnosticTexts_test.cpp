// The trace lines a host reads for its reasons: each, as the component
// writes it, is found again by its literal pieces, whatever its wording.
#include "diag/DiagnosticTexts.h"

#include <gtest/gtest.h>

#include "diag/Trace.h"
#include "platform/Utf8.h"

namespace rimo::diag {
namespace {

TEST(DiagnosticTextsTest, EveryLineIsFoundByItsPieces) {
  struct Case {
    const wchar_t* format;
    std::wstring line;  // as TraceWriteFormat writes it
  } cases[] = {
      {text::kXmlReadFailed, detail::FormatWide(detail::TranslateFormat(text::kXmlReadFailed).c_str(), -1)},
      {text::kCheckFailed, detail::FormatWide(detail::TranslateFormat(text::kCheckFailed).c_str(), 2)},
      {text::kNoRootStore, detail::FormatWide(detail::TranslateFormat(text::kNoRootStore).c_str(), 2)},
      {text::kContainerUnreadable, detail::FormatWide(detail::TranslateFormat(text::kContainerUnreadable).c_str(), 4)},
      {text::kRequestFailed,
       detail::FormatWide(detail::TranslateFormat(text::kRequestFailed).c_str(), L"https://h/x?a=1", 3, 12029)},
      {text::kRegistryNotWhole,
       detail::FormatWide(detail::TranslateFormat(text::kRegistryNotWhole).c_str(), L"/r/registry.reg", L"line 1: x")},
      {text::kClientAuthEnded, detail::FormatWide(detail::TranslateFormat(text::kClientAuthEnded).c_str(), L"PIN")},
      {text::kNoResponseFolder, detail::FormatWide(detail::TranslateFormat(text::kNoResponseFolder).c_str(), L"u")},
      {text::kResponseNotWritten, detail::FormatWide(detail::TranslateFormat(text::kResponseNotWritten).c_str(), L"f")},
      {text::kIniWriteFailed, detail::FormatWide(detail::TranslateFormat(text::kIniWriteFailed).c_str(), L"/i", 13)},
      {text::kIniFolderNotMade, detail::FormatWide(detail::TranslateFormat(text::kIniFolderNotMade).c_str(), L"/i")},
      {text::kIniNotLocked, detail::FormatWide(detail::TranslateFormat(text::kIniNotLocked).c_str(), L"/i", 11)},
      {text::kIniBadParameter, detail::FormatWide(detail::TranslateFormat(text::kIniBadParameter).c_str(), L"/i", 0, 3)},
  };
  for (const Case& c : cases) {
    const std::string line = platform::WideToUtf8(c.line);
    SCOPED_TRACE(line);
    const std::vector<std::string> pieces = text::Pieces(c.format);
    ASSERT_GE(pieces.size(), 2u) << "a line with no value cannot carry one";
    // A line is found by its first piece: never empty, and none repeats it.
    EXPECT_GE(pieces.front().size(), 10u);
    size_t at = 0;
    for (const std::string& piece : pieces) {
      at = line.find(piece, at);
      ASSERT_NE(at, std::string::npos) << piece;
      at += piece.size();
    }
    for (const Case& other : cases) {
      if (other.format == c.format) continue;
      EXPECT_EQ(platform::WideToUtf8(other.line).find(pieces.front()), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace rimo::diag
