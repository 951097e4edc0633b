// rimo: a host for librimodata.so. Loads the library with dlopen, drives it
// through its four exports and prints what the status object holds.
#include <dlfcn.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rimo/RimoData.h"

namespace {

constexpr char kUsage[] = R"(usage: rimo [--lib PATH] [--sync] [--json] [--quiet] load FILE
       rimo --help

Loads the stored TC response FILE, lets the component verify it, and prints
what it published: state code, error kind, flags, serial numbers, user
message and every certificate.

  --lib PATH  the component library (default: ../lib/librimodata.so beside
              this program)
  --sync      run the load on this thread (default: the component's worker)
  --json      print one JSON object instead of text
  --quiet     no progress lines on standard error

Exit status: 0 for a published response (state code 6002, error kind 0),
1 for a response that was not published, 2 for wrong usage or a library
that cannot be loaded.)";

[[noreturn]] void Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "rimo: " << problem << "\n";
  std::cerr << kUsage << "\n";
  std::exit(2);
}

std::wstring Widen(const std::string& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    char32_t c = len == 1 ? b : (b & (0x3F >> (len - 1)));
    for (int k = 1; k < len && i + k < s.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(static_cast<wchar_t>(c));
    i += static_cast<size_t>(len);
  }
  return out;
}

std::string Narrow(const wchar_t* w) {
  std::string out;
  if (w == nullptr) return out;
  for (; *w != L'\0'; ++w) {
    auto c = static_cast<char32_t>(*w);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string JsonOrNull(const wchar_t* w) { return w == nullptr ? "null" : Json(Narrow(w)); }

const char* ErrorKindMeaning(int32_t kind) {
  switch (kind) {
    case 0: return "none";
    case 3: return "the TC response failed its verification";
    case 4: return "the data center has no package";
    case 5: return "the data center answered with a fault document";
    case 6: return "the data center's fault document could not be read";
    case 8: return "the request failed or the answer held no TC response";
    default: return "unknown";
  }
}

const char* StateMeaning(int32_t code) {
  switch (code) {
    case 0: return "nothing done";
    case 6001: return "data-center query started";
    case 6002: return "response published";
    case 6003: return "query ended with an unexpected HTTP status";
    case 6004: return "loading a response file started";
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
  int32_t stateCode = 0, errorKind = 0, httpStatus = 0, queryOutcome = 2;
  bool keyChange = false, switchOnActivation = false;
  std::string userMessageJson, currentSerialJson, newSerialJson, userMessage, currentSerial, newSerial;
  std::vector<CertInfo> certs;
};

Published Snapshot(IScDataStatus* s) {
  Published p;
  s->Lock();
  p.stateCode = s->GetStateCode();
  p.errorKind = s->GetErrorKind();
  p.queryOutcome = s->GetQueryOutcome();
  p.keyChange = s->GetKeyChange();
  p.switchOnActivation = s->GetSwitchOnActivation();
  p.userMessage = Narrow(s->GetUserMessage());
  p.userMessageJson = JsonOrNull(s->GetUserMessage());
  p.currentSerial = Narrow(s->GetCurrentSerial());
  p.currentSerialJson = JsonOrNull(s->GetCurrentSerial());
  p.newSerial = Narrow(s->GetNewSerial());
  p.newSerialJson = JsonOrNull(s->GetNewSerial());
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

void PrintText(const Published& p) {
  std::cout << "state code:           " << p.stateCode << " (" << StateMeaning(p.stateCode) << ")\n"
            << "error kind:           " << p.errorKind << " (" << ErrorKindMeaning(p.errorKind) << ")\n"
            << "key-change flag:      "
            << (p.keyChange ? "true (the container said KEYCHANGE NEIN)" : "false (KEYCHANGE JA, or none)") << "\n"
            << "switch on activation: " << (p.switchOnActivation ? "true" : "false") << "\n"
            << "current serial:       " << (p.currentSerial.empty() ? "-" : p.currentSerial) << "\n"
            << "new serial:           " << (p.newSerial.empty() ? "-" : p.newSerial) << "\n"
            << "user message:         " << (p.userMessage.empty() ? "-" : p.userMessage) << "\n"
            << "certificates:         " << p.certs.size() << "\n";
  for (const CertInfo& c : p.certs) {
    std::cout << "  - type:     " << c.type << "\n";
    if (c.derLength == 0 || c.subject.empty()) {
      std::cout << "    (no DER form stored)\n";
      continue;
    }
    std::cout << "    subject:  " << c.subject << "\n"
              << "    issuer:   " << c.issuer << "\n"
              << "    valid:    " << c.notBefore << " to " << c.notAfter << "\n"
              << "    DER:      " << c.derLength << " bytes\n";
  }
}

void PrintJson(const Published& p) {
  std::ostringstream out;
  out << "{\"stateCode\":" << p.stateCode << ",\"stateMeaning\":" << Json(StateMeaning(p.stateCode))
      << ",\"errorKind\":" << p.errorKind << ",\"errorMeaning\":" << Json(ErrorKindMeaning(p.errorKind))
      << ",\"keyChange\":" << (p.keyChange ? "true" : "false")
      << ",\"switchOnActivation\":" << (p.switchOnActivation ? "true" : "false")
      << ",\"currentSerial\":" << p.currentSerialJson << ",\"newSerial\":" << p.newSerialJson
      << ",\"userMessage\":" << p.userMessageJson << ",\"published\":"
      << (p.stateCode == 6002 && p.errorKind == 0 ? "true" : "false") << ",\"certificates\":[";
  for (size_t i = 0; i < p.certs.size(); ++i) {
    const CertInfo& c = p.certs[i];
    out << (i ? "," : "") << "{\"type\":" << Json(c.type) << ",\"subject\":" << Json(c.subject)
        << ",\"issuer\":" << Json(c.issuer) << ",\"notBefore\":" << Json(c.notBefore)
        << ",\"notAfter\":" << Json(c.notAfter) << ",\"derLength\":" << c.derLength << "}";
  }
  out << "]}";
  std::cout << out.str() << "\n";
}

std::string DefaultLibrary() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "librimodata.so";
  std::string path(exe, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/')) + "/../lib/librimodata.so";
}

}  // namespace

int main(int argc, char** argv) {
  std::string lib = DefaultLibrary(), file, command;
  bool sync = false, json = false, quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage << "\n";
      return 0;
    } else if (arg == "--lib") {
      if (++i >= argc) Usage("--lib needs a path");
      lib = argv[i];
    } else if (arg == "--sync") {
      sync = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (!arg.empty() && arg[0] == '-') {
      Usage("unknown option " + arg);
    } else if (command.empty()) {
      command = arg;
    } else if (file.empty()) {
      file = arg;
    } else {
      Usage("too many arguments");
    }
  }
  if (command != "load") Usage(command.empty() ? "no command given" : "unknown command " + command);
  if (file.empty()) Usage("load needs a FILE");

  if (lib.find('/') == std::string::npos) lib = "./" + lib;  // never a search path
  void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::cerr << "rimo: cannot load " << lib << ": " << dlerror() << "\n";
    return 2;
  }
  auto createStatus = reinterpret_cast<IScDataStatus* (*)()>(dlsym(handle, "CreateRimoDataStatusObject"));
  auto deleteStatus = reinterpret_cast<bool (*)(IScDataStatus*)>(dlsym(handle, "DeleteRimoDataStatusObject"));
  auto create = reinterpret_cast<IRimoData* (*)(IScDataStatus*, uint8_t)>(dlsym(handle, "CreateRimoDataObject"));
  auto destroy = reinterpret_cast<bool (*)(IRimoData*)>(dlsym(handle, "DeleteRimoDataObject"));
  if (!createStatus || !deleteStatus || !create || !destroy) {
    std::cerr << "rimo: " << lib << " lacks the component's exports\n";
    return 2;
  }
  IScDataStatus* status = createStatus();
  IRimoData* component = status != nullptr ? create(status, sync ? 0 : 1) : nullptr;
  if (component == nullptr) {
    std::cerr << "rimo: the component could not be created\n";
    return 2;
  }

  // Progress: every change of the state code and the busy flag, until the
  // component is gone (its deletion waits for the queued work).
  std::atomic<bool> done{false};
  std::thread progress;
  if (!quiet && !sync) {
    progress = std::thread([&] {
      int32_t lastState = -1;
      int lastBusy = -1;
      while (!done.load()) {
        const bool busy = status->GetBusy();
        status->Lock();
        const int32_t state = status->GetStateCode();
        status->Unlock();
        if (state != lastState || static_cast<int>(busy) != lastBusy) {
          std::cerr << "rimo: " << (busy ? "working" : "idle") << ", state " << state << " (" << StateMeaning(state)
                    << ")\n";
          lastState = state;
          lastBusy = busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  component->LoadRimoResponseFromFile(Widen(file).c_str());
  destroy(component);
  done = true;
  if (progress.joinable()) progress.join();

  const Published published = Snapshot(status);
  if (json) {
    PrintJson(published);
  } else {
    PrintText(published);
  }
  deleteStatus(status);
  return published.stateCode == 6002 && published.errorKind == 0 ? 0 : 1;
}
