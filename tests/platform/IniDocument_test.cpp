#include "platform/IniDocument.h"

#include "platform/FileIo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/TempDir.h"

namespace rimo::platform {
namespace {

constexpr char kSample[] =
    "; settings\n"
    "orphan=before any section\n"
    "[Allgemein]\n"
    "storeResponse = 1\n"
    "Quoted=\"  spaced  \"\n"
    "\n"
    "# a hash comment\n"
    "[PlugInInfos]\r\n"
    "SuspendableAlerts=30,0,abc,14\r\n"
    "not a key line\n"
    "[allgemein]\n"
    "storeResponse=0\n";

TEST(IniDocumentTest, GetsValuesWithoutRegardToCase) {
  IniDocument doc = IniDocument::Parse(kSample);
  EXPECT_EQ(doc.Get("ALLGEMEIN", "STORERESPONSE"), "1") << "the first section of a name wins";
  EXPECT_EQ(doc.Get("Allgemein", "Quoted"), "  spaced  ");
  EXPECT_EQ(doc.Get("PlugInInfos", "SuspendableAlerts"), "30,0,abc,14");
  EXPECT_EQ(doc.Get("Allgemein", "orphan"), std::nullopt);
  EXPECT_EQ(doc.Get("Allgemein", "missing"), std::nullopt);
  EXPECT_EQ(doc.Get("Nowhere", "storeResponse"), std::nullopt);
}

TEST(IniDocumentTest, SetKeepsEveryOtherLineAndAddsWhatIsMissing) {
  IniDocument doc = IniDocument::Parse(kSample);
  ASSERT_TRUE(doc.Set("allgemein", "storeresponse", "0"));
  ASSERT_TRUE(doc.Set("Allgemein", "New", "x"));
  ASSERT_TRUE(doc.Set("Status", "QuerySucceeded", "1"));
  ASSERT_TRUE(doc.Set("PlugInInfos", "SuspendableAlerts", nullptr));
  ASSERT_TRUE(doc.Set("PlugInInfos", "AbsentKey", nullptr));
  EXPECT_EQ(doc.Serialise(),
            "; settings\n"
            "orphan=before any section\n"
            "[Allgemein]\n"
            "storeResponse=0\n"
            "Quoted=\"  spaced  \"\n"
            "New=x\n"
            "\n"
            "# a hash comment\n"
            "[PlugInInfos]\r\n"
            "not a key line\n"
            "[allgemein]\n"  // its copy of storeResponse went: it could never be read again
            "[Status]\n"
            "QuerySucceeded=1\n");
}

TEST(IniDocumentTest, RefusesNamesAndValuesThatWouldChangeTheFileStructure) {
  IniDocument doc = IniDocument::Parse("[S]\nk=v\n");
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } refused[] = {
      {"S", "k", "two\nlines"}, {"S", "k", "cr\r"},  {"S\n[X]", "k", "v"}, {"S]", "k", "v"},
      {"S", "a=b", "v"},        {"S", "[k", "v"},    {"S", ";k", "v"},     {"", "k", "v"},
      {"S", "", "v"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_FALSE(doc.Set(c.section, c.key, c.value));
  }
  EXPECT_EQ(doc.Serialise(), "[S]\nk=v\n");
}

TEST(IniDocumentTest, ByteOrderMarkIsKeptAndASecondOneIsText) {
  const std::string text = "\xEF\xBB\xBF\xEF\xBB\xBF[A]\nk=old\n[A]\nk=x\n";
  IniDocument doc = IniDocument::Parse(text);
  EXPECT_EQ(doc.Serialise(), text);
  ASSERT_TRUE(doc.Set("A", "k", "new"));
  IniDocument reread = IniDocument::Parse(doc.Serialise());
  EXPECT_EQ(reread.Get("A", "k"), "new");
}

TEST(IniDocumentTest, FileWithoutFinalNewlineGetsOneWhenASectionIsAdded) {
  IniDocument doc = IniDocument::Parse("[A]\nx=1");
  ASSERT_TRUE(doc.Set("A", "y", "2"));
  EXPECT_EQ(doc.Serialise(), "[A]\nx=1\ny=2");
  ASSERT_TRUE(doc.Set("B", "z", "3"));
  EXPECT_EQ(doc.Serialise(), "[A]\nx=1\ny=2\n[B]\nz=3\n");
}

// Found by fuzzing: what is not changed is written back to the byte.
TEST(IniDocumentTest, UntouchedDocumentsSerialiseToTheirInput) {
  for (const std::string& text : {std::string("[A]\r\nx=1\r"), std::string("[A]\nx=1\r\r\n"), std::string("\r"),
                                 std::string("[\0A]\n", 5), std::string("\xFF\xFE[\0A\0]\0\n", 9)}) {
    EXPECT_EQ(IniDocument::Parse(text).Serialise(), text);
  }
  // UTF-16 that does not convert back exactly is never rewritten.
  const std::string odd = std::string("\xFF\xFE[\0A\0]\0\n\0x\0=\0\x00\xD8", 16);
  IniDocument doc = IniDocument::Parse(odd);
  EXPECT_FALSE(doc.Set("A", "y", "1"));
  EXPECT_EQ(doc.Serialise(), odd);
}

TEST(IniDocumentTest, Utf16BigEndianOrWithoutMarkIsReadButNeverRewritten) {
  auto utf16 = [](const std::string& ascii, bool bigEndian, bool bom) {
    std::string out = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char c : ascii) {
      out.push_back(bigEndian ? '\0' : c);
      out.push_back(bigEndian ? c : '\0');
    }
    return out;
  };
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {{"big-endian with mark", utf16("[A]\nx=1\n", true, true)},
               {"big-endian without mark", utf16("[A]\nx=1\n", true, false)},
               {"little-endian without mark", utf16("[A]\nx=1\n", false, false)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::IniDocument doc = platform::IniDocument::Parse(c.bytes);
    EXPECT_EQ(doc.Get("A", "x"), "1");
    EXPECT_FALSE(doc.Set("A", "x", "2")) << "never rewritten: no ASCII after UTF-16";
    EXPECT_EQ(doc.Serialise(), c.bytes);
  }
  // Zero bytes in 8-bit text (found by fuzzing): read as it is, but never
  // rewritten, since the rewritten file could read back as UTF-16.
  for (const std::string& text : {std::string(1, '\0'), std::string("\0\n", 2), std::string("a\0", 2),
                                  std::string("[\0:\0\0", 5)}) {
    platform::IniDocument doc = platform::IniDocument::Parse(text);
    EXPECT_FALSE(doc.Set("A", "x", "1"));
    EXPECT_EQ(doc.Serialise(), text);
  }
}

TEST(ReplaceFileAtomicallyTest, ReplacesContentKeepsModeAndLeavesNoTemporaryFile) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/a.ini";
  ASSERT_TRUE(ReplaceFileAtomically(path, "one"));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  chmod(path.c_str(), 0600);
  ASSERT_TRUE(ReplaceFileAtomically(path, "two"));
  EXPECT_EQ(testing::ReadFile(path), "two");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
  EXPECT_FALSE(ReplaceFileAtomically(dir.path() + "/missing-dir/a.ini", "x"));
}

// A file that holds the bytes already is left as it is; one that would
// change, is writable by others or has another name is replaced.
TEST(ReplaceFileAtomicallyTest, RewritesOnlyWhatWouldChange) {
  struct Case {
    const char* name;
    std::string before;
    mode_t mode;
    bool secondName;
    std::string content;
    bool kept;
  } const cases[] = {
      {"identical", "<TCRESPONSE/>", 0600, false, "<TCRESPONSE/>", true},
      {"same size, other bytes", "<TCRESPONSE/>", 0600, false, "<TCRESPONSX/>", false},
      {"identical but longer", "<TCRESPONSE/>", 0600, false, "<TCRESPONSE/>\n", false},
      {"identical, empty", "", 0600, false, "", true},
      {"identical, group may write", "<TCRESPONSE/>", 0660, false, "<TCRESPONSE/>", false},
      {"identical, second name", "<TCRESPONSE/>", 0600, true, "<TCRESPONSE/>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir.path() + "/r.xml";
    ASSERT_TRUE(ReplaceFileAtomically(path, c.before));
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    if (c.secondName) {
      ASSERT_EQ(link(path.c_str(), (dir.path() + "/other.xml").c_str()), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ASSERT_TRUE(ReplaceFileAtomically(path, c.content));
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(testing::ReadFile(path), c.content);
    EXPECT_EQ(after.st_ino == before.st_ino, c.kept);
    EXPECT_EQ(after.st_mode & 022, 0u);
    if (c.secondName) {
      EXPECT_EQ(testing::ReadFile(dir.path() + "/other.xml"), c.before);
    }
  }
}

}  // namespace
}  // namespace rimo::platform
