// A host compiled only against the public header drives the library.
#include <gtest/gtest.h>
#include <cstdlib>
#include <fstream>
#include <filesystem>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "host/HostLibrary.h"
#include "rimo/RimoStatusCodes.h"

namespace rimo::host {
namespace {

class HostApiTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib_.ok()); }
  HostLibrary lib_;
};

TEST_F(HostApiTest, OnlyTheFourEntryPointsAreExported) {
  FILE* nm = popen("nm -D --defined-only " RIMO_LIB_DIR "/librimodata.so", "r");
  ASSERT_NE(nm, nullptr);
  std::vector<std::string> exported;
  char line[512];
  while (fgets(line, sizeof line, nm) != nullptr) {
    char type = 0;
    char name[400] = {};
    if (sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'D' || type == 'B')) {
      exported.emplace_back(name);
    }
  }
  pclose(nm);
  std::sort(exported.begin(), exported.end());
  EXPECT_EQ(exported, (std::vector<std::string>{"CreateRimoDataObject", "CreateRimoDataStatusObject",
                                                "DeleteRimoDataObject", "DeleteRimoDataStatusObject"}));
}

TEST_F(HostApiTest, DeleteRefusesNullForeignAndStalePointers) {
  EXPECT_FALSE(lib_.deleteStatus(nullptr));
  EXPECT_FALSE(lib_.destroy(nullptr));
  IScDataStatus* status = lib_.createStatus();
  ASSERT_NE(status, nullptr);
  IRimoData* component = lib_.create(status, 1);
  ASSERT_NE(component, nullptr);

  // Each object handed to the other delete is refused and left intact.
  EXPECT_FALSE(lib_.destroy(reinterpret_cast<IRimoData*>(status)));
  EXPECT_FALSE(lib_.deleteStatus(reinterpret_cast<IScDataStatus*>(component)));
  status->SetStateCode(codes::kStateQueryStarted);
  EXPECT_EQ(status->GetStateCode(), codes::kStateQueryStarted);

  EXPECT_TRUE(lib_.destroy(component));
  EXPECT_FALSE(lib_.destroy(component)) << "a second delete of the same pointer";
  EXPECT_TRUE(lib_.deleteStatus(status));
  EXPECT_FALSE(lib_.deleteStatus(status));
}

TEST_F(HostApiTest, NullStatusGivesNoComponent) { EXPECT_EQ(lib_.create(nullptr, 1), nullptr); }

TEST_F(HostApiTest, NewStatusObjectAnswersItsInitialValues) {
  IScDataStatus* s = lib_.createStatus();
  EXPECT_EQ(s->GetQueryOutcome(), codes::kOutcomeNoResult);
  EXPECT_EQ(s->GetStateCode(), codes::kStateNone);
  EXPECT_EQ(s->GetUserMessage(), nullptr);
  ASSERT_NE(s->GetCertificateList(), nullptr);
  EXPECT_EQ(s->GetCertificateList()->Count(), 0u);
  EXPECT_TRUE(lib_.deleteStatus(s));
}

TEST_F(HostApiTest, RefusedUserIdIsReportedInBothModes) {
  for (uint8_t flag : {0, 1, 2}) {
    SCOPED_TRACE(int(flag));
    IScDataStatus* s = lib_.createStatus();
    IRimoData* c = lib_.create(s, flag);
    c->LoadRimoResponseFromRZ(L"123456789012345678901");
    // Reported in queue order: at the latest when the queue has drained.
    EXPECT_TRUE(lib_.destroy(c));
    s->Lock();
    EXPECT_EQ(s->GetErrorKind(), codes::kErrorRequest);
    EXPECT_STREQ(s->GetErrorId(), L"INT-99001");
    s->Unlock();
    EXPECT_TRUE(lib_.deleteStatus(s));
  }
}

// Host threads poll and lock the status object while the worker drains a
// burst; meant to run under ThreadSanitizer as well.
TEST_F(HostApiTest, HostThreadsPollAndLockWhileTheWorkerDrains) {
  // Queries end at once, without a name to resolve: the worker drains a long
  // queue quickly, and the pollers meet it in every step.
  const std::string registry = std::string(std::getenv("KELO_ROOT")) + "/etc/kelo/registry.reg";
  std::filesystem::create_directories(std::filesystem::path(registry).parent_path());
  std::ofstream(registry) << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
                          << "\"RimoServiceUrl\"=\"gopher://127.0.0.1/pvtwmod/rest/\"\n";
  IScDataStatus* s = lib_.createStatus();
  IRimoData* c = lib_.create(s, 1);
  std::atomic<bool> done{false};
  std::vector<std::thread> pollers;
  for (int t = 0; t < 3; ++t) {
    pollers.emplace_back([&] {
      while (!done.load()) {
        (void)s->GetBusy();
        (void)s->GetChanged();
        s->Lock();
        (void)s->GetStateCode();
        ICertificateList* list = s->GetCertificateList();
        if (list != nullptr && list->LockObject()) {
          void* cursor = nullptr;
          for (auto* r = list->GetFirstCertificate(&cursor); r; r = list->GetNextCertificate(&cursor)) {
          }
          list->UnlockObject();
        }
        s->Unlock();
        (void)s->GetUserMessage();
        std::this_thread::yield();
      }
    });
  }
  std::thread pusher([&] {
    for (int i = 0; i < 200; ++i) {
      c->LoadRimoResponseFromFile(L"/nonexistent/response.xml");
      c->LoadRimoResponseFromRZ(L"12345678901234567001");
    }
  });
  for (int i = 0; i < 200; ++i) c->QueryRimoResponse(L"12345678901234567001");
  pusher.join();
  EXPECT_TRUE(lib_.destroy(c));  // returns after every queued task ran
  done = true;
  for (auto& t : pollers) t.join();
  EXPECT_FALSE(s->GetBusy());
  s->Lock();
  EXPECT_EQ(s->GetErrorKind(), codes::kErrorRequest) << "the last query ran, and failed as it should";
  s->Unlock();
  EXPECT_TRUE(lib_.deleteStatus(s));
  std::filesystem::remove(registry);
}

}  // namespace
}  // namespace rimo::host
