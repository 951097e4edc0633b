// The query's outcome table without a server: a scripted HTTP layer plays
// the data center, the real checks verify what it sends.
#include "component/DataCenterQuery.h"

#include <gtest/gtest.h>

#include "platform/Utf8.h"
#include "rimo/RimoStatusCodes.h"
#include "support/QueryOutcomes.h"
#include "support/ScriptedHttp.h"
#include "support/TrustCenterFixture.h"

namespace rimo::component {
namespace {

using testing::QueryOutcomeCase;
using testing::ScriptedHttp;

const std::wstring kIdPrefix = L"12345678901234567";

class DataCenterQueryTest : public ::testing::Test {
 protected:
  DataCenterQueryTest() : checks_(&paths_), query_(http_, registry_, checks_) {}

  testing::TrustCenterSandbox sandbox_;
  config::CRimoPaths paths_;
  ResponseChecks checks_;
  ScriptedHttp http_;
  platform::RegistryFile registry_;
  DataCenterQuery query_;
};

TEST_F(DataCenterQueryTest, EveryAnswerOfTheDataCenter) {
  const auto responses = testing::QueryOutcomeResponses::Make(testing::SharedPki::Get().genuine);
  for (const QueryOutcomeCase& c : testing::QueryOutcomeCases(responses)) {
    SCOPED_TRACE(c.name);
    http_.errorCode = c.layerError;
    http_.wininetCode = c.wininetCode;
    http_.httpStatus = c.httpStatus;
    http_.body = c.body;
    const QueryResult r = query_.Run((kIdPrefix + platform::Utf8ToWide(c.card)).c_str());
    EXPECT_EQ(r.stateCode, c.stateCode);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.errorKind, c.errorKind);
    EXPECT_EQ(r.errorId, c.errorId);
    EXPECT_EQ(r.userMessage, c.userMessage);
    EXPECT_EQ(r.faultId, c.faultId);
    EXPECT_EQ(r.httpStatus, c.httpStatus);
    EXPECT_EQ(r.requestError, c.wininetCode);
    // Only a verified response is handed on, and always with its bytes.
    const bool received = c.outcome == codes::kOutcomeReceived;
    EXPECT_EQ(r.verified != nullptr, received);
    EXPECT_EQ(std::string(r.response.begin(), r.response.end()), received ? responses.genuine : "");
  }
}

TEST_F(DataCenterQueryTest, RequestIsAGetForXmlWithTheWizardsAgent) {
  http_.httpStatus = 204;
  query_.Run((kIdPrefix + L"890").c_str());
  ASSERT_EQ(http_.executedUrls.size(), 1u);
  EXPECT_EQ(http_.verb, WebCommLib::kVerbGet);
  EXPECT_EQ(http_.acceptTypes, L"application/xml");
  EXPECT_EQ(http_.userAgent.rfind(L"KeloRimoWizzard|", 0), 0u);
  const std::wstring& url = http_.executedUrls.front();
  EXPECT_NE(url.find(L"/DataTcService/890?anw=KeloComp&anwvnr="), std::wstring::npos) << platform::WideToUtf8(url);
}

TEST_F(DataCenterQueryTest, IdWithoutCardNumberSendsNothing) {
  for (const wchar_t* id : {L"", L"12345678901234567"}) {
    const QueryResult r = query_.Run(id);
    EXPECT_EQ(r.errorId, L"INT-99001");
    EXPECT_EQ(r.errorKind, codes::kErrorRequest);
    EXPECT_EQ(r.outcome, codes::kOutcomeNoResult);
  }
  EXPECT_TRUE(http_.executedUrls.empty());
}

}  // namespace
}  // namespace rimo::component
