#include "status/CertificateList.h"

#include <gtest/gtest.h>

#include <memory>

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
