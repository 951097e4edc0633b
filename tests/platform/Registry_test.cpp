#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.h"

namespace rimo::platform {
namespace {

constexpr char kSample[] = R"(Windows Registry Editor Version 5.00

; a comment
[HKEY_LOCAL_MACHINE\SOFTWARE\QUANDEL Kelo Compact]
"ProgKey"="/opt/kelo/"
"Quoted"="say \"hi\" \\ back"
"BuildNumber"=dword:0000007b
@="default value"
"Binary"=hex:01,02,\
  03,04
"AfterBinary"="still read"
this line is garbage
"NoEquals" "x"
"BadDword"=dword:xyz
"TooLongDword"=dword:123456789
"Deleted"=-

[HKEY_LOCAL_MACHINE\SOFTWARE\QUANDELeg\Components\P4100001\Versions\2.10\ConfigDir]
@="/a"
[HKEY_LOCAL_MACHINE\SOFTWARE\QUANDELeg\Components\P4100001\Versions\2.9\ConfigDir]
@="/b"
[HKEY_LOCAL_MACHINE\SOFTWARE\QUANDELeg\Components\P4100001\Versions\1.0]
[HKEY_CURRENT_USER\Software\Other]
"X"="not the machine"
[-HKEY_LOCAL_MACHINE\SOFTWARE\Gone]
)";

TEST(RegistryDataTest, ReadsStringsDwordsAndDefaultValues) {
  RegistryData data = RegistryData::Parse(kSample);
  struct Case {
    const char* key;
    const char* name;
    std::optional<std::string> expected;
  } cases[] = {
      {"SOFTWARE\\QUANDEL Kelo Compact", "ProgKey", "/opt/kelo/"},
      {"software\\quandel kelo compact", "progkey", "/opt/kelo/"},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact\\", "ProgKey", "/opt/kelo/"},
      {"SOFTWARE\\QUANDEL Kelo Compact", "Quoted", "say \"hi\" \\ back"},
      {"SOFTWARE\\QUANDEL Kelo Compact", "", "default value"},
      {"SOFTWARE\\QUANDEL Kelo Compact", "AfterBinary", "still read"},
      {"SOFTWARE\\QUANDEL Kelo Compact", "Binary", std::nullopt},
      {"SOFTWARE\\QUANDEL Kelo Compact", "BuildNumber", std::nullopt},
      {"SOFTWARE\\QUANDEL Kelo Compact", "Missing", std::nullopt},
      {"SOFTWARE\\QUANDEL Kelo Compact", "Deleted", std::nullopt},
      {"Software\\Other", "X", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " / " + c.name);
    EXPECT_EQ(data.ReadString(c.key, c.name), c.expected);
  }
  EXPECT_EQ(data.ReadDword("SOFTWARE\\QUANDEL Kelo Compact", "BuildNumber"), 123u);
  EXPECT_EQ(data.ReadDword("SOFTWARE\\QUANDEL Kelo Compact", "BadDword"), std::nullopt);
  EXPECT_EQ(data.ReadDword("SOFTWARE\\QUANDEL Kelo Compact", "TooLongDword"), std::nullopt);
  EXPECT_EQ(data.ReadDword("SOFTWARE\\QUANDEL Kelo Compact", "ProgKey"), std::nullopt);
}

TEST(RegistryDataTest, SubKeysIncludeImpliedKeysOnceWithTheirWrittenNames) {
  RegistryData data = RegistryData::Parse(kSample);
  EXPECT_EQ(data.SubKeys("software\\QUANDELEG\\components\\P4100001\\versions"),
            (std::vector<std::string>{"1.0", "2.10", "2.9"}));
  EXPECT_TRUE(data.KeyExists("SOFTWARE\\QUANDELeg\\Components"));
  EXPECT_FALSE(data.KeyExists("SOFTWARE\\QUANDELeg\\Comp"));
  EXPECT_FALSE(data.KeyExists("SOFTWARE\\Gone"));
}

TEST(RegistryDataTest, KeyKnownOnlyThroughSubkeysExistsBesideASiblingThatSortsFirst) {
  // "8" + NUL sorts before "8\\": the sibling must not hide the parent.
  std::string text = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\8";
  text += std::string("\0x", 2);
  text += "]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\8\\ConfigDir]\n";
  RegistryData data = RegistryData::Parse(text);
  for (const std::string& sub : data.SubKeys("SOFTWARE")) {
    EXPECT_TRUE(data.KeyExists("SOFTWARE\\" + sub)) << sub;
  }
  EXPECT_EQ(data.SubKeys("SOFTWARE").size(), 2u);
}

TEST(RegistryDataTest, ReadsUtf16FilesInEitherOrderWithOrWithoutByteOrderMark) {
  std::string utf8 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\r\n\"Name\"=\"Grüße\"\r\n";
  const std::wstring wide = L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\r\n\"Name\"=\"Grüße\"\r\n";
  auto utf16 = [&](bool bigEndian, bool bom) {
    std::string out = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (wchar_t c : wide) {
      const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>((c >> 8) & 0xFF);
      out.push_back(bigEndian ? hi : lo);
      out.push_back(bigEndian ? lo : hi);
    }
    return out;
  };
  for (bool bigEndian : {false, true}) {
    for (bool bom : {true, false}) {
      SCOPED_TRACE(std::string(bigEndian ? "big" : "little") + (bom ? " with" : " without") + " BOM");
      const RegistryData data = RegistryData::Parse(utf16(bigEndian, bom));
      EXPECT_EQ(data.ReadString("SOFTWARE\\K", "Name"), "Grüße");
      EXPECT_TRUE(data.Problems().empty());
    }
  }
  EXPECT_EQ(RegistryData::Parse("\xEF\xBB\xBF" + utf8).ReadString("SOFTWARE\\K", "Name"), "Grüße");
}

TEST(RegistryDataTest, LinesThatCannotBeReadAreNamed) {
  const struct {
    const char* name;
    std::string text;
    std::string problem;  // the first one named
  } cases[] = {
      {"INI style, no key line", "[Kelo]\nRimoServiceUrl=https://x/\n",
       "line 1: the key [Kelo] is not under HKEY_LOCAL_MACHINE\\ and is ignored"},
      {"value before any key", "\"RimoServiceUrl\"=\"https://x/\"\n", "line 1: a value outside a key"},
      {"unterminated quote", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n\n\"Url\"=\"https://x/\n",
       "line 3: a quoted value that is not closed"},
      {"oversized dword", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n\"T\"=dword:123456789\n",
       "line 2: a dword that is not 1 to 8 hexadecimal digits"},
      {"name without quotes", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\nUrl=\"x\"\n", "line 2: a name that is not in quotes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RegistryData data = RegistryData::Parse(c.text);
    ASSERT_FALSE(data.Problems().empty());
    EXPECT_EQ(data.Problems().front().rfind(c.problem, 0), 0u) << data.Problems().front();
  }
  // An exported file's version line is no problem.
  EXPECT_TRUE(RegistryData::Parse("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n"
                                  "\"a\"=\"b\"\n")
                  .Problems()
                  .empty());
}

TEST(RegistryFileTest, AFileThatCannotBeReadIsNamed) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/registry.reg";
  std::filesystem::create_directories(path);  // a folder in the file's place
  RegistryFile file(path);
  ASSERT_FALSE(file.Problems().empty());
  EXPECT_EQ(file.Problems().front().rfind("the file cannot be read", 0), 0u) << file.Problems().front();
  std::filesystem::remove(path);
  EXPECT_TRUE(file.Problems().empty()) << "a missing file is an empty registry, no problem";
}

TEST(RegistryDataTest, GarbageNeverFails) {
  for (const char* text : {"", "[", "[]", "[HKEY_LOCAL_MACHINE\\", "\"a\"=\"b\"", "[HKEY_LOCAL_MACHINE\\X]\n\"a",
                           "[HKEY_LOCAL_MACHINE\\X]\n@", "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"unterminated"}) {
    SCOPED_TRACE(text);
    RegistryData data = RegistryData::Parse(text);
    EXPECT_EQ(data.ReadString("X", "a"), std::nullopt);
  }
}

// What exported files contain, beyond strings and DWORDs.
TEST(RegistryDataTest, ReadsWhatExportedFilesContain) {
  const std::string text = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Keep] ; a comment after the header
"Name"="kept"
"Gone"="x"
"Gone"=-
"Expand"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Big"=hex(b):01,00,00,00,02,00,00,00
"Bytes"=hex:de,ad,\
  be,ef
"Dword4"=hex(4):7b,00,00,00
"Cut"=hex:01,02,\
[HKEY_LOCAL_MACHINE\SOFTWARE\AfterCut]
"Seen"="yes"

[HKEY_LOCAL_MACHINE\SOFTWARE\Removed]
"A"="1"
[HKEY_LOCAL_MACHINE\SOFTWARE\Removed\Child]
"B"="2"
[-HKEY_LOCAL_MACHINE\SOFTWARE\Removed]

[HKEY_LOCAL_MACHINE\SOFTWARE\Straße\ÄÖÜ]
"Größe"="groß"
)";
  const RegistryData data = RegistryData::Parse(text);
  EXPECT_EQ(data.ReadString("SOFTWARE\\Keep", "Name"), "kept");
  EXPECT_EQ(data.ReadString("SOFTWARE\\Keep", "Gone"), std::nullopt) << "\"name\"=- deletes";
  EXPECT_EQ(data.ReadString("SOFTWARE\\Keep", "Expand"), "%PATH%");
  EXPECT_EQ(data.ReadString("SOFTWARE\\Keep", "Multi"), std::nullopt) << "a list is no string";
  EXPECT_EQ(data.ReadDword("SOFTWARE\\Keep", "Big"), std::nullopt) << "a QWORD is no DWORD";
  EXPECT_EQ(data.ReadString("SOFTWARE\\Keep", "Bytes"), std::nullopt);
  EXPECT_EQ(data.ReadDword("SOFTWARE\\Keep", "Dword4"), 123u);
  EXPECT_EQ(data.ReadString("SOFTWARE\\AfterCut", "Seen"), "yes") << "a continued value never swallows a header";
  EXPECT_FALSE(data.KeyExists("SOFTWARE\\Removed"));
  EXPECT_FALSE(data.KeyExists("SOFTWARE\\Removed\\Child")) << "[-KEY] removes the subkeys too";
  EXPECT_EQ(data.ReadString("software\\strasse\\äöü", "größe"), std::nullopt) << "ß is not ss";
  EXPECT_EQ(data.ReadString("software\\STRAßE\\äöü", "GRÖßE"), "groß") << "case beyond ASCII";
}

// Found by fuzzing: folding case may change a name's length in bytes.
TEST(RegistryDataTest, SubKeysAreFoundUnderTheirWrittenNames) {
  const std::string notUtf8 = std::string("K") + '\xFF' + '\xFF' + "elo";
  const std::string sharpS = "Stra\u00DFe";   // folds to no shorter text
  const std::string dotless = "\u0131";       // ı: two bytes, upper case I: one
  const std::string text = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + notUtf8 + "\\Sub]\n\"A\"=\"1\"\n" +
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + sharpS + "\\" + dotless + "\\Child]\n\"B\"=\"2\"\n";
  const RegistryData data = RegistryData::Parse(text);
  for (const std::string& key : {std::string("SOFTWARE"), "SOFTWARE\\" + notUtf8, "SOFTWARE\\" + sharpS,
                                 "SOFTWARE\\" + sharpS + "\\" + dotless}) {
    SCOPED_TRACE(key);
    const auto subKeys = data.SubKeys(key);
    EXPECT_FALSE(subKeys.empty());
    for (const std::string& sub : subKeys) EXPECT_TRUE(data.KeyExists(key + "\\" + sub)) << sub;
  }
  EXPECT_EQ(data.ReadString("software\\k" + std::string(2, '\xFF') + "ELO\\sub", "a"), "1");
  // A component in proper UTF-8 beside one that is not: each folds alike.
  const std::string mixed = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a\u023Fs\\" + std::string(3, '\xC7') + "]\n\"C\"=\"3\"\n";
  const RegistryData both = RegistryData::Parse(mixed);
  for (const std::string& sub : both.SubKeys("SOFTWARE\\a\u023Fs")) {
    EXPECT_TRUE(both.KeyExists("SOFTWARE\\a\u023Fs\\" + sub));
  }
  EXPECT_EQ(both.SubKeys("SOFTWARE").size(), 1u);
  EXPECT_TRUE(both.KeyExists("software\\A\u2C7Es"));
}

TEST(RegistryFileTest, SeesChangesToTheFileAndTreatsAMissingFileAsEmpty) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/registry.reg";
  RegistryFile registry(path);
  EXPECT_FALSE(registry.KeyExists("SOFTWARE\\K"));
  testing::WriteFile(path, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n\"V\"=\"1\"\n");
  EXPECT_EQ(registry.ReadString("SOFTWARE\\K", "V"), "1");
  testing::WriteFile(path, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n\"V\"=\"22\"\n");
  EXPECT_EQ(registry.ReadString("SOFTWARE\\K", "V"), "22");
  std::filesystem::remove(path);
  EXPECT_EQ(registry.ReadString("SOFTWARE\\K", "V"), std::nullopt);
}

}  // namespace
}  // namespace rimo::platform
