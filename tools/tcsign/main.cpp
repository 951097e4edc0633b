// rimo-tcsign: the trust center's side for tests and demos. Makes a test
// PKI, response containers and signed TC responses.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pki/Pki.h"

namespace {

namespace fs = std::filesystem;
using namespace rimo::pki;

constexpr char kUsage[] = R"(usage:
  rimo-tcsign pki DIR [--bits N]
      Makes a test PKI in DIR: the maker's root "CA QUANDEL" (root.pem,
      root.key), a response signer with the locality "QUANDEL Nachladesignatur"
      (signer.pem, signer.key), a TLS server certificate for localhost and
      127.0.0.1 (server.pem, server.key), a client certificate (client.pem,
      client.key), and DIR/kelo-root, a KELO_ROOT tree whose root store
      (etc/ssl/certs) holds the root with its hash link.
  rimo-tcsign container [--keychange JA|NEIN] [--switch JA|NEIN]
                        [--cert TYPE=FILE]... [-o OUT]
      Writes a response container with the given flags and certificates
      (PEM or DER files).
  rimo-tcsign sign --container FILE --key KEY --cert CERT --current SSN
                   --new SSN [-o OUT] [--tamper] [--no-signature]
                   [--no-certificate]
      Signs the container and writes the TC response. The serial numbers
      have 20 characters. --tamper changes one character of the signed text
      after signing; the --no-* options leave that part out.
  rimo-tcsign ocsp --cert CERT --issuer CERT --key KEY [--revoked] -o OUT
      Writes an OCSP response (DER) for CERT, signed by its issuer: status
      good, or revoked with --revoked. rimo-datacenter --ocsp staples it.
Output goes to standard output unless -o is given.)";

[[noreturn]] void Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "rimo-tcsign: " << problem << "\n";
  std::cerr << kUsage << "\n";
  std::exit(2);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  chmod(path.c_str(), mode);
}

void Output(const std::string& out, const std::string& content) {
  if (out.empty()) {
    std::cout << content;
  } else {
    WriteFile(out, content);
  }
}

Cert LoadCertificate(const std::string& path) {
  const std::string content = ReadFile(path);
  if (content.find("-----BEGIN CERTIFICATE-----") != std::string::npos) return CertFromPem(content);
  const auto* p = reinterpret_cast<const unsigned char*>(content.data());
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(content.size()));
  if (cert == nullptr) throw std::runtime_error(path + " holds no certificate");
  return Cert(cert, &X509_free);
}

// Takes the value of an option that needs one.
std::string Value(int& i, int argc, char** argv) {
  if (i + 1 >= argc) Usage(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

int MakePki(int argc, char** argv) {
  if (argc < 3) Usage("pki needs a directory");
  const std::string dir = argv[2];
  int bits = 2048;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--bits") == 0) {
      bits = std::stoi(Value(i, argc, argv));
    } else {
      Usage(std::string("unknown option ") + argv[i]);
    }
  }
  fs::create_directories(dir);
  TrustCenter tc = TrustCenter::Make(bits);
  WriteFile(dir + "/root.pem", ToPem(tc.root));
  WriteFile(dir + "/root.key", KeyToPem(tc.rootKey), 0600);
  WriteFile(dir + "/signer.pem", ToPem(tc.signer));
  WriteFile(dir + "/signer.key", KeyToPem(tc.signerKey), 0600);

  CertProfile server;
  server.commonName = "localhost";
  server.dnsNames = {"localhost"};
  server.ipAddresses = {"127.0.0.1"};
  server.serverAuth = true;
  Key serverKey = GenerateKey(bits);
  WriteFile(dir + "/server.pem", ToPem(Issue(server, serverKey, tc.root, tc.rootKey)) + ToPem(tc.root));
  WriteFile(dir + "/server.key", KeyToPem(serverKey), 0600);

  CertProfile client;
  client.commonName = "Kelo Client";
  client.clientAuth = true;
  Key clientKey = GenerateKey(bits);
  WriteFile(dir + "/client.pem", ToPem(Issue(client, clientKey, tc.root, tc.rootKey)));
  WriteFile(dir + "/client.key", KeyToPem(clientKey), 0600);

  const std::string store = dir + "/kelo-root/etc/ssl/certs";
  fs::create_directories(store);
  InstallRoot(tc.root, store);
  std::cout << "PKI written to " << dir << "; KELO_ROOT=" << dir << "/kelo-root\n";
  return 0;
}

int MakeContainerCommand(int argc, char** argv) {
  std::string keyChange = "NEIN", switchOn = "JA", out;
  std::vector<ContainerCert> certs;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keychange") {
      keyChange = Value(i, argc, argv);
    } else if (arg == "--switch") {
      switchOn = Value(i, argc, argv);
    } else if (arg == "--cert") {
      const std::string typeAndFile = Value(i, argc, argv);
      const size_t eq = typeAndFile.find('=');
      if (eq == std::string::npos || eq == 0) Usage("--cert takes TYPE=FILE");
      certs.push_back({typeAndFile.substr(0, eq), CertificateText(LoadCertificate(typeAndFile.substr(eq + 1)))});
    } else if (arg == "-o") {
      out = Value(i, argc, argv);
    } else {
      Usage("unknown option " + arg);
    }
  }
  Output(out, MakeContainer(keyChange, switchOn, certs));
  return 0;
}

int SignCommand(int argc, char** argv) {
  std::string container, key, cert, current, next, out;
  bool tamper = false, noSignature = false, noCertificate = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--container") {
      container = Value(i, argc, argv);
    } else if (arg == "--key") {
      key = Value(i, argc, argv);
    } else if (arg == "--cert") {
      cert = Value(i, argc, argv);
    } else if (arg == "--current") {
      current = Value(i, argc, argv);
    } else if (arg == "--new") {
      next = Value(i, argc, argv);
    } else if (arg == "-o") {
      out = Value(i, argc, argv);
    } else if (arg == "--tamper") {
      tamper = true;
    } else if (arg == "--no-signature") {
      noSignature = true;
    } else if (arg == "--no-certificate") {
      noCertificate = true;
    } else {
      Usage("unknown option " + arg);
    }
  }
  if (container.empty() || key.empty() || cert.empty() || current.empty() || next.empty()) {
    Usage("sign needs --container, --key, --cert, --current and --new");
  }
  TcResponseParts parts =
      SignContainer(ReadFile(container), KeyFromPem(ReadFile(key)), LoadCertificate(cert), current, next);
  if (tamper && !parts.containerBase64.empty()) {
    char& c = parts.containerBase64[parts.containerBase64.size() / 2];
    c = c == 'A' ? 'B' : 'A';
  }
  parts.withSignature = !noSignature;
  parts.withCertificate = !noCertificate;
  Output(out, MakeTcResponse(parts));
  return 0;
}

int OcspCommand(int argc, char** argv) {
  std::string cert, issuer, key, out;
  bool revoked = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--cert") {
      cert = Value(i, argc, argv);
    } else if (arg == "--issuer") {
      issuer = Value(i, argc, argv);
    } else if (arg == "--key") {
      key = Value(i, argc, argv);
    } else if (arg == "-o") {
      out = Value(i, argc, argv);
    } else if (arg == "--revoked") {
      revoked = true;
    } else {
      Usage("unknown option " + arg);
    }
  }
  if (cert.empty() || issuer.empty() || key.empty() || out.empty()) {
    Usage("ocsp needs --cert, --issuer, --key and -o");
  }
  const Bytes der = MakeOcspResponse(LoadCertificate(cert), LoadCertificate(issuer), KeyFromPem(ReadFile(key)), revoked);
  WriteFile(out, std::string(der.begin(), der.end()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage("");
  const std::string command = argv[1];
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      std::cout << kUsage << "\n";
      return 0;
    }
    if (command == "pki") return MakePki(argc, argv);
    if (command == "container") return MakeContainerCommand(argc, argv);
    if (command == "sign") return SignCommand(argc, argv);
    if (command == "ocsp") return OcspCommand(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "rimo-tcsign: " << e.what() << "\n";
    return 1;
  }
  Usage("unknown command " + command);
}
