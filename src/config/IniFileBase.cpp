#include "config/IniFileBase.h"

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>

#include "config/DirectoryLibrary.h"
#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/FileIo.h"
#include "platform/FileLock.h"
#include "platform/IniDocument.h"

namespace FileOperations {
namespace {

using rimo::diag::TraceWriteFormat;

constexpr char kSentinel[] = "INI_FEHLER";
constexpr size_t kMaxValue = 259;  // what one profile read delivers

size_t Length(const char* s) { return s == nullptr ? 0 : std::strlen(s); }

// How long a writer waits for another writer of the same file.
constexpr int kLockTimeoutMs = 1000;

}  // namespace

bool CIniFileBase::SetFilePath(const char* path) {
  filePath_[0] = '\0';
  if (path == nullptr || path[0] != '/' || std::strlen(path) >= sizeof filePath_) return false;
  std::memcpy(filePath_, path, std::strlen(path) + 1);
  return true;
}

bool CIniFileBase::SetTraceCategory(const wchar_t* category) {
  if (category == nullptr || category[0] == L'\0') return false;
  std::wcsncpy(category_, category, kMaxCategory - 1);
  category_[kMaxCategory - 1] = L'\0';
  return true;
}

bool CIniFileBase::GetIniValueString(const char* section, const char* key, char* out, int32_t outSize,
                                     const char* defaultValue) {
  RIMO_METHOD_TRACE(category_, L"FileOperations::CIniFileBase::GetIniValueString");
  if (filePath_[0] == '\0' || access(filePath_, F_OK) != 0) return false;
  if (out == nullptr || outSize <= 0) return false;
  TraceWriteFormat(rimo::diag::Info, category_, L"Lese aus Datei [%S] - Section [%S] - Key [%S]", filePath_,
                   section, key);
  std::string value = kSentinel;
  if (section != nullptr && key != nullptr) {
    if (auto text = ReadFile()) {
      if (auto v = rimo::platform::IniDocument::Parse(*text).Get(section, key)) value = *v;
    }
  }
  // The profile read delivers at most 259 characters: a longer value is read
  // as its first 259, as the profile function gives it.
  if (value.size() > kMaxValue) value.resize(kMaxValue);
  const bool read = !value.empty() && value != kSentinel && static_cast<size_t>(outSize) > value.size();
  if (read) {
    std::snprintf(out, static_cast<size_t>(outSize), "%s", value.c_str());
    TraceWriteFormat(rimo::diag::Info, category_, L"Key [%S] wurde gelesen, Wert [%S]", key, value.c_str());
    return true;
  }
  std::snprintf(out, static_cast<size_t>(outSize), "%s", defaultValue != nullptr ? defaultValue : "");
  TraceWriteFormat(rimo::diag::Info, category_, L"Key [%S] konnte nicht gelesen werden, verwende Defaultwert [%S]",
                   key, defaultValue);
  return false;
}

int32_t CIniFileBase::GetIniValueInt(const char* section, const char* key, int32_t defaultValue) {
  RIMO_METHOD_TRACE(category_, L"FileOperations::CIniFileBase::GetIniValueInt");
  char buf[kMaxPath];
  if (!GetIniValueString(section, key, buf, sizeof buf, "-1")) return defaultValue;
  if (std::strcmp(buf, "-1") == 0) return defaultValue;
  return std::atoi(buf);
}

bool CIniFileBase::GetIniValueBool(const char* section, const char* key, bool defaultValue) {
  RIMO_METHOD_TRACE(category_, L"FileOperations::CIniFileBase::GetIniValueBool");
  char buf[kMaxPath];
  // A stored "-1" is the internal default: no value.
  if (!GetIniValueString(section, key, buf, sizeof buf, "-1") || std::strcmp(buf, "-1") == 0) return defaultValue;
  return std::strcmp(buf, "1") == 0;
}

bool CIniFileBase::SetIniValueString(const char* section, const char* key, const char* value) {
  RIMO_METHOD_TRACE(category_, L"FileOperations::CIniFileBase::SetIniValueString");
  return SetIniValues(section, {{key != nullptr ? key : "", value}});
}

bool CIniFileBase::SetIniValues(const char* section, const std::vector<KeyValue>& values) {
  RIMO_METHOD_TRACE(category_, L"FileOperations::CIniFileBase::SetIniValues");
  if (values.empty()) return true;
  bool refused = filePath_[0] == '\0' || Length(section) == 0;
  const KeyValue* bad = &values.front();
  for (const KeyValue& kv : values) {
    if (refused) break;
    refused = kv.key.empty() || (kv.value != nullptr && kv.value[0] == '\0');
    bad = &kv;
  }
  if (refused) {
    TraceWriteFormat(rimo::diag::Error, category_,
                     rimo::diag::text::kIniBadValueParameter,
                     filePath_, static_cast<int>(Length(section)), static_cast<int>(bad->key.size()),
                     static_cast<int>(Length(bad->value)));
    return false;
  }
  // Every key's lines, once the one replacement is done (or failed).
  auto traceKeys = [&](bool written) {
    for (const KeyValue& kv : values) {
      std::optional<rimo::diag::MethodTrace> via;
      std::optional<rimo::diag::MethodTrace> write;
      if (kv.via != nullptr) {
        via.emplace(rimo::diag::Detail, category_, kv.via, L"IniFileBase.cpp", __LINE__, L"");
        write.emplace(rimo::diag::Detail, category_, L"FileOperations::CIniFileBase::SetIniValueString",
                      L"IniFileBase.cpp", __LINE__, L"");
      }
      TraceWriteFormat(rimo::diag::Info, category_, L"Schreibe in Datei [%S] - Section [%S] - Key [%S]", filePath_,
                       section, kv.key.c_str());
      if (!written) continue;
      if (kv.value != nullptr) {
        TraceWriteFormat(rimo::diag::Info, category_, L"Der Wert [%S] wurde in den Key [%S] geschrieben.", kv.value,
                         kv.key.c_str());
      } else {
        TraceWriteFormat(rimo::diag::Info, category_, L"Der Key [%S] wurde gelöscht.", kv.key.c_str());
      }
    }
  };
  const std::string path = filePath_;
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  // Deleting from a file that does not exist: there is nothing to delete,
  // and nothing is created for it.
  const bool onlyDeletions =
      std::all_of(values.begin(), values.end(), [](const KeyValue& kv) { return kv.value == nullptr; });
  if (onlyDeletions && access(filePath_, F_OK) != 0 && errno == ENOENT) {
    traceKeys(true);
    return true;
  }
  if (!MakeFolder(dir)) {
    traceKeys(false);
    TraceWriteFormat(rimo::diag::Error, category_, rimo::diag::text::kIniFolderNotMade,
                     filePath_);
    return false;
  }

  bool ok = false;
  {
    // One writer of this file at a time, in this process and in others; a
    // writer that does not get the lock in time fails rather than waits.
    rimo::platform::FileWriteLock lock(path, kLockTimeoutMs);
    if (!lock.Held()) {
      const int error = lock.Error();
      traceKeys(false);
      TraceWriteFormat(rimo::diag::Error, category_,
                       rimo::diag::text::kIniNotLocked, filePath_, error);
      errno = error;
      return false;
    }
    if (!lock.Serialized()) {
      TraceWriteFormat(rimo::diag::Warning, category_,
                       L"Für die INI-Datei [%S] ist keine Sperre zu haben (Dateisystem ohne Sperren, oder jede Sperrdatei "
                       L"gehört einem anderen Benutzer): das Schreiben wird nicht mit anderen Prozessen abgestimmt.",
                       filePath_);
    } else if (lock.PrivateLock()) {
      TraceWriteFormat(rimo::diag::Warning, category_,
                       L"Die Sperrdatei neben [%S] ist nicht nutzbar (von einem anderen Benutzer?); es wird die "
                       L"private Sperre des Benutzers verwendet.",
                       filePath_);
    }
    rimo::platform::RemoveStaleTemporaries(path);
    std::string text;
    errno = 0;
    // An existing file that cannot be read is never replaced: its content
    // would be lost. One that is gone by the time it is read (taken away by
    // whoever put it there) counts as missing.
    auto existing = ReadFile();
    if (existing) text = std::move(*existing);
    ok = existing.has_value() || errno == ENOENT;
    if (!ok && errno == 0) errno = EFBIG;
    if (ok) {
      auto doc = rimo::platform::IniDocument::Parse(text);
      // Every key of the update in the one replacement below.
      for (const KeyValue& kv : values) ok = ok && doc.Set(section, kv.key, kv.value);
      if (!ok) errno = EINVAL;
      if (ok) ok = rimo::platform::ReplaceFileAtomically(path, doc.Serialise());
    }
  }
  const int error = errno;
  traceKeys(ok);
  if (!ok) {
    TraceWriteFormat(rimo::diag::Error, category_,
                     rimo::diag::text::kIniWriteFailed, filePath_,
                     error);
    errno = error;
    return false;
  }
  return true;
}

std::optional<std::string> CIniFileBase::ReadFile() const {
  constexpr size_t kMaxIniBytes = 4 * 1024 * 1024;
  return OwnFileOnly() ? rimo::platform::ReadOwnFile(filePath_, kMaxIniBytes)
                       : rimo::platform::ReadWholeFile(filePath_, kMaxIniBytes);
}

bool CIniFileBase::MakeFolder(const std::string& folder) { return rimo::config::CDB_CreateDirectory(folder); }

bool CIniFileBase::SetIniValueBool(const char* section, const char* key, bool value) {
  RIMO_METHOD_TRACE(category_, L"FileOperations::CIniFileBase::SetIniValueBool");
  if (filePath_[0] == '\0' || Length(section) == 0 || Length(key) == 0) {
    TraceWriteFormat(rimo::diag::Error, category_,
                     rimo::diag::text::kIniBadParameter,
                     filePath_, static_cast<int>(Length(section)), static_cast<int>(Length(key)));
    return false;
  }
  return SetIniValueString(section, key, value ? "1" : "0");
}

}  // namespace FileOperations
