// rimo: a host for librimodata.so. Loads the library with dlopen, drives it
// through its four exports and prints what the status object holds.
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/RimoPaths.h"
#include "platform/Utf8.h"
#include "rimo/RimoData.h"
#include "rimo/Diagnosis.h"
#include "rimo/SafeText.h"
#include "rimo/RimoStatusCodes.h"

#ifndef RIMO_VERSION
#define RIMO_VERSION "0"
#endif

namespace {
namespace codes = rimo::codes;

using rimo::tool::Diagnosis;

constexpr char kUsage[] =
    "usage: rimo [--lib PATH] [--sync] [--json] [--quiet] load FILE\n"
    "       rimo [--lib PATH] [--sync] [--json] [--quiet] query USERID\n"
    "       rimo [--lib PATH] [--sync] [--json] [--quiet] fetch USERID\n"
    "       rimo --help | --version\n";

constexpr char kHelp[] =
    "  load FILE     let the component verify the stored TC response FILE and publish it\n"
    "  query USERID  ask the data center for the user's TC response and store it\n"
    "                (nothing is sent when the user's response file exists already)\n"
    "  fetch USERID  ask the data center, then verify and publish the response\n"
    "\n"
    "  --lib PATH    the component library (default: librimodata.so in ../lib/kelo/ or\n"
    "                ../lib/ beside this program)\n"
    "  --sync        run on this thread (default: the component's worker thread)\n"
    "  --json        one JSON object on standard output instead of text\n"
    "  --quiet       no progress on standard error (progress is shown only on a terminal)\n"
    "\n"
    "The first line of the report is the verdict: PUBLISHED, RECEIVED, NO PACKAGE, REFUSED or\n"
    "FAILED, with the reason.\n"
    "\n"
    "Environment: KELO_ROOT prefixes the registry ($KELO_ROOT/etc/kelo/registry.reg, whose\n"
    "RimoServiceUrl names the data center), the root store ($KELO_ROOT/etc/ssl/certs/) and\n"
    "the data folders; KELO_TRACE, KELO_TRACE_FILE, KELO_CARD_CERT, KELO_ASKPASS: see rimo(1).\n"
    "\n"
    "Exit status: 0 published (load, fetch) or received (query); 3 the data center has no\n"
    "package for the user (query, fetch); 1 refused or failed, with the reason on standard\n"
    "error; 2 wrong usage, a library that cannot be loaded, or a closed standard output.\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "rimo: %s\nTry 'rimo --help'.\n", problem.c_str());
  return 2;
}

std::string Narrow(const wchar_t* w) { return w == nullptr ? std::string() : rimo::platform::WideToUtf8(w); }

std::string Json(const std::string& s) { return rimo::tool::JsonString(s); }

using rimo::tool::Printable;

// A field's text as it is printed: escaped, "-" when empty.
std::string Field(const std::string& s) { return s.empty() ? "-" : Printable(s); }

std::string JsonOrNull(const wchar_t* w) { return w == nullptr ? "null" : Json(Narrow(w)); }

// What an error kind says happened; kind 0 on a failed job names no error
// (the verdict line says what failed).
const char* ErrorKindMeaning(int32_t kind, bool failed) {
  switch (kind) {
    case codes::kErrorNone: return failed ? "none given (the first line says what failed)" : "none";
    case codes::kErrorVerification: return "the TC response failed its verification";
    case codes::kErrorNoPackage: return "the data center has no package";
    case codes::kErrorFault: return "the data center answered with a fault document";
    case codes::kErrorFaultUnreadable: return "the data center's fault document could not be read";
    case codes::kErrorRequest: return "the request failed or the answer held no TC response";
    default: return "unknown";
  }
}

// What the state a job left says happened (not which phase began).
const char* StateMeaning(int32_t code, const std::string& command, int32_t outcome) {
  switch (code) {
    case codes::kStateNone: return "nothing was done";
    case codes::kStateQueryStarted:
      return outcome == codes::kOutcomeReceived ? "no request was needed: the stored response still verifies"
                                                : "the query ended without a response";
    case codes::kStatePublished: return command == "query" ? "a response was received" : "a response was published";
    case codes::kStateUnexpectedStatus: return "the query ended with an HTTP status it has no use for";
    case codes::kStateFileLoadStarted: return "the file was read; nothing was published";
    default: return "unknown";
  }
}

const char* OutcomeMeaning(int32_t outcome) {
  switch (outcome) {
    case 0: return "a response is present";
    case 1: return "the data center has no package for the user";
    case 2: return "no result";
    default: return "unknown";
  }
}

struct CertInfo {
  std::string type, subject, issuer, notBefore, notAfter;
  uint32_t derLength = 0;
};

std::string NameText(const X509_NAME* name) {
  char* text = X509_NAME_oneline(name, nullptr, 0);
  std::string out = text != nullptr ? text : "";
  OPENSSL_free(text);
  return out;
}

std::string TimeText(const ASN1_TIME* t) {
  struct tm tm {};
  if (ASN1_TIME_to_tm(t, &tm) != 1) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

CertInfo Describe(const CertificateRecord& r) {
  CertInfo info;
  info.type = Narrow(r.type);
  info.derLength = r.derLength;
  const unsigned char* p = r.der;
  X509* cert = r.derLength > 0 && r.derLength <= sizeof r.der ? d2i_X509(nullptr, &p, r.derLength) : nullptr;
  if (cert != nullptr) {
    info.subject = NameText(X509_get_subject_name(cert));
    info.issuer = NameText(X509_get_issuer_name(cert));
    info.notBefore = TimeText(X509_get0_notBefore(cert));
    info.notAfter = TimeText(X509_get0_notAfter(cert));
    X509_free(cert);
  }
  return info;
}

struct Published {
  int32_t stateCode = codes::kStateNone, errorKind = codes::kErrorNone, httpStatus = 0, requestError = 0;
  int32_t queryOutcome = codes::kOutcomeNoResult, responseLength = 0;
  bool keyChange = false, switchOnActivation = false;
  std::string userMessage, currentSerial, newSerial, errorId, faultId;
  std::string userMessageJson, currentSerialJson, newSerialJson, errorIdJson, faultIdJson;
  std::vector<CertInfo> certs;

  // A response was published: its state, no error, and certificates.
  bool Shown() const {
    // A verified container may list no certificate: published all the same.
    return stateCode == codes::kStatePublished && errorKind == codes::kErrorNone;
  }
};

Published Snapshot(IScDataStatus* s) {
  Published p;
  s->Lock();
  p.stateCode = s->GetStateCode();
  p.errorKind = s->GetErrorKind();
  p.queryOutcome = s->GetQueryOutcome();
  p.httpStatus = s->GetHttpStatus();
  p.requestError = s->GetRequestError();
  p.responseLength = s->GetResponseLength();
  p.keyChange = s->GetKeyChange();
  p.switchOnActivation = s->GetSwitchOnActivation();
  p.userMessage = Narrow(s->GetUserMessage());
  p.userMessageJson = JsonOrNull(s->GetUserMessage());
  p.currentSerial = Narrow(s->GetCurrentSerial());
  p.currentSerialJson = JsonOrNull(s->GetCurrentSerial());
  p.newSerial = Narrow(s->GetNewSerial());
  p.newSerialJson = JsonOrNull(s->GetNewSerial());
  p.errorId = Narrow(s->GetErrorId());
  p.errorIdJson = JsonOrNull(s->GetErrorId());
  p.faultId = Narrow(s->GetFaultId());
  p.faultIdJson = JsonOrNull(s->GetFaultId());
  if (ICertificateList* list = s->GetCertificateList(); list != nullptr && list->LockObject()) {
    void* cursor = nullptr;
    for (auto* r = list->GetFirstCertificate(&cursor); r != nullptr; r = list->GetNextCertificate(&cursor)) {
      p.certs.push_back(Describe(*r));
    }
    list->UnlockObject();
  }
  s->Unlock();
  return p;
}

// Where the query's files are for the user, and what the status INI says.
struct UserFiles {
  std::string responseFile, statusIni;
  std::string cardCertificate;  // where the card holder's certificate comes from
  std::vector<std::pair<std::string, std::string>> statusValues;
};

UserFiles FilesOf(const std::wstring& userId, const std::string& libraryDir) {
  UserFiles files;
  rimo::config::CRimoPaths paths;
  wchar_t response[260] = {};
  char ini[260] = {};
  if (paths.GetResponseFilePath(userId.c_str(), response)) files.responseFile = Narrow(response);
  if (paths.GetStatusIniPath(userId.c_str(), ini)) files.statusIni = ini;
  // The card base plug-in the component uses says where the card holder's
  // certificate (whose expiry decides the status INI) comes from.
  // The component looks for it in the registered program folder, else
  // beside itself.
  char registered[260] = {};
  std::string plugin = libraryDir + "/QNCardBase002.so";
  struct stat st {};
  if (paths.GetCardBaseLibraryPath(registered, sizeof registered) && stat(registered, &st) == 0) plugin = registered;
  {
    if (void* library = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      using Describe = int32_t (*)(char*, uint32_t*);
      if (auto describe = reinterpret_cast<Describe>(dlsym(library, "QNCardbase_DescribeCertificateSource"))) {
        char text[1024] = {};
        uint32_t length = sizeof text;
        const int32_t rc = describe(text, &length);
        files.cardCertificate = rc == 0 ? text : std::string("none: ") + text;
      }
      dlclose(library);
    }
  }
  std::ifstream in(files.statusIni);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq != std::string::npos && !line.empty() && line[0] != '[' && line[0] != ';') {
      files.statusValues.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  return files;
}

// The job's outcome in one line, in agreement with the exit status.
std::string Verdict(const std::string& command, int exitCode, const Published& p, const std::string& reason) {
  if (exitCode == 0) {
    if (command == "query") {
      // Nothing is sent while the stored response still verifies.
      return p.httpStatus == 0 ? "RECEIVED: the stored response still verifies; nothing was sent" : "RECEIVED";
    }
    return "PUBLISHED: " + std::to_string(p.certs.size()) + (p.certs.size() == 1 ? " certificate" : " certificates");
  }
  if (exitCode == 3) return "NO PACKAGE";
  // REFUSED when a check refused the response; anything else failed.
  constexpr char kRefused[] = "refused: ";
  if (reason.rfind(kRefused, 0) == 0) return "REFUSED: " + reason.substr(sizeof kRefused - 1);
  return "FAILED: " + (reason.empty() ? std::string("no reason is known") : reason);
}

void PrintText(std::ostream& out, const std::string& command, const Published& p, const UserFiles* files,
               const std::string& verdict, bool failed) {
  out << Printable(verdict) << "\n";
  out << "state code:           " << p.stateCode << " (" << StateMeaning(p.stateCode, command, p.queryOutcome) << ")\n";
  if (command != "load") {
    out << "query outcome:        " << p.queryOutcome << " (" << OutcomeMeaning(p.queryOutcome) << ")\n";
  }
  out << "error kind:           " << p.errorKind << " (" << ErrorKindMeaning(p.errorKind, failed) << ")\n";
  if (command != "load") {
    out << "error identifier:     " << Field(p.errorId);
    if (!p.errorId.empty()) out << " (" << Printable(rimo::tool::ErrorIdMeaning(p.errorId)) << ")";
    out << "\n"
        << "HTTP status:          " << p.httpStatus << "\n"
        << "WinInet code:         " << p.requestError << "\n"
        << "fault ID:             " << Field(p.faultId) << "\n";
  }
  out << "key-change flag:      "
      << (p.keyChange ? "true (the container said KEYCHANGE NEIN)" : "false (KEYCHANGE JA, or none)") << "\n"
      << "switch on activation: " << (p.switchOnActivation ? "true" : "false") << "\n"
      << "current serial:       " << Field(p.currentSerial) << "\n"
      << "new serial:           " << Field(p.newSerial) << "\n"
      << "user message:         " << Field(p.userMessage) << "\n"
      << "certificates:         " << p.certs.size() << "\n";
  for (const CertInfo& c : p.certs) {
    out << "  - type:     " << Printable(c.type) << "\n";
    if (c.derLength == 0 || c.subject.empty()) {
      out << "    (no DER form stored)\n";
      continue;
    }
    out << "    subject:  " << Printable(c.subject) << "\n"
        << "    issuer:   " << Printable(c.issuer) << "\n"
        << "    valid:    " << c.notBefore << " to " << c.notAfter << "\n"
        << "    DER:      " << c.derLength << " bytes\n";
  }
  if (files != nullptr) {
    struct stat st {};
    const bool stored = !files->responseFile.empty() && stat(files->responseFile.c_str(), &st) == 0;
    out << "response file:        " << Field(files->responseFile)
        << (stored ? " (" + std::to_string(st.st_size) + " bytes)" : " (none)") << "\n"
        << "status INI:           " << Field(files->statusIni) << (files->statusValues.empty() ? " (none)" : "")
        << "\n";
    for (const auto& [key, value] : files->statusValues) {
      out << "  " << Printable(key) << " = " << Printable(value) << "\n";
    }
    out << "card certificate:     " << Field(files->cardCertificate) << "\n";
  }
}

void PrintJson(std::ostream& out, const std::string& command, const Published& p, const UserFiles* files,
               const std::string& reason, const std::string& verdict, bool failed) {
  out << "{\"verdict\":" << Json(verdict) << ",\"stateCode\":" << p.stateCode
      << ",\"stateMeaning\":" << Json(StateMeaning(p.stateCode, command, p.queryOutcome)) << ",\"errorKind\":" << p.errorKind
      << ",\"errorMeaning\":" << Json(ErrorKindMeaning(p.errorKind, failed))
      << ",\"keyChange\":" << (p.keyChange ? "true" : "false")
      << ",\"switchOnActivation\":" << (p.switchOnActivation ? "true" : "false")
      << ",\"currentSerial\":" << p.currentSerialJson << ",\"newSerial\":" << p.newSerialJson
      << ",\"userMessage\":" << p.userMessageJson << ",\"published\":"
      << (p.Shown() ? "true" : "false");
  if (command != "load") {
    out << ",\"queryOutcome\":" << p.queryOutcome << ",\"errorId\":" << p.errorIdJson
        << ",\"httpStatus\":" << p.httpStatus << ",\"requestError\":" << p.requestError
        << ",\"faultId\":" << p.faultIdJson << ",\"responseLength\":" << p.responseLength;
  }
  if (files != nullptr) {
    out << ",\"responseFile\":" << Json(files->responseFile) << ",\"statusIni\":" << Json(files->statusIni)
        << ",\"cardCertificate\":" << Json(files->cardCertificate)
        << ",\"statusIniValues\":{";
    for (size_t i = 0; i < files->statusValues.size(); ++i) {
      out << (i ? "," : "") << Json(files->statusValues[i].first) << ":" << Json(files->statusValues[i].second);
    }
    out << "}";
  }
  out << ",\"reason\":" << (reason.empty() ? "null" : Json(reason)) << ",\"certificates\":[";
  for (size_t i = 0; i < p.certs.size(); ++i) {
    const CertInfo& c = p.certs[i];
    out << (i ? "," : "") << "{\"type\":" << Json(c.type) << ",\"subject\":" << Json(c.subject)
        << ",\"issuer\":" << Json(c.issuer) << ",\"notBefore\":" << Json(c.notBefore)
        << ",\"notAfter\":" << Json(c.notAfter) << ",\"derLength\":" << c.derLength << "}";
  }
  out << "]}\n";
}

std::string ProgramDirectory() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return ".";
  const std::string path(exe, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// The installed layout first (bin/ and lib/kelo/), then the build tree's.
std::string DefaultLibrary() {
  const std::string dir = ProgramDirectory();
  for (const char* candidate : {"/../lib/kelo/librimodata.so", "/../lib/librimodata.so"}) {
    if (access((dir + candidate).c_str(), R_OK) == 0) return dir + candidate;
  }
  return dir + "/../lib/kelo/librimodata.so";
}

// Progress for a person watching a terminal: real transitions only, and
// nothing at all for a job that ends within a fraction of a second.
class Progress {
 public:
  Progress(IScDataStatus* status, bool enabled, std::string what) : status_(status) {
    if (!enabled) return;
    thread_ = std::thread([this, what = std::move(what)] {
      const auto start = std::chrono::steady_clock::now();
      std::string last;
      while (!done_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(400)) continue;
        const bool busy = status_->GetBusy();
        status_->Lock();
        const int32_t state = status_->GetStateCode();
        status_->Unlock();
        std::string now = !busy && state == codes::kStateNone         ? "queued"
                          : state == codes::kStateQueryStarted    ? "asking the data center"
                          : state == codes::kStateFileLoadStarted ? "loading and verifying " + what
                                                                  : "working";
        if (now != last) {
          std::fprintf(stderr, "rimo: %s...\n", now.c_str());
          last = now;
        }
      }
    });
  }
  ~Progress() { Finish(); }
  void Finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  IScDataStatus* status_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Standard input and error that are closed are opened on /dev/null, so that
// no file the component opens takes their place; a closed standard output
// is refused, since the report would go into whatever file took fd 1.
bool StandardStreamsOpen() {
  const bool outputOpen = fcntl(STDOUT_FILENO, F_GETFD) != -1;
  for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      if (opened > STDERR_FILENO) close(opened);
    }
  }
  if (!outputOpen) {
    std::fprintf(stderr, "rimo: standard output is closed; nothing was done\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!StandardStreamsOpen()) return 2;
  // A reader that went away is a write error like any other (exit status 1).
  signal(SIGPIPE, SIG_IGN);
  std::string lib, command, argument;
  bool sync = false, json = false, quiet = false, optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      std::string value;
      bool hasValue = false;
      if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
        value = arg.substr(arg.find('=') + 1);
        arg = arg.substr(0, arg.find('='));
        hasValue = true;
      }
      if (arg == "--") {
        optionsEnded = true;
      } else if (arg == "--help" || arg == "-h") {
        std::cout << kUsage << "\n" << kHelp;
        std::cout.flush();
        return std::cout ? 0 : 1;
      } else if (arg == "--version") {
        std::cout << "rimo " << RIMO_VERSION << "\n";
        std::cout.flush();
        return std::cout ? 0 : 1;
      } else if (arg == "--lib") {
        if (!hasValue && i + 1 >= argc) return UsageError("--lib needs a path");
        lib = hasValue ? value : argv[++i];
      } else if (hasValue) {
        return UsageError(arg + " takes no value");
      } else if (arg == "--sync") {
        sync = true;
      } else if (arg == "--json") {
        json = true;
      } else if (arg == "--quiet" || arg == "-q") {
        quiet = true;
      } else {
        return UsageError("unknown option '" + arg + "'");
      }
    } else if (command.empty()) {
      command = arg;
    } else if (argument.empty()) {
      argument = arg;
    } else {
      return UsageError("too many arguments");
    }
  }
  if (command.empty()) return UsageError("no command given");
  if (command != "load" && command != "query" && command != "fetch") {
    return UsageError("unknown command '" + command + "'");
  }
  if (argument.empty()) return UsageError(command + (command == "load" ? " needs a FILE" : " needs a USERID"));
  // Every argument names exactly one file or user: a byte that is not UTF-8
  // would become another character, and another user's files.
  if (!rimo::platform::Utf8ToWideExact(argument)) {
    return UsageError(std::string(command == "load" ? "the FILE" : "the USERID") + " '" + Printable(argument) +
                      "' is not valid UTF-8");
  }
  if (lib.empty()) lib = DefaultLibrary();
  if (lib.find('/') == std::string::npos) lib = "./" + lib;  // never a search path

  // The component's trace is its diagnostic channel: unless the user traces
  // already, its errors go to a private file, read to say why a job failed.
  Diagnosis diagnosis;
  void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "rimo: cannot load the component %s: %s\n", lib.c_str(), dlerror());
    return 2;
  }
  diagnosis.Attach(lib.substr(0, lib.rfind('/')));
  auto createStatus = reinterpret_cast<IScDataStatus* (*)()>(dlsym(handle, "CreateRimoDataStatusObject"));
  auto deleteStatus = reinterpret_cast<bool (*)(IScDataStatus*)>(dlsym(handle, "DeleteRimoDataStatusObject"));
  auto create = reinterpret_cast<IRimoData* (*)(IScDataStatus*, uint8_t)>(dlsym(handle, "CreateRimoDataObject"));
  auto destroy = reinterpret_cast<bool (*)(IRimoData*)>(dlsym(handle, "DeleteRimoDataObject"));
  if (!createStatus || !deleteStatus || !create || !destroy) {
    std::fprintf(stderr, "rimo: %s lacks the component's exports\n", lib.c_str());
    return 2;
  }
  const std::wstring wide = *rimo::platform::Utf8ToWideExact(argument);
  std::string early;  // a reason known before the component runs
  if (command == "load") early = rimo::tool::CheckResponseFile(argument);

  IScDataStatus* status = createStatus();
  IRimoData* component = status != nullptr ? create(status, sync ? 0 : 1) : nullptr;
  if (component == nullptr) {
    std::fprintf(stderr, "rimo: the component could not be created\n");
    return 2;
  }
  {
    Progress progress(status, !quiet && !sync && isatty(STDERR_FILENO) == 1, argument);
    if (command == "load") {
      component->LoadRimoResponseFromFile(wide.c_str());
    } else if (command == "query") {
      component->QueryRimoResponse(wide.c_str());
    } else {
      component->LoadRimoResponseFromRZ(wide.c_str());
    }
    destroy(component);  // waits for the queued work
    progress.Finish();
  }
  const Published p = Snapshot(status);
  deleteStatus(status);

  int exitCode = 1;
  if (command == "load") {
    exitCode = p.Shown() ? 0 : 1;
  } else if (p.queryOutcome == codes::kOutcomeNoPackage) {
    exitCode = 3;
  } else if (command == "query") {
    exitCode = p.queryOutcome == codes::kOutcomeReceived ? 0 : 1;
  } else {
    exitCode = p.queryOutcome == codes::kOutcomeReceived && p.Shown() ? 0 : 1;
  }
  std::string reason;
  if (command != "load" && exitCode != 1) {
    // Files that could be written nowhere are a failure of the job, said so.
    reason = diagnosis.WriteFailure();
    if (!reason.empty()) exitCode = 1;
  }
  if (exitCode == 1 && reason.empty()) {
    reason = !early.empty() ? early
                            : diagnosis.Reason(command, argument, p.errorKind, p.errorId, p.httpStatus, p.userMessage);
  }
  UserFiles files;
  if (command != "load") files = FilesOf(wide, lib.substr(0, lib.rfind('/')));  // lib holds a '/'
  std::ostringstream out;
  const std::string verdict = Verdict(command, exitCode, p, reason);
  if (json) {
    PrintJson(out, command, p, command != "load" ? &files : nullptr, reason, verdict, exitCode != 0);
  } else {
    PrintText(out, command, p, command != "load" ? &files : nullptr, verdict, exitCode != 0);
  }
  std::fwrite(out.str().data(), 1, out.str().size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "rimo: cannot write to standard output: %s\n", std::strerror(errno));
    return exitCode == 0 ? 1 : exitCode;
  }
  if (!reason.empty()) std::fprintf(stderr, "rimo: %s\n", Printable(reason).c_str());
  if (exitCode == 3 && !quiet) {
    std::fprintf(stderr, "rimo: the data center holds no package for %s\n", Printable(argument).c_str());
  }
  return exitCode;
}
