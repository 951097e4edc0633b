// rimo-datacenter: a local data center on 127.0.0.1 for tests and demos.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "datacenter/DataCenter.h"

#ifndef RIMO_VERSION
#define RIMO_VERSION "0"
#endif

namespace {

constexpr char kUsage[] =
    "usage: rimo-datacenter --cert PEM --key PEM --answers DIR [--port N] [--client-ca PEM] [--ocsp DER]\n"
    "       rimo-datacenter --help | --version\n";

constexpr char kHelp[] =
    "Serves the data center's REST service over HTTPS on 127.0.0.1:\n"
    "  GET /pvtwmod/rest/DataTcService/<cardno>?anw=...\n"
    "answered from DIR: <cardno>.conf (faults to reproduce), <cardno>.fault (a FAULTINFO\n"
    "document), <cardno>.xml (a TC response, sent as a GETDATATCRESPONSE envelope), else 204.\n"
    "<cardno> is the user ID from its 18th character on: user 12345678901234567890 -> 890.xml.\n"
    "\n"
    "  --cert PEM       the server's certificate, with its chain\n"
    "  --key PEM        the server's private key\n"
    "  --answers DIR    the directory of answers\n"
    "  --port N         the port; 0 (the default) takes a free one; a port in use is refused\n"
    "  --client-ca PEM  require client certificates issued by this CA\n"
    "  --ocsp DER       staple this OCSP response in every handshake\n"
    "  --help, --version\n"
    "\n"
    "The first line of standard output is the port; then one line per request: method,\n"
    "target, Accept, User-Agent and the answer's status. SIGINT or SIGTERM stops it.\n";

int UsageError(const std::string& what) {
  std::fprintf(stderr, "rimo-datacenter: %s\nTry 'rimo-datacenter --help'.\n", what.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  rimo::datacenter::Options options;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (!optionsEnded && arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      hasValue = true;
    }
    auto next = [&](const char* name) -> std::string {
      if (hasValue) return value;
      if (i + 1 >= argc) throw std::string(std::string(name) + " needs a value");
      return argv[++i];
    };
    try {
      if (optionsEnded) return UsageError("unexpected argument '" + arg + "'");
      if (arg == "--") {
        optionsEnded = true;
      } else if (arg == "--help") {
        std::fputs(kUsage, stdout);
        std::fputs("\n", stdout);
        std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
      } else if (arg == "--version") {
        std::printf("rimo-datacenter %s\n", RIMO_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
      } else if (arg == "--cert") {
        options.certFile = next("--cert");
      } else if (arg == "--key") {
        options.keyFile = next("--key");
      } else if (arg == "--answers") {
        options.answersDir = next("--answers");
      } else if (arg == "--client-ca") {
        options.clientCaFile = next("--client-ca");
      } else if (arg == "--ocsp") {
        options.ocspFile = next("--ocsp");
      } else if (arg == "--port") {
        const std::string text = next("--port");
        char* end = nullptr;
        const long port = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || port < 0 || port > 65535) return UsageError("bad port '" + text + "'");
        options.port = static_cast<int>(port);
      } else {
        return UsageError("unknown option '" + arg + "'");
      }
    } catch (const std::string& problem) {
      return UsageError(problem);
    }
  }
  if (options.certFile.empty() || options.keyFile.empty() || options.answersDir.empty()) {
    return UsageError("--cert, --key and --answers are needed");
  }
  struct stat answers {};
  if (stat(options.answersDir.c_str(), &answers) == 0 && !S_ISDIR(answers.st_mode)) errno = ENOTDIR;
  if (!S_ISDIR(answers.st_mode) || access(options.answersDir.c_str(), R_OK | X_OK) != 0) {
    std::fprintf(stderr, "rimo-datacenter: cannot read the answers directory %s: %s\n", options.answersDir.c_str(),
                 std::strerror(errno));
    return 1;
  }

  // Signals are taken by one thread with sigwait; no handler runs anywhere.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  rimo::datacenter::DataCenter center(options);
  const int port = center.Bind();
  if (port < 0) {
    std::fprintf(stderr, "rimo-datacenter: %s\n", center.error().c_str());
    return 1;
  }
  std::mutex outputMutex;
  std::printf("%d\n", port);
  std::fflush(stdout);
  center.SetLogger([&outputMutex](const std::string& line) {
    std::lock_guard<std::mutex> guard(outputMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });

  std::atomic<bool> serving{true};
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    // Stop has no effect until the server runs: ask until it ends.
    while (serving.load()) {
      center.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const bool served = center.Serve();
  serving = false;
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  if (!served) {
    std::fprintf(stderr, "rimo-datacenter: serving stopped with an error\n");
    return 1;
  }
  return 0;
}
