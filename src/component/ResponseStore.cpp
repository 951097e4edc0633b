#include "component/ResponseStore.h"

#include <cerrno>
#include <string_view>

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

std::wstring ResponseStore::FilePath(const wchar_t* userId, bool sharedContested) const {
  wchar_t path[260] = {};
  if (!paths_.GetResponseFilePath(userId, path, sharedContested)) return {};
  return path;
}

bool ResponseStore::HoldsVerified(const wchar_t* userId, ResponseChecks& checks) {
  const std::wstring responseFile = FilePath(userId);
  if (responseFile.empty()) return false;
  const auto narrow = platform::WideToUtf8Exact(responseFile);
  if (!narrow || !platform::FileExists(*narrow)) return false;
  // Only the user's own file counts, checked on the file that is read.
  const std::optional<std::string> bytes = platform::ReadOwnFile(*narrow, xml::kMaxTcResponseBytes);
  if (bytes && checks.Verify(std::vector<uint8_t>(bytes->begin(), bytes->end())) != nullptr) return true;
  TraceWriteFormat(diag::Warning, kDataDll,
                   L"Die gespeicherte Response-Datei [%s] besteht die Prüfungen nicht mehr und wird neu angefragt.",
                   responseFile.c_str());
  return false;
}

void ResponseStore::Store(const wchar_t* userId, const std::vector<uint8_t>& bytes) {
  const std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::wstring path;
  // A second try when another user's file (or a FIFO) took the file's place
  // after its path was chosen: then in the user's own folder.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::wstring chosen = FilePath(userId, attempt > 0);
    if (attempt > 0 && (chosen == path || chosen.empty())) break;
    path = chosen;
    const std::optional<std::string> narrow = path.empty() ? std::nullopt : platform::WideToUtf8Exact(path);
    if (!narrow || !config::CRimoPaths::MakeFolderOf(*narrow)) {
      TraceWriteFormat(diag::Error, kDataDll, diag::text::kNoResponseFolder, userId);
      return;
    }
    // One writer of the file at a time; what killed writers left behind goes.
    platform::FileWriteLock lock(*narrow, kResponseLockTimeoutMs);
    if (lock.Held()) platform::RemoveStaleTemporaries(*narrow);
    // Replaced atomically: a crash leaves the old file or the new one, never
    // a torn one that would later count as a stored response.
    if (platform::ReplaceFileAtomically(*narrow, content)) return;
    if (errno != EPERM && errno != EINVAL) break;
  }
  TraceWriteFormat(diag::Error, kDataDll, diag::text::kResponseNotWritten, path.c_str());
}

}  // namespace rimo::component
