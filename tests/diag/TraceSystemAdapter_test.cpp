#include "diag/TraceSystemAdapter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/ConfigSandbox.h"
#include "support/TempDir.h"

namespace rimo::diag {
namespace {

TEST(TraceSystemAdapterTest, MissingLibraryIsSearchedOnceAndEverythingAnswersFalse) {
  int locatorCalls = 0;
  TraceSystemAdapter adapter([&] {
    ++locatorCalls;
    return std::vector<std::string>{"/nonexistent/QnTraceSystem001.so"};
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(adapter.ShouldTrace(1));
        EXPECT_FALSE(adapter.ShouldTraceCategory(1, "Kelo.Rimo.DataDll"));
        EXPECT_FALSE(adapter.Write(1, "Kelo.Rimo.DataDll", "x"));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(locatorCalls, 1);
  EXPECT_EQ(adapter.SearchCount(), 1);
}

TEST(TraceSystemAdapterTest, TraceCallDuringTheSearchAnswersFalseInsteadOfRecursing) {
  TraceSystemAdapter* self = nullptr;
  bool innerAnswer = true;
  TraceSystemAdapter adapter([&] {
    innerAnswer = self->ShouldTrace(1);
    return std::vector<std::string>{};
  });
  self = &adapter;
  EXPECT_FALSE(adapter.ShouldTrace(1));
  EXPECT_FALSE(innerAnswer);
  EXPECT_EQ(adapter.SearchCount(), 1);
}

TEST(TraceSystemAdapterTest, LibraryLackingAnEntryPointIsNeverUsed) {
  TraceSystemAdapter adapter([] { return std::vector<std::string>{RIMO_TEST_LIB_DIR "/IncompleteTrace.so"}; });
  EXPECT_FALSE(adapter.ShouldTrace(1));
  EXPECT_FALSE(adapter.Write(1, "Kelo.Rimo.DataDll", "x"));
  EXPECT_EQ(adapter.LoadedPath(), "");
}

TEST(TraceSystemAdapterTest, FirstExistingCandidateIsLoadedAndBound) {
  testing::TempDir dir;
  const std::string file = dir.path() + "/trace.log";
  setenv("KELO_TRACE", "Kelo.Rimo.DataDll=8", 1);
  setenv("KELO_TRACE_FILE", file.c_str(), 1);
  const std::string plugin = RIMO_LIB_DIR "/QnTraceSystem001.so";
  TraceSystemAdapter adapter([&] { return std::vector<std::string>{dir.path() + "/missing.so", plugin}; });
  // The plug-in is configured once per process; set its levels for this test.
  ASSERT_TRUE(adapter.Load());
  EXPECT_EQ(adapter.LoadedPath(), plugin);
  EXPECT_TRUE(adapter.ShouldTraceCategory(8, L"Kelo.Rimo.DataDll"));
  EXPECT_FALSE(adapter.ShouldTraceCategory(16, L"Kelo.Rimo.DataDll"));
  EXPECT_FALSE(adapter.ShouldTraceCategory(1, L"Other"));
  EXPECT_TRUE(adapter.Write(8, L"Kelo.Rimo.DataDll", L"Grüße"));
  unsetenv("KELO_TRACE");
  unsetenv("KELO_TRACE_FILE");

  std::ifstream in(file);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_NE(content.str().find("\t8\tKelo.Rimo.DataDll\tGrüße\n"), std::string::npos) << content.str();
}

// The directory library sits in a later layer and registers its lookup at
// start-up; the search must still begin in the configured program directory.
TEST(TraceSystemAdapterTest, DefaultSearchBeginsInTheConfiguredProgramDirectory) {
  testing::ConfigSandbox box;
  const std::string program = box.Path("opt/P4100002/bin");
  std::filesystem::create_directories(program);
  box.WriteRegistry(testing::RegKey("SOFTWARE\\QUANDEL Kelo Compact", "\"ProgKey\"=\"" + program + "\""));
  const std::vector<std::string> candidates = TraceSystemAdapter::DefaultCandidates();
  ASSERT_FALSE(candidates.empty());
  EXPECT_EQ(candidates.front(), program + "/" + kTraceLibraryName);
}

}  // namespace
}  // namespace rimo::diag
