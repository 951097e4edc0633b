#include "component/RimoData.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <future>
#include <system_error>

#include "component/PendingReleases.h"
#include "diag/ExceptionTranslator.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Module.h"
#include "platform/Utf8.h"
#include "platform/FileIo.h"
#include "rimo/RimoStatusCodes.h"
#include "status/ScopedLocks.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;
using status::StatusLock;  // also guards the task queue

namespace {

// The object whose synchronous call runs on this thread, if any.
thread_local RimoData* t_inCall = nullptr;

// A worker that releases its own object finishes after the host may think
// the object gone: the library is then kept loaded for good, so that the
// worker's last steps never run in unmapped code and no unload has to wait
// for it.
void KeepLibraryLoaded() {
  // At exit, wait (briefly) for releasing workers before static objects,
  // ours and the plug-ins', are destroyed under them.
  static std::once_flag once;
  std::call_once(once, [] {
    // The state is made first, so that it is destroyed after the wait.
    PendingReleases::WaitForAll(std::chrono::milliseconds(0));
    std::atexit([] { PendingReleases::WaitForAll(std::chrono::seconds(10)); });
  });
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&KeepLibraryLoaded), &info) != 0 && info.dli_fname != nullptr) {
    dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

// The follow-up card number, the ID from its 18th character on, is a path
// segment of the request: "." or ".." would name another resource, also
// where a server takes a backslash or a slash look-alike for a separator,
// a fullwidth full stop for a dot, or drops invisible characters.
bool DotSegmentCardNumber(const wchar_t* userId) {
  const size_t length = std::wcslen(userId);
  if (length <= 17) return false;
  std::wstring folded;
  for (const wchar_t* c = userId + 17; *c != L'\0'; ++c) {
    switch (*c) {
      case L'\\': case 0x2215: case 0x2044: case 0x29F8: case 0xFF0F: case 0xFF3C:
        folded.push_back(L'/');
        break;
      case 0xFF0E: case 0x3002: case 0xFF61: case 0x2024:
        folded.push_back(L'.');
        break;
      case 0x00AD: case 0x200B: case 0x200C: case 0x200D: case 0x2060: case 0xFEFF:
        break;
      default:
        folded.push_back(*c);
    }
  }
  size_t start = 0;
  for (;;) {
    const size_t slash = folded.find(L'/', start);
    const std::wstring_view segment = std::wstring_view(folded).substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
    if (segment == L"." || segment == L"..") return true;
    if (slash == std::wstring::npos) return false;
    start = slash + 1;
  }
}

}  // namespace

RimoData::RimoData(IScDataStatus* status, uint8_t startWorker)
    : status_(status),
      checks_(&paths_),
      publisher_(status),
      store_(paths_),
      statusIni_(checks_.CertFunctions()),
      query_(http_, registry_, checks_) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::RimoData");
  TraceWriteFormat(diag::Info, kDataDll, L"Event mit dem Namen %s wurde erzeugt.",
                   L"Quandel.Security.Rimo.DataTaskInQueue");
  if (startWorker != 1) return;
  try {
    std::promise<long> started;
    std::future<long> threadId = started.get_future();
    // The thread owns the promise, so the constructor's return cannot pull it
    // away while the value is being set.
    worker_ = std::thread([this, started = std::move(started)]() mutable {
      started.set_value(syscall(SYS_gettid));
      {
        // A fault on this thread leaves a dump behind (and, where the
        // installation asks for it, restarts the host).
        diag::ExceptionTranslator translator;
        workerExitCode_.store(DataWorkerThreadProc(this));
      }
      if (releaseWhenWorkerEnds_.load()) {
        // Deleted from a callback on this thread: released now that the
        // worker has left the object.
        // A host call still inside the object (queuing the task that led
        // here, say) finishes first.
        while (activeCalls_.load() != 0) std::this_thread::yield();
        IScDataStatus* const status = status_;
        worker_.detach();
        delete this;
        PendingReleases::Done(status);
      }
    });
    TraceWriteFormat(diag::Info, kDataDll, L"DataWorkerThread wurde mit der ID[%d] erzeugt.",
                     static_cast<int>(threadId.get()));
  } catch (const std::system_error& e) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"DataWorkerThread konnte nicht erzeugt werden (%S). Die Aufträge werden "
                     L"synchron ausgeführt.",
                     e.what());
  }
}

RimoData::~RimoData() {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::~RimoData");
  if (!worker_.joinable()) return;
  RequestStop();
  try {
    worker_.join();
  } catch (const std::system_error&) {
    TraceWrite(diag::Error, kDataDll,
               L"WaitForSingleObject wurde mit einem Fehler beendet - Der DataWorkerThread wurde "
               L"nicht korrekt beendet.");
    worker_.detach();
  }
}

void RimoData::RequestStop() {
  try {
    PushTask(TaskType::Stop, nullptr);
  } catch (...) {
    // No room for the Stop task: the flag ends the worker after the queue.
    std::lock_guard<std::mutex> guard(wakeMutex_);
    stopWhenIdle_ = true;
    wakeSignalled_ = true;
    wakeCondition_.notify_one();
  }
}

bool RimoData::ReleaseWhenLeft() {
  if (worker_.joinable() && std::this_thread::get_id() == worker_.get_id()) {
    TraceWrite(diag::Info, kDataDll,
               L"Das Objekt wird vom DataWorkerThread aus gelöscht und nach dessen Ende freigegeben.");
    KeepLibraryLoaded();
    PendingReleases::Add(status_);
    releaseWhenWorkerEnds_.store(true);
    RequestStop();
    return true;
  }
  if (t_inCall == this) {
    releaseAfterCall_ = true;
    return true;
  }
  return false;
}

template <typename Work>
void RimoData::Guarded(const wchar_t* call, Work work) {
  activeCalls_.fetch_add(1);
  RimoData* const outer = t_inCall;
  t_inCall = this;
  try {
    work();
  } catch (...) {
    TraceWriteFormat(diag::Critical, kDataDll, L"Beim Aufruf von %s ist ein Fehler aufgetreten.", call);
  }
  t_inCall = outer;
  // Deleted from a host callback during this call: released on the way out.
  const bool release = releaseAfterCall_ && outer != this;
  activeCalls_.fetch_sub(1);  // the last touch of this object by the call
  if (release) delete this;
}

bool RimoData::RefuseUserId(const wchar_t* userId) {
  const bool fits = userId != nullptr && std::wcslen(userId) <= kMaxUserIdLength;
  // An ID that could name another file or another request is refused as
  // well: nothing is sent.
  if (fits && config::CRimoPaths::UsableUserId(userId) && !DotSegmentCardNumber(userId)) return false;
  if (!fits) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Die Benutzerkennung ist länger als %d Zeichen und wird nicht verarbeitet.",
                     static_cast<int>(kMaxUserIdLength));
  } else {
    TraceWrite(diag::Error, kDataDll, L"Die Benutzerkennung ist als Dateiname ungeeignet und wird nicht verarbeitet.");
  }
  Refuse(TaskType::RefusedUserId);
  return true;
}

void RimoData::Refuse(int32_t refusal) {
  if (IsAsynchronous()) {
    PushTask(refusal, nullptr);
  } else if (refusal == TaskType::RefusedUserId) {
    ReportRefusedUserId();
  } else {
    ReportRefusedPath();
  }
}

void RimoData::ReportRefusedUserId() {
  // Ends like a failed query: nothing of an earlier job stays visible.
  publisher_.RefusedUserId();
}

bool RimoData::RefusePath(const wchar_t* path) {
  if (path != nullptr && std::wcslen(path) <= kMaxFilePathLength) return false;
  TraceWriteFormat(diag::Error, kDataDll,
                   L"Der Dateipfad ist länger als %d Zeichen und wird nicht verarbeitet.",
                   static_cast<int>(kMaxFilePathLength));
  Refuse(TaskType::RefusedPath);
  return true;
}

void RimoData::ReportRefusedPath() { publisher_.RefusedPath(); }

void RimoData::LoadRimoResponseFromFile(const wchar_t* path) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::LoadRimoResponseFromFile");
  Guarded(L"LoadRimoResponseFromFile", [&] {
    if (RefusePath(path)) return;
    if (IsAsynchronous()) {
      PushTask(TaskType::GetFromFile, path);
      return;
    }
    std::wstring copy(path);
    ExecuteGetFromFile(copy.c_str());
  });
}

void RimoData::LoadRimoResponseFromRZ(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::LoadRimoResponseFromRZ");
  Guarded(L"LoadRimoResponseFromRZ", [&] {
    if (RefuseUserId(userId)) return;
    if (IsAsynchronous()) {
      PushTask(TaskType::GetFromRz, userId);
      PushTask(TaskType::UpdateStatusIni, userId);
      return;
    }
    std::wstring copy(userId);
    ExecuteGetFromRz(copy.c_str());
    statusIni_.Update(copy.c_str());
  });
}

void RimoData::QueryRimoResponse(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::QueryRimoResponse");
  Guarded(L"QueryRimoResponse", [&] {
    if (RefuseUserId(userId)) return;
    // Whether a stored response makes the request needless is decided when
    // the query runs, in both modes alike.
    if (IsAsynchronous()) {
      PushTask(TaskType::QueryResponse, userId);
      PushTask(TaskType::UpdateStatusIni, userId);
      return;
    }
    std::wstring copy(userId);
    ExecuteQueryTask(copy.c_str());
    statusIni_.Update(copy.c_str());
  });
}

void RimoData::ExecuteQueryTask(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteQueryTask");
  if (!store_.HoldsVerified(userId, checks_)) {
    ExecuteQueryResponse(userId);
    return;
  }
  QueryResult present;
  present.outcome = codes::kOutcomeReceived;
  publisher_.StartQuery();
  publisher_.QueryEnded(present);
  statusIni_.QueryEnded(userId, present.outcome, present.errorId);
}

QueryResult RimoData::ExecuteQueryResponse(const wchar_t* userId) {
  // Every query starts from a clean record: "no result", nothing of an
  // earlier job.
  publisher_.StartQuery();
  QueryResult result = query_.Run(userId);
  // Only a verified response is ever stored.
  if (result.outcome == codes::kOutcomeReceived && wizardSettings_.GetStoreResponse()) {
    store_.Store(userId, result.response);
  }
  publisher_.QueryEnded(result);
  statusIni_.QueryEnded(userId, result.outcome, result.errorId);
  return result;
}

void RimoData::PushTask(int32_t type, const wchar_t* argument) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::PushTask");
  DataTask task;
  task.type = type;
  task.utilities = checks_.Utilities();
  task.signature = checks_.Signature();
  if (argument != nullptr) {
    auto copyInto = [argument](wchar_t* field, size_t capacity) {
      std::wcsncpy(field, argument, capacity - 1);
      field[capacity - 1] = L'\0';
    };
    switch (type) {
      case TaskType::GetFromFile:
        TraceWriteFormat(diag::Info, kDataDll, L"Ein neuer Task \"GetFrom%s\" wird in die Queue gestellt.",
                         L"File");
        copyInto(task.filePath, std::size(task.filePath));
        break;
      case TaskType::GetFromRz:
        TraceWriteFormat(diag::Info, kDataDll, L"Ein neuer Task \"GetFrom%s\" wird in die Queue gestellt.",
                         L"RZ");
        copyInto(task.userId, std::size(task.userId));
        break;
      case TaskType::QueryResponse:
        TraceWrite(diag::Info, kDataDll, L"Ein neuer Task \"QueryResponse\" wird in die Queue gestellt.");
        copyInto(task.userId, std::size(task.userId));
        break;
      case TaskType::UpdateStatusIni:
        TraceWrite(diag::Info, kDataDll, L"Ein neuer Task \"UpdateStatusIni\" wird in die Queue gestellt.");
        copyInto(task.userId, std::size(task.userId));
        break;
      default:
        break;
    }
  }
  {
    StatusLock lock(status_);
    taskQueue_.push_back(task);
  }
  TraceWrite(diag::Detail, kDataDll,
             L"Das Event zum Starten der Verarbeitung eines neuen Tasks wird signalisiert.");
  {
    // Signalled under the mutex: once it is released, this call no longer
    // touches the condition, whatever the worker does next.
    std::lock_guard<std::mutex> guard(wakeMutex_);
    wakeSignalled_ = true;
    wakeCondition_.notify_one();
  }
}

void RimoData::WaitForTask() {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  wakeCondition_.wait(lock, [this] { return wakeSignalled_; });
  // Reset before the queue is drained: a push during the drain signals again.
  wakeSignalled_ = false;
}

int RimoData::ObserveTaskQueue() {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ObserveTaskQueue");
  bool busy = false;
  bool stopRequested = false;
  while (!stopRequested) {
    TraceWrite(diag::Detail, kDataDll, L"DataWorkerThread wartet auf einen Task.");
    WaitForTask();
    TraceWrite(diag::Detail, kDataDll, L"Task-Event wurde gesetzt.");
    for (;;) {
      DataTask task;
      {
        StatusLock lock(status_);
        if (taskQueue_.empty()) break;
        task = taskQueue_.front();
        taskQueue_.pop_front();
      }
      if (!busy) {
        TraceWrite(diag::Info, kDataDll, L"Thread wird als 'busy' gekennzeichnet.");
        publisher_.SetBusy(true);
        busy = true;
      }
      TraceWriteFormat(diag::Info, kDataDll, L"Task mit dem TaskTyp [%d] wurde aus der Queue gelesen.",
                       task.type);
      if (task.type == TaskType::Stop) {
        stopRequested = true;
      } else {
        TraceWrite(diag::Info, kDataDll, L"Task wird verarbeitet.");
        ExecuteTask(task);
      }
    }
    {
      std::lock_guard<std::mutex> guard(wakeMutex_);
      if (stopWhenIdle_) stopRequested = true;
    }
    if (busy) {
      TraceWrite(diag::Info, kDataDll, L"Der Status 'busy' wird zurückgesetzt.");
      publisher_.SetBusy(false);
      busy = false;
    }
  }
  return 0;
}

void RimoData::ExecuteTask(DataTask task) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteTask");
  // A task that fails leaves every lock free (they are scoped) and the
  // worker ready for the next one.
  try {
    switch (task.type) {
      case TaskType::GetFromFile:
        ExecuteGetFromFile(task.filePath);
        break;
      case TaskType::GetFromRz:
        ExecuteGetFromRz(task.userId);
        break;
      case TaskType::QueryResponse:
        ExecuteQueryTask(task.userId);
        break;
      case TaskType::UpdateStatusIni:
        statusIni_.Update(task.userId);
        break;
      case TaskType::RefusedPath:
        ReportRefusedPath();
        break;
      case TaskType::RefusedUserId:
        ReportRefusedUserId();
        break;
      default:
        break;
    }
  } catch (...) {
    TraceWriteFormat(diag::Critical, kDataDll, L"Bei der Verarbeitung des Tasks [%d] ist ein Fehler aufgetreten.",
                     task.type);
  }
}

int RimoData::DataWorkerThreadProc(RimoData* component) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::DataWorkerThreadProc");
  try {
    return component->ObserveTaskQueue();
  } catch (...) {
    // Any exception ends the worker; the host still destroys the object.
    TraceWrite(diag::Critical, kDataDll, L"Es ist ein Fehler im DataWorker-Thread aufgetreten!");
    return 1;
  }
}

void RimoData::ExecuteGetFromFile(const wchar_t* path) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteGetFromFile");
  publisher_.FileLoadStarted();
  TraceWrite(diag::Detail, kDataDll, L"Der Filestream wird erzeugt.");
  const auto narrowPath = platform::WideToUtf8Exact(path);
  std::unique_ptr<platform::FileStream> file = narrowPath ? platform::FileStream::Open(*narrowPath) : nullptr;
  if (file != nullptr && file->Size() > xml::kMaxTcResponseBytes) {
    // Larger than any response the data center can send: never read.
    publisher_.ResetRecord();
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Die Datei %s ist mit %d Bytes größer als eine TC-Response sein kann (höchstens %d Bytes).",
                     path, static_cast<int>(std::min<uint64_t>(file->Size(), INT32_MAX)),
                     static_cast<int>(xml::kMaxTcResponseBytes));
    return;
  }
  std::shared_ptr<platform::IByteStream> stream = std::move(file);
  if (stream == nullptr) {
    publisher_.FileNotOpened();
    TraceWriteFormat(diag::Error, kDataDll, L"Es konnte kein Stream-Objekt für die Datei %s erzeugt werden.", path);
    return;
  }
  TraceWriteFormat(diag::Info, kDataDll,
                   L"Der Filestream für die Datei %s wurde erfolgreich erzeugt. Die Daten werden nun gelesen.", path);
  GetCertsFromStream(std::move(stream));
}

void RimoData::ExecuteGetFromRz(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteGetFromRz");
  QueryResult result = ExecuteQueryResponse(userId);
  // Any other outcome was reported by the query itself.
  if (result.outcome != codes::kOutcomeReceived || result.verified == nullptr) return;
  publisher_.Publish(*result.verified, checks_);
}

void RimoData::GetCertsFromStream(std::shared_ptr<platform::IByteStream> stream) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetCertsFromStream");
  publisher_.ResetRecord();
  xml::CTcResponseXml response(std::move(stream), checks_.Utilities(), checks_.Signature(), checks_.CertFunctions());
  if (!response.Parse()) {
    // Code 0: the document could not be read; the reset is all that shows.
    if (response.VerificationError() != xml::CTcResponseXml::kNoError) {
      TraceWriteFormat(diag::Error, kDataDll, L"Die TC-Response ist nicht gültig - Prüfung [%d] fehlgeschlagen.",
                       static_cast<int>(response.VerificationError()));
      publisher_.VerificationFailed();
    }
    return;
  }
  publisher_.Publish(response, checks_);
}

}  // namespace rimo::component
