// Workers and the end of the process: a host that returns from main or calls
// exit() while workers run must not have static state destroyed under them.
#pragma once

#include <memory>
#include <thread>

namespace rimo::component {

class DataCore;

class ExitGuard {
 public:
  // Remembers core's worker. The first call arranges that exit (or the
  // library's unloading) stops every remembered worker (queue dropped,
  // request ended) and waits for it to leave, before the static state it
  // uses is destroyed: the handler is registered after that state was made
  // (the libraries the worker uses, the trace plug-in, the directory
  // library; caches are made when the library loads), and exit handlers run
  // in reverse order.
  static void Watch(const std::shared_ptr<DataCore>& core);
  // Takes the thread of a worker that let go of its object itself and is on
  // its way out: it is joined before exit goes on (or the library is
  // unloaded), or by the next such worker.
  static void Adopt(std::thread worker);
  // True once the process has begun to exit.
  static bool Exiting();
  // The library stays loaded while a worker thread exists: a worker's code
  // and its calls into the loader must never meet an unload. WorkerStarted
  // is called on the thread that made the worker, WorkerJoined on the one
  // that joined it (never the worker itself).
  static void WorkerStarted();
  static void WorkerJoined();
};

}  // namespace rimo::component
