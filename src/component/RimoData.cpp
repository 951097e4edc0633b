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
#include "crypto/SignatureFunctions.h"
#include "diag/ExceptionTranslator.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Module.h"
#include "platform/Utf8.h"
#include "config/DirectoryLibrary.h"
#include "config/StatusIni.h"
#include "platform/FileIo.h"
#include "platform/FileLock.h"
#include "status/ScDataStatus.h"
#include "status/ScopedLocks.h"
#include "xml/ResponseContainerXml.h"
#include "xml/RzResponseXml.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;
using status::ListLock;
using status::StatusLock;  // also guards the task queue

namespace {

constexpr wchar_t kFileNotOpened[] = L"Die Datei konnte nicht geöffnet werden.";
constexpr wchar_t kNoUrlErrorId[] = L"INT-99001";
constexpr int32_t kStateFileLoadStarted = 6004;
constexpr int32_t kStateQueryStarted = 6001;
constexpr int32_t kStateUnexpectedStatus = 6003;
constexpr int32_t kOutcomeReceived = 0;
constexpr int32_t kOutcomeNoPackage = 1;
constexpr int32_t kOutcomeNoResult = 2;
constexpr int32_t kErrorKindNoPackage = 4;
constexpr int32_t kErrorKindFault = 5;
constexpr int32_t kErrorKindFaultUnreadable = 6;
constexpr uint32_t kDetailUnreadable = 99000;
constexpr char kServiceUrlValue[] = "RimoServiceUrl";
constexpr int kResponseLockTimeoutMs = 1000;
constexpr char kDefaultServiceUrl[] = "https://rz.kelo.invalid/pvtwmod/rest/";

// RFC 3986 percent-encoding of UTF-8 text: only unreserved characters stay,
// so nothing in a user ID can change a request's path or query.
std::wstring PercentEncoded(const std::wstring& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring out;
  for (unsigned char c : platform::WideToUtf8(text)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out.push_back(static_cast<wchar_t>(c));
    } else {
      out.push_back(L'%');
      out.push_back(static_cast<wchar_t>(kHex[c >> 4]));
      out.push_back(static_cast<wchar_t>(kHex[c & 15]));
    }
  }
  return out;
}
constexpr int32_t kStatePublished = 6002;
constexpr int32_t kErrorKindVerification = 3;
constexpr int32_t kErrorKindRequest = 8;


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

RimoData::RimoData(IScDataStatus* status, uint8_t startWorker) : status_(status) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::RimoData");
  CreateUtilitiesObjects();
  certFunctions_ = crypto::MakeCertFunctions(&paths_);
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
        diag::ExceptionTranslator translator(&config::ComponentLogDirectory);
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

void RimoData::CreateUtilitiesObjects() {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::CreateUtilitiesObjects");
  utilities_ = std::make_unique<xml::KeloUtilities>();
  signature_ = std::make_unique<crypto::SignatureFunctions>();
  http_ = std::make_unique<WebCommLib::KeloHttpComm>();
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
  StartQueryRecord();
  StatusLock lock(status_);
  status_->SetErrorKind(kErrorKindRequest);
  status_->SetErrorId(kNoUrlErrorId);
  status_->SetQueryOutcome(kOutcomeNoResult);
}

bool RimoData::RefusePath(const wchar_t* path) {
  if (path != nullptr && std::wcslen(path) <= kMaxFilePathLength) return false;
  TraceWriteFormat(diag::Error, kDataDll,
                   L"Der Dateipfad ist länger als %d Zeichen und wird nicht verarbeitet.",
                   static_cast<int>(kMaxFilePathLength));
  Refuse(TaskType::RefusedPath);
  return true;
}

void RimoData::ReportRefusedPath() {
  StatusLock lock(status_);
  status_->SetStateCode(kStateFileLoadStarted);
  status_->SetUserMessage(kFileNotOpened);
}

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
    UpdateStatusIni(copy.c_str());
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
    UpdateStatusIni(copy.c_str());
  });
}

void RimoData::ExecuteQueryTask(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteQueryTask");
  if (StoredResponseVerifies(userId)) {
    StartQueryRecord();
    StatusLock lock(status_);
    status_->SetQueryOutcome(kOutcomeReceived);
  } else {
    ExecuteQueryResponse(userId);
  }
  RecordQueryOutcome(userId);
}

bool RimoData::StoredResponseVerifies(const wchar_t* userId) {
  const std::wstring responseFile = ResponseFilePath(userId);
  if (responseFile.empty()) return false;
  const auto narrow = platform::WideToUtf8Exact(responseFile);
  if (!narrow || !platform::FileExists(*narrow)) return false;
  // A stored response that no longer passes the checks (changed on disk,
  // cut short, its root gone) counts as missing: the user is never stuck
  // with it.
  const std::optional<std::string> bytes = platform::ReadWholeFile(*narrow, xml::kMaxTcResponseBytes);
  if (bytes && Verify(std::vector<uint8_t>(bytes->begin(), bytes->end())) != nullptr) return true;
  TraceWriteFormat(diag::Warning, kDataDll,
                   L"Die gespeicherte Response-Datei [%s] besteht die Prüfungen nicht mehr und wird neu angefragt.",
                   responseFile.c_str());
  return false;
}

std::unique_ptr<xml::CTcResponseXml> RimoData::Verify(const std::vector<uint8_t>& response) {
  auto parsed = std::make_unique<xml::CTcResponseXml>(std::make_shared<platform::MemoryStream>(response),
                                                      utilities_.get(), signature_.get(), certFunctions_.get());
  if (!parsed->Parse() || parsed->VerificationError() != xml::CTcResponseXml::kNoError || !parsed->Integrity()) {
    return nullptr;
  }
  return parsed;
}

void RimoData::StartQueryRecord() {
  // Nothing of an earlier job on this status object is left to be taken
  // for this one's.
  StatusLock lock(status_);
  status_->ResetStatus();
  status_->SetErrorKind(0);
  status_->SetErrorId(L"");
  status_->SetUserMessage(L"");
  status_->SetFaultId(L"");
  status_->SetHttpStatus(0);
  status_->SetRequestError(0);
  status_->SetResponseLength(0);
  status_->SetResponseData(nullptr, 0);
  status_->SetCurrentSerial(L"");
  status_->SetNewSerial(L"");
  status_->SetKeyChange(false);
  status_->SetSwitchOnActivation(false);
  status_->SetQueryOutcome(kOutcomeNoResult);
  status_->SetStateCode(kStateQueryStarted);
}

void RimoData::RecordQueryOutcome(const wchar_t* userId) {
  StatusLock lock(status_);
  lastQuery_.userId = userId;
  lastQuery_.outcome = status_->GetQueryOutcome();
  const wchar_t* errorId = status_->GetErrorId();
  lastQuery_.errorId = errorId != nullptr ? errorId : L"";
}

void RimoData::PushTask(int32_t type, const wchar_t* argument) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::PushTask");
  DataTask task;
  task.type = type;
  task.utilities = utilities_.get();
  task.signature = signature_.get();
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
        if (!busy) {
          TraceWrite(diag::Info, kDataDll, L"Thread wird als 'busy' gekennzeichnet.");
          status_->SetBusy(true);
          busy = true;
        }
        task = taskQueue_.front();
        taskQueue_.pop_front();
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
      StatusLock lock(status_);
      status_->SetBusy(false);
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
        UpdateStatusIni(task.userId);
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
  {
    StatusLock lock(status_);
    status_->SetStateCode(kStateFileLoadStarted);
  }
  TraceWrite(diag::Detail, kDataDll, L"Der Filestream wird erzeugt.");
  const auto narrowPath = platform::WideToUtf8Exact(path);
  std::unique_ptr<platform::FileStream> file = narrowPath ? platform::FileStream::Open(*narrowPath) : nullptr;
  if (file != nullptr && file->Size() > xml::kMaxTcResponseBytes) {
    // Larger than any response the data center can send: never read.
    {
      StatusLock lock(status_);
      status_->ResetStatus();
    }
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Die Datei %s ist mit %d Bytes größer als eine TC-Response sein kann (höchstens %d Bytes).",
                     path, static_cast<int>(std::min<uint64_t>(file->Size(), INT32_MAX)),
                     static_cast<int>(xml::kMaxTcResponseBytes));
    return;
  }
  std::shared_ptr<platform::IByteStream> stream = std::move(file);
  if (stream == nullptr) {
    {
      StatusLock lock(status_);
      status_->SetUserMessage(kFileNotOpened);
    }
    TraceWriteFormat(diag::Error, kDataDll, L"Es konnte kein Stream-Objekt für die Datei %s erzeugt werden.", path);
    return;
  }
  TraceWriteFormat(diag::Info, kDataDll,
                   L"Der Filestream für die Datei %s wurde erfolgreich erzeugt. Die Daten werden nun gelesen.", path);
  GetCertsFromStream(std::move(stream));
}

std::vector<uint8_t> RimoData::ReceivedResponse() {
  StatusLock lock(status_);
  // Our own status object knows how many bytes it holds; a host's own
  // implementation is trusted for the length it reports.
  if (auto* own = dynamic_cast<status::ScDataStatus*>(status_)) return own->ResponseBytes();
  const uint8_t* data = status_->GetResponseData();
  const int32_t length = status_->GetResponseLength();
  if (data == nullptr || length <= 0) return {};
  return std::vector<uint8_t>(data, data + length);
}

void RimoData::ExecuteGetFromRz(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteGetFromRz");
  ExecuteQueryResponse(userId);
  RecordQueryOutcome(userId);
  // Any other outcome was reported by the query itself.
  if (status_->GetQueryOutcome() != kOutcomeReceived || verified_ == nullptr) return;
  std::unique_ptr<xml::CTcResponseXml> verified = std::move(verified_);
  Publish(*verified);
}

void RimoData::GetCertsFromStream(std::shared_ptr<platform::IByteStream> stream) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetCertsFromStream");
  {
    StatusLock lock(status_);
    status_->ResetStatus();
  }
  xml::CTcResponseXml response(std::move(stream), utilities_.get(), signature_.get(), certFunctions_.get());
  if (!response.Parse()) {
    // Code 0: the document could not be read; the reset is all that shows.
    if (response.VerificationError() != xml::CTcResponseXml::kNoError) {
      TraceWriteFormat(diag::Error, kDataDll, L"Die TC-Response ist nicht gültig - Prüfung [%d] fehlgeschlagen.",
                       static_cast<int>(response.VerificationError()));
      StatusLock lock(status_);
      status_->SetErrorKind(kErrorKindVerification);
    }
    return;
  }
  Publish(response);
}

void RimoData::Publish(xml::CTcResponseXml& response) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::Publish");
  uint32_t length = 0;
  const uint8_t* bytes = response.GetResponseContainer(&length);
  auto containerStream = std::make_shared<platform::MemoryStream>(bytes, length);

  // Lock order: the status object first, then its certificate list.
  StatusLock statusLock(status_);
  ICertificateList* list = status_->GetCertificateList();
  ListLock listLock(list);
  xml::CResponseContainerXml container(containerStream, utilities_.get(), signature_.get(), list);
  if (container.Parse()) {
    status_->SetKeyChange(container.KeyChange() == 1);
    status_->SetSwitchOnActivation(container.SwitchOnActivation());
    const bool verified = response.Integrity();
    status_->SetCurrentSerial(verified ? response.CurrentSerial()->c_str() : nullptr);
    status_->SetNewSerial(verified ? response.NewSerial()->c_str() : nullptr);
    status_->SetStateCode(kStatePublished);
  } else {
    // A container that failed publishes nothing, not even the
    // certificates read before the failure.
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Der Response-Container konnte nicht gelesen werden (Fehler [%d]). Es werden keine "
                     L"Zertifikate übernommen.",
                     static_cast<int>(container.ErrorCode()));
    if (list != nullptr) list->ClearList();
    status_->SetErrorKind(kErrorKindVerification);
  }
}

void RimoData::ExecuteQueryResponse(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteQueryResponse");
  // Every query starts from a clean record: "no result", nothing of an
  // earlier job.
  StartQueryRecord();
  verified_.reset();
  const std::wstring url = CreateRestUrl(userId);
  if (url.empty()) {
    StatusLock lock(status_);
    status_->SetErrorId(kNoUrlErrorId);
    status_->SetErrorKind(kErrorKindRequest);
    status_->SetQueryOutcome(kOutcomeNoResult);
    return;
  }
  http_->SetUrl(url);
  CreateUserAgent();
  http_->SetAcceptTypes(L"application/xml");
  http_->SetVerb(WebCommLib::kVerbGet);
  const WebCommLib::HttpRequestResult result = http_->ExecuteHttpRequest();
  {
    StatusLock lock(status_);
    status_->SetHttpStatus(result.httpStatus);
    status_->SetRequestError(static_cast<int32_t>(result.wininetCode));
  }
  if (result.errorCode != WebCommLib::kErrorNone) {
    TraceWrite(diag::Error, kDataDll, L"ExecuteHttpRequest NOT succeeded.");
    SetErrorIdFromCodes(result.httpStatus, result.wininetCode);
    StatusLock lock(status_);
    status_->SetErrorKind(kErrorKindRequest);
    return;
  }
  switch (result.httpStatus) {
    case 200: {
      const std::vector<uint8_t> body = ReadHttpBody();
      // An empty answer, or one that decodes to nothing, is no response.
      const std::vector<uint8_t> response =
          body.empty() ? std::vector<uint8_t>() : GetTcResponseFromStream(std::make_shared<platform::MemoryStream>(body));
      if (response.empty()) {
        ReportUnreadableAnswer(200);
        return;
      }
      // Nothing unverified is kept: a response that fails the checks is
      // neither stored nor counted as received, and the next query asks
      // again.
      std::unique_ptr<xml::CTcResponseXml> verified = Verify(response);
      if (verified == nullptr) {
        TraceWrite(diag::Error, kDataDll,
                   L"Die empfangene TC-Response besteht die Prüfungen nicht und wird nicht gespeichert.");
        SetErrorIdFromCodes(200, kDetailUnreadable);
        StatusLock lock(status_);
        status_->SetErrorKind(kErrorKindVerification);
        status_->SetQueryOutcome(kOutcomeNoResult);
        return;
      }
      verified_ = std::move(verified);
      {
        // Length and bytes together: a host never sees one without the other.
        StatusLock lock(status_);
        status_->SetResponseLength(static_cast<int32_t>(response.size()));
        status_->SetResponseData(response.data(), static_cast<int32_t>(response.size()));
      }
      if (wizardSettings_.GetStoreResponse()) WriteResponseFile(userId, response);
      StatusLock lock(status_);
      status_->SetQueryOutcome(kOutcomeReceived);
      status_->SetStateCode(kStatePublished);
      break;
    }
    case 204:
    case 212: {
      StatusLock lock(status_);
      status_->SetQueryOutcome(kOutcomeNoPackage);
      status_->SetErrorKind(kErrorKindNoPackage);
      break;
    }
    case 400:
    case 404:
    case 500: {
      const std::vector<uint8_t> body = ReadHttpBody();
      if (!body.empty()) {
        GetResponseErrorDetails(std::make_shared<platform::MemoryStream>(body));
      } else {
        SetErrorIdFromCodes(result.httpStatus, result.wininetCode);
        StatusLock lock(status_);
        status_->SetErrorKind(kErrorKindRequest);
      }
      break;
    }
    default: {
      StatusLock lock(status_);
      status_->SetQueryOutcome(kOutcomeNoResult);
      status_->SetStateCode(kStateUnexpectedStatus);
      break;
    }
  }
}

std::vector<uint8_t> RimoData::ReadHttpBody() {
  const int32_t length = http_->GetHttpContentLength();
  std::vector<uint8_t> body(length > 0 ? static_cast<size_t>(length) : 0);
  if (!body.empty() && !http_->GetHttpContent(body.data())) body.clear();
  return body;
}

std::wstring RimoData::CreateRestUrl(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::CreateRestUrl");
  char version[15] = {};
  char toolVersion[15] = {};
  if (config::CDB_GetVersion(config::kComponentId, version, sizeof version, 0) != config::kResultOk) version[0] = '\0';
  if (version[0] == '\0') {
    TraceWrite(diag::Error, kDataDll,
               L"Die Kelo Version aus RimoPaths konnte nicht ermittelt werden. Url wird ohne erstellt.");
  }
  if (config::CDB_GetVersion(config::kComponentId, toolVersion, sizeof toolVersion, 0) != config::kResultOk) {
    toolVersion[0] = '\0';
  }
  if (toolVersion[0] == '\0') {
    TraceWrite(diag::Error, kDataDll,
               L"Die Version des Nachlade-Assistenten konnte nicht ermittelt werden.  Url wird ohne erstellt.");
  }
  if (userId == nullptr || userId[0] == L'\0') {
    TraceWrite(diag::Error, kDataDll, L"Die SC-User-ID ist leer. Url kann nicht erstellt werden.");
    return {};
  }
  const std::wstring id = userId;
  if (id.size() <= 17) {
    TraceWrite(diag::Error, kDataDll,
               L"Die Folgekartennummer konnte nicht ermittelt werden. Url kann nicht erstellt werden.");
    return {};
  }
  std::string base = registry_.ReadString(config::kPackageKey, kServiceUrlValue).value_or(kDefaultServiceUrl);
  // A registry file that cannot be read whole is named with each problem:
  // otherwise its values would be missing without a word.
  for (const std::string& problem : registry_.Problems()) {
    TraceWriteFormat(diag::Error, kDataDll, L"Die Registry-Datei [%S] konnte nicht ganz gelesen werden: %S",
                     registry_.Path().c_str(), problem.c_str());
  }
  if (base.empty()) base = kDefaultServiceUrl;
  if (base.back() != '/') base.push_back('/');
  return platform::Utf8ToWide(base) + L"DataTcService/" + PercentEncoded(id.substr(17)) + L"?anw=KeloComp" +
         L"&anwvnr=" + PercentEncoded(platform::Utf8ToWide(version)) + L"&toolvnr=" +
         PercentEncoded(platform::Utf8ToWide(toolVersion)) + L"&CASCADE_DESTINATION_MEDIUM=QUANDEL_medium4";
}

bool RimoData::CreateUserAgent() {
  http_->SetUserAgent(L"KeloRimoWizzard|" + platform::Utf8ToWide(WebCommLib::KeloHttpComm::SystemUserAgent()));
  return true;
}

std::vector<uint8_t> RimoData::GetTcResponseFromStream(std::shared_ptr<platform::IByteStream> stream) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetTcResponseFromStream");
  xml::CRzResponseXml envelope(std::move(stream), utilities_.get(), signature_.get());
  if (envelope.Parse()) {
    if (envelope.TcResponseLength() == 0) {
      TraceWrite(diag::Error, kDataDll, L"Die Datenlänge des Elements tcresponse ist [0].");
      return {};
    }
    if (envelope.TcResponseLength() > xml::kMaxTcResponseBytes) {
      // The same limit as for a file: what loads from one loads from the other.
      TraceWriteFormat(diag::Error, kDataDll, L"Die TC-Response ist größer als %d Bytes.",
                       static_cast<int>(xml::kMaxTcResponseBytes));
      ReportUnreadableAnswer(status_->GetHttpStatus());
      return {};
    }
    TraceWrite(diag::Info, kDataDll, L"Die Response vom RZ wurde erfolgreich geparst.");
    return envelope.TcResponse();
  }
  if (envelope.ErrorCode() != 0) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Error Parsing Response:Die TC-Response wurde im Content nicht gefunden.[%d]",
                     static_cast<int>(envelope.ErrorCode()));
  }
  ReportUnreadableAnswer(status_->GetHttpStatus());
  return {};
}

void RimoData::ReportUnreadableAnswer(int32_t httpStatus) {
  StatusLock lock(status_);
  SetErrorIdFromCodes(httpStatus, kDetailUnreadable);
  status_->SetErrorKind(kErrorKindRequest);
  status_->SetQueryOutcome(kOutcomeNoResult);
}

void RimoData::GetResponseErrorDetails(std::shared_ptr<platform::IByteStream> stream) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetResponseErrorDetails");
  xml::CRzErrorXml fault(std::move(stream), utilities_.get(), signature_.get());
  if (fault.Parse()) {
    {
      StatusLock lock(status_);
      status_->SetUserMessage(fault.UserMessage()->c_str());
      status_->SetFaultId(fault.FaultId()->c_str());
      status_->SetErrorKind(kErrorKindFault);
      SetErrorIdFromCodes(status_->GetHttpStatus(), 0);
    }
    TraceWriteFormat(diag::Error, kDataDll, L"Fehler bei RZ-Verarbeitung: %s", fault.TechMessage()->c_str());
    return;
  }
  if (fault.MissingParts() != 0) {
    TraceWriteFormat(diag::Error, kDataDll, L"Error Parsing Response:RzFaultInfo wurde im Content nicht gefunden.[%d]",
                     static_cast<int>(fault.MissingParts()));
  }
  StatusLock lock(status_);
  SetErrorIdFromCodes(status_->GetHttpStatus(), kDetailUnreadable);
  status_->SetErrorKind(kErrorKindFaultUnreadable);
  status_->SetQueryOutcome(kOutcomeNoResult);
}

void RimoData::SetErrorIdFromCodes(int32_t httpStatus, uint32_t detail) {
  wchar_t id[10] = {};
  std::swprintf(id, std::size(id), L"%03d-%05d", httpStatus, static_cast<int>(detail));
  StatusLock lock(status_);
  status_->SetErrorId(id);
}

void RimoData::WriteResponseFile(const wchar_t* userId, const std::vector<uint8_t>& bytes) {
  wchar_t path[260] = {};
  const std::optional<std::string> narrow =
      paths_.GetResponseFilePath(userId, path) ? platform::WideToUtf8Exact(path) : std::nullopt;
  if (!narrow || !config::CRimoPaths::MakeFolderOf(*narrow)) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Für die Response-Datei von [%s] gibt es keinen Ordner, in den geschrieben werden kann.", userId);
    return;
  }
  // One writer of the file at a time; what killed writers left behind goes.
  platform::FileWriteLock lock(*narrow, kResponseLockTimeoutMs);
  if (lock.Held()) platform::RemoveStaleTemporaries(*narrow);
  // Replaced atomically: a crash leaves the old file or the new one, never a
  // torn one that would later count as a stored response.
  if (!platform::ReplaceFileAtomically(*narrow, std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                                  bytes.size()))) {
    TraceWriteFormat(diag::Error, kDataDll, L"Die Response-Datei [%s] konnte nicht geschrieben werden.", path);
  }
}

void RimoData::UpdateStatusIni(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::UpdateStatusIni");
  config::CStatusIni ini(userId);
  if (!IsInAlertPeriod()) return;
  // A recorded success is never overwritten.
  if (ini.FileExists() && ini.GetIniValueBool(config::CStatusIni::kSection, config::CStatusIni::kQuerySucceeded, false)) {
    return;
  }
  // The outcome of this user's own query, whatever ran on the status
  // object since.
  int32_t outcome;
  std::wstring errorId;
  {
    StatusLock lock(status_);
    if (lastQuery_.userId == userId) {
      outcome = lastQuery_.outcome;
      errorId = lastQuery_.errorId;
    } else {
      outcome = status_->GetQueryOutcome();
      const wchar_t* id = status_->GetErrorId();
      errorId = id != nullptr ? id : L"";
    }
  }
  // The keys of one update in one atomic replace: all of them, or none.
  const bool succeeded = outcome == kOutcomeReceived || outcome == kOutcomeNoPackage;
  ini.RecordQuery(succeeded, succeeded && outcome == kOutcomeReceived, succeeded ? nullptr : errorId.c_str());
}

bool RimoData::IsInAlertPeriod() {
  int64_t notAfter = 0;
  if (!certFunctions_->GetCertificateNotAfter(&notAfter)) return false;
  const int32_t days = certFunctions_->GetDaysUntil(notAfter);
  config::CWizardProperties settings;
  if (!settings.ReadAlerts() || settings.Alerts().empty()) return false;
  return days <= settings.Alerts().front();
}

std::wstring RimoData::ResponseFilePath(const wchar_t* userId) {
  wchar_t path[260] = {};
  if (!paths_.GetResponseFilePath(userId, path)) return {};
  return path;
}

}  // namespace rimo::component
