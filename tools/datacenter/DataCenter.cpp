#include "datacenter/DataCenter.h"

#include <httplib.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "pki/Pki.h"

namespace rimo::datacenter {
namespace {

constexpr char kXml[] = "application/xml";
constexpr size_t kMaxAnswerFile = 64u << 20;

// A regular file's bytes; nullopt for anything else (a FIFO is never waited
// for, a folder never read; errno tells which) or a file too large.
std::optional<std::string> ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> content;
  if (fstat(fd, &st) != 0) {
    // errno says why
  } else if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (static_cast<uint64_t>(st.st_size) > kMaxAnswerFile) {
    errno = EFBIG;
  } else {
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 && bytes.size() <= kMaxAnswerFile) {
      bytes.append(buffer, static_cast<size_t>(n));
    }
    if (n == 0 && bytes.size() <= kMaxAnswerFile) content = std::move(bytes);
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  return content;
}

// Card numbers name files: letters, digits, '-' and '_' only.
bool SafeCardNumber(const std::string& card) {
  if (card.empty() || card.size() > 64) return false;
  for (char c : card) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

// A file name inside the answers directory: letters, digits, '.', '-' and
// '_', not starting with a dot (so never "." or "..").
bool SafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

std::map<std::string, std::string> ParseSettings(const std::string& text) {
  std::map<std::string, std::string> settings;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    settings[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return settings;
}


long Number(const std::map<std::string, std::string>& settings, const char* key, long fallback = 0) {
  auto it = settings.find(key);
  if (it == settings.end()) return fallback;
  try {
    return std::stol(it->second);
  } catch (...) {
    return fallback;
  }
}

int StapleStatus(SSL* ssl, void* arg) {
  const auto* response = static_cast<const std::string*>(arg);
  auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(response->size()));
  if (copy == nullptr) return SSL_TLSEXT_ERR_NOACK;
  std::memcpy(copy, response->data(), response->size());
  SSL_set_tlsext_status_ocsp_resp(ssl, copy, static_cast<long>(response->size()));  // takes the copy
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

struct DataCenter::Impl {
  Options options;
  std::string ocsp;
  std::string setupError;
  std::unique_ptr<httplib::SSLServer> server;
  std::function<void(const std::string&)> logger;
  // Delays and drips end early once the server is stopping, so that a stop
  // never waits for an answer held back on purpose.
  std::mutex stopMutex;
  std::condition_variable stopped;
  bool stopping = false;

  // Waits ms; false when the server began stopping meanwhile.
  bool Pause(long ms) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopped.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
  }
  bool SetUpTls(SSL_CTX& ctx);
  void Answer(const httplib::Request& request, httplib::Response& response);
  void AnswerWithSettings(const std::map<std::string, std::string>& settings, httplib::Response& response);
  // The answer's body, dripped one byte every drip_ms when that is above 0,
  // or cut off after cut_after bytes (its whole length announced).
  void SetBody(httplib::Response& response, std::string body, const std::map<std::string, std::string>& settings);
};

bool DataCenter::Impl::SetUpTls(SSL_CTX& ctx) {
  for (const std::string* file : {&options.certFile, &options.keyFile}) {
    struct stat st {};
    if (access(file->c_str(), R_OK) != 0 || stat(file->c_str(), &st) != 0) {
      setupError = "cannot read " + *file + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      setupError = "cannot read " + *file + ": " + std::strerror(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
      return false;
    }
  }
  if (SSL_CTX_use_certificate_chain_file(&ctx, options.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(&ctx, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(&ctx) != 1) {
    setupError = "cannot use the certificate " + options.certFile + " with the key " + options.keyFile;
    return false;
  }
  if (!options.clientCaFile.empty()) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options.clientCaFile.c_str());
    if (names == nullptr || SSL_CTX_load_verify_locations(&ctx, options.clientCaFile.c_str(), nullptr) != 1) {
      setupError = "cannot read the client CA file " + options.clientCaFile +
                   (access(options.clientCaFile.c_str(), R_OK) != 0 ? ": " + std::string(std::strerror(errno)) : "");
      return false;
    }
    SSL_CTX_set_client_CA_list(&ctx, names);
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  if (!ocsp.empty()) {
    SSL_CTX_set_tlsext_status_cb(&ctx, &StapleStatus);
    SSL_CTX_set_tlsext_status_arg(&ctx, &ocsp);
  }
  return true;
}

void DataCenter::Impl::AnswerWithSettings(const std::map<std::string, std::string>& settings,
                                          httplib::Response& response) {
  if (const long delay = Number(settings, "delay_ms"); delay > 0 && !Pause(delay)) {
    response.status = 503;
    return;
  }
  if (auto it = settings.find("redirect"); it != settings.end()) {
    response.set_redirect(it->second, 302);
    return;
  }
  if (const long size = Number(settings, "oversize"); size > 0) {
    response.status = 200;
    response.set_content_provider(static_cast<size_t>(size), kXml,
                                  [](size_t, size_t length, httplib::DataSink& sink) {
                                    static const std::string block(65536, 'x');
                                    return sink.write(block.data(), std::min(length, block.size()));
                                  });
    return;
  }
  response.status = static_cast<int>(Number(settings, "status", 200));
  std::string body;
  if (auto it = settings.find("body"); it != settings.end()) body = it->second;
  if (auto it = settings.find("bodyfile"); it != settings.end()) {
    std::optional<std::string> file;
    errno = 0;
    if (SafeFileName(it->second)) file = ReadFile(options.answersDir + "/" + it->second);
    if (!file) {
      // Said, never ignored: the test that relies on it would see another answer.
      const std::string why = !SafeFileName(it->second)
                                  ? "a name in the answers directory has letters, digits, '.', '-' and '_' only and "
                                    "does not start with '.'"
                                  : "it is no readable regular file in the answers directory" +
                                        (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string());
      std::fprintf(stderr, "rimo-datacenter: bodyfile=%s cannot be used: %s\n", it->second.c_str(), why.c_str());
      response.status = 500;
      response.set_content("bodyfile cannot be used\n", "text/plain");
      return;
    }
    body = std::move(*file);
  }
  SetBody(response, std::move(body), settings);
}

void DataCenter::Impl::Answer(const httplib::Request& request, httplib::Response& response) {
  const std::string card = request.matches[1];
  if (!SafeCardNumber(card)) {
    response.status = 404;
    return;
  }
  const std::string base = options.answersDir + "/" + card;
  std::map<std::string, std::string> settings;
  if (auto text = ReadFile(base + ".conf")) settings = ParseSettings(*text);
  // A .conf that says what to answer answers; one that only slows the
  // answer down (delay_ms, drip_ms) slows down the card's own answer.
  for (const char* key : {"status", "body", "bodyfile", "redirect", "oversize"}) {
    if (settings.count(key) != 0) {
      AnswerWithSettings(settings, response);
      return;
    }
  }
  if (const long delay = Number(settings, "delay_ms"); delay > 0 && !Pause(delay)) {
    response.status = 503;
    return;
  }
  std::string body;
  if (auto fault = ReadFile(base + ".fault")) {
    std::istringstream lines(*fault);
    std::string status, id, userMessage, techMessage;
    std::getline(lines, status);
    std::getline(lines, id);
    std::getline(lines, userMessage);
    std::getline(lines, techMessage);
    response.status = std::atoi(status.c_str()) > 0 ? std::atoi(status.c_str()) : 500;
    body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FAULTINFO><ID>" + pki::XmlEscape(id) + "</ID><USERMESSAGE>" +
           pki::XmlEscape(userMessage) + "</USERMESSAGE><TECHMESSAGE>" + pki::XmlEscape(techMessage) +
           "</TECHMESSAGE></FAULTINFO>\n";
  } else if (auto tcResponse = ReadFile(base + ".xml")) {
    response.status = 200;
    body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GETDATATCRESPONSE><TCRESPONSE>" + pki::Base64(*tcResponse) +
           "</TCRESPONSE></GETDATATCRESPONSE>\n";
  } else {
    response.status = 204;
  }
  SetBody(response, std::move(body), settings);
}

void DataCenter::Impl::SetBody(httplib::Response& response, std::string body,
                               const std::map<std::string, std::string>& settings) {
  if (body.empty()) return;
  if (const long cut = Number(settings, "cut_after", -1); cut >= 0) {
    auto shared = std::make_shared<std::string>(std::move(body));
    const size_t sent = std::min(static_cast<size_t>(cut), shared->size());
    response.set_content_provider(shared->size(), kXml,
                                  [shared, sent](size_t offset, size_t, httplib::DataSink& sink) {
                                    // Returning false closes the connection.
                                    return offset < sent && sink.write(shared->data() + offset, sent - offset);
                                  });
    return;
  }
  const long dripMs = Number(settings, "drip_ms");
  if (dripMs > 0) {
    auto shared = std::make_shared<std::string>(std::move(body));
    response.set_content_provider(shared->size(), kXml,
                                  [this, shared, dripMs](size_t offset, size_t, httplib::DataSink& sink) {
                                    return Pause(dripMs) && sink.write(shared->data() + offset, 1);
                                  });
    return;
  }
  response.set_content(body, kXml);
}

DataCenter::DataCenter(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  if (!impl_->options.ocspFile.empty()) {
    errno = 0;
    impl_->ocsp = ReadFile(impl_->options.ocspFile).value_or("");
    if (impl_->ocsp.empty()) {
      error_ = "cannot read the OCSP response " + impl_->options.ocspFile +
               (errno != 0 ? ": " + std::string(std::strerror(errno)) : "");
    }
  }
  Impl* impl = impl_.get();
  impl_->server = std::make_unique<httplib::SSLServer>([impl](SSL_CTX& ctx) { return impl->SetUpTls(ctx); });
  if (error_.empty() && !impl_->server->is_valid()) error_ = impl_->setupError;
  const int threads = impl_->options.threads;
  impl_->server->set_tcp_nodelay(true);
  // SO_REUSEADDR only: a restart finds its port free again, but a second
  // server on a port in use is refused instead of sharing its requests
  // (the library's default, SO_REUSEPORT, would let both listen).
  impl_->server->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  impl_->server->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  impl_->server->Get(R"(/pvtwmod/rest/DataTcService/([^/]+))",
                     [impl](const httplib::Request& request, httplib::Response& response) {
                       impl->Answer(request, response);
                     });
  impl_->server->set_logger([impl](const httplib::Request& request, const httplib::Response& response) {
    if (!impl->logger) return;
    std::string target = request.target.empty() ? request.path : request.target;
    impl->logger(request.method + " " + target + " accept=\"" + request.get_header_value("Accept") +
                 "\" user-agent=\"" + request.get_header_value("User-Agent") + "\" " +
                 std::to_string(response.status));
  });
}

DataCenter::~DataCenter() = default;

void DataCenter::SetLogger(std::function<void(const std::string&)> logger) { impl_->logger = std::move(logger); }

int DataCenter::Bind() {
  if (!error_.empty()) return -1;
  int port = -1;
  errno = 0;
  if (impl_->options.port == 0) {
    port = impl_->server->bind_to_any_port("127.0.0.1");
  } else if (impl_->server->bind_to_port("127.0.0.1", impl_->options.port)) {
    port = impl_->options.port;
  }
  if (port <= 0) {
    const int why = errno;
    error_ = "cannot listen on 127.0.0.1:" + std::to_string(impl_->options.port);
    if (why == EADDRINUSE) {
      error_ += ": address already in use";
    } else if (why != 0) {
      error_ += std::string(": ") + std::strerror(why);
    }
    return -1;
  }
  return port;
}

bool DataCenter::Serve() { return impl_->server->listen_after_bind(); }

void DataCenter::Stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->stopMutex);
    impl_->stopping = true;
  }
  impl_->stopped.notify_all();
  impl_->server->stop();
}

}  // namespace rimo::datacenter
