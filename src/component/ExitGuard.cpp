#include "component/ExitGuard.h"
#include "platform/ForkChild.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "component/RimoData.h"
#include "config/DirectoryLibrary.h"
#include "crypto/OpenSslHandles.h"
#include "diag/Trace.h"
#include "diag/TraceSystemAdapter.h"
#include "platform/Utf8.h"
#include "webcomm/KeloHttpComm.h"
#include "xml/XmlReader.h"

// The C++ runtime's registration of exit handlers, bound to this library:
// the handler also runs when a host unloads the library, never after.
extern "C" int __cxa_atexit(void (*handler)(void*), void* argument, void* library);
extern "C" void* __dso_handle;

namespace rimo::component {
namespace {

// How long exit waits for all workers together; one that has not left by
// then is left running (a bound on the host's exit, not an expected case:
// the running request is ended at once).
constexpr std::chrono::seconds kExitWait{10};
// How long a worker may wait for the host's status lock at exit before it
// counts as kept there for good.
constexpr std::chrono::milliseconds kLockWaitAtExit{200};

struct Watched {
  std::mutex mutex;
  std::vector<std::weak_ptr<DataCore>> cores;
  std::vector<std::shared_ptr<DataCore>> stillRunning;  // kept to the end
  std::vector<std::thread> orphans;  // workers past their object, on their way out
  std::atomic<bool> exiting{false};
};

// Made before the exit handler is registered, so destroyed after it ran.
// (Never-destroyed state would count as leaked once a host unloads the
// library.)
Watched& TheWatched() {
  static Watched watched;
  return watched;
}

// Process-wide state the workers use, made before the exit handler is
// registered: what is made earlier is destroyed later, so all of it
// outlives the handler, which stops the workers. (Caches are made when the
// library loads; the card plug-ins stay loaded from their first load.)
void MakeSharedStateFirst() {
  crypto::InitialiseOpenSsl();
  WebCommLib::KeloHttpComm::InitialiseLibraries();
  xml::XmlReader::InitialiseLibrary();
  diag::TraceSystemAdapter::Instance().Load();
  config::DirectoryLibrary::Instance();
  platform::Utf8CType();
}

// OpenSSL first of all, while the library loads: before any of its use could
// register the cleanup.
const bool g_openSslReady = (crypto::InitialiseOpenSsl(), true);

// Joins the adopted workers but the calling thread (which may be one).
void JoinOrphans(Watched& w) {
  std::vector<std::thread> orphans;
  {
    std::lock_guard<std::mutex> guard(w.mutex);
    orphans.swap(w.orphans);
  }
  for (std::thread& t : orphans) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();
    } else {
      t.join();
      ExitGuard::WorkerJoined();
    }
  }
}

void StopWorkersAtExit(void*) {
  Watched& w = TheWatched();
  w.exiting.store(true);
  JoinOrphans(w);
  std::vector<std::shared_ptr<DataCore>> live;
  {
    std::lock_guard<std::mutex> guard(w.mutex);
    for (const auto& weak : w.cores) {
      if (auto core = weak.lock()) live.push_back(std::move(core));
    }
    w.cores.clear();
  }
  for (const auto& core : live) core->StopForExit();
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  for (const auto& core : live) {
    // A worker that called exit itself cannot leave before exit is done.
    if (core->Engine().OnWorker()) {
      std::lock_guard<std::mutex> guard(w.mutex);
      w.stillRunning.push_back(core);
      continue;
    }
    // A worker kept from its queue by the host's status lock (a host that
    // ends while it holds it) can never leave: it is not waited for.
    bool left = false;
    while (!(left = core->Engine().WaitUntilLeft(std::chrono::milliseconds(20))) &&
           std::chrono::steady_clock::now() < deadline && core->StatusLockWaitedFor() < kLockWaitAtExit) {
    }
    if (left) {
      core->Engine().Join();
    } else {
      // Still running: its last reference must not be dropped here.
      diag::TraceWriteFormat(diag::Error, diag::category::kDataDll,
                             L"Ein DataWorkerThread hat das Programmende nicht abgewartet (höchstens %d ms, oder er "
                             L"wartet auf die Sperre des Statusobjekts); das Programm endet ohne ihn.",
                             static_cast<int>(std::chrono::milliseconds(kExitWait).count()));
      std::lock_guard<std::mutex> guard(w.mutex);
      w.stillRunning.push_back(core);
    }
  }
}

}  // namespace

namespace {

std::mutex g_pinMutex;
int g_liveWorkers = 0;    // guarded by g_pinMutex
void* g_pin = nullptr;    // this library, opened once more; guarded by g_pinMutex

// In a child of fork the parent's workers do not exist: nothing may wait
// for them, join them or stop them, and no lock a parent thread held may be
// met. Their records are left as they are (never destroyed: a joinable
// thread record must not be), and the child starts with none.
void ForgetTheParentsWorkers() {
  Watched& w = TheWatched();
  new (&w.mutex) std::mutex();
  new (&g_pinMutex) std::mutex();
  platform::RemakeInChild(w.orphans);
  platform::RemakeInChild(w.stillRunning);
  platform::RemakeInChild(w.cores);
  g_liveWorkers = 0;
}

const bool g_forkHandled = (pthread_atfork(nullptr, nullptr, &ForgetTheParentsWorkers), true);

}  // namespace

void ExitGuard::WorkerStarted() {
  std::lock_guard<std::mutex> guard(g_pinMutex);
  if (g_liveWorkers++ > 0) return;
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&ExitGuard::WorkerStarted), &info) != 0 && info.dli_fname != nullptr) {
    g_pin = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  }
}

void ExitGuard::WorkerJoined() {
  void* pin = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_pinMutex);
    if (g_liveWorkers == 0 || --g_liveWorkers > 0) return;
    pin = std::exchange(g_pin, nullptr);
  }
  // Called from inside the library by a host's call or the exit handler:
  // the host's own reference keeps it loaded past this.
  if (pin != nullptr && !Exiting()) dlclose(pin);
}

void ExitGuard::Watch(const std::shared_ptr<DataCore>& core) {
  Watched& w = TheWatched();
  static std::once_flag once;
  std::call_once(once, [] {
    MakeSharedStateFirst();
    __cxa_atexit(&StopWorkersAtExit, nullptr, &__dso_handle);
  });
  std::lock_guard<std::mutex> guard(w.mutex);
  std::erase_if(w.cores, [](const std::weak_ptr<DataCore>& weak) { return weak.expired(); });
  w.cores.push_back(core);
}

void ExitGuard::Adopt(std::thread worker) {
  Watched& w = TheWatched();
  // The earlier ones are past their work: only their object's teardown and
  // their thread's end are left, so joining them is short.
  JoinOrphans(w);
  std::lock_guard<std::mutex> guard(w.mutex);
  w.orphans.push_back(std::move(worker));
}

bool ExitGuard::Exiting() { return TheWatched().exiting.load(); }

}  // namespace rimo::component
