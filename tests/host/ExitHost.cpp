// A host that ends while the component's workers are busy, run as a child.
//   exit_host MODE DELAY_MS RESPONSE_FILE
// Eight component objects on three library status objects and one of the
// host's own queue data-center queries (the registry names a data center
// that never answers) and loads of RESPONSE_FILE; host threads poll the
// status objects. After DELAY_MS the host stops its pollers and ends:
//   return         returns from main, nothing deleted
//   exit-thread    calls exit() on a thread of its own, main still waiting
//   exit-callback  calls exit() from inside a status call on a worker
//   return-locked  returns from main holding its status object's lock, with
//                  a load queued on an object of its own
//   self-delete    a component on a host object of its own deletes itself
//                  from a callback on its worker; the host frees that object
//                  and the library one behind it, then returns from main
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/ChildHostLibrary.h"
#include "host/ForwardingStatus.h"

namespace {

using Library = rimo::host::ChildHostLibrary;

// What the host made and never deletes, kept where a leak checker sees it
// still referenced: plain arrays, which no exit-time destructor empties.
IScDataStatus* g_statuses[4];
IRimoData* g_components[9];

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  const int delayMs = std::atoi(argv[2]);
  const std::string file = argv[3];
  const std::wstring response(file.begin(), file.end());
  Library lib;
  if (lib.handle == nullptr) return 3;
  if (mode == "return-locked") {
    // Returns from main holding its status object's lock, a load queued.
    IScDataStatus* status = g_statuses[0] = lib.createStatus();
    IRimoData* component = g_components[0] = lib.create(status, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    status->Lock();
    component->LoadRimoResponseFromFile(response.c_str());
    return 0;
  }
  std::vector<IScDataStatus*> statuses;
  for (int i = 0; i < 3; ++i) statuses.push_back(g_statuses[i] = lib.createStatus());
  // The host's own object outlives the process: never destroyed.
  auto* own = new rimo::host::ForwardingStatus(statuses[0]);
  static std::atomic<bool> exitNow{false};
  own->afterSetBusy = [](bool) {
    if (exitNow) std::exit(0);
  };
  statuses.push_back(g_statuses[3] = own);
  std::vector<IRimoData*> components;
  for (int i = 0; i < 8; ++i) {
    components.push_back(g_components[i] = lib.create(statuses[static_cast<size_t>(i) % statuses.size()], 1));
  }
  for (int round = 0; round < 3; ++round) {
    for (IRimoData* c : components) {
      c->LoadRimoResponseFromFile(response.c_str());
      c->LoadRimoResponseFromRZ(L"12345678901234567890");
      c->QueryRimoResponse(L"12345678901234567891");
    }
  }
  std::atomic<bool> polling{true};
  std::vector<std::thread> pollers;
  for (int i = 0; i < 2; ++i) {
    pollers.emplace_back([&, i] {
      while (polling) {
        for (size_t s = static_cast<size_t>(i); s < statuses.size(); s += 2) {
          statuses[s]->Lock();
          (void)statuses[s]->GetStateCode();
          (void)statuses[s]->GetCertificateList()->Count();
          statuses[s]->Unlock();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  polling = false;
  for (auto& t : pollers) t.join();
  if (mode == "return") return 0;
  if (mode == "self-delete") {
    IScDataStatus* inner = lib.createStatus();
    auto* host = new rimo::host::ForwardingStatus(inner);
    static std::atomic<IRimoData*> self{nullptr};
    static std::atomic<bool> returned{false};
    static std::atomic<int> calls{0};
    // After an Unlock: the host's own method makes no further use of its
    // object once the callback returns.
    host->afterUnlock = [&lib] {
      if (++calls != 2) return;
      if (IRimoData* c = self.exchange(nullptr)) lib.destroy(c);
      returned = true;
    };
    IRimoData* c = lib.create(host, 1);
    for (int i = 0; i < 5; ++i) c->LoadRimoResponseFromFile(response.c_str());
    self = c;
    for (int i = 0; i < 10000 && !returned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    delete host;
    lib.deleteStatus(inner);
    return returned ? 0 : 7;
  }
  if (mode == "exit-thread") {
    std::thread ender([] { std::exit(0); });
    ender.join();  // never returns: exit() ends the process meanwhile
    return 5;
  }
  if (mode == "exit-callback") {
    exitNow = true;
    // A fresh object's first job raises the busy flag on the host's own
    // object (unless a queued job did so first: then no object is made).
    if (IRimoData* fresh = g_components[8] = lib.create(own, 1)) fresh->LoadRimoResponseFromFile(response.c_str());
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 6;
  }
  return 4;
}
