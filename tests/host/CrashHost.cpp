// A host for the crash tests, run as a child process.
//   crash_host                  records its start in $CRASH_HOST_RECORD, ends
//   crash_host worker-fault     the component's worker faults inside a status setter
//   crash_host host-fault       this host's own thread faults; its own handler answers
//   crash_host fault-after-unload   the library is used, deleted and unloaded;
//                                   then this host faults: its own handler answers
//   crash_host fault-after-reload   the same twice (the second load lands where
//                                   the first was), then the fault
// With worker-fault, CRASH_HOST_DELAY_MS delays the fault, and CRASH_HOST_TRAP
// watches the allocator (builds without sanitizers only):
//   enter   any allocation on the faulting thread after the fault ends the
//           process with 66 and "allocator entered" on standard error
//   lock    every allocation takes one lock, and the fault happens inside
//           malloc with that lock held: an allocation in the handler hangs
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/ChildHostLibrary.h"
#include "host/ForwardingStatus.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CRASH_HOST_TRAPS 1
#endif

namespace {

#ifdef CRASH_HOST_TRAPS
enum class Trap { kNone, kEnter, kLock };
std::atomic<Trap> g_trap{Trap::kNone};
thread_local bool t_faulted = false;      // this thread has faulted (enter)
thread_local bool t_faultInside = false;  // the next malloc on this thread faults (lock)
#endif

using Library = rimo::host::ChildHostLibrary;

// A real fault, on purpose: exempt from UndefinedBehaviorSanitizer, which
// would otherwise report it before it happens.
// The pointer itself is volatile: the compiler cannot see that it is null
// and so cannot drop the store as undefined.
__attribute__((noinline, no_sanitize("undefined"))) void Fault() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

#ifdef CRASH_HOST_TRAPS
pthread_mutex_t g_allocatorLock = PTHREAD_MUTEX_INITIALIZER;

// Holds the stand-in allocator lock for one call, or checks that the
// faulting thread stays out of the allocator.
class AllocatorCall {
 public:
  AllocatorCall() {
    if (g_trap == Trap::kEnter && t_faulted) {
      const char text[] = "allocator entered\n";
      (void)!write(STDERR_FILENO, text, sizeof text - 1);
      _exit(66);
    }
    locked_ = g_trap == Trap::kLock;
    if (locked_) pthread_mutex_lock(&g_allocatorLock);
  }
  ~AllocatorCall() {
    if (locked_) pthread_mutex_unlock(&g_allocatorLock);
  }

 private:
  bool locked_;
};
#endif

void HostHandler(int) {
  const char text[] = "host handler\n";
  (void)!write(STDERR_FILENO, text, sizeof text - 1);
  _exit(42);
}

}  // namespace

#ifdef CRASH_HOST_TRAPS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_realloc(void*, size_t);
void* __libc_calloc(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
  AllocatorCall call;
  if (t_faultInside) {
    t_faultInside = false;
    Fault();
  }
  return __libc_malloc(size);
}
void* realloc(void* p, size_t size) {
  AllocatorCall call;
  return __libc_realloc(p, size);
}
void* calloc(size_t n, size_t size) {
  AllocatorCall call;
  return __libc_calloc(n, size);
}
void free(void* p) {
  AllocatorCall call;
  __libc_free(p);
}
}
#endif

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode.empty()) {
    if (const char* record = std::getenv("CRASH_HOST_RECORD")) {
      if (FILE* f = std::fopen(record, "a")) {
        std::fprintf(f, "started\n");
        std::fclose(f);
      }
    }
    return 0;
  }
  if (mode == "fault-after-unload" || mode == "fault-after-reload") {
    signal(SIGSEGV, &HostHandler);
    for (int cycle = 0; cycle < (mode == "fault-after-reload" ? 2 : 1); ++cycle) {
      Library lib;
      if (lib.handle == nullptr) return 3;
      IScDataStatus* status = lib.createStatus();
      IRimoData* component = lib.create(status, 1);
      component->LoadRimoResponseFromFile(L"/nonexistent/response.xml");
      lib.destroy(component);  // the worker (and its translator) has run and ended
      lib.deleteStatus(status);
      if (dlclose(lib.handle) != 0) return 5;
    }
    Fault();
    return 0;
  }
  if (mode == "host-fault") signal(SIGSEGV, &HostHandler);
  const char* delay = std::getenv("CRASH_HOST_DELAY_MS");
  const int delayMs = delay != nullptr ? std::atoi(delay) : 0;
  const std::string trap = std::getenv("CRASH_HOST_TRAP") != nullptr ? std::getenv("CRASH_HOST_TRAP") : "";
  Library lib;
  if (lib.handle == nullptr) return 3;
  IScDataStatus* inner = lib.createStatus();
  rimo::host::ForwardingStatus host(inner);
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> workerRan{false};
  host.beforeSetStateCode = [&] {
    if (std::this_thread::get_id() == mainThread) return;
    workerRan = true;
    if (mode != "worker-fault") return;
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
#ifdef CRASH_HOST_TRAPS
    if (trap == "enter") {
      g_trap = Trap::kEnter;
      t_faulted = true;
    } else if (trap == "lock") {
      g_trap = Trap::kLock;
      t_faultInside = true;
      // Fault is reached inside malloc, with the allocator lock held.
      free(malloc(1));
    }
#else
    if (!trap.empty()) std::exit(4);
#endif
    Fault();
  };
  IRimoData* component = lib.create(&host, 1);
  component->LoadRimoResponseFromFile(L"/nonexistent/response.xml");
  if (mode == "host-fault") {
    // The worker has run a task (its translator is in place); now this thread faults.
    while (!workerRan) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Fault();
  }
  lib.destroy(component);
  return 0;
}
