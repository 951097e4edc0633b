// The command-line tools as a user runs them: the real binaries, their exit
// status, their standard output and error.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "pki/Pki.h"
#include "support/DataCenterProcess.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"
#include "rimo/RimoStatusCodes.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using rimo::testing::ReadFile;
using rimo::testing::WriteFile;

struct Outcome {
  int exitCode;
  std::string out;
  std::string err;
};

// Runs a shell command line; standard output and error apart.
Outcome Shell(const std::string& command) {
  const std::string dir = std::getenv("TMPDIR");
  const std::string out = dir + "/run.out", err = dir + "/run.err";
  const int status = std::system(("(" + command + ") >" + out + " 2>" + err + " </dev/null").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

std::string Tool(const std::string& name) { return std::string(RIMO_BIN_DIR) + "/" + name; }

// One PKI and the responses made from it, for the whole program.
struct Fixture {
  std::string dir;
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  std::string KeloRoot() const { return Path("pki/kelo-root"); }

  Fixture() {
    dir = rimo::testing::TempDir(std::getenv("RIMO_TEST_SHARED_DIR")).path() + "-tools";
    fs::create_directories(dir);
    Check(Shell(Tool("rimo-tcsign") + " pki " + Path("pki")));
    Check(Shell(Tool("rimo-tcsign") + " container --keychange JA --switch NEIN --cert SIG=" + Path("pki/signer.pem") +
              " --cert ROOT=" + Path("pki/root.pem") + " -o " + Path("c.xml")));
    Sign("good.xml", Path("pki/signer.pem"), Path("pki/signer.key"));
    Sign("tampered.xml", Path("pki/signer.pem"), Path("pki/signer.key"), "--tamper");
    Sign("nocert.xml", Path("pki/signer.pem"), Path("pki/signer.key"), "--no-certificate");
    // Signers the checks refuse: another locality, another root, a root named in other case.
    const auto root = rimo::pki::CertFromPem(ReadFile(Path("pki/root.pem")));
    const auto rootKey = rimo::pki::KeyFromPem(ReadFile(Path("pki/root.key")));
    const auto key = rimo::pki::GenerateKey();
    WriteFile(Path("other.key"), rimo::pki::KeyToPem(key));
    WriteFile(Path("locality.pem"), rimo::pki::ToPem(rimo::pki::Issue(rimo::pki::SignerProfile("Anderswo"), key, root, rootKey)));
    const auto foreignRoot = rimo::pki::Issue(rimo::pki::RootProfile("Somebody"), key, nullptr, key);
    WriteFile(Path("foreign.pem"), rimo::pki::ToPem(rimo::pki::Issue(
                                       rimo::pki::SignerProfile(rimo::pki::kSignerLocality), key, foreignRoot, key)));
    const auto lowerRoot = rimo::pki::Issue(rimo::pki::RootProfile("CA Quandel"), key, nullptr, key);
    rimo::pki::InstallRoot(lowerRoot, KeloRoot() + "/etc/ssl/certs");
    WriteFile(Path("lower.pem"), rimo::pki::ToPem(rimo::pki::Issue(
                                     rimo::pki::SignerProfile(rimo::pki::kSignerLocality), key, lowerRoot, key)));
    Sign("locality.xml", Path("locality.pem"), Path("other.key"));
    Sign("chain.xml", Path("foreign.pem"), Path("other.key"));
    Sign("root.xml", Path("lower.pem"), Path("other.key"));
  }
  void Sign(const std::string& out, const std::string& cert, const std::string& key, const std::string& extra = "") {
    Check(Shell(Tool("rimo-tcsign") + " sign --container " + Path("c.xml") + " --key " + key + " --cert " + cert +
              " --current 12345678901234567890 --new 12345678901234567891 -o " + Path(out) + " " + extra));
  }
  static void Check(const Outcome& o) {
    if (o.exitCode != 0) throw std::runtime_error("tool failed: " + o.err);
  }
  static const Fixture& Get() {
    static const Fixture fixture;
    return fixture;
  }
};

std::string Rimo(const std::string& args) {
  return "KELO_ROOT=" + Fixture::Get().KeloRoot() + " " + Tool("rimo") + " " + args;
}

std::string ServiceUrlRegistry(const rimo::testing::DataCenterProcess& center) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n\"RimoServiceUrl\"=\"" + center.BaseUrl() +
         "/pvtwmod/rest/\"\n";
}

// A copy of the fixture's machine whose registry names center.
std::string OnlineRoot(const rimo::testing::DataCenterProcess& center) {
  const std::string root = std::string(std::getenv("TMPDIR")) + "/online-root";
  fs::copy(Fixture::Get().KeloRoot(), root, fs::copy_options::recursive);
  fs::create_directories(root + "/etc/kelo");
  WriteFile(root + "/etc/kelo/registry.reg", ServiceUrlRegistry(center));
  return root;
}

TEST(RimoToolTest, SignedResponseIsPublishedInBothModes) {
  const auto& f = Fixture::Get();
  for (const char* options : {"--json", "--json --sync"}) {
    SCOPED_TRACE(options);
    const Outcome run = Shell(Rimo(std::string(options) + " load " + f.Path("good.xml")));
    EXPECT_EQ(run.exitCode, 0);
    const std::string published = "\"stateCode\":" + std::to_string(rimo::codes::kStatePublished);
    EXPECT_NE(run.out.find(published), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"published\":true"), std::string::npos);
    EXPECT_NE(run.out.find("\"currentSerial\":\"12345678901234567890\""), std::string::npos);
    EXPECT_NE(run.out.find("CN=CA QUANDEL"), std::string::npos);
    EXPECT_EQ(run.err, "") << "no progress in a pipe or log, nothing else either";
  }
}

TEST(RimoToolTest, FailuresSayWhyInOneLine) {
  const auto& f = Fixture::Get();
  const std::string dir = std::getenv("TMPDIR");
  WriteFile(dir + "/empty.xml", "");
  std::string noise(4096, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  WriteFile(dir + "/random.bin", noise);
  mkfifo((dir + "/fifo.xml").c_str(), 0600);
  fs::create_directories(dir + "/no-store");
  struct Case {
    const char* name;
    std::string args;
    std::string reason;
  } cases[] = {
      {"missing", "load " + dir + "/missing.xml", "missing.xml: No such file or directory"},
      {"directory", "load " + dir, ": is a directory"},
      {"FIFO", "load " + dir + "/fifo.xml", "fifo.xml: not a regular file"},
      {"empty", "load " + dir + "/empty.xml", "empty.xml: the file is empty"},
      {"random bytes", "load " + dir + "/random.bin", "random.bin: not a TC response: "},
      {"path too long", "load /" + std::string(300, 'p'), "the path has 301 characters; at most 259"},
      {"changed container", "load " + f.Path("tampered.xml"), "refused: the signature over the container"},
      {"foreign chain", "load " + f.Path("chain.xml"), "refused: the signer certificate's chain"},
      {"wrong locality", "load " + f.Path("locality.xml"), "refused: the signer certificate's locality"},
      {"root in other case", "load " + f.Path("root.xml"), "refused: the signer's issuer in the root store"},
      {"no signer certificate", "load " + f.Path("nocert.xml"), "refused: the response lacks a part"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Shell(Rimo("--quiet " + c.args));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.rfind("rimo: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one line";
  }
  const Outcome noStore = Shell("KELO_ROOT=" + dir + "/no-store " + Tool("rimo") + " load " + f.Path("good.xml"));
  EXPECT_EQ(noStore.exitCode, 1);
  EXPECT_NE(noStore.err.find("there is no root store at " + dir + "/no-store/etc/ssl/certs"), std::string::npos)
      << noStore.err;
}

TEST(RimoToolTest, FileAnotherUserCannotReadSaysSo) {
  if (geteuid() != 0 || system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "needs root and setpriv";
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (Shell(asNobody + Tool("rimo") + " --version").exitCode != 0) {
    GTEST_SKIP() << "the user nobody cannot run the build's tools from where they are";
  }
  const auto& f = Fixture::Get();
  const std::string dir = std::getenv("TMPDIR");
  WriteFile(dir + "/private.xml", ReadFile(f.Path("good.xml")));
  chmod((dir + "/private.xml").c_str(), 0600);
  // Another user may pass through the directories, but not read the file.
  for (fs::path p = dir; p != p.root_path(); p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0 && st.st_uid == geteuid()) chmod(p.c_str(), (st.st_mode & 07777) | 0011);
  }
  const Outcome run = Shell(asNobody + "env " + Rimo("load " + dir + "/private.xml"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("private.xml: Permission denied"), std::string::npos) << run.err;
}

TEST(RimoToolTest, ReadOnlyLoadWritesNothing) {
  const auto& f = Fixture::Get();
  const std::string root = std::string(std::getenv("TMPDIR")) + "/fresh-root";
  fs::create_directories(root);
  fs::copy(f.KeloRoot() + "/etc", root + "/etc", fs::copy_options::recursive);
  std::set<std::string> before, after;
  for (const auto& e : fs::recursive_directory_iterator(root)) before.insert(e.path().string());
  const Outcome run = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " load " + f.Path("good.xml"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const auto& e : fs::recursive_directory_iterator(root)) after.insert(e.path().string());
  EXPECT_EQ(after, before);
}

TEST(RimoToolTest, QueryAndFetchAgainstTheDataCenter) {
  const auto& f = Fixture::Get();
  const std::string answers = std::string(std::getenv("TMPDIR")) + "/answers";
  fs::create_directories(answers);
  fs::copy_file(f.Path("good.xml"), answers + "/890.xml");
  rimo::testing::DataCenterProcess center(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string root = OnlineRoot(center);
  auto rimo = [&](const std::string& args) { return Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " " + args); };
  const Outcome fetched = rimo("--json fetch 12345678901234567890");
  EXPECT_EQ(fetched.exitCode, 0) << fetched.err;
  EXPECT_NE(fetched.out.find("\"queryOutcome\":" + std::to_string(rimo::codes::kOutcomeReceived)), std::string::npos) << fetched.out;
  EXPECT_NE(fetched.out.find("\"published\":true"), std::string::npos);
  EXPECT_NE(fetched.out.find("Response/12345678901234567890.xml\""), std::string::npos);
  const Outcome none = rimo("fetch 12345678901234567891");
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_NE(none.out.find("query outcome:        " + std::to_string(rimo::codes::kOutcomeNoPackage)), std::string::npos) << none.out;
  const Outcome queried = rimo("query 12345678901234567892");
  EXPECT_EQ(queried.exitCode, 3);
  const Outcome tooShort = rimo("query 1234");
  EXPECT_EQ(tooShort.exitCode, 1);
  EXPECT_NE(tooShort.err.find("a user ID has 18 to 20 characters"), std::string::npos) << tooShort.err;
  // A registry file written as an INI file: the failure names it and its line.
  WriteFile(root + "/etc/kelo/registry.reg", "[Kelo]\nRimoServiceUrl=" + center.BaseUrl() + "/pvtwmod/rest/\n");
  const Outcome iniStyle = rimo("query 12345678901234567894");
  EXPECT_EQ(iniStyle.exitCode, 1);
  EXPECT_NE(iniStyle.err.find("the registry file " + root + "/etc/kelo/registry.reg was not read whole: line 1: "),
            std::string::npos)
      << iniStyle.err;
  WriteFile(root + "/etc/kelo/registry.reg", ServiceUrlRegistry(center));
  center.Stop();
  const Outcome down = rimo("query 12345678901234567893");
  EXPECT_EQ(down.exitCode, 1);
  EXPECT_NE(down.err.find("could not be reached: no connection could be made (000-12029)"), std::string::npos)
      << down.err;
}

// The card on a SoftHSM2 token: its certificate decides the alert period, its
// key answers the data center's demand for a client certificate, and the PIN
// the helper gives is found nowhere afterwards.
TEST(RimoToolTest, FetchWithTheCardsKeyLeavesThePinNowhere) {
  const auto& f = Fixture::Get();
  const std::string tmp = std::getenv("TMPDIR");
  const std::string pin = "73519864";
  const Outcome made = Shell(Tool("rimo-tcsign") + " card --pki " + f.Path("pki") +
                             " --days 10 --token card1 --pin " + pin);
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const std::string answers = tmp + "/answers";
  fs::create_directories(answers);
  fs::copy_file(f.Path("good.xml"), answers + "/890.xml");
  rimo::testing::DataCenterProcess center({"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"),
                                           "--answers", answers, "--client-ca", f.Path("pki/root.pem")});
  const std::string root = OnlineRoot(center);
  fs::create_directories(root + "/opt/Quandel/Konfig/KeloCompact");
  WriteFile(root + "/opt/Quandel/Konfig/KeloCompact/WizardProperties.ini",
            "[Allgemein]\nstoreResponse=1\n[PlugInInfos]\nSuspendableAlerts=60,30,14\nNonSuspendableAlerts=7\n");
  // The helper records its own environment and rimo's (its parent's).
  const std::string helper = tmp + "/askpass.sh";
  WriteFile(helper, "#!/bin/sh\n"
                    "env >> " + tmp + "/environments\n"
                    "tr '\\0' '\\n' < /proc/$PPID/environ >> " + tmp + "/environments\n"
                    "case \"$1\" in\n"
                    "  client-cert) head -n 1 | cut -d' ' -f1 ;;\n"
                    "  pin) cat " + tmp + "/pin ;;\n"
                    "esac\n");
  chmod(helper.c_str(), 0700);
  WriteFile(tmp + "/pin", pin + "\n");
  const std::string trace = tmp + "/trace.log";
  auto rimo = [&](const std::string& args, bool traced) {
    return Shell("KELO_ROOT=" + root + " KELO_ASKPASS=" + helper +
                 (traced ? " KELO_TRACE='*=16' KELO_TRACE_FILE=" + trace : std::string()) + " " + Tool("rimo") + " " +
                 args);
  };
  const Outcome fetched = rimo("fetch 12345678901234567890", true);
  EXPECT_EQ(fetched.exitCode, 0) << fetched.err;
  EXPECT_NE(fetched.out.find("card certificate:     token \"card1\" (pkcs11:"), std::string::npos) << fetched.out;
  EXPECT_NE(fetched.out.find("QuerySucceeded = 1"), std::string::npos) << "10 days: inside the alert period";
  const std::string response = root + "/var/lib/Quandel/Daten/P4100002/RIMO/Response/12345678901234567890.xml";
  const std::string statusIni = root + "/var/lib/Quandel/Daten/P4100002/RIMO/Status/12345678901234567890.ini";
  ASSERT_TRUE(fs::exists(response));
  ASSERT_TRUE(fs::exists(statusIni));
  ASSERT_TRUE(fs::exists(tmp + "/environments"));
  ASSERT_GT(fs::file_size(trace), 0u);
  for (const std::string& file : {trace, response, statusIni, tmp + "/environments"}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(ReadFile(file).find(pin), std::string::npos);
  }
  EXPECT_EQ((fetched.out + fetched.err).find(pin), std::string::npos);
  // A wrong PIN: the query ends, and rimo (reading the component's errors
  // itself, as it does without KELO_TRACE) says why.
  WriteFile(tmp + "/pin", "11112222\n");
  const Outcome wrong = rimo("fetch 12345678901234567891", false);
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.err.find("(000-12044): The PIN for the token \"card1\" is wrong"), std::string::npos) << wrong.err;
  EXPECT_EQ(center.Requests(1).size(), 1u) << "the wrong PIN sent nothing";
}

TEST(RimoToolTest, LargeResponseLoadsTheSameFromAFileAndFromTheDataCenter) {
  const auto& f = Fixture::Get();
  const std::string dir = std::getenv("TMPDIR");
  // About 7,100 certificates: a 12 MB response, whose Base64 in the data
  // center's envelope (16 MB) is just inside the 16 MiB answer limit.
  const auto signer = rimo::pki::CertFromPem(ReadFile(f.Path("pki/signer.pem")));
  std::vector<rimo::pki::ContainerCert> certs;
  for (int i = 0; i < 7100; ++i) certs.push_back({"C" + std::to_string(i), rimo::pki::CertificateText(signer)});
  const std::string container = rimo::pki::MakeContainer("JA", "NEIN", certs);
  const std::string response = rimo::pki::MakeTcResponse(rimo::pki::SignContainer(
      container, rimo::pki::KeyFromPem(ReadFile(f.Path("pki/signer.key"))), signer, "12345678901234567890",
      "12345678901234567891"));
  ASSERT_GT(response.size(), 12000000u);
  ASSERT_LT(response.size() * 4 / 3 + 1024, 16u << 20);
  WriteFile(dir + "/large.xml", response);
  const Outcome loaded = Shell(Rimo("--quiet load " + dir + "/large.xml"));
  EXPECT_EQ(loaded.exitCode, 0) << loaded.err;
  EXPECT_NE(loaded.out.find("certificates:         7100"), std::string::npos) << loaded.out.substr(0, 600);

  const std::string answers = dir + "/answers";
  fs::create_directories(answers);
  fs::copy_file(dir + "/large.xml", answers + "/890.xml");
  rimo::testing::DataCenterProcess center(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string root = OnlineRoot(center);
  const Outcome fetched =
      Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet fetch 12345678901234567890");
  EXPECT_EQ(fetched.exitCode, 0) << fetched.err;
  EXPECT_NE(fetched.out.find("certificates:         7100"), std::string::npos) << fetched.out.substr(0, 600);

  // Larger than any answer may be: refused with the limit named.
  const std::string closing = "</TCRESPONSE>\n";
  ASSERT_EQ(response.compare(response.size() - closing.size(), closing.size(), closing), 0);
  const std::string grown = response.substr(0, response.size() - closing.size()) + std::string(8u << 20, ' ') + closing;
  WriteFile(dir + "/huge.xml", grown);
  const Outcome huge = Shell(Rimo("--quiet load " + dir + "/huge.xml"));
  EXPECT_EQ(huge.exitCode, 1);
  EXPECT_NE(huge.err.find("a TC response has at most 12500000 bytes"), std::string::npos) << huge.err;
  EXPECT_EQ(std::count(huge.err.begin(), huge.err.end(), '\n'), 1) << "one line";
}

TEST(RimoToolTest, DataCenterTextIsPrintedEscaped) {
  const auto& f = Fixture::Get();
  const std::string dir = std::getenv("TMPDIR");
  const std::string answers = dir + "/answers";
  fs::create_directories(answers);
  // A fault whose texts try to fake a line of the output and to reach the
  // terminal: a line feed, a C1 control (CSI) and a right-to-left override.
  WriteFile(answers + "/faultdoc",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FAULTINFO><ID>4711&#10;certificates:         3</ID>"
            "<USERMESSAGE>Karte gesperrt&#10;certificates:         3&#x9B;31m&#x202E;txt.exe</USERMESSAGE>"
            "<TECHMESSAGE>t</TECHMESSAGE></FAULTINFO>\n");
  WriteFile(answers + "/890.conf", "status=500\nbodyfile=faultdoc\n");
  rimo::testing::DataCenterProcess center(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string root = OnlineRoot(center);
  auto rimo = [&](const std::string& args) { return Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " " + args); };

  const Outcome text = rimo("--quiet fetch 12345678901234567890");
  EXPECT_EQ(text.exitCode, 1);
  size_t lines = 0;  // lines that begin with the field's name
  for (size_t at = 0; (at = text.out.find("\ncertificates:", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 1u) << "no faked line:\n" << text.out;
  EXPECT_NE(text.out.find("user message:         Karte gesperrt\\x0acertificates:         3\\x9b31m\\u202etxt.exe\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("fault ID:             4711\\x0acertificates:         3\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.err.find("\xC2\x9B"), std::string::npos) << "no C1 control on the terminal";
  EXPECT_EQ(text.err.find("\xE2\x80\xAE"), std::string::npos) << "no override on the terminal";
  EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;

  const Outcome json = rimo("--json fetch 12345678901234567890");
  EXPECT_NE(json.out.find("\"userMessage\":\"Karte gesperrt\\ncertificates:         3\\u009b31m\\u202etxt.exe\""),
            std::string::npos)
      << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << "one JSON line";

  // Arguments: an escape sequence in an ID is shown escaped; bytes that are
  // not UTF-8 are refused before anything is done.
  const Outcome esc = rimo("--quiet query \"$(printf '1234567890123456\\033[31m')\"");
  EXPECT_EQ(esc.err.find('\x1b'), std::string::npos) << esc.err;
  EXPECT_NE(esc.err.find("\\x1b[31m"), std::string::npos) << esc.err;
  for (const char* command :
       {"query \"$(printf '1234567890123456789\\377')\"", "load \"$(printf '/tmp/r\\351sponse.xml')\""}) {
    SCOPED_TRACE(command);
    const Outcome bad = rimo(command);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("is not valid UTF-8"), std::string::npos) << bad.err;
  }
  EXPECT_EQ(center.Requests().size(), 2u) << "only the two fetches reached the data center";
}

// Stopped by a signal while the data center stalls, rimo leaves nothing in
// its temp folder: its private trace file has no name from the start.
TEST(RimoToolTest, StoppedBySignalLeavesNoTraceFile) {
  const std::string temp = std::string(std::getenv("TMPDIR")) + "/rimo-temp";
  fs::create_directories(temp);
  std::atomic<bool> done{false};
  rimo::testing::LoopbackServer stalling([&](int fd) {
    // Accepts and never answers, until the client goes away.
    char buffer[256];
    for (int i = 0; i < 1000 && !done; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) > 0 && read(fd, buffer, sizeof buffer) <= 0) return;
    }
  });
  const std::string root = std::string(std::getenv("TMPDIR")) + "/stall-root";
  fs::copy(Fixture::Get().KeloRoot(), root, fs::copy_options::recursive);
  fs::create_directories(root + "/etc/kelo");
  WriteFile(root + "/etc/kelo/registry.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n"
                                             "\"RimoServiceUrl\"=\"https://127.0.0.1:" +
                                                 std::to_string(stalling.port()) + "/pvtwmod/rest/\"\n");
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    const int before = stalling.connections();
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "TMPDIR=", 7) != 0 && std::strncmp(*e, "KELO_ROOT=", 10) != 0) env.emplace_back(*e);
    }
    env.push_back("TMPDIR=" + temp);
    env.push_back("KELO_ROOT=" + root);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = Tool("rimo"), command = "fetch", id = "12345678901234567890";
    char* argv[] = {program.data(), command.data(), id.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    for (int i = 0; i < 1000 && stalling.connections() == before; ++i) usleep(10000);
    ASSERT_GT(stalling.connections(), before) << "rimo reached the data center";
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
    EXPECT_TRUE(fs::is_empty(temp)) << fs::directory_iterator(temp)->path();
  }
  done = true;
}

TEST(ToolConventionsTest, VersionUsageOptionsAndWriteErrors) {
  const auto& f = Fixture::Get();
  for (const char* tool : {"rimo", "rimo-tcsign", "rimo-datacenter"}) {
    SCOPED_TRACE(tool);
    const Outcome version = Shell(Tool(tool) + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string(tool) + " " RIMO_PROJECT_VERSION "\n");
    const Outcome bad = Shell(Tool(tool) + " --bogus");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("Try '" + std::string(tool) + " --help'."), std::string::npos) << bad.err;
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 2) << "one short line, then the hint";
    EXPECT_EQ(Shell(Tool(tool) + " --help").exitCode, 0);
    const Outcome full = Shell(Tool(tool) + " --help >/dev/full");
    EXPECT_NE(full.exitCode, 0) << "a write error on standard output";
  }
  EXPECT_EQ(Shell(Rimo("--lib=" RIMO_LIB_DIR "/librimodata.so --quiet load " + f.Path("good.xml"))).exitCode, 0);
  const Outcome dashed = Shell(Rimo("load -- -not-an-option.xml"));
  EXPECT_EQ(dashed.exitCode, 1) << "after --, a name that starts with '-' is a file";
  EXPECT_NE(dashed.err.find("-not-an-option.xml: No such file or directory"), std::string::npos) << dashed.err;
  const Outcome full = Shell(Rimo("load " + f.Path("good.xml") + " >/dev/full"));
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_NE(full.err.find("cannot write to standard output"), std::string::npos);
  EXPECT_EQ(Shell(Tool("rimo") + " --lib /nonexistent/librimodata.so load x").exitCode, 2);
}

TEST(ToolConventionsTest, TcsignChecksItsInput) {
  const auto& f = Fixture::Get();
  const std::string dir = std::getenv("TMPDIR");
  WriteFile(dir + "/empty.xml", "");
  const std::string sign = Tool("rimo-tcsign") + " sign --container ";
  struct Case {
    const char* name;
    std::string args;
    std::string message;
  } cases[] = {
      {"key of another certificate", sign + f.Path("c.xml") + " --key " + f.Path("other.key") + " --cert " +
                                         f.Path("pki/signer.pem") + " --current 12345678901234567890 --new 12345678901234567891",
       "does not belong to the certificate"},
      {"serial of 19", sign + f.Path("c.xml") + " --key " + f.Path("pki/signer.key") + " --cert " +
                           f.Path("pki/signer.pem") + " --current 1234567890123456789 --new 12345678901234567891",
       "--current must have 20 characters"},
      {"empty container", sign + dir + "/empty.xml --key " + f.Path("pki/signer.key") + " --cert " +
                              f.Path("pki/signer.pem") + " --current 12345678901234567890 --new 12345678901234567891",
       "is empty or not an XML document"},
      {"bad flag", Tool("rimo-tcsign") + " container --switch=vielleicht", "--switch must be JA or NEIN"},
      {"bad number", Tool("rimo-tcsign") + " pki " + dir + "/p --bits lots", "--bits must be a number"},
      {"existing PKI", Tool("rimo-tcsign") + " pki " + f.Path("pki"), "holds a PKI already; --force replaces it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Shell(c.args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  EXPECT_EQ(Shell(sign + dir + "/empty.xml --key " + f.Path("pki/signer.key") + " --cert " + f.Path("pki/signer.pem") +
                " --current 1 --new 2 --unchecked")
                .exitCode,
            0)
      << "an explicit option still makes broken variants";
  // Keys are the owner's alone; the printed KELO_ROOT is absolute.
  for (const char* key : {"root.key", "signer.key", "server.key", "client.key"}) {
    EXPECT_EQ(fs::status(f.Path(std::string("pki/") + key)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
        << key;
  }
  const Outcome relative = Shell("cd " + dir + " && " + Tool("rimo-tcsign") + " pki rel --bits 2048");
  EXPECT_EQ(relative.exitCode, 0);
  EXPECT_NE(relative.out.find("KELO_ROOT=" + dir + "/rel/kelo-root"), std::string::npos) << relative.out;
}

// The options of a manual page's OPTIONS section.
// The options a manual page's OPTIONS section describes.
std::set<std::string> ManOptions(const std::string& page) {
  const std::string all = ReadFile(std::string(RIMO_SOURCE_DIR) + "/docs/man/" + page + ".1");
  const size_t from = all.find(".SH OPTIONS");
  const std::string text = from == std::string::npos ? std::string() : all.substr(from, all.find(".SH ", from + 1) - from);
  std::set<std::string> options;
  const std::regex option(R"(\\-\\-([a-z]+(?:\\-[a-z]+)*))");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
    std::string name = (*it)[1];
    name = std::regex_replace(name, std::regex(R"(\\-)"), "-");
    if (name != "opt") options.insert("--" + name);
  }
  return options;
}

TEST(ManualTest, ManualPagesHelpAndReadmeNameTheSameOptions) {
  const std::string readme = ReadFile(std::string(RIMO_SOURCE_DIR) + "/README.md");
  for (const char* tool : {"rimo", "rimo-tcsign", "rimo-datacenter"}) {
    SCOPED_TRACE(tool);
    const std::set<std::string> options = ManOptions(tool);
    ASSERT_GT(options.size(), 3u);
    const std::string help = Shell(Tool(tool) + " --help").out;
    const size_t section = readme.find("## " + std::string(tool) + "(1)");
    ASSERT_NE(section, std::string::npos) << "README section";
    const std::string readmeSection = readme.substr(section, readme.find("\n## ", section + 1) - section);
    for (const std::string& option : options) {
      EXPECT_NE(help.find(option), std::string::npos) << option << " missing in --help";
      EXPECT_NE(readmeSection.find(option), std::string::npos) << option << " missing in the README";
    }
  }
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The verdict, the report's first line, and the exit status say the same, for
// every way a job ends.
TEST(RimoToolTest, VerdictLineAgreesWithTheExitStatus) {
  const auto& f = Fixture::Get();
  const std::string dir = std::getenv("TMPDIR");
  WriteFile(dir + "/hello.xml", "hello");
  WriteFile(dir + "/cut.xml", ReadFile(f.Path("good.xml")).substr(0, 2000));
  struct Case {
    const char* name;
    std::string args;
    int exitCode;
    std::string verdict;  // the first line starts so
  } loads[] = {
      {"published", "load " + f.Path("good.xml"), 0, "PUBLISHED: 2 certificates"},
      {"signature", "load " + f.Path("tampered.xml"), 1, "REFUSED: the signature over the container"},
      {"chain", "load " + f.Path("chain.xml"), 1,
       "REFUSED: the signer certificate's chain to the machine root store " + f.KeloRoot() + "/etc/ssl/certs is"},
      {"locality", "load " + f.Path("locality.xml"), 1, "REFUSED: the signer certificate's locality"},
      {"root", "load " + f.Path("root.xml"), 1, "REFUSED: the signer's issuer in the root store"},
      {"parts", "load " + f.Path("nocert.xml"), 1, "REFUSED: the response lacks a part"},
      {"missing file", "load " + dir + "/missing.xml", 1, "FAILED: " + dir + "/missing.xml: No such file"},
      {"not XML", "load " + dir + "/hello.xml", 1,
       "FAILED: " + dir + "/hello.xml: not a TC response: there is no XML element in it"},
      {"cut short", "load " + dir + "/cut.xml", 1,
       "FAILED: " + dir + "/cut.xml: not a TC response: it ends before </TCRESPONSE>, cut short"},
  };
  for (const Case& c : loads) {
    SCOPED_TRACE(c.name);
    const Outcome run = Shell(Rimo("--quiet " + c.args));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out.rfind(c.verdict, 0), 0u) << FirstLine(run.out);
    const Outcome json = Shell(Rimo("--quiet --json " + c.args));
    EXPECT_NE(json.out.find("\"verdict\":\"" + c.verdict), std::string::npos) << json.out;
  }

  const std::string answers = dir + "/verdict-answers";
  fs::create_directories(answers);
  fs::copy_file(f.Path("good.xml"), answers + "/890.xml");
  fs::copy_file(f.Path("good.xml"), answers + "/897.xml");
  fs::copy_file(f.Path("tampered.xml"), answers + "/892.xml");
  WriteFile(answers + "/893.fault", "500\nRZ-4711\nDie Karte ist gesperrt.\ncard blocked\n");
  fs::copy_file(f.Path("good.xml"), answers + "/898.xml");
  WriteFile(answers + "/898.conf", "cut_after=50\n");
  // A container that lists no certificate: published, with none.
  Fixture::Check(Shell(Tool("rimo-tcsign") + " container -o " + dir + "/empty.xml"));
  Fixture::Check(Shell(Tool("rimo-tcsign") + " sign --container " + dir + "/empty.xml --key " +
                       f.Path("pki/signer.key") + " --cert " + f.Path("pki/signer.pem") +
                       " --current 12345678901234567890 --new 12345678901234567891 -o " + answers + "/887.xml"));
  // Signed as it is: only the container is wrong (a flag that is neither JA nor NEIN).
  WriteFile(dir + "/badflag.xml", "<RESPONSECONTAINER><KEYCHANGE>VIELLEICHT</KEYCHANGE></RESPONSECONTAINER>");
  Fixture::Check(Shell(Tool("rimo-tcsign") + " sign --container " + dir + "/badflag.xml --key " + f.Path("pki/signer.key") +
                       " --cert " + f.Path("pki/signer.pem") +
                       " --current 12345678901234567890 --new 12345678901234567891 -o " + answers + "/899.xml"));
  rimo::testing::DataCenterProcess center(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string root = OnlineRoot(center);
  const Case online[] = {
      {"fetched", "fetch 12345678901234567890", 0, "PUBLISHED: 2 certificates"},
      {"received", "query 12345678901234567897", 0, "RECEIVED"},
      {"stored already", "query 12345678901234567890", 0, "RECEIVED: the stored response still verifies; nothing was sent"},
      {"no package", "fetch 12345678901234567891", 3, "NO PACKAGE"},
      {"received but forged", "fetch 12345678901234567892", 1, "REFUSED: the signature over the container"},
      {"fault document", "fetch 12345678901234567893", 1, "FAILED: the data center refused: Die Karte ist gesperrt."},
      {"bad user ID", "fetch 1234", 1, "FAILED: no request was made for '1234'"},
      {"cut off", "fetch 12345678901234567898", 1,
       "FAILED: the query failed: the data center's answer (HTTP 200) was cut off before its end (200-99000)"},
      {"no certificate listed", "fetch 12345678901234567887", 0, "PUBLISHED: 0 certificates"},
      {"container unreadable", "query 12345678901234567899", 1,
       "REFUSED: the response container could not be read"},
  };
  for (const Case& c : online) {
    SCOPED_TRACE(c.name);
    const Outcome run = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet " + c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out.rfind(c.verdict, 0), 0u) << FirstLine(run.out);
  }
  // The caller's own folder under a name whose paths pass 259 bytes (not
  // characters): neither file, and the path named.
  for (const char* kind : {"Response", "Status"}) {
    const std::string shared = root + "/var/lib/Quandel/Daten/P4100002/RIMO/" + kind;
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all);  // open to all, not sticky: unsafe
  }
  std::string longHome = dir + "/long";
  for (int i = 0; i < 2; ++i) longHome += "/" + [] { std::string u; for (int k = 0; k < 60; ++k) u += "\xC3\xBC"; return u; }();
  fs::create_directories(longHome);
  const Outcome tooLong = Shell("XDG_DATA_HOME=" + longHome + " KELO_ROOT=" + root + " " + Tool("rimo") +
                                " --quiet fetch 12345678901234567890");
  EXPECT_EQ(tooLong.exitCode, 1);
  EXPECT_NE(FirstLine(tooLong.out).find("neither the response file nor the status INI can be had: the path " + longHome),
            std::string::npos)
      << FirstLine(tooLong.out);
  EXPECT_NE(FirstLine(tooLong.out).find("is longer than 259 bytes"), std::string::npos) << FirstLine(tooLong.out);
  center.Stop();
  const Outcome down = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet fetch 12345678901234567894");
  EXPECT_EQ(down.exitCode, 1);
  EXPECT_EQ(FirstLine(down.out).rfind("FAILED: the query failed: the data center could not be reached", 0), 0u)
      << FirstLine(down.out);
  EXPECT_NE(FirstLine(down.out).find("; the request went to " + center.BaseUrl() + "/pvtwmod/rest/DataTcService/894?"),
            std::string::npos)
      << "the URL tried";
  for (const char* address : {"not a url", "ftp://127.0.0.1/pvtwmod/rest/"}) {
    SCOPED_TRACE(address);
    WriteFile(root + "/etc/kelo/registry.reg",
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n\"RimoServiceUrl\"=\"" + std::string(address) +
                  "\"\n");
    const Outcome bad = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet fetch 12345678901234567895");
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(FirstLine(bad.out).rfind("FAILED: no request was made: the data center's address \"" + std::string(address), 0),
              0u)
        << FirstLine(bad.out);
  }
  WriteFile(root + "/etc/kelo/registry.reg", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUANDEL Kelo Compact]\n");
  const Outcome unnamed = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet fetch 12345678901234567896");
  EXPECT_EQ(unnamed.exitCode, 1);
  EXPECT_NE(FirstLine(unnamed.out).find("the registry file names no RimoServiceUrl, so the built-in address was used"),
            std::string::npos)
      << FirstLine(unnamed.out);
}

// The reason comes with the user's own trace settings too, and settings
// that cannot be read are named once.
TEST(RimoToolTest, ReasonIsGivenWhateverTheTraceSettings) {
  const auto& f = Fixture::Get();
  const std::string trace = std::string(std::getenv("TMPDIR")) + "/user-trace.log";
  struct Case {
    const char* name;
    std::string settings;
    std::string reason;
    int warnings;
  } cases[] = {
      {"none", "", "refused: the signature over the container", 0},
      {"errors and warnings", "KELO_TRACE='*=2' KELO_TRACE_FILE=" + trace, "refused: the signature over the container", 0},
      {"everything", "KELO_TRACE='*=16' KELO_TRACE_FILE=" + trace, "refused: the signature over the container", 0},
      {"nothing traced", "KELO_TRACE='*=0' KELO_TRACE_FILE=" + trace, "refused: the signature over the container", 0},
      {"empty", "KELO_TRACE= KELO_TRACE_FILE=" + trace, "refused: the signature over the container", 0},
      {"unreadable items", "KELO_TRACE='*=2,verbose,x=y' KELO_TRACE_FILE=" + trace,
       "refused: the signature over the container", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(trace);
    const Outcome run = Shell(c.settings + " " + Rimo("--quiet load " + f.Path("tampered.xml")));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    size_t warnings = 0;
    for (size_t at = run.err.find("KELO_TRACE:"); at != std::string::npos; at = run.err.find("KELO_TRACE:", at + 1)) {
      ++warnings;
    }
    EXPECT_EQ(warnings, static_cast<size_t>(c.warnings)) << run.err;
    if (c.warnings > 0) {
      EXPECT_NE(run.err.find("'verbose', 'x=y'"), std::string::npos) << run.err;
    }
    if (c.name == std::string("errors and warnings")) {
      EXPECT_NE(ReadFile(trace).find("Prüfung [1]"), std::string::npos) << "the user's file has its lines too";
    }
    if (c.name == std::string("nothing traced")) {
      EXPECT_EQ(ReadFile(trace), "") << "rimo's own file changes nothing of the user's";
    }
  }
}

// With standard output closed, the report has nowhere to go: nothing is
// done, and it never lands in a file that took its descriptor.
TEST(RimoToolTest, ClosedStandardOutputIsAnError) {
  const auto& f = Fixture::Get();
  const std::string trace = std::string(std::getenv("TMPDIR")) + "/closed-trace.log";
  for (const std::string& settings : {std::string(), "KELO_TRACE='*=4' KELO_TRACE_FILE=" + trace}) {
    SCOPED_TRACE(settings);
    const Outcome run = Shell(settings + " " + Rimo("load " + f.Path("good.xml")) + " >&-");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("standard output is closed"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(trace).find("PUBLISHED"), std::string::npos);
    EXPECT_EQ(ReadFile(trace).find("state code"), std::string::npos);
  }
  // Closed standard input and error are no reason to fail.
  const Outcome others = Shell(Rimo("--quiet load " + f.Path("good.xml")) + " <&- 2>&-");
  EXPECT_EQ(others.exitCode, 0);
  EXPECT_EQ(others.out.rfind("PUBLISHED", 0), 0u) << others.out;
}

TEST(DataCenterToolTest, PortInUseAndUnreadableFilesAreRefused) {
  const auto& f = Fixture::Get();
  const std::string answers = std::string(std::getenv("TMPDIR")) + "/port-answers";
  fs::create_directories(answers);
  rimo::testing::DataCenterProcess first(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string port = first.BaseUrl().substr(first.BaseUrl().rfind(':') + 1);
  const std::string start = Tool("rimo-datacenter") + " --answers " + answers;
  const Outcome second =
      Shell("timeout 10 " + start + " --cert " + f.Path("pki/server.pem") + " --key " + f.Path("pki/server.key") +
            " --port " + port);
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("cannot listen on 127.0.0.1:" + port + ": address already in use"), std::string::npos)
      << second.err;
  for (const std::string& missing : {"--cert /nonexistent/server.pem --key " + f.Path("pki/server.key"),
                                     "--cert " + f.Path("pki/server.pem") + " --key /nonexistent/server.key"}) {
    const Outcome run = Shell("timeout 10 " + start + " " + missing);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("/nonexistent/server."), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;
  }
}

TEST(DataCenterToolTest, BodyFilesWithDotsServeAndUnusableOnesAreSaid) {
  const auto& f = Fixture::Get();
  const std::string answers = std::string(std::getenv("TMPDIR")) + "/body-answers";
  fs::create_directories(answers);
  WriteFile(answers + "/fault.body.xml", "<FAULTINFO/>");
  WriteFile(answers + "/900.conf", "status=500\nbodyfile=fault.body.xml\n");
  WriteFile(answers + "/901.conf", "status=500\nbodyfile=../outside.xml\n");
  WriteFile(answers + "/902.conf", "status=500\nbodyfile=missing.xml\n");
  rimo::testing::DataCenterProcess center(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string curl = "curl -s --cacert " + f.Path("pki/root.pem") + " " + center.BaseUrl() +
                           "/pvtwmod/rest/DataTcService/";
  EXPECT_EQ(Shell(curl + "900").out, "<FAULTINFO/>");
  EXPECT_EQ(Shell(curl + "901").out, "bodyfile cannot be used\n");
  EXPECT_EQ(Shell(curl + "902").out, "bodyfile cannot be used\n");
  // Neither a FIFO nor a folder is waited for or read.
  mkfifo((answers + "/pipe.xml").c_str(), 0600);
  fs::create_directories(answers + "/folder.xml");
  WriteFile(answers + "/903.conf", "status=500\nbodyfile=pipe.xml\n");
  WriteFile(answers + "/904.conf", "status=500\nbodyfile=folder.xml\n");
  EXPECT_EQ(Shell("timeout 10 " + curl + "903").out, "bodyfile cannot be used\n");
  EXPECT_EQ(Shell("timeout 10 " + curl + "904").out, "bodyfile cannot be used\n");
  // A .conf that only slows the answer down keeps the card's own answer.
  fs::copy_file(f.Path("good.xml"), answers + "/905.xml");
  WriteFile(answers + "/905.conf", "delay_ms=100\n");
  const Outcome slow = Shell(curl + "905 -o " + answers + "/905.out -w '%{http_code}'");
  EXPECT_EQ(slow.out, "200");
  EXPECT_NE(ReadFile(answers + "/905.out").find("<GETDATATCRESPONSE><TCRESPONSE>"), std::string::npos);
  WriteFile(answers + "/906.fault", "404\nRZ-1\nunbekannt\nunknown\n");
  WriteFile(answers + "/906.conf", "drip_ms=1\n");
  const Outcome dripped = Shell(curl + "906 -o " + answers + "/906.out -w '%{http_code}'");
  EXPECT_EQ(dripped.out, "404");
  EXPECT_NE(ReadFile(answers + "/906.out").find("<USERMESSAGE>unbekannt</USERMESSAGE>"), std::string::npos);
}

// A backslash reads as written (registry keys, Windows paths) unless it
// could be taken for the start of an escape.
TEST(RimoToolTest, BackslashesReadAsWrittenUnlessTheyLookLikeAnEscape) {
  const auto& f = Fixture::Get();
  const std::string answers = std::string(std::getenv("TMPDIR")) + "/backslash-answers";
  fs::create_directories(answers);
  WriteFile(answers + "/890.fault", "500\nRZ-1\nC:\\Daten\\x41 \\\\u\nt\n");
  rimo::testing::DataCenterProcess center(
      {"--cert", f.Path("pki/server.pem"), "--key", f.Path("pki/server.key"), "--answers", answers});
  const std::string root = OnlineRoot(center);
  const Outcome run = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet fetch 12345678901234567890");
  EXPECT_NE(run.out.find("user message:         C:\\Daten\\\\x41 \\\\\\\\u\n"), std::string::npos) << run.out;
  WriteFile(root + "/etc/kelo/registry.reg", "[HKEY_CURRENT_USER\\SOFTWARE\\X]\n\"RimoServiceUrl\"=\"https://h/\"\n");
  const Outcome other = Shell("KELO_ROOT=" + root + " " + Tool("rimo") + " --quiet fetch 12345678901234567890");
  EXPECT_NE(other.err.find("the key [HKEY_CURRENT_USER\\SOFTWARE\\X] is not under HKEY_LOCAL_MACHINE\\ and"),
            std::string::npos)
      << other.err;
}

// rimo(1)'s way from nothing to a fetch, run as it is written there.
TEST(ManualTest, TheManualsFetchExampleWorksAsWritten) {
  const std::string page = ReadFile(std::string(RIMO_SOURCE_DIR) + "/docs/man/rimo.1");
  const size_t example = page.find("A fetch from a local data center");
  ASSERT_NE(example, std::string::npos);
  const size_t from = page.find(".nf\n", example) + 4;
  std::string script = page.substr(from, page.find(".fi\n", from) - from);
  script = std::regex_replace(script, std::regex(R"(\\-)"), "-");
  script = std::regex_replace(script, std::regex(R"(\\e)"), "\\");
  const std::string dir = std::string(std::getenv("TMPDIR")) + "/manual-example";
  fs::create_directories(dir);
  WriteFile(dir + "/example.sh", script);
  const Outcome run = Shell("cd " + dir + " && env -u KELO_ROOT PATH=" RIMO_BIN_DIR ":/usr/bin:/bin timeout 60 bash example.sh");
  EXPECT_NE(run.out.find("PUBLISHED: 1 certificate\n"), std::string::npos) << run.out << run.err;
  EXPECT_TRUE(fs::exists(dir + "/pki/kelo-root/var/lib/Quandel/Daten/P4100002/RIMO/Response/12345678901234567890.xml"));
}

TEST(ScriptTest, InstallDepsHelpChangesNothing) {
  // apt-get and sudo that only note being called.
  const std::string bin = std::string(std::getenv("TMPDIR")) + "/stub-bin";
  const std::string calls = std::string(std::getenv("TMPDIR")) + "/stub-calls";
  fs::create_directories(bin);
  for (const char* name : {"apt-get", "apt", "sudo", "dpkg"}) {
    WriteFile(bin + "/" + name, "#!/bin/sh\necho \"$0 $*\" >> " + calls + "\n");
    chmod((bin + "/" + name).c_str(), 0755);
  }
  for (const char* arg : {"--help", "-h"}) {
    const Outcome run = Shell("PATH=" + bin + ":/usr/bin:/bin bash " RIMO_SOURCE_DIR "/scripts/install-deps.sh " + arg);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("usage: scripts/install-deps.sh"), std::string::npos);
  }
  const Outcome bad = Shell("PATH=" + bin + ":/usr/bin:/bin bash " RIMO_SOURCE_DIR "/scripts/install-deps.sh --bogus");
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_FALSE(fs::exists(calls)) << ReadFile(calls);
}

TEST(InstallTest, InstalledRimoFindsItsLibraryAndLoads) {
  const std::string prefix = std::string(std::getenv("TMPDIR")) + "/prefix";
  const Outcome install = Shell("cmake --install " RIMO_BINARY_DIR " --prefix " + prefix);
  ASSERT_EQ(install.exitCode, 0) << install.err;
  for (const char* file : {"bin/rimo", "bin/rimo-tcsign", "bin/rimo-datacenter", "lib/kelo/librimodata.so",
                           "lib/kelo/QnTraceSystem001.so", "lib/kelo/QNCardAsn1N003.so", "lib/kelo/QNCardBase002.so",
                           "share/man/man1/rimo.1.gz", "share/man/man1/rimo-tcsign.1.gz",
                           "share/man/man1/rimo-datacenter.1.gz", "share/doc/rimodata/copyright",
                           "share/bash-completion/completions/rimo", "include/rimo/RimoData.h"}) {
    EXPECT_TRUE(fs::exists(prefix + "/" + file)) << file;
  }
  EXPECT_EQ(Shell(prefix + "/bin/rimo --version").exitCode, 0);
  const Outcome load = Shell("KELO_ROOT=" + Fixture::Get().KeloRoot() + " " + prefix + "/bin/rimo load " +
                           Fixture::Get().Path("good.xml"));
  EXPECT_EQ(load.exitCode, 0) << load.err;
  EXPECT_TRUE(load.err.empty()) << load.err;
}

}  // namespace
