#include "status/CertificateList.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ForeignHolder.h"

namespace rimo::status {
namespace {

TEST(CertificateListTest, AddsCopiesAndRefusesADuplicateType) {
  CertificateList list;
  std::wstring type = L"SIG";
  std::wstring text = L"MIIB";
  CertificateRecord* r = list.AddCertificate(type.c_str(), text.c_str());
  ASSERT_NE(r, nullptr);
  type[0] = L'X';
  EXPECT_STREQ(r->type, L"SIG");
  EXPECT_STREQ(r->certificateText, L"MIIB");
  EXPECT_EQ(r->derLength, 0u);
  EXPECT_EQ(r->der[0], 0);
  EXPECT_EQ(list.AddCertificate(L"SIG", L"other"), nullptr);
  EXPECT_NE(list.AddCertificate(L"sig", L"other"), nullptr) << "types compare with case";
  EXPECT_EQ(list.Count(), 2u);
}

TEST(CertificateListTest, CursorWalksBothWaysAndStopsAtTheEnds) {
  CertificateList list;
  list.AddCertificate(L"A", L"1");
  list.AddCertificate(L"B", L"2");
  list.AddCertificate(L"C", L"3");
  void* cursor = nullptr;
  std::wstring forward;
  for (auto* r = list.GetFirstCertificate(&cursor); r != nullptr; r = list.GetNextCertificate(&cursor)) {
    forward += r->type;
  }
  EXPECT_EQ(forward, L"ABC");
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(list.GetNextCertificate(&cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);

  list.GetFirstCertificate(&cursor);
  list.GetNextCertificate(&cursor);
  EXPECT_STREQ(list.GetPreviousCertificate(&cursor)->type, L"A");
  EXPECT_EQ(list.GetPreviousCertificate(&cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);
}

TEST(CertificateListTest, ClearEmptiesAndAllowsReuse) {
  CertificateList list;
  EXPECT_TRUE(list.ClearList());
  for (int i = 0; i < 1000; ++i) list.AddCertificate(std::to_wstring(i).c_str(), L"x");
  EXPECT_EQ(list.Count(), 1000u);
  EXPECT_TRUE(list.ClearList());
  EXPECT_TRUE(list.IsEmpty());
  void* cursor = &cursor;
  EXPECT_EQ(list.GetFirstCertificate(&cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_NE(list.AddCertificate(L"0", L"x"), nullptr);
}

TEST(CertificateListTest, DuplicatesAreFoundWhileTheListGrowsAndAfterItIsCleared) {
  CertificateList list;
  std::vector<CertificateRecord*> records;
  for (int round = 0; round < 2; ++round) {
    records.clear();
    // Types that differ in their last character only, an empty type and a
    // null one (which counts as empty), over several growths of the index.
    for (int i = 0; i < 300; ++i) {
      const std::wstring type = L"TYPE-" + std::to_wstring(i);
      records.push_back(list.AddCertificate(type.c_str(), (L"text " + std::to_wstring(i)).c_str()));
      ASSERT_NE(records.back(), nullptr) << i;
      ASSERT_EQ(list.AddCertificate(type.c_str(), L"again"), nullptr) << i;
    }
    EXPECT_NE(list.AddCertificate(L"", nullptr), nullptr);
    EXPECT_EQ(list.AddCertificate(nullptr, L"x"), nullptr);
    for (int i = 0; i < 300; ++i) {
      EXPECT_EQ(list.AddCertificate((L"TYPE-" + std::to_wstring(i)).c_str(), L"x"), nullptr) << i;
      // Records stay where they are while the list grows.
      EXPECT_EQ(std::wstring(records[static_cast<size_t>(i)]->certificateText), L"text " + std::to_wstring(i));
    }
    EXPECT_EQ(list.Count(), 301u);
    ASSERT_TRUE(list.ClearList());
  }
}

TEST(CertificateListTest, ForeignHolderGetsEmptyAnswers) {
  CertificateList list;
  list.AddCertificate(L"A", L"1");
  void* cursor = nullptr;
  list.GetFirstCertificate(&cursor);

  auto holder = std::make_unique<testing::ForeignHolder>([&] { list.LockObject(); }, [&] { list.UnlockObject(); });
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_FALSE(list.TryLockObject());
  EXPECT_FALSE(list.ClearList());
  EXPECT_EQ(list.AddCertificate(L"B", L"2"), nullptr);
  void* c2 = &c2;
  EXPECT_EQ(list.GetFirstCertificate(&c2), nullptr);
  EXPECT_EQ(c2, nullptr);
  EXPECT_EQ(list.GetNextCertificate(&cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);
  holder.reset();
  EXPECT_EQ(list.Count(), 1u);
}

TEST(CertificateListTest, ClearOfAnEmptyListSucceedsWhileAnotherThreadHoldsTheLock) {
  CertificateList list;
  testing::ForeignHolder holder([&] { list.LockObject(); }, [&] { list.UnlockObject(); });
  EXPECT_TRUE(list.ClearList());
}

TEST(CertificateListTest, HolderOfTheLockCanUseEveryOperation) {
  CertificateList list;
  ASSERT_TRUE(list.LockObject());
  EXPECT_TRUE(list.TryLockObject());
  EXPECT_NE(list.AddCertificate(L"A", L"1"), nullptr);
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_TRUE(list.UnlockObject());
  EXPECT_TRUE(list.UnlockObject());
}

}  // namespace
}  // namespace rimo::status
