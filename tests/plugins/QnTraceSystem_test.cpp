// The trace plug-in, loaded as the component loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

class TracePluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle_ = dlopen(RIMO_LIB_DIR "/QnTraceSystem001.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }

  template <typename F>
  static F Fn(const char* name) {
    void* symbol = dlsym(handle_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return reinterpret_cast<F>(symbol);
  }

  void SetUp() override {
    Fn<void (*)()>("InitTraceSystem")();
    Fn<bool (*)(const char*)>("RemoveListener")("console");
    Fn<void (*)(bool)>("SetTracingEnabled")(true);
    file_ = dir_.path() + "/trace.log";
    ASSERT_TRUE(Fn<bool (*)(const char*)>("AddTextfileListener")(file_.c_str()));
  }
  void TearDown() override { Fn<bool (*)(const char*)>("RemoveListener")(file_.c_str()); }

  bool Configure(const char* text) { return Fn<bool (*)(const char*)>("ConfigureTrace")(text); }
  bool ShouldTraceCategory(int32_t level, const char* category) {
    return Fn<bool (*)(int32_t, const char*)>("ShouldTraceCategory")(level, category);
  }
  bool ShouldTrace(int32_t level) { return Fn<bool (*)(int32_t)>("ShouldTrace")(level); }
  int32_t Write(int32_t level, const char* category, const char* text) {
    return Fn<int32_t (*)(int32_t, const char*, const char*)>("Write")(level, category, text);
  }
  std::vector<std::string> FileLines() {
    std::vector<std::string> lines;
    std::istringstream in(rimo::testing::ReadFile(file_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  static void* handle_;
  rimo::testing::TempDir dir_;
  std::string file_;
};

void* TracePluginTest::handle_ = nullptr;

TEST_F(TracePluginTest, EveryEntryPointTheComponentNeedsIsExported) {
  for (const char* name :
       {"InitTraceSystem", "Write", "WriteEntry", "Dump", "DumpEntry", "ConfigureTrace", "IsTracingEnabled",
        "SetTracingEnabled", "SetAppTracingLevel", "GetAppTracingLevel", "ShouldTrace", "ShouldTraceCategory",
        "SetLevel", "GetLevel", "ListenerExists", "AddListener", "AddConsoleListener", "AddTextfileListener",
        "RemoveListenerCategory", "RemoveListener", "RemoveCategory", "RemoveAllCategories",
        "DoneTraceSystem"}) {
    EXPECT_NE(dlsym(handle_, name), nullptr) << name;
  }
}

TEST_F(TracePluginTest, LevelsAreThresholdsPerCategoryWithWildcardAndParents) {
  ASSERT_TRUE(Configure("*=2, Kelo.Rimo.DataDll=16 ,Kelo.Rimo=4,bad,Kelo.X=abc,=3"));
  struct Case {
    int32_t level;
    const char* category;
    bool traced;
  } cases[] = {
      {16, "Kelo.Rimo.DataDll", true},   {8, "kelo.rimo.datadll", true},
      {1, "Kelo.Rimo.DataDll", true},    {16, "Kelo.Rimo.ToolsLib", false},
      {4, "Kelo.Rimo.ToolsLib", true},   {2, "Other", true},
      {4, "Other", false},               {0, "Kelo.Rimo.DataDll", false},
      {8, "Kelo.X", false},              {2, "Kelo.RimoX", true},
      {4, "Kelo.RimoX", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.category) + " at " + std::to_string(c.level));
    EXPECT_EQ(ShouldTraceCategory(c.level, c.category), c.traced);
  }
  EXPECT_TRUE(ShouldTrace(16));
  EXPECT_FALSE(ShouldTrace(32));
}

TEST_F(TracePluginTest, NoConfigurationTracesNothing) {
  ASSERT_TRUE(Configure(""));
  EXPECT_FALSE(ShouldTrace(1));
  EXPECT_FALSE(ShouldTraceCategory(1, "Kelo.Rimo.DataDll"));
  EXPECT_EQ(Write(1, "Kelo.Rimo.DataDll", "x"), 0);
  EXPECT_TRUE(FileLines().empty());
}

TEST_F(TracePluginTest, LineCarriesTimePidTidLevelCategoryAndText) {
  ASSERT_TRUE(Configure("*=16"));
  Write(8, "Kelo.Rimo.DataDll", "Zeile mit\nUmbruch");
  auto lines = FileLines();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      lines[0], m,
      std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\t(\d+)\t(\d+)\t8\tKelo\.Rimo\.DataDll\tZeile mit Umbruch)")))
      << lines[0];
  EXPECT_EQ(std::stoi(m[1]), getpid());
}

TEST_F(TracePluginTest, ManyThreadsWriteWholeLines) {
  ASSERT_TRUE(Configure("*=16"));
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      std::string text = "thread-" + std::to_string(t) + "-" + std::string(200, 'x');
      for (int i = 0; i < kLines; ++i) Write(16, "Kelo.Rimo.DataDll", text.c_str());
    });
  }
  for (auto& t : threads) t.join();
  auto lines = FileLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::regex whole(R"(.*\tKelo\.Rimo\.DataDll\tthread-\d-x{200})");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(TracePluginTest, DisabledTracingAndExcludedCategoriesWriteNothing) {
  ASSERT_TRUE(Configure("*=16"));
  Fn<void (*)(bool)>("SetTracingEnabled")(false);
  EXPECT_EQ(Write(1, "A", "off"), 0);
  Fn<void (*)(bool)>("SetTracingEnabled")(true);
  ASSERT_TRUE(Fn<bool (*)(const char*, const char*)>("RemoveListenerCategory")(file_.c_str(), "B"));
  Write(1, "B", "excluded");
  Write(1, "A", "kept");
  auto lines = FileLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\tA\tkept"), std::string::npos);
}

}  // namespace
