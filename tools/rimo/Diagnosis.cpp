#include "rimo/Diagnosis.h"

#include "crypto/RootStore.h"
#include "diag/ComponentDirectory.h"
#include "diag/DiagnosticTexts.h"
#include "diag/TraceSystemAdapter.h"
#include "webcomm/IKeloHttpFunctions.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>
#include "rimo/RimoStatusCodes.h"

namespace rimo::tool {
namespace {

constexpr size_t kMaxPath = 259;
// The component reads no TC response larger than the data center's answer
// of at most 16 MiB can carry.
constexpr uint64_t kMaxResponseBytes = 12'500'000;

const char* WinInetMeaning(long code) {
  switch (code) {
    case 12002: return "the request timed out";
    case 12007: return "the server's name could not be resolved";
    case 12029: return "no connection could be made";
    case 12030: return "the server closed the connection without a complete answer";
    case 12031: return "the connection was reset during the request";
    case 12037: return "the server's certificate has expired or is not yet valid";
    case 12038: return "the server's certificate is for another host name";
    case 12040: return "a redirect from HTTPS to plain HTTP was refused";
    case 12044: return "the server asks for a client certificate";
    case 12045: return "the server's certificate is not issued by a root in the machine root store";
    case 12057: return "the revocation status of the server's certificate could not be checked";
    case 12152: return "the server answered, but its answer is malformed or too large";
    case 12157: return "the TLS handshake failed";
    case 12170: return "the server's certificate has been revoked";
    default: return "the request failed";
  }
}

std::vector<std::string> TextsOf(const std::string& trace) {
  // A line: date time.ms, pid, tid, level, category, text (tab-separated).
  std::vector<std::string> texts;
  std::istringstream lines(trace);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = 0;
    for (int tab = 0; tab < 5 && at != std::string::npos; ++tab) {
      at = line.find('\t', at);
      if (at != std::string::npos) ++at;
    }
    if (at != std::string::npos) texts.push_back(line.substr(at));
  }
  return texts;
}

// The values of a trace line written with format (its conversions' texts),
// nullopt when the line was not.
std::optional<std::vector<std::string>> Match(const std::string& line, const wchar_t* format) {
  const std::vector<std::string> pieces = diag::text::Pieces(format);
  size_t at = line.find(pieces.front());
  if (pieces.front().empty() || at == std::string::npos) return std::nullopt;
  at += pieces.front().size();
  std::vector<std::string> values;
  for (size_t i = 1; i < pieces.size(); ++i) {
    const size_t next = pieces[i].empty() ? line.size() : line.find(pieces[i], at);
    if (next == std::string::npos) return std::nullopt;
    values.push_back(line.substr(at, next - at));
    at = next + pieces[i].size();
  }
  return values;
}

// A response file (of at most the size checked before) without "</TCRESPONSE>".
bool CutShort(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return content.find("</TCRESPONSE>") == std::string::npos;
}

// The items of a KELO_TRACE value that the trace plug-in skips: each item
// is CATEGORY=LEVEL, LEVEL a number from 0 on.
std::vector<std::string> UnreadableTraceItems(const std::string& value) {
  std::vector<std::string> bad;
  std::istringstream items(value);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t eq = item.find('=');
    auto trimmed = [](std::string t) {
      const size_t b = t.find_first_not_of(" \t");
      const size_t e = t.find_last_not_of(" \t");
      return b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
    };
    if (trimmed(item).empty()) continue;
    const std::string level = eq == std::string::npos ? std::string() : trimmed(item.substr(eq + 1));
    char* end = nullptr;
    errno = 0;
    const long n = level.empty() ? -1 : std::strtol(level.c_str(), &end, 10);
    if (eq == std::string::npos || trimmed(item.substr(0, eq)).empty() || n < 0 || *end != '\0' || errno != 0 ||
        n > INT32_MAX) {
      bad.push_back(item);
    }
  }
  return bad;
}

// The component's own root store path, without its final '/'.
std::string RootStoreDirectory() {
  std::string dir = crypto::RootStore::Directory();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

Diagnosis::Diagnosis() {
  if (const char* user = std::getenv("KELO_TRACE"); user != nullptr) {
    userTrace_ = true;
    const std::vector<std::string> bad = UnreadableTraceItems(user);
    if (!bad.empty()) {
      std::string list;
      for (const std::string& item : bad) list += (list.empty() ? "'" : ", '") + item + "'";
      std::fprintf(stderr, "rimo: KELO_TRACE: %s cannot be read (each item is CATEGORY=LEVEL, e.g. *=4) and %s\n",
                   list.c_str(), bad.size() == 1 ? "is ignored" : "are ignored");
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  // The trace is written through this very file, held open and nameless:
  // named by /proc/self/fd, no other user can swap it for a link or a FIFO
  // in a temp folder they can write to, and however rimo ends (a signal
  // included), nothing is left behind. Without a name from the start where
  // the file system allows it; elsewhere it is unlinked at once.
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string pattern = folder + "/rimo-trace-XXXXXX";
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return;
    unlink(pattern.c_str());
  }
  traceFd_ = fd;
  if (userTrace_) return;
  const std::string held = "/proc/self/fd/" + std::to_string(fd);
  setenv("KELO_TRACE", "*=4", 1);
  setenv("KELO_TRACE_FILE", held.c_str(), 1);
}

void Diagnosis::Attach(const std::string& libraryDirectory) {
  if (!userTrace_ || traceFd_ < 0) return;
  // The plug-in the component will find first; loaded here, it is the same
  // instance the component uses, and it stays loaded with it.
  for (const std::string& dir : {diag::ComponentProgramDirectory(), libraryDirectory + "/"}) {
    const std::string path = dir + diag::kTraceLibraryName;
    if (dir.size() <= 1 || access(path.c_str(), R_OK) != 0) continue;
    void* plugin = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (plugin == nullptr) return;
    // Its own level: every reason, whatever the user's settings trace.
    const std::string held = "/proc/self/fd/" + std::to_string(traceFd_);
    using AddAtLevel = bool (*)(const char*, int32_t);
    using AddListener = bool (*)(const char*);
    if (auto addAtLevel = reinterpret_cast<AddAtLevel>(dlsym(plugin, "AddTextfileListenerAtLevel"))) {
      ownLevel_ = addAtLevel(held.c_str(), 4);
    } else if (auto add = reinterpret_cast<AddListener>(dlsym(plugin, "AddTextfileListener"))) {
      add(held.c_str());
    }
    dlclose(plugin);
    return;
  }
}

Diagnosis::~Diagnosis() {
  if (traceFd_ >= 0) close(traceFd_);
}

std::string Diagnosis::TraceText() const {
  if (traceFd_ < 0) return {};
  std::string text;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t n = pread(traceFd_, buffer, sizeof buffer, at);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

std::string Diagnosis::LoadReason(const std::string& file) const {
  const std::vector<std::string> texts = TextsOf(TraceText());
  std::string readerError, chainError, check, container;
  bool noRootStore = false;
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string& t = texts[i];
    if (Match(t, diag::text::kXmlReadFailed)) {
      readerError = i + 1 < texts.size() ? texts[i + 1] : "malformed XML";
    } else if (const auto values = Match(t, diag::text::kCheckFailed)) {
      check = values->front();
    } else if (t.find("certificate chain") != std::string::npos || t.find("certificate or") != std::string::npos) {
      chainError = t;
    } else if (Match(t, diag::text::kNoRootStore)) {
      noRootStore = true;
    } else if (const auto values = Match(t, diag::text::kContainerUnreadable)) {
      container = values->front();
    }
  }
  struct stat st {};
  if (stat(RootStoreDirectory().c_str(), &st) != 0) noRootStore = true;
  // A response whose container failed: the container is what is wrong.
  if (!container.empty() && check.empty()) {
    return "refused: the response container could not be read (error " + container + ")" +
           (readerError.empty() ? std::string() : ": " + readerError);
  }
  if (!readerError.empty()) {
    // The reader's words for a text without any markup.
    if (readerError.find("Document is empty") != std::string::npos) {
      return file + ": not a TC response: there is no XML element in it (" + readerError + ")";
    }
    // The reader's words for a document cut short are those for one that
    // goes on too long: a file without the closing tag says which it is.
    if (readerError.find("Extra content at the end of the document") != std::string::npos && CutShort(file)) {
      return file + ": not a TC response: it ends before </TCRESPONSE>, cut short (" + readerError + ")";
    }
    return file + ": not a TC response: " + readerError;
  }
  if (check == "1") return "refused: the signature over the container does not verify with the signer certificate";
  if (check == "2") {
    if (noRootStore) return "refused: there is no root store at " + RootStoreDirectory();
    return "refused: the signer certificate's chain to the machine root store " + RootStoreDirectory() +
           " is not valid" + (chainError.empty() ? std::string() : " (" + chainError + ")");
  }
  if (check == "3") return "refused: the signer certificate's locality is not \"QUANDEL Nachladesignatur\"";
  if (check == "4") return "refused: the signer's issuer in the root store is not the self-issued \"CA QUANDEL\"";
  if (check == "5") {
    return "refused: the response lacks a part (serial numbers, signature, signer certificate or container)";
  }
  if (traceFd_ < 0) return file + ": not published (no private trace file could be made to find the reason)";
  if (userTrace_ && !ownLevel_) {
    return file + ": not published (the levels in KELO_TRACE leave out the reason; \"*=4\" includes it)";
  }
  return file + ": not a TC response";
}

std::string Diagnosis::Reason(const std::string& command, const std::string& argument, int32_t errorKind,
                              const std::string& errorId, int32_t httpStatus, const std::string& userMessage) const {
  if (command == "load") return LoadReason(argument);
  std::string reason = QueryReason(command, argument, errorKind, errorId, httpStatus, userMessage);
  // A registry file that was not read whole explains many a failed query.
  for (const std::string& t : TextsOf(TraceText())) {
    const auto values = Match(t, diag::text::kRegistryNotWhole);
    if (!values) continue;
    reason += " (the registry file " + (*values)[0] + " was not read whole: " + (*values)[1] + ")";
    break;
  }
  return reason;
}

std::string Diagnosis::QueryReason(const std::string& command, const std::string& argument, int32_t errorKind,
                                   const std::string& errorId, int32_t httpStatus,
                                   const std::string& userMessage) const {
  (void)command;
  if (errorId == "INT-99001") {
    return "no request was made for '" + argument +
           "': a user ID has 18 to 20 characters, must be usable as a file name, and its "
           "characters from the 18th on may not be \".\" or \"..\"";
  }
  if (errorKind == codes::kErrorFault) return "the data center refused: " + userMessage + " (" + errorId + ")";
  // A response came and failed a check: which one says more than its error
  // identifier.
  if (errorKind == codes::kErrorVerification) return LoadReason("the received response");
  // The URL the request went to, and the HTTP layer's reason.
  std::string url;
  int httpError = 0;
  for (const std::string& t : TextsOf(TraceText())) {
    if (const auto values = Match(t, diag::text::kRequestFailed)) {
      url = (*values)[0];
      httpError = std::atoi((*values)[1].c_str());
    }
  }
  if (httpError == WebCommLib::kErrorUrl || httpError == WebCommLib::kErrorScheme) {
    return "no request was made: the data center's address \"" + url +
           "\" is not a usable http or https URL (RimoServiceUrl in the registry file)";
  }
  // The built-in address never resolves: the registry names none.
  constexpr char kBuiltIn[] = "https://rz.kelo.invalid/";
  const std::string noAddress =
      url.rfind(kBuiltIn, 0) == 0 ? " (the registry file names no RimoServiceUrl, so the built-in address was used)"
                                  : "";
  for (const std::string& t : TextsOf(TraceText())) {
    if (const auto values = Match(t, diag::text::kAnswerCut)) {
      return "the query failed: the data center's answer (HTTP " + values->front() +
             ") was cut off before its end (" + (errorId.empty() ? std::string("no error identifier") : errorId) +
             ")" + (url.empty() ? std::string() : "; the request went to " + url);
    }
  }
  if (!errorId.empty()) {
    std::string reason = "the query failed: " + ErrorIdMeaning(errorId) + " (" + errorId + ")";
    // Why the choice of a client certificate ended the request (a wrong PIN).
    for (const std::string& t : TextsOf(TraceText())) {
      const auto why = Match(t, diag::text::kClientAuthEnded);
      if (why && !why->front().empty()) {
        reason += ": " + why->front();
        break;
      }
    }
    return (url.empty() ? reason : reason + "; the request went to " + url) + noAddress;
  }
  if (httpStatus != 0 && httpStatus != 200 && httpStatus != 204 && httpStatus != 212) {
    return "the data center answered with the unexpected HTTP status " + std::to_string(httpStatus);
  }
  return "no response was received";
}

std::string Diagnosis::WriteFailure() const {
  for (const std::string& t : TextsOf(TraceText())) {
    if (const auto values = Match(t, diag::text::kUserPathTooLong)) {
      return "neither the response file nor the status INI can be had: the path " + values->front() +
             " is longer than " + (*values)[1] + " bytes";
    }
  }
  for (const std::string& t : TextsOf(TraceText())) {
    if (Match(t, diag::text::kNoResponseFolder) || Match(t, diag::text::kResponseNotWritten)) {
      return "the response file could not be stored (" + t + ")";
    }
    for (const wchar_t* format : {diag::text::kIniWriteFailed, diag::text::kIniFolderNotMade, diag::text::kIniNotLocked,
                                  diag::text::kIniBadParameter}) {
      if (const auto values = Match(t, format)) {
        const std::string& file = values->front();
        return "the status INI " + (file.empty() ? std::string("(no folder could be had for it)") : file) +
               " could not be written (" + t + ")";
      }
    }
  }
  return {};
}

std::string CheckResponseFile(const std::string& file) {
  if (file.size() > kMaxPath) {
    return "the path has " + std::to_string(file.size()) + " characters; at most " + std::to_string(kMaxPath) +
           " are accepted";
  }
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) return file + ": " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return file + ": is a directory";
  if (!S_ISREG(st.st_mode)) return file + ": not a regular file (a FIFO, socket or device)";
  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return file + ": " + std::strerror(errno);
  close(fd);
  if (st.st_size == 0) return file + ": the file is empty";
  if (static_cast<uint64_t>(st.st_size) > kMaxResponseBytes) {
    return file + ": the file has " + std::to_string(st.st_size) +
           " bytes; a TC response has at most 12500000 bytes (what the data center's 16 MiB answer can carry)";
  }
  return {};
}

std::string ErrorIdMeaning(const std::string& errorId) {
  if (errorId == "INT-99001") return "no request could be made";
  if (errorId.size() != 9 || errorId[3] != '-') return "unknown";
  const long status = std::strtol(errorId.substr(0, 3).c_str(), nullptr, 10);
  const long detail = std::strtol(errorId.substr(4).c_str(), nullptr, 10);
  if (detail == 99000) return "the answer (HTTP " + std::to_string(status) + ") is not the expected document";
  if (status == 0) {
    // Only a name that does not resolve or a connection that cannot be made
    // means the server was not reached; anything else happened after it was.
    if (detail == 12007 || detail == 12029) {
      return std::string("the data center could not be reached: ") + WinInetMeaning(detail);
    }
    return std::string("the request to the data center failed: ") + WinInetMeaning(detail);
  }
  if (detail == 0) return "the data center answered with HTTP " + std::to_string(status);
  return std::string(WinInetMeaning(detail)) + " (HTTP " + std::to_string(status) + ")";
}

}  // namespace rimo::tool
