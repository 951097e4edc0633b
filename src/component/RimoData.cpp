#include "component/RimoData.h"

#include <dlfcn.h>

#include <algorithm>
#include <cwchar>

#include "component/ExitGuard.h"
#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Module.h"
#include "platform/Utf8.h"
#include "platform/FileIo.h"
#include "rimo/RimoStatusCodes.h"
#include "status/LiveStatusObjects.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;

namespace {

// A component deleted from inside (a host callback) finishes after the host
// may think it gone: the library is then kept loaded for good, so that its
// last steps never run in unmapped code and no unload has to wait for it.
void KeepLibraryLoaded() {
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

DataCore::DataCore(IScDataStatus* status)
    : status_(status),
      checks_(&paths_),
      publisher_(&status_),
      store_(paths_),
      statusIni_(checks_.CertFunctions()),
      query_(http_, registry_, checks_),
      engine_(status_, publisher_, [this](const DataTask& task) { ExecuteTask(task); }) {
  {
    // The service objects are members, made before this body runs.
    RIMO_METHOD_TRACE(kDataDll, L"RimoData::CreateUtilitiesObjects");
  }
  TraceWriteFormat(diag::Info, kDataDll, L"Event mit dem Namen %s wurde erzeugt.",
                   L"Quandel.Security.Rimo.DataTaskInQueue");
}

std::shared_ptr<DataCore> DataCore::Make(IScDataStatus* status, bool asynchronous) {
  std::shared_ptr<DataCore> core(new DataCore(status));
  DataCore* const self = core.get();
  // A worker whose object was released from inside may still hold locks on
  // the host's status object; those that are ours are let go as it leaves.
  auto onLeave = [self] {
    if (self->status_.Detached()) self->GiveBackOwedLocks();
  };
  if (asynchronous && core->engine_.Start(core, onLeave)) ExitGuard::Watch(core);
  return core;
}

DataCore::~DataCore() {
  // The service objects are members, destroyed after this body.
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::DeleteUtilitiesObjects");
}

void DataCore::Release() {
  if (engine_.OnWorker() || InCallOnThisThread()) {
    // A host callback: this thread cannot wait for the work it is part of.
    TraceWrite(diag::Info, kDataDll,
               L"Das Objekt wird aus einem Rückruf gelöscht und nach dem Ende der laufenden Arbeit freigegeben.");
    KeepLibraryLoaded();
    Detach();
    return;
  }
  {
    // A synchronous call on another thread finishes first.
    std::unique_lock<std::mutex> lock(callsMutex_);
    callsEnded_.wait(lock, [this] { return callers_.empty(); });
  }
  if (!engine_.Started()) return;
  engine_.RequestStop();
  engine_.Join();
}

void DataCore::Detach() {
  publisher_.Detached();
  status_.Detach();
  engine_.Abandon();
  http_.Cancel();
}

void DataCore::StopForExit() { Detach(); }

void DataCore::GiveBackOwedLocks() {
  const DetachableStatus::Owed owed = status_.TakeOwedLocks();
  status::LiveStatusObjects::ReleaseLocksHeldByThisThread(owed.record, owed.list);
}

bool DataCore::InCallOnThisThread() {
  std::lock_guard<std::mutex> guard(callsMutex_);
  return std::find(callers_.begin(), callers_.end(), std::this_thread::get_id()) != callers_.end();
}

template <typename Work>
void DataCore::Guarded(const wchar_t* call, Work work) {
  try {
    std::lock_guard<std::mutex> guard(callsMutex_);
    callers_.push_back(std::this_thread::get_id());
  } catch (...) {
    // No room to note the caller: the call is not made, and says so.
    TraceWriteFormat(diag::Critical, kDataDll, L"Beim Aufruf von %s ist ein Fehler aufgetreten.", call);
    return;
  }
  try {
    if (IsAsynchronous()) {
      work();
    } else {
      std::lock_guard<std::recursive_mutex> oneAtATime(synchronousWork_);
      // Busy for the whole job, as the worker shows it; a call a host
      // callback makes within the job is part of it.
      struct BusyWhileWorking {
        DataCore& core;
        explicit BusyWhileWorking(DataCore& c) : core(c) {
          if (core.synchronousDepth_++ == 0) core.publisher_.SetBusy(true);
        }
        ~BusyWhileWorking() {
          if (--core.synchronousDepth_ != 0) return;
          try {
            core.publisher_.SetBusy(false);
          } catch (...) {
            TraceWrite(diag::Critical, kDataDll, L"Der Status 'busy' konnte nicht zurückgesetzt werden.");
          }
        }
      } busy(*this);
      work();
    }
  } catch (...) {
    TraceWriteFormat(diag::Critical, kDataDll, L"Beim Aufruf von %s ist ein Fehler aufgetreten.", call);
  }
  // Locks a detached call still held on the host's status object are let go
  // where they are ours (a host object forwarding to one of ours).
  if (status_.Detached()) GiveBackOwedLocks();
  std::lock_guard<std::mutex> guard(callsMutex_);
  callers_.erase(std::find(callers_.begin(), callers_.end(), std::this_thread::get_id()));
  callsEnded_.notify_all();
}

bool DataCore::RefuseUserId(const wchar_t* userId) {
  const bool fits = userId != nullptr && std::wcslen(userId) <= kMaxUserIdLength;
  // An ID that could name another file or another request is refused as
  // well: nothing is sent.
  if (fits && config::CRimoPaths::UsableUserId(userId) && !DotSegmentCardNumber(userId)) return false;
  if (userId == nullptr || userId[0] == L'\0') {
    TraceWrite(diag::Error, kDataDll, L"Die SC-User-ID ist leer. Url kann nicht erstellt werden.");
  } else if (!fits) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Die Benutzerkennung ist länger als %d Zeichen und wird nicht verarbeitet.",
                     static_cast<int>(kMaxUserIdLength));
  } else {
    TraceWrite(diag::Error, kDataDll, L"Die Benutzerkennung ist als Dateiname ungeeignet und wird nicht verarbeitet.");
  }
  Refuse(TaskType::RefusedUserId);
  return true;
}

void DataCore::Refuse(int32_t refusal) {
  if (IsAsynchronous()) {
    PushTask(refusal, nullptr);
  } else if (refusal == TaskType::RefusedUserId) {
    // Ends like a failed query: nothing of an earlier job stays visible.
    publisher_.RefusedUserId();
  } else {
    publisher_.RefusedPath();
  }
}

bool DataCore::RefusePath(const wchar_t* path) {
  if (path != nullptr && std::wcslen(path) <= kMaxFilePathLength) return false;
  TraceWriteFormat(diag::Error, kDataDll,
                   L"Der Dateipfad ist länger als %d Zeichen und wird nicht verarbeitet.",
                   static_cast<int>(kMaxFilePathLength));
  Refuse(TaskType::RefusedPath);
  return true;
}


void DataCore::LoadRimoResponseFromFile(const wchar_t* path) {
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

void DataCore::LoadRimoResponseFromRZ(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::LoadRimoResponseFromRZ");
  Guarded(L"LoadRimoResponseFromRZ", [&] {
    if (RefuseUserId(userId)) return;
    if (IsAsynchronous()) {
      PushJob(TaskType::GetFromRz, userId);
      return;
    }
    std::wstring copy(userId);
    ExecuteGetFromRz(copy.c_str());
    statusIni_.Update(copy.c_str());
  });
}

void DataCore::QueryRimoResponse(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::QueryRimoResponse");
  Guarded(L"QueryRimoResponse", [&] {
    if (RefuseUserId(userId)) return;
    // Whether a stored response makes the request needless is decided when
    // the query runs, in both modes alike.
    if (IsAsynchronous()) {
      PushJob(TaskType::QueryResponse, userId);
      return;
    }
    std::wstring copy(userId);
    ExecuteQueryTask(copy.c_str());
    statusIni_.Update(copy.c_str());
  });
}

void DataCore::ExecuteQueryTask(const wchar_t* userId) {
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

QueryResult DataCore::ExecuteQueryResponse(const wchar_t* userId) {
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

void DataCore::PushTask(int32_t type, const wchar_t* argument) {
  engine_.Push(MakeTask(type, argument));
}

void DataCore::PushJob(int32_t type, const wchar_t* userId) {
  const DataTask first = MakeTask(type, userId);
  engine_.Push(first, MakeTask(TaskType::UpdateStatusIni, userId));
}

DataTask DataCore::MakeTask(int32_t type, const wchar_t* argument) {
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
  return task;
}

void DataCore::ExecuteTask(const DataTask& task) {
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
        publisher_.RefusedPath();
        break;
      case TaskType::RefusedUserId:
        publisher_.RefusedUserId();
        break;
      default:
        break;
    }
  } catch (...) {
    TraceWriteFormat(diag::Critical, kDataDll, L"Bei der Verarbeitung des Tasks [%d] ist ein Fehler aufgetreten.",
                     task.type);
  }
}

void DataCore::ExecuteGetFromFile(const wchar_t* path) {
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
  if (file == nullptr) {
    publisher_.FileNotOpened();
    TraceWriteFormat(diag::Error, kDataDll, L"Es konnte kein Stream-Objekt für die Datei %s erzeugt werden.", path);
    return;
  }
  TraceWriteFormat(diag::Info, kDataDll,
                   L"Der Filestream für die Datei %s wurde erfolgreich erzeugt. Die Daten werden nun gelesen.", path);
  // Read in one call and parsed from memory. A file that cannot be read, or
  // grew past any response meanwhile, is a document that cannot be read.
  std::optional<std::vector<uint8_t>> bytes = file->ReadAll(xml::kMaxTcResponseBytes);
  file.reset();
  if (!bytes) {
    publisher_.ResetRecord();
    TraceWriteFormat(diag::Error, kDataDll, L"Die Datei %s konnte nicht gelesen werden.", path);
    return;
  }
  GetCertsFromStream(std::make_shared<platform::MemoryStream>(std::move(*bytes)));
}

void DataCore::ExecuteGetFromRz(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteGetFromRz");
  QueryResult result = ExecuteQueryResponse(userId);
  // Any other outcome was reported by the query itself.
  if (result.outcome != codes::kOutcomeReceived || result.verified == nullptr) return;
  if (!publisher_.Publish(*result.verified, checks_)) publisher_.NotPublished();
}

void DataCore::GetCertsFromStream(std::shared_ptr<platform::IByteStream> stream) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetCertsFromStream");
  publisher_.ResetRecord();
  xml::CTcResponseXml response(std::move(stream), checks_.Utilities(), checks_.Signature(), checks_.CertFunctions());
  if (!response.Parse()) {
    // Code 0: the document could not be read; the reset is all that shows.
    if (response.VerificationError() != xml::CTcResponseXml::kNoError) {
      TraceWriteFormat(diag::Error, kDataDll, diag::text::kCheckFailed,
                       static_cast<int>(response.VerificationError()));
      publisher_.VerificationFailed();
    }
    return;
  }
  publisher_.Publish(response, checks_);
}

namespace {

std::shared_ptr<DataCore> MakeCore(IScDataStatus* status, uint8_t startWorker) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::RimoData");
  return DataCore::Make(status, startWorker == 1);
}

}  // namespace

RimoData::RimoData(IScDataStatus* status, uint8_t startWorker) : core_(MakeCore(status, startWorker)) {}

RimoData::~RimoData() {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::~RimoData");
  core_->Release();
  // The core goes here unless work still running holds it.
  core_.reset();
}

// Each call holds the core: a delete from inside it frees this object only.
void RimoData::LoadRimoResponseFromFile(const wchar_t* path) {
  const std::shared_ptr<DataCore> core = core_;
  core->LoadRimoResponseFromFile(path);
}

void RimoData::LoadRimoResponseFromRZ(const wchar_t* userId) {
  const std::shared_ptr<DataCore> core = core_;
  core->LoadRimoResponseFromRZ(userId);
}

void RimoData::QueryRimoResponse(const wchar_t* userId) {
  const std::shared_ptr<DataCore> core = core_;
  core->QueryRimoResponse(userId);
}

}  // namespace rimo::component
