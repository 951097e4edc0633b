#include "xml/KeloUtilities.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace rimo::xml {
namespace {

TEST(KeloUtilitiesTest, Base64Decoding) {
  KeloUtilities u;
  struct Case {
    const char* text;
    int outSize;
    std::string expected;
  } cases[] = {
      {"YWJj", -1, "abc"}, {"YWJj", 3, "abc"},  {"YWJj", 2, "ab"},      {"YWI=", -1, "ab"},
      {"YW", -1, "a"},     {"Y", -1, ""},       {"YWJj\nZGVm", -1, "abc"}, {"YW Jj", -1, "a"},
      {"-YWJj", -1, ""},   {"YWJjZA", -1, "abcd"}, {"", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + std::to_string(c.outSize));
    const auto length = static_cast<uint32_t>(std::strlen(c.text) + 1);
    int needed = u.Base64DecodeByteArray(c.text, length, nullptr, -1);
    if (c.outSize == -1) {
      EXPECT_EQ(needed, static_cast<int>(c.expected.size()));
    }
    uint8_t out[16] = {};
    const int size = c.outSize == -1 ? needed : c.outSize;
    const int got = u.Base64DecodeByteArray(c.text, length, out, size);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(got)), c.expected);
  }
  EXPECT_EQ(u.Base64DecodeByteArray(nullptr, 4, nullptr, -1), 0);
  EXPECT_EQ(u.Base64DecodeByteArray("YWJj", 4, nullptr, 3), 0);
  EXPECT_EQ(u.Base64DecodeByteArray("YWJj", 0, nullptr, -1), 0);
  EXPECT_EQ(u.Base64DecodeByteArray("YWJj", 2, nullptr, -1), 1) << "the text length bounds the walk";
}

TEST(KeloUtilitiesTest, DeleteCertStartAndEndMarker) {
  KeloUtilities u;
  wchar_t out[64];
  EXPECT_EQ(u.DeleteCertStartAndEndMarker(L"-----BEGIN CERTIFICATE-----\nAB CD\r\n\tEF\n-----END CERTIFICATE-----\n",
                                          out, 64),
            0);
  EXPECT_STREQ(out, L"ENDCERTIFICATE") << "a trailing line break leaves the END words as the body";
  EXPECT_EQ(u.DeleteCertStartAndEndMarker(L"-----BEGIN CERTIFICATE-----\nAB CD\r\n\tEF\n-----END CERTIFICATE-----",
                                          out, 64),
            0);
  EXPECT_STREQ(out, L"ABCDEF");
  EXPECT_EQ(u.DeleteCertStartAndEndMarker(L"no markers", out, 64), 0);
  EXPECT_STREQ(out, L"");
  wcscpy(out, L"untouched");
  EXPECT_EQ(u.DeleteCertStartAndEndMarker(L"-----BEGIN X-----ABCDEF-----END X-----", out, 6), 1);
  EXPECT_STREQ(out, L"untouched");
  EXPECT_EQ(u.DeleteCertStartAndEndMarker(L"-----BEGIN X-----ABCDEF-----END X-----", out, 7), 0);
}

TEST(KeloUtilitiesTest, SplitVersionAndUserId) {
  KeloUtilities u;
  int major = -1, minor = -1, patch = -1;
  char letter = 'x';
  const int second = 0;
  ASSERT_TRUE(u.SplitVersionString("7.23b", &second, &major, &minor, &patch, &letter));
  EXPECT_EQ(std::make_tuple(major, minor, patch, letter), std::make_tuple(7, 2, 3, 'b'));
  ASSERT_TRUE(u.SplitVersionString("7.2", &second, &major, &minor, &patch, &letter));
  EXPECT_EQ(std::make_tuple(major, minor, patch, letter), std::make_tuple(7, 2, 0, '\0'));
  EXPECT_FALSE(u.SplitVersionString("7.2", nullptr, &major, &minor, &patch, &letter));

  wchar_t first[18], last[4];
  ASSERT_TRUE(u.SplitUserId(L"12345678901234567890", first, last));
  EXPECT_STREQ(first, L"12345678901234567");
  EXPECT_STREQ(last, L"890");
  EXPECT_TRUE(u.SplitUserId(L"12345678901234567890", nullptr, last));
  EXPECT_FALSE(u.SplitUserId(L"1234567890123456789", first, last));
  EXPECT_FALSE(u.SplitUserId(L"123456789012345678901", first, last));
  EXPECT_FALSE(u.SplitUserId(nullptr, first, last));
}

TEST(KeloUtilitiesTest, Utf8ConversionsReportOutputsThatAreTooSmall) {
  KeloUtilities u;
  char narrow[8];
  EXPECT_EQ(u.ConvertWCharToChar(L"Grüß", narrow, 7), 0);
  EXPECT_STREQ(narrow, "Grüß");
  EXPECT_EQ(u.ConvertWCharToChar(L"Grüß", narrow, 6), 1);
  wchar_t wide[8];
  EXPECT_EQ(u.ConvertCharToWChar("Grüß", wide, 5), 0);
  EXPECT_STREQ(wide, L"Grüß");
  EXPECT_EQ(u.ConvertCharToWChar("Grüß", wide, 4), 1);
}

}  // namespace
}  // namespace rimo::xml
