// A host for the crash tests, run as a child process.
//   crash_host                  records its start in $CRASH_HOST_RECORD, ends
//   crash_host worker-fault     the component's worker faults inside a status setter
//   crash_host host-fault       this host's own thread faults; its own handler answers
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/ForwardingStatus.h"

namespace {

struct Library {
  void* handle = dlopen(RIMO_LIB_DIR "/librimodata.so", RTLD_NOW | RTLD_LOCAL);
  IScDataStatus* (*createStatus)() = reinterpret_cast<IScDataStatus* (*)()>(dlsym(handle, "CreateRimoDataStatusObject"));
  IRimoData* (*create)(IScDataStatus*, uint8_t) =
      reinterpret_cast<IRimoData* (*)(IScDataStatus*, uint8_t)>(dlsym(handle, "CreateRimoDataObject"));
  bool (*destroy)(IRimoData*) = reinterpret_cast<bool (*)(IRimoData*)>(dlsym(handle, "DeleteRimoDataObject"));
};

// A real fault, on purpose: exempt from UndefinedBehaviorSanitizer, which
// would otherwise report it before it happens.
// The pointer itself is volatile: the compiler cannot see that it is null
// and so cannot drop the store as undefined.
__attribute__((noinline, no_sanitize("undefined"))) void Fault() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

void HostHandler(int) {
  const char text[] = "host handler\n";
  (void)!write(STDERR_FILENO, text, sizeof text - 1);
  _exit(42);
}

}  // namespace

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
  if (mode == "host-fault") signal(SIGSEGV, &HostHandler);
  Library lib;
  if (lib.handle == nullptr) return 3;
  IScDataStatus* inner = lib.createStatus();
  rimo::host::ForwardingStatus host(inner);
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> workerRan{false};
  host.beforeSetStateCode = [&] {
    if (std::this_thread::get_id() == mainThread) return;
    workerRan = true;
    if (mode == "worker-fault") Fault();
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
