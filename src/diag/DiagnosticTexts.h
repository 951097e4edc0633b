// Trace lines that a host reads to tell a user why a job failed (rimo's
// reasons). The component writes them with these formats and a host finds
// them by their literal pieces, so that rewording a line here changes both
// sides at once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Utf8.h"

namespace rimo::diag::text {

// The XML reader gave up; the reader's own message follows on the next line.
inline constexpr wchar_t kXmlReadFailed[] =
    L"Während des Lesens des XML-Dokuments ist ein Fehler aufgetreten - hr = [%d]";
// A check of the TC response failed: 1 signature, 2 chain, 3 locality,
// 4 maker root, 5 parts missing.
inline constexpr wchar_t kCheckFailed[] = L"Die TC-Response ist nicht gültig - Prüfung [%d] fehlgeschlagen.";
inline constexpr wchar_t kNoRootStore[] = L"Der Rootstore des Systems konnte nicht geöffnet werden - LastError [%d]";
inline constexpr wchar_t kContainerUnreadable[] =
    L"Der Response-Container konnte nicht gelesen werden (Fehler [%d]). Es werden keine Zertifikate übernommen.";
// A request that got no answer: the URL, the HTTP layer's error code and the
// WinInet code.
inline constexpr wchar_t kRequestFailed[] = L"Die Anfrage an [%s] ist fehlgeschlagen - Fehler [%d] - WinInet [%d].";
// An answer whose headers came whole and whose body did not: its status.
inline constexpr wchar_t kAnswerCut[] =
    L"Die Antwort mit HTTP-Status [%d] wurde vor ihrem Ende abgebrochen; sie wird nicht gelesen.";
// A user's response file or status INI whose path does not fit: the path.
inline constexpr wchar_t kUserPathTooLong[] =
    L"Der Pfad [%S] ist länger als %d Bytes; Response-Datei und Status-INI dieses Benutzers werden nicht verwendet.";
inline constexpr wchar_t kRegistryNotWhole[] = L"Die Registry-Datei [%S] konnte nicht ganz gelesen werden: %S";
inline constexpr wchar_t kClientAuthEnded[] = L"Client-Authentifizierung beendet: %s";
inline constexpr wchar_t kNoResponseFolder[] =
    L"Für die Response-Datei von [%s] gibt es keinen Ordner, in den geschrieben werden kann.";
inline constexpr wchar_t kResponseNotWritten[] = L"Die Response-Datei [%s] konnte nicht geschrieben werden.";
inline constexpr wchar_t kIniWriteFailed[] =
    L"Beim Schreiben in die INI-Datei [%S] ist ein Fehler aufgetreten - LastError [%d]";
inline constexpr wchar_t kIniFolderNotMade[] = L"Das Verzeichnis der INI-Datei [%S] konnte nicht erstellt werden.";
inline constexpr wchar_t kIniNotLocked[] = L"Die INI-Datei [%S] konnte nicht gesperrt werden - LastError [%d]";
inline constexpr wchar_t kIniBadValueParameter[] =
    L"Falscher Parameter beim Schreiben in die INI-Datei [%S] - SectionLen[%d] - KeyLen[%d] - ValueLen[%d]";
inline constexpr wchar_t kIniBadParameter[] =
    L"Falscher Parameter beim Schreiben in die INI-Datei [%S] - SectionLen[%d] - KeyLen[%d]";

// The literal pieces of a format between its conversions, UTF-8.
inline std::vector<std::string> Pieces(const wchar_t* format) {
  std::vector<std::string> pieces;
  std::wstring piece;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    if (*p == L'%' && p[1] == L'%') {
      piece.push_back(L'%');
      ++p;
    } else if (*p == L'%') {
      pieces.push_back(platform::WideToUtf8(piece));
      piece.clear();
      while (p[1] != L'\0' && std::wstring_view(L"-+ #0123456789.hlLzjt").find(p[1]) != std::wstring_view::npos) ++p;
      if (p[1] != L'\0') ++p;
    } else {
      piece.push_back(*p);
    }
  }
  pieces.push_back(platform::WideToUtf8(piece));
  return pieces;
}

}  // namespace rimo::diag::text
