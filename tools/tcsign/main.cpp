// rimo-tcsign: the trust center's side for tests and demos. Makes a test
// PKI, response containers, signed TC responses, OCSP answers and card
// holder certificates.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pki/Pki.h"
#include "pki/SoftToken.h"

#ifndef RIMO_VERSION
#define RIMO_VERSION "0"
#endif

namespace {

namespace fs = std::filesystem;
using namespace rimo::pki;

constexpr char kUsage[] =
    "usage: rimo-tcsign pki DIR [--bits N] [--force]\n"
    "       rimo-tcsign container [--keychange JA|NEIN] [--switch JA|NEIN] [--cert TYPE=FILE]... [-o OUT]\n"
    "       rimo-tcsign sign --container FILE --key KEY --cert CERT --current SSN --new SSN [-o OUT]\n"
    "                        [--tamper] [--no-signature] [--no-certificate] [--unchecked]\n"
    "       rimo-tcsign ocsp --cert CERT --issuer CERT --key KEY [--revoked] -o OUT\n"
    "       rimo-tcsign card --pki DIR --days N [-o OUT] [--token LABEL --pin PIN [--so-pin PIN]\n"
    "                        [--object NAME] [--module PATH]]\n"
    "       rimo-tcsign --help | --version\n";

constexpr char kHelp[] = R"(
  pki DIR      a test PKI in DIR: the maker's root "CA QUANDEL" (root.pem, root.key), a
               response signer with the locality "QUANDEL Nachladesignatur" (signer.pem,
               signer.key), a TLS server certificate for localhost and 127.0.0.1 (server.pem,
               server.key), a client certificate (client.pem, client.key, client-bundle.pem),
               and DIR/kelo-root, a KELO_ROOT tree whose root store holds the root. An
               existing PKI is kept unless --force is given. Keys are created with mode 0600.
  container    a response container with the flags (JA or NEIN) and the certificates
               (PEM or DER files) given.
  sign         signs the container's Base64 text (RSA PKCS #1 v1.5 with SHA-1) and writes
               the TC response. Serial numbers have 20 characters; the key must belong to
               the certificate, and the container must be an XML document, unless
               --unchecked is given (for broken responses in tests). --tamper changes one
               character of the signed text after signing; --no-signature and
               --no-certificate leave that part out.
  ocsp         an OCSP response (DER) for CERT signed by its issuer: good, or --revoked.
  card         a card holder's certificate issued by the PKI's root, expiring in N days
               (negative: expired N days ago): written to OUT (for KELO_CARD_CERT), and
               with --token put with its key on the PKCS#11 token labelled LABEL (made
               on the module's first blank token when missing, with the user PIN PIN
               and the security officer PIN --so-pin, by default PIN). The module is
               --module, else KELO_PKCS11_MODULE, else SoftHSM2's (its tokens are in
               the folder SOFTHSM2_CONF names). --object names the objects
               (default "Karteninhaber"). The private key is private, sensitive and
               not extractable; the certificate and public key are public.

Output goes to standard output unless -o is given. Exit status: 0 done, 1 failed,
2 wrong usage or input.
)";

struct UsageProblem : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Written with its final mode from the start (a key is never readable by
// others, not even for a moment).
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  // An existing file keeps its mode, but a key is narrowed to its owner.
  if ((mode & 077) == 0) fchmod(fd, mode);
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n <= 0) {
      close(fd);
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

void Output(const std::string& out, const std::string& content) {
  if (!out.empty()) {
    WriteFile(out, content);
    return;
  }
  std::fwrite(content.data(), 1, content.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    throw std::runtime_error(std::string("cannot write to standard output: ") + std::strerror(errno));
  }
}

Cert LoadCertificate(const std::string& path) {
  const std::string content = ReadFile(path);
  if (content.find("-----BEGIN CERTIFICATE-----") != std::string::npos) return CertFromPem(content);
  const auto* p = reinterpret_cast<const unsigned char*>(content.data());
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(content.size()));
  if (cert == nullptr) throw UsageProblem(path + " holds no certificate");
  return Cert(cert, &X509_free);
}

long Number(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0) throw UsageProblem(std::string(what) + " must be a number, not '" + text + "'");
  return value;
}

std::string Flag(const std::string& text, const char* what) {
  if (text != "JA" && text != "NEIN") throw UsageProblem(std::string(what) + " must be JA or NEIN, not '" + text + "'");
  return text;
}

// Options of one command: "--name value", "--name=value" and flags; "--"
// ends them.
class Options {
 public:
  Options(int argc, char** argv, int first, const std::vector<std::string>& withValue,
          const std::vector<std::string>& flags) {
    for (int i = first; i < argc; ++i) {
      std::string arg = argv[i];
      if (ended_ || arg.empty() || arg[0] != '-' || arg == "-") {
        positional_.push_back(arg);
        continue;
      }
      if (arg == "--") {
        ended_ = true;
        continue;
      }
      std::string value;
      bool hasValue = false;
      if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
        value = arg.substr(arg.find('=') + 1);
        arg = arg.substr(0, arg.find('='));
        hasValue = true;
      }
      if (std::find(withValue.begin(), withValue.end(), arg) != withValue.end()) {
        if (!hasValue) {
          if (i + 1 >= argc) throw UsageProblem(arg + " needs a value");
          value = argv[++i];
        }
        values_.emplace_back(arg, value);
      } else if (std::find(flags.begin(), flags.end(), arg) != flags.end() && !hasValue) {
        flags_.push_back(arg);
      } else {
        throw UsageProblem("unknown option '" + arg + "'");
      }
    }
  }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    std::string found = fallback;
    for (const auto& [n, v] : values_) {
      if (n == name) found = v;
    }
    return found;
  }
  std::vector<std::string> All(const std::string& name) const {
    std::vector<std::string> all;
    for (const auto& [n, v] : values_) {
      if (n == name) all.push_back(v);
    }
    return all;
  }
  bool Has(const std::string& flag) const { return std::find(flags_.begin(), flags_.end(), flag) != flags_.end(); }
  const std::vector<std::string>& Positional() const { return positional_; }

 private:
  bool ended_ = false;
  std::vector<std::pair<std::string, std::string>> values_;
  std::vector<std::string> flags_;
  std::vector<std::string> positional_;
};

int MakePki(const Options& o) {
  if (o.Positional().size() != 1) throw UsageProblem("pki needs one directory");
  const std::string dir = fs::absolute(o.Positional()[0]).lexically_normal().string();
  const long bits = Number(o.Get("--bits", "2048"), "--bits");
  if (bits < 2048 || bits > 8192) throw UsageProblem("--bits must be between 2048 and 8192");
  if (fs::exists(dir + "/root.key") && !o.Has("--force")) {
    throw UsageProblem(dir + " holds a PKI already; --force replaces it");
  }
  fs::create_directories(dir);
  TrustCenter tc = TrustCenter::Make(static_cast<int>(bits));
  WriteFile(dir + "/root.pem", ToPem(tc.root));
  WriteFile(dir + "/root.key", KeyToPem(tc.rootKey), 0600);
  WriteFile(dir + "/signer.pem", ToPem(tc.signer));
  WriteFile(dir + "/signer.key", KeyToPem(tc.signerKey), 0600);

  CertProfile server;
  server.commonName = "localhost";
  server.dnsNames = {"localhost"};
  server.ipAddresses = {"127.0.0.1"};
  server.serverAuth = true;
  Key serverKey = GenerateKey(static_cast<int>(bits));
  WriteFile(dir + "/server.pem", ToPem(Issue(server, serverKey, tc.root, tc.rootKey)) + ToPem(tc.root));
  WriteFile(dir + "/server.key", KeyToPem(serverKey), 0600);

  CertProfile client;
  client.commonName = "Kelo Client";
  client.clientAuth = true;
  Key clientKey = GenerateKey(static_cast<int>(bits));
  const std::string clientPem = ToPem(Issue(client, clientKey, tc.root, tc.rootKey));
  WriteFile(dir + "/client.pem", clientPem);
  WriteFile(dir + "/client.key", KeyToPem(clientKey), 0600);
  WriteFile(dir + "/client-bundle.pem", clientPem + KeyToPem(clientKey), 0600);

  const std::string store = dir + "/kelo-root/etc/ssl/certs";
  fs::create_directories(store);
  InstallRoot(tc.root, store);
  Output("", "PKI written to " + dir + "; KELO_ROOT=" + dir + "/kelo-root\n");
  return 0;
}

int MakeContainerCommand(const Options& o) {
  if (!o.Positional().empty()) throw UsageProblem("unexpected argument '" + o.Positional()[0] + "'");
  std::vector<ContainerCert> certs;
  for (const std::string& typeAndFile : o.All("--cert")) {
    const size_t eq = typeAndFile.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageProblem("--cert takes TYPE=FILE");
    certs.push_back({typeAndFile.substr(0, eq), CertificateText(LoadCertificate(typeAndFile.substr(eq + 1)))});
  }
  Output(o.Get("-o"), MakeContainer(Flag(o.Get("--keychange", "NEIN"), "--keychange"),
                                    Flag(o.Get("--switch", "JA"), "--switch"), certs));
  return 0;
}

int SignCommand(const Options& o) {
  if (!o.Positional().empty()) throw UsageProblem("unexpected argument '" + o.Positional()[0] + "'");
  const std::string container = o.Get("--container"), key = o.Get("--key"), cert = o.Get("--cert");
  const std::string current = o.Get("--current"), next = o.Get("--new");
  if (container.empty() || key.empty() || cert.empty() || current.empty() || next.empty()) {
    throw UsageProblem("sign needs --container, --key, --cert, --current and --new");
  }
  const bool unchecked = o.Has("--unchecked");
  const std::string containerText = ReadFile(container);
  const Key signerKey = KeyFromPem(ReadFile(key));
  const Cert signerCert = LoadCertificate(cert);
  if (!unchecked) {
    for (const auto& [name, ssn] : {std::pair<const char*, std::string>{"--current", current}, {"--new", next}}) {
      if (ssn.size() != 20) throw UsageProblem(std::string(name) + " must have 20 characters, not " + std::to_string(ssn.size()));
    }
    if (EVP_PKEY_eq(X509_get0_pubkey(signerCert.get()), signerKey.get()) != 1) {
      throw UsageProblem(key + " does not belong to the certificate " + cert);
    }
    const size_t start = containerText.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
    if (start == std::string::npos || containerText[start] != '<') {
      throw UsageProblem(container + " is empty or not an XML document");
    }
  }
  TcResponseParts parts = SignContainer(containerText, signerKey, signerCert, current, next);
  if (o.Has("--tamper") && !parts.containerBase64.empty()) {
    char& c = parts.containerBase64[parts.containerBase64.size() / 2];
    c = c == 'A' ? 'B' : 'A';
  }
  parts.withSignature = !o.Has("--no-signature");
  parts.withCertificate = !o.Has("--no-certificate");
  Output(o.Get("-o"), MakeTcResponse(parts));
  return 0;
}

int OcspCommand(const Options& o) {
  const std::string cert = o.Get("--cert"), issuer = o.Get("--issuer"), key = o.Get("--key"), out = o.Get("-o");
  if (cert.empty() || issuer.empty() || key.empty() || out.empty()) {
    throw UsageProblem("ocsp needs --cert, --issuer, --key and -o");
  }
  const Bytes der =
      MakeOcspResponse(LoadCertificate(cert), LoadCertificate(issuer), KeyFromPem(ReadFile(key)), o.Has("--revoked"));
  WriteFile(out, std::string(der.begin(), der.end()));
  return 0;
}

int CardCommand(const Options& o) {
  const std::string dir = o.Get("--pki"), out = o.Get("-o"), token = o.Get("--token"), pin = o.Get("--pin");
  if (dir.empty() || (out.empty() && token.empty())) throw UsageProblem("card needs --pki, --days and -o or --token");
  if (!token.empty() && pin.empty()) throw UsageProblem("--token needs --pin");
  if (token.size() > 32) throw UsageProblem("a token label has at most 32 bytes");
  const long days = Number(o.Get("--days"), "--days");
  CertProfile card;
  card.commonName = "Karteninhaber";
  card.clientAuth = true;
  card.notBeforeOffset = -400L * 86400;
  card.notAfterOffset = days * 86400 - 3600;
  const Key key = GenerateKey(2048);
  const Cert cert = Issue(card, key, LoadCertificate(dir + "/root.pem"), KeyFromPem(ReadFile(dir + "/root.key")));
  if (!out.empty()) WriteFile(out, ToPem(cert));
  if (!token.empty()) {
    const char* configured = std::getenv("KELO_PKCS11_MODULE");
    TokenTarget target;
    target.module = o.Get("--module", configured != nullptr && configured[0] != '\0' ? configured : SoftHsmModule());
    target.tokenLabel = token;
    target.pin = pin;
    target.soPin = o.Get("--so-pin");
    PutOnToken(target, o.Get("--object", "Karteninhaber"), cert, &key);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "rimo-tcsign: no command given\nTry 'rimo-tcsign --help'.\n");
    return 2;
  }
  const std::string command = argv[1];
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      Output("", std::string(kUsage) + kHelp);
      return 0;
    }
    if (command == "--version") {
      Output("", std::string("rimo-tcsign ") + RIMO_VERSION + "\n");
      return 0;
    }
    if (command == "pki") return MakePki(Options(argc, argv, 2, {"--bits"}, {"--force"}));
    if (command == "container") return MakeContainerCommand(Options(argc, argv, 2, {"--keychange", "--switch", "--cert", "-o"}, {}));
    if (command == "sign") {
      return SignCommand(Options(argc, argv, 2, {"--container", "--key", "--cert", "--current", "--new", "-o"},
                                 {"--tamper", "--no-signature", "--no-certificate", "--unchecked"}));
    }
    if (command == "ocsp") return OcspCommand(Options(argc, argv, 2, {"--cert", "--issuer", "--key", "-o"}, {"--revoked"}));
    if (command == "card") {
      return CardCommand(
          Options(argc, argv, 2, {"--pki", "--days", "-o", "--token", "--pin", "--so-pin", "--object", "--module"}, {}));
    }
    throw UsageProblem("unknown command '" + command + "'");
  } catch (const UsageProblem& e) {
    std::fprintf(stderr, "rimo-tcsign: %s\nTry 'rimo-tcsign --help'.\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rimo-tcsign: %s\n", e.what());
    return 1;
  }
}
