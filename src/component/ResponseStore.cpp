#include "component/ResponseStore.h"

#include "diag/DiagnosticTexts.h"
#include "diag/Trace.h"
#include "platform/FileIo.h"
#include "platform/FileLock.h"
#include "platform/Utf8.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

using diag::TraceWriteFormat;
using diag::category::kDataDll;

namespace {
constexpr int kResponseLockTimeoutMs = 1000;
}

std::wstring ResponseStore::FilePath(const wchar_t* userId) const {
  wchar_t path[260] = {};
  if (!paths_.GetResponseFilePath(userId, path)) return {};
  return path;
}

bool ResponseStore::HoldsVerified(const wchar_t* userId, ResponseChecks& checks) {
  const std::wstring responseFile = FilePath(userId);
  if (responseFile.empty()) return false;
  const auto narrow = platform::WideToUtf8Exact(responseFile);
  if (!narrow || !platform::FileExists(*narrow)) return false;
  const std::optional<std::string> bytes = platform::ReadWholeFile(*narrow, xml::kMaxTcResponseBytes);
  if (bytes && checks.Verify(std::vector<uint8_t>(bytes->begin(), bytes->end())) != nullptr) return true;
  TraceWriteFormat(diag::Warning, kDataDll,
                   L"Die gespeicherte Response-Datei [%s] besteht die Prüfungen nicht mehr und wird neu angefragt.",
                   responseFile.c_str());
  return false;
}

void ResponseStore::Store(const wchar_t* userId, const std::vector<uint8_t>& bytes) {
  const std::wstring path = FilePath(userId);
  const std::optional<std::string> narrow = path.empty() ? std::nullopt : platform::WideToUtf8Exact(path);
  if (!narrow || !config::CRimoPaths::MakeFolderOf(*narrow)) {
    TraceWriteFormat(diag::Error, kDataDll,
                     diag::text::kNoResponseFolder, userId);
    return;
  }
  // One writer of the file at a time; what killed writers left behind goes.
  platform::FileWriteLock lock(*narrow, kResponseLockTimeoutMs);
  if (lock.Held()) platform::RemoveStaleTemporaries(*narrow);
  // Replaced atomically: a crash leaves the old file or the new one, never a
  // torn one that would later count as a stored response.
  if (!platform::ReplaceFileAtomically(*narrow, std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                                  bytes.size()))) {
    TraceWriteFormat(diag::Error, kDataDll, diag::text::kResponseNotWritten,
                     path.c_str());
  }
}

}  // namespace rimo::component
