#include "config/OsVersion.h"

#include <gtest/gtest.h>

#include <string>

namespace rimo::config {
namespace {

TEST(OsVersionTest, VersionRecordsMapToCodesAndNames) {
  struct Case {
    OsVersionInfo info;
    int code;
    const char* name;
  } cases[] = {
      {{4, 0, 0, true, false}, 0, "Windows Version UNKNOWN"},
      {{5, 0, 0, true, false}, 0, "Windows Version UNKNOWN"},
      {{5, 1, 0, true, false}, 1, "Windows XP"},
      {{5, 1, 1, true, false}, 2, "Windows XP SP1"},
      {{5, 1, 2, true, false}, 3, "Windows XP SP2"},
      {{5, 1, 3, true, false}, 4, "Windows XP SP3"},
      {{5, 1, 4, true, false}, 1, "Windows XP"},
      {{5, 2, 0, false, false}, 5, "Windows 2003 Server"},
      {{5, 2, 0, false, true}, 6, "Windows 2003 Server R2"},
      {{6, 0, 0, true, false}, 7, "Windows VISTA"},
      {{6, 0, 1, true, false}, 8, "Windows VISTA SP1"},
      {{6, 0, 2, true, false}, 9, "Windows VISTA SP2"},
      {{6, 0, 2, false, false}, 10, "Windows 2008 Server"},
      {{6, 1, 0, true, false}, 11, "Windows 7"},
      {{6, 1, 1, true, false}, 12, "Windows 7 SP1"},
      {{6, 1, 1, false, false}, 13, "Windows 2008 Server R2"},
      {{6, 2, 0, true, false}, 14, "Windows 8"},
      {{6, 2, 0, false, false}, 15, "Windows 2012 Server"},
      {{6, 3, 0, true, false}, 16, "Windows 8.1"},
      {{6, 3, 0, false, false}, 17, "Windows 2012 Server R2"},
      {{6, 4, 0, true, false}, 0, "Windows Version UNKNOWN"},
      {{8, 0, 0, true, false}, 0, "Windows Version UNKNOWN"},
      {{10, 0, 0, true, false}, 18, "Windows 10"},
      {{10, 0, 0, false, false}, 19, "Windows 2016 Server"},
      {{10, 1, 0, true, false}, 0, "Windows Version UNKNOWN"},
      {{11, 3, 0, true, false}, 100, "Windows Major > 10 und Minor x (nach Win10)"},
      {{11, 0, 0, false, false}, 101, "Server Windows Major > 10 und Minor x (nach Server2016)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.info.major) + "." + std::to_string(c.info.minor));
    EXPECT_EQ(OsCodeOf(c.info), c.code);
    EXPECT_STREQ(OsCodeName(c.code), c.name);
  }
  EXPECT_STREQ(OsCodeName(20), "Windows Version UNKNOWN");
  EXPECT_STREQ(OsCodeName(-1), "Windows Version UNKNOWN");
}

}  // namespace
}  // namespace rimo::config
