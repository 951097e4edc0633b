// Tracing as a host sees it. The trace settings are read once per process,
// when the library first traces, so each test sets them before it loads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "host/HostLibrary.h"
#include "support/TempDir.h"

namespace rimo::host {
namespace {

TEST(HostTraceTest, PluginBesideTheLibraryReceivesEntryAndExitLines) {
  testing::TempDir dir;
  const std::string file = dir.path() + "/trace.log";
  setenv("KELO_TRACE", "*=16", 1);
  setenv("KELO_TRACE_FILE", file.c_str(), 1);
  HostLibrary lib;
  ASSERT_TRUE(lib.ok());
  IScDataStatus* s = lib.createStatus();
  IRimoData* c = lib.create(s, 1);
  c->LoadRimoResponseFromFile(L"/nonexistent.xml");
  lib.destroy(c);
  lib.deleteStatus(s);

  std::string log = testing::ReadFile(file);
  const std::string prefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\t\d+\t\d+\t16\tKelo\.Rimo\.DataDll\t)";
  for (const char* line : {"---> Beginn: CreateRimoDataObject \\(\\d+\\)  RimoDataExports\\.cpp",
                           "<--- Ende: CreateRimoDataObject", "---> Beginn: RimoData::ExecuteGetFromFile .*",
                           "<--- Ende: RimoData::ExecuteGetFromFile", "<--- Ende: RimoData::~RimoData"}) {
    EXPECT_TRUE(std::regex_search(log, std::regex("(^|\n)" + prefix + line + "\n"))) << line << "\n" << log;
  }
}

TEST(HostTraceTest, WithoutThePluginNothingIsWritten) {
  // A copy of the library in a directory without the plug-in.
  testing::TempDir dir;
  const std::string copy = dir.path() + "/librimodata.so";
  std::filesystem::copy_file(RIMO_LIB_DIR "/librimodata.so", copy);
  const std::string file = dir.path() + "/trace.log";
  setenv("KELO_TRACE", "*=16", 1);
  setenv("KELO_TRACE_FILE", file.c_str(), 1);
  HostLibrary lib(copy);
  ASSERT_TRUE(lib.ok());
  IScDataStatus* s = lib.createStatus();
  IRimoData* c = lib.create(s, 1);
  c->LoadRimoResponseFromFile(L"/nonexistent.xml");
  lib.destroy(c);
  lib.deleteStatus(s);
  EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace rimo::host
