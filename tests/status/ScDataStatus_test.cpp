#include "status/ScDataStatus.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/ForeignHolder.h"
#include "rimo/RimoStatusCodes.h"

namespace rimo::status {
namespace {

// Holds the record's lock on another thread until released.
class ForeignHolder : public testing::ForeignHolder {
 public:
  explicit ForeignHolder(IScDataStatus& status)
      : testing::ForeignHolder([&status] { status.Lock(); }, [&status] { status.Unlock(); }) {}
};

TEST(ScDataStatusTest, NewRecordIsEmptyWithQueryOutcomeTwo) {
  ScDataStatus s;
  EXPECT_EQ(s.GetQueryOutcome(), codes::kOutcomeNoResult);
  EXPECT_EQ(s.GetErrorKind(), codes::kErrorNone);
  EXPECT_FALSE(s.GetChanged());
  EXPECT_FALSE(s.GetBusy());
  EXPECT_EQ(s.GetStateCode(), codes::kStateNone);
  EXPECT_EQ(s.GetHttpStatus(), 0);
  EXPECT_EQ(s.GetRequestError(), 0);
  EXPECT_EQ(s.GetResponseLength(), 0);
  EXPECT_FALSE(s.GetKeyChange());
  EXPECT_FALSE(s.GetSwitchOnActivation());
  EXPECT_EQ(s.GetUserMessage(), nullptr);
  EXPECT_EQ(s.GetFaultId(), nullptr);
  EXPECT_EQ(s.GetErrorId(), nullptr);
  EXPECT_EQ(s.GetCurrentSerial(), nullptr);
  EXPECT_EQ(s.GetNewSerial(), nullptr);
  EXPECT_EQ(s.GetResponseData(), nullptr);
  ASSERT_NE(s.GetCertificateList(), nullptr);
  EXPECT_TRUE(s.GetCertificateList()->IsEmpty());
}

TEST(ScDataStatusTest, OnlyRealChangesRaiseTheChangeFlag) {
  struct Case {
    const char* name;
    void (*set)(ScDataStatus&);
  } setters[] = {
      {"ErrorKind", [](ScDataStatus& s) { s.SetErrorKind(codes::kErrorVerification); }},
      {"Busy", [](ScDataStatus& s) { s.SetBusy(true); }},
      {"StateCode", [](ScDataStatus& s) { s.SetStateCode(codes::kStateQueryStarted); }},
      {"HttpStatus", [](ScDataStatus& s) { s.SetHttpStatus(200); }},
      {"RequestError", [](ScDataStatus& s) { s.SetRequestError(12029); }},
      {"KeyChange", [](ScDataStatus& s) { s.SetKeyChange(true); }},
      {"SwitchOnActivation", [](ScDataStatus& s) { s.SetSwitchOnActivation(true); }},
      {"ResponseLength", [](ScDataStatus& s) { s.SetResponseLength(5); }},
      {"UserMessage", [](ScDataStatus& s) { s.SetUserMessage(L"m"); }},
      {"FaultId", [](ScDataStatus& s) { s.SetFaultId(L"F1"); }},
      {"ErrorId", [](ScDataStatus& s) { s.SetErrorId(L"404-00000"); }},
      {"CurrentSerial", [](ScDataStatus& s) { s.SetCurrentSerial(L"12345678901234567890"); }},
      {"NewSerial", [](ScDataStatus& s) { s.SetNewSerial(L"12345678901234567890"); }},
      {"ResponseData", [](ScDataStatus& s) { s.SetResponseData(reinterpret_cast<const uint8_t*>("ab"), 2); }},
  };
  for (const Case& c : setters) {
    SCOPED_TRACE(c.name);
    ScDataStatus s;
    c.set(s);
    EXPECT_TRUE(s.GetChanged());
    s.SetChanged(false);
    c.set(s);
    EXPECT_FALSE(s.GetChanged()) << "the same value again is no change";
  }
}

TEST(ScDataStatusTest, QueryOutcomeNeverRaisesTheChangeFlag) {
  ScDataStatus s;
  s.SetQueryOutcome(codes::kOutcomeReceived);
  EXPECT_EQ(s.GetQueryOutcome(), codes::kOutcomeReceived);
  EXPECT_FALSE(s.GetChanged());
}

TEST(ScDataStatusTest, ForeignLockHolderMakesSettersAndLockingGettersEmpty) {
  ScDataStatus s;
  s.SetErrorKind(codes::kErrorNoPackage);
  s.SetBusy(true);
  s.SetUserMessage(L"kept");
  {
    ForeignHolder holder(s);
    s.SetStateCode(codes::kStateQueryStarted);
    s.SetUserMessage(L"lost");
    EXPECT_EQ(s.GetStateCode(), codes::kStateNone);
    EXPECT_EQ(s.GetUserMessage(), nullptr);
    EXPECT_EQ(s.GetCertificateList(), nullptr);
    EXPECT_FALSE(s.GetKeyChange());
    // These never take the lock.
    EXPECT_EQ(s.GetErrorKind(), codes::kErrorNoPackage);
    EXPECT_TRUE(s.GetBusy());
    EXPECT_TRUE(s.GetChanged());
    EXPECT_EQ(s.GetQueryOutcome(), codes::kOutcomeNoResult);
  }
  EXPECT_EQ(s.GetStateCode(), codes::kStateNone);
  EXPECT_STREQ(s.GetUserMessage(), L"kept");
}

TEST(ScDataStatusTest, TheHoldingThreadCanSetAndGetWhileLocked) {
  ScDataStatus s;
  s.Lock();
  s.SetStateCode(codes::kStateQueryStarted);
  EXPECT_EQ(s.GetStateCode(), codes::kStateQueryStarted);
  s.Unlock();
}

TEST(ScDataStatusTest, UnlockByAThreadThatDoesNotHoldTheLockIsIgnored) {
  ScDataStatus s;
  std::thread([&] { s.Unlock(); }).join();
  s.Lock();
  std::thread([&] {
    s.Unlock();
    s.SetStateCode(codes::kStateQueryStarted);  // still held by the main thread
  }).join();
  s.Unlock();
  EXPECT_EQ(s.GetStateCode(), codes::kStateNone);
}

TEST(ScDataStatusTest, SerialSettersIgnoreNullAndStoreEmptyAsNull) {
  ScDataStatus s;
  s.SetCurrentSerial(L"ABC");
  s.SetChanged(false);
  s.SetCurrentSerial(nullptr);
  EXPECT_STREQ(s.GetCurrentSerial(), L"ABC");
  EXPECT_FALSE(s.GetChanged());
  s.SetCurrentSerial(L"");
  EXPECT_EQ(s.GetCurrentSerial(), nullptr);
  EXPECT_TRUE(s.GetChanged());
}

TEST(ScDataStatusTest, ResetClearsOnlyWhatItOwns) {
  ScDataStatus s;
  s.GetCertificateList()->AddCertificate(L"T", L"C");
  s.SetKeyChange(true);
  s.SetSwitchOnActivation(true);
  s.SetErrorKind(codes::kErrorVerification);
  s.SetBusy(true);
  s.SetUserMessage(L"m");
  s.SetCurrentSerial(L"c");
  s.SetNewSerial(L"n");
  s.SetStateCode(codes::kStatePublished);
  s.SetQueryOutcome(codes::kOutcomeReceived);
  s.SetResponseLength(2);
  s.SetResponseData(reinterpret_cast<const uint8_t*>("ab"), 2);
  s.ResetStatus();
  EXPECT_TRUE(s.GetCertificateList()->IsEmpty());
  EXPECT_FALSE(s.GetChanged());
  EXPECT_FALSE(s.GetKeyChange());
  EXPECT_EQ(s.GetErrorKind(), codes::kErrorNone);
  EXPECT_FALSE(s.GetBusy());
  EXPECT_EQ(s.GetUserMessage(), nullptr);
  EXPECT_TRUE(s.GetSwitchOnActivation());
  EXPECT_STREQ(s.GetCurrentSerial(), L"c");
  EXPECT_STREQ(s.GetNewSerial(), L"n");
  EXPECT_EQ(s.GetStateCode(), codes::kStatePublished);
  EXPECT_EQ(s.GetQueryOutcome(), codes::kOutcomeReceived);
  EXPECT_EQ(s.GetResponseLength(), 2);
  EXPECT_NE(s.GetResponseData(), nullptr);
}

TEST(ScDataStatusTest, ResponseDataComparesWholeBuffersIncludingZeroBytes) {
  ScDataStatus s;
  const uint8_t utf16a[] = {'<', 0, 'a', 0};
  const uint8_t utf16b[] = {'<', 0, 'b', 0};
  s.SetResponseData(utf16a, 4);
  s.SetResponseData(utf16b, 4);
  ASSERT_NE(s.GetResponseData(), nullptr);
  EXPECT_EQ(s.GetResponseData()[2], 'b') << "data differing after a zero byte must still be stored";

  const uint8_t longer[] = {'<', 0, 'b', 0, 'c'};
  s.SetChanged(false);
  s.SetResponseData(longer, 5);
  EXPECT_TRUE(s.GetChanged());
  EXPECT_EQ(s.GetResponseData()[4], 'c');

  s.SetResponseData(nullptr, 5);
  EXPECT_EQ(s.GetResponseData(), nullptr);
}

}  // namespace
}  // namespace rimo::status
