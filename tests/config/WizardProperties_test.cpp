#include "config/WizardProperties.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/RimoPaths.h"
#include "platform/Utf8.h"
#include "support/ConfigSandbox.h"

namespace rimo::config {
namespace {

namespace fs = std::filesystem;
using testing::ConfigSandbox;
using testing::WriteFile;

class WizardPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(box_.Path("opt/Quandel/Konfig/KeloCompact")); }
  std::string SettingsPath() { return box_.Path("opt/Quandel/Konfig/KeloCompact/WizardProperties.ini"); }
  ConfigSandbox box_;
};

TEST_F(WizardPropertiesTest, SettingsFileLiesInTheConfigurationDirectory) {
  CWizardProperties wizard;
  EXPECT_EQ(std::string(wizard.FilePath()), SettingsPath());
}

TEST_F(WizardPropertiesTest, Alerts) {
  struct Case {
    const char* name;
    std::string plugInInfos;
    std::vector<int32_t> alerts;
  } cases[] = {
      {"numbers, zero and text", "SuspendableAlerts=30,0,abc,14\nNonSuspendableAlerts=7", {30, 14, 7}},
      {"nothing", "", {0}},
      {"29 characters", "SuspendableAlerts=1,2,3,4,5,6,7,8,9,10,11,12,13\nNonSuspendableAlerts=5",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 5}},
      {"30 characters do not fit", "SuspendableAlerts=1,2,3,4,5,6,7,8,9,10,11,12,133\nNonSuspendableAlerts=5", {5}},
      {"trailing comma", "SuspendableAlerts=60,\nNonSuspendableAlerts=1", {60, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(SettingsPath(), "[PlugInInfos]\n" + c.plugInInfos + "\n");
    CWizardProperties wizard;
    EXPECT_TRUE(wizard.ReadAlerts());
    EXPECT_EQ(wizard.Alerts(), c.alerts);
  }
}

TEST_F(WizardPropertiesTest, GetAlertsNeedsRoomForAllOfThem) {
  WriteFile(SettingsPath(), "[PlugInInfos]\nSuspendableAlerts=30,14\nNonSuspendableAlerts=7\n");
  CWizardProperties wizard;
  int32_t alerts[3] = {-5, -5, -5};
  EXPECT_FALSE(wizard.GetAlerts(alerts, 2));
  EXPECT_EQ(alerts[0], -5);
  EXPECT_TRUE(wizard.GetAlerts(alerts, 3));
  EXPECT_EQ(alerts[0], 30);
  EXPECT_EQ(alerts[2], 7);
}

TEST_F(WizardPropertiesTest, CachingFollowsCacheProperties) {
  for (bool cache : {true, false}) {
    SCOPED_TRACE(cache ? "cached" : "read every time");
    WriteFile(SettingsPath(), std::string("[Allgemein]\nstoreResponse=0\ncacheProperties=") + (cache ? "1" : "0") +
                                  "\n[PlugInInfos]\nNonSuspendableAlerts=3\n");
    CWizardProperties wizard;
    EXPECT_FALSE(wizard.GetStoreResponse());
    EXPECT_EQ(wizard.Alerts().size(), 0u);
    wizard.ReadAlerts();
    WriteFile(SettingsPath(), std::string("[Allgemein]\nstoreResponse=1\ncacheProperties=") + (cache ? "1" : "0") +
                                  "\n[PlugInInfos]\nNonSuspendableAlerts=9\n");
    EXPECT_EQ(wizard.GetStoreResponse(), !cache);
    wizard.ReadAlerts();
    EXPECT_EQ(wizard.Alerts(), std::vector<int32_t>{cache ? 3 : 9});
  }
}

TEST_F(WizardPropertiesTest, MissingSettingsGiveTheDefaults) {
  CWizardProperties wizard;
  EXPECT_TRUE(wizard.GetStoreResponse());
  EXPECT_TRUE(wizard.ReadAlerts());
  EXPECT_EQ(wizard.Alerts(), std::vector<int32_t>{0});
}

TEST(RimoPathsTest, ResponseAndStatusFilesLieInTheDataDirectory) {
  ConfigSandbox box;
  CRimoPaths paths;
  wchar_t response[260];
  char status[260];
  ASSERT_TRUE(paths.GetResponseFilePath(L"U1", response));
  ASSERT_TRUE(paths.GetStatusIniPath(L"U1", status));
  EXPECT_EQ(platform::WideToUtf8(response), box.Path("var/lib/Quandel/Daten/P4100002/RIMO/Response/U1.xml"));
  EXPECT_EQ(std::string(status), box.Path("var/lib/Quandel/Daten/P4100002/RIMO/Status/U1.ini"));
}

TEST(RimoPathsTest, UserIdsThatNameAnotherDirectoryAreRefused) {
  ConfigSandbox box;
  CRimoPaths paths;
  for (const wchar_t* id : {L"", L".", L"..", L"../../etc/passwd", L"a/b"}) {
    wchar_t response[260] = L"untouched";
    char status[260] = "untouched";
    EXPECT_FALSE(paths.GetResponseFilePath(id, response));
    EXPECT_FALSE(paths.GetStatusIniPath(id, status));
    EXPECT_STREQ(response, L"untouched");
    EXPECT_STREQ(status, "untouched");
  }
  EXPECT_FALSE(paths.GetResponseFilePath(nullptr, nullptr));
}

TEST(RimoPathsTest, PlugInsAreFoundInThisModulesDirectoryWithoutProgKey) {
  ConfigSandbox box;
  CRimoPaths paths;
  char path[260];
  ASSERT_TRUE(paths.GetCardBaseLibraryPath(path, sizeof path));
  EXPECT_EQ(std::string(path), box.moduleDir() + "QNCardBase002.so");
  ASSERT_TRUE(paths.GetAsn1LibraryPath(path, sizeof path));
  EXPECT_EQ(std::string(path), box.moduleDir() + "QNCardAsn1N003.so");
  char tiny[8] = "xxxxxxx";
  EXPECT_TRUE(paths.GetAsn1LibraryPath(tiny, sizeof tiny)) << "the directory was found";
  EXPECT_EQ(tiny[0], '\0');
}

}  // namespace
}  // namespace rimo::config
