#include "diag/MethodTrace.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "diag/Trace.h"
#include "support/TraceRecorder.h"

namespace rimo::diag {
namespace {

using testing::TraceLine;
using testing::TraceRecorder;

constexpr wchar_t kCat[] = L"Kelo.Rimo.DataDll";

void TracedMethod(bool fail) {
  MethodTrace trace(Detail, kCat, L"Foo::Bar", L"Foo.cpp", 42, L"");
  if (fail) throw std::runtime_error("boom");
}

TEST(TraceTest, TextLongerThanALineIsCutNotDropped) {
  TraceRecorder recorder({{"Kelo.Rimo.DataDll", 16}});
  const std::wstring longText(2000000, L'z');
  TraceWriteFormat(Info, category::kDataDll, L"Anfang %s Ende", longText.c_str());
  const auto lines = recorder.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.rfind("Anfang zzz", 0), 0u);
  EXPECT_EQ(lines[0].text.size(), 4095u);
}

TEST(MethodTraceTest, WritesEntryAndExitWhenLevelIsTraced) {
  TraceRecorder recorder({{"Kelo.Rimo.DataDll", 16}});
  TracedMethod(false);
  auto lines = recorder.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "---> Beginn: Foo::Bar (42)  Foo.cpp");
  EXPECT_EQ(lines[0].level, 16);
  EXPECT_EQ(lines[0].category, "Kelo.Rimo.DataDll");
  EXPECT_EQ(lines[1].text, "<--- Ende: Foo::Bar");
  EXPECT_EQ(lines[1].level, 16);
}

TEST(MethodTraceTest, ErrorsOnlyWritesNothingOnNormalReturn) {
  TraceRecorder recorder({{"Kelo.Rimo.DataDll", 2}});
  TracedMethod(false);
  EXPECT_TRUE(recorder.Lines().empty());
}

TEST(MethodTraceTest, ExceptionWritesLateEntryAndUnwindingExitAtLevelOne) {
  TraceRecorder recorder({{"Kelo.Rimo.DataDll", 2}});
  EXPECT_THROW(TracedMethod(true), std::runtime_error);
  auto lines = recorder.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_TRUE(std::regex_match(lines[0].text,
                               std::regex(R"(---> Beginn \(\d\d:\d\d:\d\d\.\d\d\d\): Foo::Bar \(42\)  Foo\.cpp)")))
      << lines[0].text;
  EXPECT_EQ(lines[1].level, 1);
  EXPECT_EQ(lines[1].text,
            "<--- Ende: Foo::Bar\t Returnwert: Fehlerinfo: StackUnwinding ~MethodTrace: Es ist eine "
            "Exception aufgetreten");
}

TEST(MethodTraceTest, ExceptionAfterImmediateEntryKeepsEntryAndMarksExit) {
  TraceRecorder recorder({{"*", 16}});
  EXPECT_THROW(TracedMethod(true), std::runtime_error);
  auto lines = recorder.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 16);
  EXPECT_EQ(lines[1].level, 1);
  EXPECT_NE(lines[1].text.find("StackUnwinding"), std::string::npos);
}

TEST(MethodTraceTest, DisarmedTracersWriteNothingEvenWhileUnwinding) {
  struct Case {
    const char* name;
    const wchar_t* category;
    const wchar_t* method;
    const wchar_t* file;
    const wchar_t* info;
  } cases[] = {
      {"empty category", L"", L"M", L"F", L""},
      {"null category", nullptr, L"M", L"F", L""},
      {"null method", kCat, nullptr, L"F", L""},
      {"null file", kCat, L"M", nullptr, L""},
      {"null info", kCat, L"M", L"F", nullptr},
      {"category off", L"Other.Category", L"M", L"F", L""},
  };
  TraceRecorder recorder({{"Kelo.Rimo.DataDll", 16}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.Clear();
    try {
      MethodTrace trace(Detail, c.category, c.method, c.file, 1, c.info);
      throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(recorder.Lines().empty());
  }
}

TEST(MethodTraceTest, LineNumberBelowOneLeavesOutTheNumber) {
  TraceRecorder recorder({{"*", 16}});
  { MethodTrace trace(Detail, kCat, L"Free", L"x.cpp", 0, L"info"); }
  ASSERT_EQ(recorder.Lines().size(), 2u);
  EXPECT_EQ(recorder.Lines()[0].text, "---> Beginn: Free info x.cpp");
}

TEST(MethodTraceTest, CategoryOffCostsOneCategoryQuery) {
  TraceRecorder recorder({{"Another", 16}});
  { MethodTrace trace(Detail, kCat, L"M", L"F", 1, L""); }
  EXPECT_EQ(recorder.ShouldTraceCategoryCalls(), 1);
  EXPECT_TRUE(recorder.Lines().empty());
}

TEST(TraceWriteFormatTest, FormatsWideAndNarrowStringsAndNumbers) {
  TraceRecorder recorder({{"*", 16}});
  TraceWriteFormat(Info, kCat, L"Datei %s, Kennung %S, Nummer [%d], %03d%%", L"/tmp/ä.xml", "nä", 42, 7);
  ASSERT_EQ(recorder.Lines().size(), 1u);
  EXPECT_EQ(recorder.Lines()[0].text, "Datei /tmp/ä.xml, Kennung nä, Nummer [42], 007%");
  EXPECT_EQ(recorder.Lines()[0].level, 8);
}

TEST(TraceWriteFormatTest, NothingIsFormattedWhenLevelIsOff) {
  TraceRecorder recorder({{"*", 2}});
  TraceWriteFormat(Info, kCat, L"%s", L"x");
  TraceWrite(Detail, kCat, L"y");
  TraceWriteA(Info, "Kelo.Rimo.ToolsLib", "z");
  EXPECT_TRUE(recorder.Lines().empty());
}

TEST(TraceWriteFormatTest, LongTextsAreFormattedWholeThenCut) {
  TraceRecorder recorder({{"*", 16}});
  std::wstring longArg(10000, L'a');
  longArg += L"END";
  TraceWriteFormat(Info, kCat, L"<%s>", longArg.c_str());
  ASSERT_EQ(recorder.Lines().size(), 1u);
  EXPECT_EQ(recorder.Lines()[0].text.size(), 4095u);
  EXPECT_EQ(recorder.Lines()[0].text.substr(0, 3), "<aa");

  // A multi-byte character is never split at the cut.
  recorder.Clear();
  std::wstring umlauts(3000, L'ü');
  TraceWriteFormat(Info, kCat, L"%s", umlauts.c_str());
  ASSERT_EQ(recorder.Lines().size(), 1u);
  EXPECT_EQ(recorder.Lines()[0].text.size(), 4094u);
}

TEST(TraceWriteFormatTest, CategoryIsCutTo127Bytes) {
  std::string longCategory(200, 'c');
  TraceRecorder recorder({{longCategory.substr(0, 127), 16}});
  std::wstring wideCategory(200, L'c');
  TraceWriteFormat(Info, wideCategory.c_str(), L"text");
  TraceWrite(Info, wideCategory.c_str(), L"text2");
  ASSERT_EQ(recorder.Lines().size(), 2u);
  EXPECT_EQ(recorder.Lines()[0].category.size(), 127u);
}

TEST(TraceWriteFormatTest, ABadFormatGivesAnEmptyText) {
  TraceRecorder recorder({{"*", 16}});
  TraceWriteFormat(Info, kCat, L"%");
  ASSERT_EQ(recorder.Lines().size(), 1u);
  EXPECT_EQ(recorder.Lines()[0].text, "");
}

}  // namespace
}  // namespace rimo::diag
