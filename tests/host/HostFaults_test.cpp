// Faults a host can bring upon the component: memory running out inside the
// locked region, a delete from a callback on the worker, a FIFO given as the
// response file. Also the list and the tracing under failing allocations.
//
// This program replaces the global allocator: on a thread that armed it,
// the chosen allocation throws std::bad_alloc, in the library as anywhere.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "host/ForwardingStatus.h"
#include "host/HostLibrary.h"
#include "pki/Pki.h"
#include "status/CertificateList.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "support/TraceRecorder.h"
#include "rimo/RimoStatusCodes.h"

namespace {
// Allocations to let pass on this thread before one fails; -1: none fails.
thread_local long t_failAfter = -1;
}  // namespace

void* operator new(std::size_t size) {
  if (t_failAfter == 0) {
    t_failAfter = -1;
    throw std::bad_alloc();
  }
  if (t_failAfter > 0) --t_failAfter;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return ::operator new(size, std::nothrow); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace rimo::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const pki::TrustCenter& Tc() {
  static const pki::TrustCenter tc = pki::TrustCenter::Make();
  return tc;
}

std::string GenuineResponse() {
  const auto& tc = Tc();
  const std::string container = pki::MakeContainer(
      "NEIN", "JA", {{"SIG", pki::CertificateText(tc.signer)}, {"ROOT", pki::CertificateText(tc.root)}});
  return pki::MakeTcResponse(pki::SignContainer(container, tc.signerKey, tc.signer, "12345678901234567890",
                                                "12345678901234567891"));
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class HostFaultTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    fs::create_directories(dir_.path() + "/etc/ssl/certs");
    pki::InstallRoot(Tc().root, dir_.path() + "/etc/ssl/certs");
    setenv("KELO_ROOT", dir_.path().c_str(), 1);
    status_ = lib_.createStatus();
    genuine_ = dir_.path() + "/response.xml";
    testing::WriteFile(genuine_, GenuineResponse());
  }
  void TearDown() override {
    lib_.deleteStatus(status_);
    unsetenv("KELO_ROOT");
  }

  // Both locks can be taken by another thread.
  bool LocksAreFree() {
    auto other = std::async(std::launch::async, [this] {
      status_->Lock();
      ICertificateList* list = status_->GetCertificateList();
      list->LockObject();
      list->UnlockObject();
      status_->Unlock();
    });
    return other.wait_for(20s) == std::future_status::ready;
  }

  int32_t PublishedCount() {
    status_->Lock();
    const int32_t state = status_->GetStateCode();
    const unsigned count = status_->GetCertificateList()->Count();
    status_->Unlock();
    return state == codes::kStatePublished ? static_cast<int32_t>(count) : -1;
  }

  HostLibrary lib_;
  testing::TempDir dir_;
  IScDataStatus* status_ = nullptr;
  std::string genuine_;
};

TEST_P(HostFaultTest, MemoryRunningOutInsideTheLockedRegionLeavesEverythingUsable) {
  ForwardingStatus host(status_);
  std::atomic<bool> armed{true};
  // The list is asked for with the status lock held; the next allocation
  // on that thread (reading the container) fails.
  host.beforeGetCertificateList = [&] {
    if (armed.exchange(false)) t_failAfter = 0;
  };
  IRimoData* component = lib_.create(&host, GetParam());
  ASSERT_NE(component, nullptr);
  component->LoadRimoResponseFromFile(Wide(genuine_).c_str());  // no exception reaches the host
  // The same object, in asynchronous mode the same worker, runs the next load.
  component->LoadRimoResponseFromFile(Wide(genuine_).c_str());
  auto deleted = std::async(std::launch::async, [&] { return lib_.destroy(component); });
  ASSERT_EQ(deleted.wait_for(30s), std::future_status::ready) << "delete never returned";
  EXPECT_TRUE(deleted.get());
  EXPECT_FALSE(armed.load()) << "the fault was not reached";
  ASSERT_TRUE(LocksAreFree());
  EXPECT_EQ(PublishedCount(), 2);
}

// A host whose status object forwards to one of the library deletes the
// component from inside a callback on its object while work is queued, then
// frees both status objects: after the callback no call reaches the host's
// object, the queued work is dropped, and the library's object can be
// deleted (the worker lets go of its lock as it leaves).
TEST_P(HostFaultTest, DeleteFromACallbackEndsEveryCallOnTheHostsObject) {
  auto host = std::make_unique<ForwardingStatus>(status_);
  IRimoData* component = lib_.create(host.get(), GetParam());
  std::atomic<bool> deleted{false};
  std::atomic<bool> result{false};
  std::atomic<long> callsAtReturn{-1};
  ForwardingStatus* const hostObject = host.get();
  host->beforeSetStateCode = [&] {
    if (deleted.exchange(true)) return;
    result = lib_.destroy(component);
    callsAtReturn = hostObject->calls.load();
  };
  status_->Lock();  // in asynchronous mode every load is queued before the first runs
  component->LoadRimoResponseFromFile(Wide(genuine_).c_str());
  if (GetParam() == 1) {
    component->LoadRimoResponseFromFile(Wide(genuine_).c_str());
    component->QueryRimoResponse(L"12345678901234567890");
  }
  // Still the host's own: another thread's getter, which only tries the
  // lock, gets nothing.
  EXPECT_EQ(std::async(std::launch::async, [this] { return status_->GetStateCode(); }).get(), 0);
  status_->Unlock();
  if (GetParam() == 1) {
    // Until the callback's delete has returned (not only begun).
    for (int i = 0; i < 3000 && callsAtReturn.load() < 0; ++i) std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(deleted.load());
  ASSERT_GE(callsAtReturn.load(), 0) << "the delete in the callback never returned";
  EXPECT_TRUE(result.load());
  EXPECT_FALSE(lib_.destroy(component)) << "released already";
  // Waits for the worker to let go of the library object's lock.
  if (GetParam() == 0) {
    EXPECT_TRUE(LocksAreFree());
  }
  ASSERT_TRUE(lib_.deleteStatus(status_));
  status_ = nullptr;
  EXPECT_EQ(hostObject->calls.load(), callsAtReturn.load()) << "a call reached the host's object after the callback";
  host.reset();
  // Anything of the component still running would touch freed memory now.
  std::this_thread::sleep_for(200ms);
  status_ = lib_.createStatus();
}

TEST_P(HostFaultTest, FifoGivenAsTheResponseFileIsRefusedWithoutBlocking) {
  const std::string fifo = dir_.path() + "/fifo.xml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  IRimoData* component = lib_.create(status_, GetParam());
  auto load = std::async(std::launch::async, [&] {
    component->LoadRimoResponseFromFile(Wide(fifo).c_str());
    return lib_.destroy(component);
  });
  if (load.wait_for(20s) != std::future_status::ready) {
    // Let the blocked open go on so that the test can end.
    const int fd = open(fifo.c_str(), O_WRONLY);
    close(fd);
    FAIL() << "the load blocked on the FIFO";
  }
  EXPECT_TRUE(load.get());
  status_->Lock();
  EXPECT_EQ(status_->GetStateCode(), codes::kStateFileLoadStarted);
  EXPECT_STREQ(status_->GetUserMessage(), L"Die Datei konnte nicht geöffnet werden.");
  status_->Unlock();
}

// Two host threads calling one object at once: its jobs still run one at a
// time, so the data center never sees two of its connections at once.
TEST_P(HostFaultTest, CallsFromTwoThreadsOnOneObjectTakeTurns) {
  std::atomic<int> open{0};
  std::atomic<int> most{0};
  testing::LoopbackServer center([&](int) {
    const int now = ++open;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(50ms);
    --open;
  });
  fs::create_directories(dir_.path() + "/etc/kelo");
  testing::WriteFile(dir_.path() + "/etc/kelo/registry.reg",
                     "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
                     "\"RimoServiceUrl\"=\"https://127.0.0.1:" + std::to_string(center.port()) + "/pvtwmod/rest/\"\n");
  IRimoData* component = lib_.create(status_, GetParam());
  auto calls = [&] {
    for (int i = 0; i < 5; ++i) {
      component->QueryRimoResponse(L"12345678901234567890");
      component->LoadRimoResponseFromFile(Wide(genuine_).c_str());
    }
  };
  std::thread a(calls);
  std::thread b(calls);
  a.join();
  b.join();
  EXPECT_TRUE(lib_.destroy(component));
  EXPECT_GE(center.connections(), 10);
  EXPECT_EQ(most.load(), 1) << "two queries ran at once";
}

// A host's status object whose methods throw: the first SetBusy, and an
// Unlock in the middle of the work. The exception is traced and goes no
// further: no job is dropped, no worker ends, the process goes on.
TEST_P(HostFaultTest, ExceptionsFromTheHostsObjectDropNoJobAndEndNoProcess) {
  ForwardingStatus host(status_);
  std::atomic<int> busyCalls{0}, unlocks{0};
  host.afterSetBusy = [&](bool) {
    if (++busyCalls == 1) throw std::runtime_error("the host's SetBusy");
  };
  host.afterUnlock = [&] {
    if (++unlocks == 4) throw std::runtime_error("the host's Unlock");
  };
  IRimoData* component = lib_.create(&host, GetParam());
  ASSERT_NE(component, nullptr);
  component->LoadRimoResponseFromFile(L"/nonexistent/response.xml");
  component->LoadRimoResponseFromFile(Wide(genuine_).c_str());
  component->LoadRimoResponseFromFile(Wide(genuine_).c_str());
  auto deleted = std::async(std::launch::async, [&] { return lib_.destroy(component); });
  ASSERT_EQ(deleted.wait_for(30s), std::future_status::ready) << "delete never returned";
  EXPECT_TRUE(deleted.get());
  EXPECT_GE(busyCalls.load(), 1);
  EXPECT_GE(unlocks.load(), 4) << "the throwing Unlock was reached";
  EXPECT_EQ(PublishedCount(), 2) << "the jobs after the exceptions ran";
  EXPECT_TRUE(LocksAreFree());
}

INSTANTIATE_TEST_SUITE_P(BothModes, HostFaultTest, ::testing::Values(uint8_t{0}, uint8_t{1}),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == 1 ? std::string("Asynchronous") : std::string("Synchronous");
                         });

// Each allocation of an AddCertificate failing in turn: the list is as it
// was, its count agrees with its nodes, and nothing leaks (LeakSanitizer).
TEST(AllocationFaultTest, AddingACertificateIsAllOrNothing) {
  status::CertificateList list;
  ASSERT_NE(list.AddCertificate(L"SIG", L"first"), nullptr);
  bool added = false;
  for (long k = 0; k < 50 && !added; ++k) {
    SCOPED_TRACE(k);
    t_failAfter = k;
    try {
      added = list.AddCertificate(L"ROOT", std::wstring(300, L'x').c_str()) != nullptr;
    } catch (const std::bad_alloc&) {
    }
    t_failAfter = -1;
    unsigned walked = 0;
    void* cursor = nullptr;
    for (auto* r = list.GetFirstCertificate(&cursor); r != nullptr; r = list.GetNextCertificate(&cursor)) ++walked;
    EXPECT_EQ(walked, list.Count());
    EXPECT_EQ(list.Count(), added ? 2u : 1u);
  }
  EXPECT_TRUE(added);
}

TEST(AllocationFaultTest, TracingNeverThrows) {
  testing::TraceRecorder recorder({{"*", 16}});
  const std::wstring longText(100000, L'y');
  for (long k = 0; k < 40; ++k) {
    SCOPED_TRACE(k);
    t_failAfter = k;
    EXPECT_NO_THROW({
      RIMO_METHOD_TRACE(diag::category::kDataDll, L"AllocationFaultTest::Traced");
      diag::TraceWriteFormat(diag::Info, diag::category::kDataDll, L"%s / %d", longText.c_str(), 7);
      diag::TraceWrite(diag::Info, diag::category::kDataDll, L"plain");
    });
    t_failAfter = -1;
  }
}

}  // namespace
}  // namespace rimo::host
