#include "webcomm/KeloHttpComm.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "crypto/RootStore.h"
#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Askpass.h"
#include "platform/FileIo.h"
#include "platform/Pkcs11.h"
#include "platform/Folders.h"
#include "config/DirectoryLibrary.h"
#include "platform/Utf8.h"
#include "webcomm/TokenKey.h"
#include "webcomm/WinInetCodes.h"

namespace WebCommLib {

using rimo::diag::TraceWrite;
using rimo::diag::TraceWriteFormat;
using rimo::diag::category::kWebComm;
namespace diag = rimo::diag;
namespace platform = rimo::platform;

namespace {

constexpr int kMaxProxyAttempts = 3;
constexpr int kMaxClientAuthAttempts = 3;
constexpr int kMaxClientCertPasses = 3;
constexpr int kMaxFailedSends = 2;
constexpr int kMaxRedirects = 5;
// Headers of one answer, interim answers (100 Continue) included: far more
// than any data center sends, far less than would cost memory or time.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr int kMaxInterimAnswers = 8;
// A repetition starts only with at least this much time left (or the
// connect limit, when that is shorter).
constexpr int kMinimumRepetitionMs = 1000;

// WinInet's numbers for the session states traced by the status callback.
constexpr int kStatusConnectedToServer = 21;
constexpr int kStatusReceivingResponse = 40;
constexpr int kStatusRequestComplete = 100;
constexpr int kStatusRedirect = 110;

void TraceStatus(int state) {
  RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloCInternetSession::OnStatusCallback");
  if (state == kStatusConnectedToServer) {
    TraceWriteFormat(diag::Detail, kWebComm, L"StatusCallback:Connected to server. State [%d]", state);
  } else {
    TraceWriteFormat(diag::Detail, kWebComm, L"StatusCallback with State [%d]", state);
  }
}

// The errno that a message names, as in OpenSSL's "SSL_read: ..., errno
// 104" or "Recv failure: Connection reset by peer", where curl does not
// report it as the transfer's errno; 0 if none.
int ErrnoInText(const char* text) {
  if (const char* at = std::strstr(text, "errno ")) return std::atoi(at + 6);
  if (std::strstr(text, "Connection reset by peer") != nullptr) return ECONNRESET;
  return 0;
}

std::once_flag g_curlOnce;

void InitialiseCurl() {
  std::call_once(g_curlOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
  void operator()(char* s) const { curl_free(s); }
};
template <typename T>
using CurlPtr = std::unique_ptr<T, CurlDeleter>;

std::wstring Wide(const std::string& s) { return platform::Utf8ToWide(s); }
std::string Narrow(const std::wstring& s) { return platform::WideToUtf8(s); }

// The host as a resolver would see it once IDNA folded it: the ideographic
// and fullwidth full stops become '.', fullwidth ASCII becomes ASCII, ASCII
// is lower-cased. Enough to see a reserved name behind such spellings.
std::string FoldedHost(const std::string& host) {
  const std::wstring wide = platform::Utf8ToWide(host);
  std::string folded;
  for (wchar_t c : wide) {
    if (c == 0x3002 || c == 0xFF0E || c == 0xFF61) c = L'.';
    if (c >= 0xFF01 && c <= 0xFF5E) c = static_cast<wchar_t>(c - 0xFEE0);
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c < 0x80) {
      folded.push_back(static_cast<char>(c));
    } else {
      folded += platform::WideToUtf8(std::wstring(1, c));
    }
  }
  return folded;
}

bool ReservedInvalidName(const std::string& host) {
  std::string lower = FoldedHost(host);
  while (!lower.empty() && lower.back() == '.') lower.pop_back();
  return lower == "invalid" || (lower.size() > 8 && lower.compare(lower.size() - 8, 8, ".invalid") == 0);
}

int TransferExIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

// One curl easy handle and what its handshakes and transfers observed.
struct KeloHttpComm::Transfer {
  KeloHttpComm* owner = nullptr;
  CurlPtr<CURL> easy;
  CurlPtr<curl_slist> headers;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  bool clientCertRequested = false;
  bool revoked = false;
  size_t bodyBytes = 0;
  bool bodyTooLarge = false;
  size_t headerBytes = 0;
  int interimAnswers = 0;
  bool headerOverflow = false;
  bool answering = false;         // the first header line of the answer has come
  bool headersComplete = false;   // the blank line that ends the last answer's headers has come
  bool stalled = false;           // no byte for the stall limit: the transfer was stopped
  std::chrono::steady_clock::time_point lastProgress;
  curl_off_t progressBytes = 0;
  long connections = 0;
  uint32_t appliedSecurityFlags = 0;

  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);
  static int OnConnected(void* self, char*, char*, int, int);
  static CURLcode OnSslContext(CURL*, void* sslContext, void* self);
  static int OnClientCertRequest(SSL* ssl, X509**, EVP_PKEY**);
  static int OnCertificateStatus(SSL* ssl, void* self);
  // A missing or unusable stapled status: the request goes on without
  // revocation checking, for this and every later execution of the object.
  int FallBackWithoutRevocation();
};

size_t KeloHttpComm::Transfer::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const size_t n = size * count;
  KeloHttpComm& owner = *t->owner;
  if (t->bodyBytes + n > owner.maxBodySize_) {
    // Refused without reading the rest; nothing of it is kept.
    t->bodyTooLarge = true;
    owner.chunks_.clear();
    return 0;
  }
  t->bodyBytes += n;
  size_t done = 0;
  while (done < n) {
    if (owner.chunks_.empty() || owner.chunks_.back()->used == kChunkSize) {
      owner.chunks_.push_back(std::make_unique<Chunk>());
    }
    Chunk& chunk = *owner.chunks_.back();
    const size_t take = std::min(n - done, kChunkSize - chunk.used);
    std::memcpy(chunk.bytes + chunk.used, data + done, take);
    chunk.used += static_cast<uint32_t>(take);
    done += take;
  }
  return n;
}

size_t KeloHttpComm::Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const size_t n = size * count;
  t->headerBytes += n;
  if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) t->headersComplete = true;
  if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
    if (!t->answering) TraceStatus(kStatusReceivingResponse);
    t->answering = true;
    t->headersComplete = false;
    // "HTTP/1.1 1xx": an interim answer before the real one.
    const char* space = static_cast<const char*>(std::memchr(data, ' ', n));
    if (space != nullptr && space + 1 < data + n && space[1] == '1') ++t->interimAnswers;
  }
  if (t->headerBytes > kMaxHeaderBytes || t->interimAnswers > kMaxInterimAnswers) {
    t->headerOverflow = true;
    return 0;
  }
  return n;
}

int KeloHttpComm::Transfer::OnProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  // A stall is a time without a single byte arriving (curl's own low-speed
  // check averages over seconds and notices late).
  auto* t = static_cast<Transfer*>(self);
  if (t->owner->cancelled_.load()) return 1;
  const auto now = std::chrono::steady_clock::now();
  if (dlnow + ulnow != t->progressBytes) {
    t->progressBytes = dlnow + ulnow;
    t->lastProgress = now;
    return 0;
  }
  if (now - t->lastProgress > std::chrono::milliseconds(t->owner->stallMs_)) {
    t->stalled = true;
    return 1;
  }
  return 0;
}

int KeloHttpComm::Transfer::OnConnected(void*, char*, char*, int, int) {
  TraceStatus(kStatusConnectedToServer);
  return CURL_PREREQFUNC_OK;
}

CURLcode KeloHttpComm::Transfer::OnSslContext(CURL*, void* sslContext, void* self) {
  auto* t = static_cast<Transfer*>(self);
  auto* ctx = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_ex_data(ctx, TransferExIndex(), t);
  SSL_CTX_set_client_cert_cb(ctx, &Transfer::OnClientCertRequest);
  if (const TokenKey* token = t->owner->tokenKey_.get()) {
    // The certificate chosen on a token; its key signs there.
    if (SSL_CTX_use_certificate(ctx, token->certificate()) != 1 || SSL_CTX_use_PrivateKey(ctx, token->key()) != 1) {
      ERR_clear_error();
      return CURLE_SSL_CERTPROBLEM;
    }
  }
  if ((t->owner->securityFlags_ & kSecurityIgnoreRevocation) == 0) {
    SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp);
    SSL_CTX_set_tlsext_status_cb(ctx, &Transfer::OnCertificateStatus);
    SSL_CTX_set_tlsext_status_arg(ctx, t);
  }
  return CURLE_OK;
}

int KeloHttpComm::Transfer::OnClientCertRequest(SSL* ssl, X509**, EVP_PKEY**) {
  // Called only when no certificate is set: the server asked for one.
  auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransferExIndex()));
  if (t != nullptr) t->clientCertRequested = true;
  return 0;
}

int KeloHttpComm::Transfer::FallBackWithoutRevocation() {
  TraceWrite(diag::Info, kWebComm,
             L"Aufruf von SendRequest() meldet: Der Zertifikat Revokation Server kann nicht erreicht werden.");
  TraceWrite(diag::Warning, kWebComm,
             L"Zertifikats-Revokationsserver konnte nicht erreicht werden. Überprüfung wird für den Request "
             L"deaktiviert.");
  owner->securityFlags_ |= kSecurityIgnoreRevocation;
  TraceWrite(diag::Info, kWebComm, L"Security-Flag 'Ignore Revocation' gesetzt.");
  return 1;
}

int KeloHttpComm::Transfer::OnCertificateStatus(SSL* ssl, void* self) {
  auto* t = static_cast<Transfer*>(self);
  // Once fallen back, the object checks no more (also not on a redirect).
  if ((t->owner->securityFlags_ & kSecurityIgnoreRevocation) != 0) return 1;
  const unsigned char* der = nullptr;
  const long length = SSL_get_tlsext_status_ocsp_resp(ssl, &der);
  if (length <= 0 || der == nullptr) return t->FallBackWithoutRevocation();
  std::unique_ptr<OCSP_RESPONSE, decltype(&OCSP_RESPONSE_free)> response(d2i_OCSP_RESPONSE(nullptr, &der, length),
                                                                        &OCSP_RESPONSE_free);
  if (response == nullptr || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
    return t->FallBackWithoutRevocation();
  }
  std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> basic(OCSP_response_get1_basic(response.get()),
                                                                       &OCSP_BASICRESP_free);
  STACK_OF(X509)* chain = SSL_get0_verified_chain(ssl);
  if (basic == nullptr || chain == nullptr || sk_X509_num(chain) < 2) return t->FallBackWithoutRevocation();
  X509_STORE* store = SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl));
  if (OCSP_basic_verify(basic.get(), chain, store, 0) != 1) return t->FallBackWithoutRevocation();
  std::unique_ptr<OCSP_CERTID, decltype(&OCSP_CERTID_free)> id(
      OCSP_cert_to_id(nullptr, sk_X509_value(chain, 0), sk_X509_value(chain, 1)), &OCSP_CERTID_free);
  int status = -1;
  int reason = 0;
  ASN1_GENERALIZEDTIME* revokedAt = nullptr;
  ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
  ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
  if (id == nullptr ||
      OCSP_resp_find_status(basic.get(), id.get(), &status, &reason, &revokedAt, &thisUpdate, &nextUpdate) != 1 ||
      OCSP_check_validity(thisUpdate, nextUpdate, 300, -1) != 1) {
    return t->FallBackWithoutRevocation();
  }
  if (status == V_OCSP_CERTSTATUS_REVOKED) {
    t->revoked = true;
    return 0;  // the handshake fails
  }
  if (status != V_OCSP_CERTSTATUS_GOOD) return t->FallBackWithoutRevocation();
  return 1;
}

KeloHttpComm::KeloHttpComm() {
  RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloHttpComm::KeloHttpComm");
  InitialiseCurl();
}

KeloHttpComm::~KeloHttpComm() {
  RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloHttpComm::~KeloHttpComm");
  WipeClientCertPem();
}

void KeloHttpComm::SetUrl(const std::wstring& url) { url_ = url; }
std::wstring KeloHttpComm::GetUrl() { return url_; }
void KeloHttpComm::SetUserAgent(const std::wstring& userAgent) { userAgent_ = userAgent; }

std::wstring KeloHttpComm::GetUserAgent() {
  if (userAgent_.rfind(L"Mozilla/5.0", 0) == 0) return ObtainUserAgent();
  return userAgent_;
}

int32_t KeloHttpComm::SetVerb(int32_t verb) {
  verb_ = verb;
  return verb;
}
int32_t KeloHttpComm::GetVerb() { return verb_; }
void KeloHttpComm::SetAcceptTypes(const std::wstring& acceptTypes) { acceptTypes_ = acceptTypes; }

void KeloHttpComm::SetTimeouts(int connectMs, int stallMs, int totalMs) {
  connectTimeoutMs_ = connectMs;
  stallTimeoutMs_ = stallMs;
  totalTimeoutMs_ = totalMs;
}

void KeloHttpComm::SetMaxBodySize(size_t bytes) { maxBodySize_ = bytes; }

void KeloHttpComm::InitialiseLibraries() { InitialiseCurl(); }

std::string KeloHttpComm::SystemUserAgent() {
  struct utsname name {};
  if (uname(&name) != 0) return "Mozilla/5.0 (X11; Linux)";
  return std::string("Mozilla/5.0 (X11; ") + name.sysname + " " + name.machine + ")";
}

std::wstring KeloHttpComm::ObtainUserAgent() {
  userAgent_ = Wide(SystemUserAgent());
  TraceWriteFormat(diag::Info, kWebComm, L"UserAgent String konnte aus System ermittelt werden : %s",
                   userAgent_.c_str());
  return userAgent_;
}

bool KeloHttpComm::SplitUrl() {
  if (url_.empty()) {
    TraceWrite(diag::Error, kWebComm, L"Die Url kann nicht geparst werden weil sie leer ist.");
    result_.errorCode = kErrorEmptyUrl;
    return false;
  }
  TraceWrite(diag::Info, kWebComm, L"URL wird geparst:\n");
  TraceWriteFormat(diag::Info, kWebComm, L"%s", url_.c_str());
  CurlPtr<CURLU> parsed(curl_url());
  const auto narrow = platform::WideToUtf8Exact(url_);
  if (parsed == nullptr || !narrow ||
      curl_url_set(parsed.get(), CURLUPART_URL, narrow->c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    TraceWrite(diag::Error, kWebComm, L"Parsen der URL fehlgeschlagen.");
    result_.errorCode = kErrorUrl;
    return false;
  }
  char* part = nullptr;
  curl_url_get(parsed.get(), CURLUPART_SCHEME, &part, 0);
  const std::string scheme = part != nullptr ? part : "";
  curl_free(part);
  if (scheme == "https") {
    secure_ = true;
  } else if (scheme == "http") {
    secure_ = false;
  } else {
    TraceWrite(diag::Error, kWebComm, L"Die geparste URL enthielt keinen unterstützen Protokoll-Typ (ServiceType)");
    result_.errorCode = kErrorScheme;
    return false;
  }
  part = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &part, 0) != CURLUE_OK || part == nullptr) {
    TraceWrite(diag::Error, kWebComm, L"Parsen der URL fehlgeschlagen.");
    result_.errorCode = kErrorUrl;
    return false;
  }
  serverName_ = part;
  curl_free(part);
  part = nullptr;
  curl_url_get(parsed.get(), CURLUPART_PORT, &part, CURLU_DEFAULT_PORT);
  port_ = static_cast<uint16_t>(part != nullptr ? std::atoi(part) : (secure_ ? 443 : 80));
  curl_free(part);
  part = nullptr;
  curl_url_get(parsed.get(), CURLUPART_PATH, &part, 0);
  objectPath_ = part != nullptr ? part : "/";
  curl_free(part);
  part = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_QUERY, &part, 0) == CURLUE_OK && part != nullptr) {
    objectPath_ += std::string("?") + part;
  }
  curl_free(part);
  return true;
}

void KeloHttpComm::OpenTheRequest() {
  if (secure_) {
    TraceWriteFormat(diag::Info, kWebComm, L"INTERNET_FLAG_SECURE wird gesetzt. RequestFlags-Value vorher:[%d]",
                     static_cast<int>(requestFlags_));
    requestFlags_ |= kFlagSecure;
    TraceWriteFormat(diag::Info, kWebComm, L"INTERNET_FLAG_SECURE gesetzt. RequestFlags-Value ist jetzt:[%d]",
                     static_cast<int>(requestFlags_));
  }
  TraceWriteFormat(diag::Warning, kWebComm,
                   L"Ignorieren v. Warnung beim Wechsel des Sicherheitskontext (HTTP/HTTPS) wird gesetzt. "
                   L"RequestFlags-Value vorher:[%d]",
                   static_cast<int>(requestFlags_));
  requestFlags_ |= kFlagIgnoreRedirects;
  TraceWriteFormat(diag::Info, kWebComm,
                   L"INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP wurde gesetzt. "
                   L"RequestFlags-Value ist jetzt:[%d]",
                   static_cast<int>(requestFlags_));
}

bool KeloHttpComm::AskForProxyCredentials() {
  // The helper's answer is a secret: it never reaches a trace or a message.
  const auto answer = platform::AskHelper("proxy", Narrow(url_));
  const size_t colon = answer ? answer->find(':') : std::string::npos;
  if (!answer || colon == std::string::npos) {
    TraceWriteFormat(diag::Warning, kWebComm,
                     L"Proxy-Dialog wurde vom User abgebrochen oder war nicht erforderlich. RC:[%d].", 0);
    return false;
  }
  proxyUser_ = answer->substr(0, colon);
  proxyPassword_ = answer->substr(colon + 1);
  proxyAuthPending_ = false;
  TraceWriteFormat(diag::Info, kWebComm, L"Aufruf von Proxy-Credentials-Dialog erfolgreich. RC:[%d].",
                   static_cast<int>(kInetForceRetry));
  return true;
}

void KeloHttpComm::SelectClientCert() {
  RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloHttpComm::SelectClientCert");
  namespace p11 = platform::pkcs11;
  clientCertPending_ = false;
  // The candidates: the present tokens' certificates that have a key there.
  std::string why;
  std::unique_ptr<p11::Module> module = p11::Module::Open(p11::ModulePath(), &why);
  std::string candidates;
  if (module != nullptr) {
    std::vector<p11::TokenCertificate> found;
    CK_RV rv = CKR_OK;
    const p11::Search search = p11::FindCertificates(*module, "", &found, &rv);
    if (search == p11::Search::kTransient || search == p11::Search::kFailed) {
      TraceWriteFormat(diag::Warning, kWebComm, L"Die Token konnten nicht gelesen werden: %s",
                       Wide(p11::ReturnValueName(rv)).c_str());
    }
    for (const p11::TokenCertificate& c : found) candidates += c.uri + " " + SubjectLine(c.der) + "\n";
    TraceWriteFormat(diag::Info, kWebComm, L"Client-Zertifikate auf Token: [%d].", static_cast<int>(found.size()));
  } else {
    TraceWriteFormat(diag::Info, kWebComm, L"Keine Token-Zertifikate: %s", Wide(why).c_str());
  }
  // The helper gets what is left of the request's time; a helper still
  // running then is killed, and that counts as cancelled.
  const long left = RemainingMs();
  std::optional<std::string> answer;
  if (left > 0) {
    answer = platform::AskHelper("client-cert", serverName_, static_cast<int>(std::min<long>(left, INT32_MAX)),
                                 candidates);
  }
  // Only a pkcs11: URI or an absolute path counts, as printed: a blank at
  // either end or a NUL inside is not trimmed into something else.
  const bool usable = answer && !answer->empty() && answer->find('\0') == std::string::npos &&
                      !std::isspace(static_cast<unsigned char>(answer->front())) &&
                      !std::isspace(static_cast<unsigned char>(answer->back())) &&
                      (answer->rfind("pkcs11:", 0) == 0 || answer->front() == '/');
  if (!usable) {
    if (answer) {
      TraceWrite(diag::Warning, kWebComm,
                 L"Die Antwort der Zertifikatsauswahl ist weder eine pkcs11-URI noch ein absoluter Pfad.");
    }
    CancelClientCert();
    return;
  }
  if (answer->rfind("pkcs11:", 0) == 0) {
    UseTokenCertificate(module, *answer);
    return;
  }
  if (!ReadClientCertFile(*answer)) {
    TraceWrite(diag::Warning, kWebComm, L"Die gewählte PEM-Datei ist keine lesbare reguläre Datei.");
    CancelClientCert();
  }
}

void KeloHttpComm::CancelClientCert() {
  TraceWrite(diag::Warning, kWebComm, L"Zertifikatsauswahl wurde vom User abgebrochen.");
  clientAuthEnd_ = "The choice of a client certificate was cancelled.";
}

bool KeloHttpComm::ReadClientCertFile(const std::string& path) {
  WipeClientCertPem();
  // Opened without blocking (a FIFO never holds the open) and read only
  // when it is a regular file; its text is kept in memory for the request.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  constexpr off_t kMaxPemBytes = 1 << 20;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kMaxPemBytes;
  if (ok) {
    clientCertPem_.assign(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < clientCertPem_.size()) {
      const ssize_t n = read(fd, clientCertPem_.data() + got, clientCertPem_.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    clientCertPem_.resize(got);
    ok = got > 0;
  }
  close(fd);
  if (!ok) WipeClientCertPem();
  return ok;
}

void KeloHttpComm::WipeClientCertPem() {
  if (!clientCertPem_.empty()) explicit_bzero(clientCertPem_.data(), clientCertPem_.size());
  clientCertPem_.clear();
}

void KeloHttpComm::UseTokenCertificate(std::unique_ptr<rimo::platform::pkcs11::Module>& module,
                                       const std::string& uri) {
  namespace p11 = platform::pkcs11;
  if (tokenKey_ != nullptr && uri == tokenKeyUri_) return;  // chosen and logged in already
  std::vector<p11::TokenCertificate> chosen;
  if (module == nullptr || !p11::IsUsableUri(uri) || p11::FindCertificates(*module, uri, &chosen) != p11::Search::kFound) {
    // The answer selects nothing usable: as if nothing had been chosen.
    TraceWrite(diag::Warning, kWebComm,
               L"Die gewählte pkcs11-URI bezeichnet kein Zertifikat mit Schlüssel auf einem vorhandenen Token.");
    CancelClientCert();
    return;
  }
  const p11::TokenCertificate& c = chosen.front();
  const std::string label = "\"" + c.tokenLabel + "\"";
  if (tokenLoginTried_) {
    clientAuthEnd_ = "The PIN of the token " + label + " was asked once in this request already; it is not tried again.";
    return;
  }
  const long left = RemainingMs();
  const std::unique_ptr<platform::SecretText> pin =
      left > 0 ? platform::AskSecret("pin", c.tokenLabel, static_cast<int>(std::min<long>(left, INT32_MAX)))
               : nullptr;
  if (pin == nullptr) {
    TraceWrite(diag::Warning, kWebComm, L"PIN-Eingabe wurde vom User abgebrochen.");
    clientAuthEnd_ = "The PIN entry for the token " + label + " was cancelled.";
    return;
  }
  // A NUL cannot be part of a PIN: it is never sent to the token.
  if (std::memchr(pin->data(), '\0', pin->size()) != nullptr) {
    pin->Wipe();
    clientAuthEnd_ = "The PIN entered for the token " + label + " contains a NUL byte; it is not used.";
    return;
  }
  // One login, ours, with the PIN as it was entered: a wrong PIN is never
  // handed to the engine, whose own login could try it again.
  tokenLoginTried_ = true;
  const CK_RV rv = p11::CheckPin(*module, c.slot, pin->data(), pin->size());
  if (rv != CKR_OK) {
    pin->Wipe();
    if (rv == CKR_PIN_INCORRECT) {
      clientAuthEnd_ = "The PIN for the token " + label + " is wrong (tried once, not again).";
    } else if (rv == CKR_PIN_LOCKED) {
      clientAuthEnd_ = "The PIN of the token " + label + " is locked.";
    } else {
      clientAuthEnd_ = "The token " + label + " refused the login: " + p11::ReturnValueName(rv) + ".";
    }
    return;
  }
  // The engine loads the module itself: this use of it ends first.
  module.reset();
  std::string why;
  tokenKey_ = TokenKey::Load(p11::ModulePath(), c.tokenLabel, c.keyUri, c.der, pin->data(), pin->size(), &why);
  pin->Wipe();
  if (tokenKey_ == nullptr) {
    clientAuthEnd_ = "The key on the token " + label + " cannot be used: " + why;
    return;
  }
  tokenKeyUri_ = uri;
  WipeClientCertPem();
  TraceWrite(diag::Info, kWebComm, L"Client-Zertifikat auf dem Token wird verwendet.");
}

bool KeloHttpComm::EndedByClientAuth() {
  if (clientAuthEnd_.empty()) return false;
  TraceWriteFormat(diag::Error, kWebComm, diag::text::kClientAuthEnded, Wide(clientAuthEnd_).c_str());
  result_.errorCode = kErrorClientAuth;
  if (result_.httpStatus == 0) result_.wininetCode = kInetClientCertNeeded;
  result_.message = Wide(clientAuthEnd_);
  done_ = true;
  return true;
}

void KeloHttpComm::ReleaseTokenKey() {
  tokenKey_.reset();
  tokenKeyUri_.clear();
  tokenLoginTried_ = false;
}

void KeloHttpComm::HandleInetEx(const char* method, uint32_t code, const std::wstring& text, bool isError) {
  TraceWriteFormat(isError ? diag::Error : diag::Info, kWebComm, L"CInternetException in %S:RC[%d]%s", method,
                   static_cast<int>(code), text.c_str());
  result_.errorCode = kErrorTransport;
  result_.wininetCode = code;
  result_.message = text;
}

long KeloHttpComm::RemainingMs() const {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count());
}

void KeloHttpComm::ReadLimits() {
  auto limit = [this](const char* name, int fallback) {
    const std::optional<uint32_t> value = registry_.ReadDword(rimo::config::kPackageKey, name);
    if (!value || *value == 0) return fallback;
    return static_cast<int>(std::min<uint32_t>(*value, 24u * 3600 * 1000));
  };
  connectMs_ = limit("HttpConnectTimeout", connectTimeoutMs_);
  stallMs_ = limit("HttpStallTimeout", stallTimeoutMs_);
  totalMs_ = limit("HttpRequestTimeout", totalTimeoutMs_);
  TraceWriteFormat(diag::Info, kWebComm, L"Zeitlimits: Verbindung [%d] ms, Stillstand [%d] ms, Request [%d] ms.",
                   connectMs_, stallMs_, totalMs_);
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs_);
}

void KeloHttpComm::SetSecurityOptions(Transfer& transfer) {
  if (securityFlags_ == 0) return;
  TraceWriteFormat(diag::Info, kWebComm, L"Aktuelle gesetzter SecurityOption-Value ist [%d]",
                   static_cast<int>(transfer.appliedSecurityFlags));
  const uint32_t combined = transfer.appliedSecurityFlags | securityFlags_;
  TraceWriteFormat(diag::Info, kWebComm, L"Neu gesetzt wird SecurityOption-Value [%d]", static_cast<int>(combined));
  // Revocation checking is decided by the handshake callbacks from
  // securityFlags_ (0x80: no stapled status is asked for).
  transfer.appliedSecurityFlags = combined;
  TraceWriteFormat(diag::Info, kWebComm, L"INTERNET_OPTION_SECURITY_FLAGS wurde gesetzt. Value ist jetzt [%d].",
                   static_cast<int>(transfer.appliedSecurityFlags));
}

int KeloHttpComm::PerformFollowingRedirects(Transfer& transfer, CurlFailure* failure) {
  CURL* easy = transfer.easy.get();
  const std::string first = Narrow(url_);
  curl_easy_setopt(easy, CURLOPT_URL, first.c_str());
  std::string target;
  bool reachedHttps = secure_;
  for (int redirects = 0;; ++redirects) {
    const long remaining = RemainingMs();
    if (remaining <= 0 || cancelled_.load()) {
      failure->curlCode = CURLE_OPERATION_TIMEDOUT;
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "The request's time limit of %d ms is spent.", totalMs_);
      return CURLE_OPERATION_TIMEDOUT;
    }
    // One deadline for the execution: each transfer gets what is left.
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, remaining);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::min<long>(connectMs_, remaining));
    transfer.headerBytes = 0;
    transfer.interimAnswers = 0;
    transfer.answering = false;
    transfer.headersComplete = false;
    transfer.stalled = false;
    transfer.progressBytes = 0;
    transfer.lastProgress = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(easy);
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    transfer.connections += connects;
    failure->curlCode = code;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &failure->responseCode);
    // Headers whole, body not: the server did answer, and with what status.
    failure->answerCut = (code == CURLE_PARTIAL_FILE || code == CURLE_RECV_ERROR) && transfer.headersComplete &&
                         failure->responseCode >= 200;
    if (code == CURLE_ABORTED_BY_CALLBACK && cancelled_.load()) {
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "The request was cancelled.");
      failure->curlCode = CURLE_OPERATION_TIMEDOUT;
      return CURLE_OPERATION_TIMEDOUT;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && transfer.stalled) {
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "No byte arrived for %d ms.", stallMs_);
      failure->curlCode = CURLE_OPERATION_TIMEDOUT;
      return CURLE_OPERATION_TIMEDOUT;
    }
    if (code == CURLE_OK && !transfer.headersComplete) {
      // The connection closed before the answer's headers were complete:
      // no answer, whatever status line came.
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "The connection closed before the answer was complete.");
      failure->curlCode = CURLE_PARTIAL_FILE;
      return CURLE_PARTIAL_FILE;
    }
    if (code == CURLE_RECV_ERROR && ErrnoInText(transfer.errorBuffer) == 0 &&
        std::strstr(transfer.errorBuffer, "chunk") != nullptr) {
      // A chunked body that does not follow its own framing: malformed.
      failure->curlCode = CURLE_WEIRD_SERVER_REPLY;
      return CURLE_WEIRD_SERVER_REPLY;
    }
    if (code != CURLE_OK || failure->responseCode < 300 || failure->responseCode >= 400) return code;
    char* location = nullptr;
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
    if (location == nullptr) return code;  // a 3xx without a target is the answer
    target = location;
    TraceStatus(kStatusRedirect);
    // Every target is checked before a resolver or a server is asked.
    if (redirects + 1 > kMaxRedirects) {
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "More than %d redirects.", kMaxRedirects);
      failure->curlCode = CURLE_TOO_MANY_REDIRECTS;
      return CURLE_TOO_MANY_REDIRECTS;
    }
    CurlPtr<CURLU> parsed(curl_url());
    char* part = nullptr;
    std::string scheme, host;
    if (parsed != nullptr && curl_url_set(parsed.get(), CURLUPART_URL, target.c_str(), 0) == CURLUE_OK) {
      if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &part, 0) == CURLUE_OK && part != nullptr) scheme = part;
      curl_free(part);
      part = nullptr;
      if (curl_url_get(parsed.get(), CURLUPART_HOST, &part, 0) == CURLUE_OK && part != nullptr) host = part;
      curl_free(part);
    }
    if (scheme == "http" && (secure_ || reachedHttps)) {
      // A request that was HTTPS at any hop never goes on in clear text.
      failure->redirectToHttp = true;
      return CURLE_UNSUPPORTED_PROTOCOL;
    }
    if (scheme == "https") reachedHttps = true;
    if ((scheme != "http" && scheme != "https") || host.empty()) {
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "A redirect to an unusable address was refused.");
      failure->curlCode = CURLE_UNSUPPORTED_PROTOCOL;
      return CURLE_UNSUPPORTED_PROTOCOL;
    }
    if (ReservedInvalidName(host)) {
      std::snprintf(transfer.errorBuffer, CURL_ERROR_SIZE, "The redirect's host name is reserved and never resolves.");
      failure->reservedName = true;
      return CURLE_COULDNT_RESOLVE_HOST;
    }
    chunks_.clear();
    transfer.bodyBytes = 0;
    curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
  }
}

bool KeloHttpComm::SendRequest(Transfer& transfer) {
  CURL* easy = transfer.easy.get();
  int failures = 0;
  int clientCertPasses = 0;
  bool sent = false;
  for (;;) {
    result_ = HttpRequestResult{};
    TraceWrite(diag::Info, kWebComm, L"Request-State cleared.");
    if (RemainingMs() <= 0) {
      // The execution's time is spent (by the sends before this one).
      HandleInetEx("WebCommLib::KeloHttpComm::SendRequest", kInetTimeout,
                   L"The request's time limit of " + std::to_wstring(totalMs_) + L" ms is spent.", true);
      done_ = true;
      break;
    }
    TraceWrite(diag::Info, kWebComm, L"Request wird gesendet.");
    chunks_.clear();
    transfer.bodyBytes = 0;
    transfer.bodyTooLarge = false;
    transfer.headerOverflow = false;
    transfer.clientCertRequested = false;
    transfer.revoked = false;
    transfer.errorBuffer[0] = '\0';
    if (!proxyUser_.empty()) {
      curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxyUser_.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxyPassword_.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
    if (!clientCertPem_.empty()) {
      // Borrowed, not copied: curl keeps no copy of the key to wipe.
      curl_blob pem{clientCertPem_.data(), clientCertPem_.size(), CURL_BLOB_NOCOPY};
      curl_easy_setopt(easy, CURLOPT_SSLCERT_BLOB, &pem);
      curl_easy_setopt(easy, CURLOPT_SSLKEY_BLOB, &pem);
      curl_easy_setopt(easy, CURLOPT_SSLCERTTYPE, "PEM");
      curl_easy_setopt(easy, CURLOPT_SSLKEYTYPE, "PEM");
    } else {
      // A token's certificate, if one was chosen, is set on each TLS context.
      curl_easy_setopt(easy, CURLOPT_SSLCERT_BLOB, nullptr);
      curl_easy_setopt(easy, CURLOPT_SSLKEY_BLOB, nullptr);
    }
    ++sends_;
    CurlFailure failure;
    const CURLcode code = static_cast<CURLcode>(PerformFollowingRedirects(transfer, &failure));
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &failure.connectCode);
    long osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    // What the message names wins: curl's errno may be a later call's.
    const int named = ErrnoInText(transfer.errorBuffer);
    failure.osErrno = named != 0 ? named : static_cast<int>(osErrno);
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &failure.verifyResult);
    failure.clientCertRequested = transfer.clientCertRequested;
    failure.revoked = transfer.revoked;
    failure.bodyTooLarge = transfer.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED;
    failure.headerOverflow = transfer.headerOverflow;
    TraceStatus(kStatusRequestComplete);

    if (code == CURLE_OK || failure.connectCode == 407) {
      // A proxy's refusal of CONNECT is an answer (407), not a failure.
      result_.httpStatus = static_cast<int32_t>(code == CURLE_OK ? failure.responseCode : failure.connectCode);
      TraceWriteFormat(diag::Info, kWebComm, L"QueryInfoStatusCode() HttpStatus:[%d]", result_.httpStatus);
      TraceWriteFormat(diag::Info, kWebComm, L"SendRequest() war erfolgreich. HTTP-Status[%d].", result_.httpStatus);
      sent = true;
      break;
    }
    chunks_.clear();
    const uint32_t wininet = WinInetCodeOf(failure);
    std::string text = transfer.errorBuffer[0] != '\0' ? transfer.errorBuffer : curl_easy_strerror(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (failure.revoked) text = "The server's certificate has been revoked.";
    if (failure.redirectToHttp) text = "A redirect from HTTPS to HTTP was refused.";
    if (failure.bodyTooLarge) {
      text = "The answer is larger than " + std::to_string(maxBodySize_) + " bytes and was refused.";
    }
    if (failure.headerOverflow) {
      text = "The answer's headers exceed " + std::to_string(kMaxHeaderBytes) + " bytes or " +
             std::to_string(kMaxInterimAnswers) + " interim answers and were refused.";
    }

    if (wininet == kInetClientCertNeeded) {
      TraceWrite(diag::Info, kWebComm, L"Aufruf von SendRequest() meldet: Server fordert ein Client Zertifikat.");
      HandleInetEx("WebCommLib::KeloHttpComm::SendRequest", wininet, Wide(text), false);
      result_.errorCode = kErrorClientAuth;
      if (++clientCertPasses >= kMaxClientCertPasses) {
        done_ = true;
        break;
      }
      clientCertPending_ = true;
      SelectClientCert();
      if (EndedByClientAuth()) break;
      TraceWrite(diag::Info, kWebComm, L"Client-Zertifikat wurde ausgewählt.Request wird wiederholt.");
      continue;
    }
    HandleInetEx("WebCommLib::KeloHttpComm::SendRequest", wininet, Wide(text), true);
    // An answer refused for its size or form, a refused redirect, a revoked
    // or unverifiable certificate: the same again every time. A cancelled
    // execution is never repeated either.
    // The last failure is the execution's result; a cut answer's status is
    // part of it.
    auto keepCutAnswer = [this, &failure] {
      if (!failure.answerCut) return;
      result_.httpStatus = static_cast<int32_t>(failure.responseCode);
      result_.answerCut = true;
      TraceWriteFormat(diag::Error, kWebComm, rimo::diag::text::kAnswerCut, result_.httpStatus);
    };
    if (NeverRepeated(failure) || cancelled_.load()) {
      keepCutAnswer();
      done_ = true;
      break;
    }
    ++failures;
    TraceWriteFormat(diag::Info, kWebComm,
                     L"SendRequest() durchlaufen mit WininetCode [%d],HTTP-Status [%d], LastError [%d]",
                     static_cast<int>(wininet), static_cast<int>(failure.responseCode), failure.osErrno);
    if (failures < kMaxFailedSends && RemainingMs() < std::min(connectMs_, kMinimumRepetitionMs)) {
      // Too little time is left for a repetition to get anywhere: this
      // failure is the execution's result.
      TraceWriteFormat(diag::Error, kWebComm,
                       L"Für eine Wiederholung bleibt zu wenig Zeit (%d ms). Gebe auf.",
                       static_cast<int>(std::max(0L, RemainingMs())));
      keepCutAnswer();
      done_ = true;
      break;
    }
    if (failures >= kMaxFailedSends) {
      keepCutAnswer();
      done_ = true;
      TraceWrite(diag::Error, kWebComm, L"Verbindungsversuch mit SendRequest wiederholt fehlgeschlagen. Gebe auf.");
      break;
    }
  }
  return sent;
}

HttpRequestResult KeloHttpComm::ExecuteHttpRequest(const std::wstring& url) {
  url_ = url;
  return ExecuteHttpRequest();
}

HttpRequestResult KeloHttpComm::ExecuteHttpRequest() {
  RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloHttpComm::ExecuteHttpRequest");
  proxyAuthPending_ = false;
  clientCertPending_ = false;
  clientAuthEnd_.clear();
  ReleaseTokenKey();
  contentRead_ = false;
  content_.reset();
  contentLength_ = -1;
  chunks_.clear();
  done_ = false;
  sends_ = 0;
  result_ = HttpRequestResult{};
  ReadLimits();
  if (!SplitUrl()) return result_;
  if (userAgent_ == L"Mozilla/5.0") ObtainUserAgent();
  if (ReservedInvalidName(serverName_)) {
    // Names under .invalid never resolve (RFC 6761): no resolver is asked.
    HandleInetEx("WebCommLib::KeloHttpComm::ExecuteHttpRequest", kInetNameNotResolved,
                 L"The host name " + Wide(serverName_) + L" is reserved and never resolves.", true);
    return result_;
  }

  // The token's key (and the engine holding it) goes after the transfer's
  // handles, which may still hold a TLS context using it.
  struct TokenKeyRelease {
    KeloHttpComm* self;
    ~TokenKeyRelease() { self->ReleaseTokenKey(); }
  } tokenKeyRelease{this};
  Transfer transfer;
  transfer.owner = this;
  transfer.easy.reset(curl_easy_init());
  if (transfer.easy == nullptr) {
    result_.errorCode = kErrorOpenRequest;
    result_.message = L"Keine Exception, aber ein Fehler in OpenRequest.";
    TraceWriteFormat(diag::Error, kWebComm, L"Keine Exception, aber ein Fehler in OpenRequest.LastError [%d]", 0);
    return result_;
  }
  OpenTheRequest();
  CURL* easy = transfer.easy.get();
  const std::string url = Narrow(url_);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // The path is sent as built: no dot segment is removed from it.
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  // Redirects are followed here, one by one, so that each target is checked
  // (scheme, reserved names) before it is resolved or connected to.
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::OnConnected);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(1, (stallMs_ + 999) / 1000)));
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodySize_));
  // Peers are verified against the machine root store, and only against it.
  const std::string caPath = rimo::crypto::RootStore::Directory();
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, caPath.c_str());
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Transfer::OnSslContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
  SetSecurityOptions(transfer);

  headers_ = L"Accept: " + acceptTypes_ + L"\r\nUser-Agent: " + userAgent_ + L"\r\n";
  TraceWriteFormat(diag::Info, kWebComm, L"These http headers will be sent: %s", headers_.c_str());
  curl_slist* list = curl_slist_append(nullptr, ("Accept: " + Narrow(acceptTypes_)).c_str());
  if (list != nullptr) transfer.headers.reset(list);
  list = list != nullptr ? curl_slist_append(list, ("User-Agent: " + Narrow(userAgent_)).c_str()) : nullptr;
  if (list == nullptr) {
    result_.errorCode = kErrorOpenRequest;
    result_.message = L"Error adding request header.";
    TraceWriteFormat(diag::Error, kWebComm, L"RequestHeader could not be added. Last Error: [%d].", 0);
  } else {
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    TraceWriteFormat(diag::Info, kWebComm, L"AddRequestHeaders was sucessfull. Method returned: [%d].", 1);
  }

  int proxyAttempts = 0;
  int clientAuthAttempts = 0;
  while (!done_) {
    if (proxyAuthPending_) AskForProxyCredentials();
    if (clientCertPending_) SelectClientCert();
    if (EndedByClientAuth()) break;
    if (!SendRequest(transfer)) continue;
    const int32_t status = result_.httpStatus;
    if (status == 407) {
      result_.errorCode = kErrorProxyAuth;
      if (++proxyAttempts < kMaxProxyAttempts) {
        TraceWriteFormat(diag::Warning, kWebComm,
                         L"Proxy-Authentifizierung erforderlich. HTTP [%d]'HTTP_STATUS_PROXY_AUTH_REQ'.", status);
        proxyAuthPending_ = true;
        AskForProxyCredentials();
        continue;
      }
      TraceWriteFormat(diag::Error, kWebComm,
                       L"Proxy-Authentifizierung ist zum %d. Mal fehlgeschlagen.HTTP [%d].Request wird beendet.",
                       proxyAttempts, status);
      done_ = true;
    } else if (status == 403) {
      result_.errorCode = kErrorClientAuth;
      if (++clientAuthAttempts < kMaxClientAuthAttempts) {
        TraceWriteFormat(diag::Error, kWebComm,
                         L"Client-Authentifizierung erforderlich. HTTP [%d] 'HTTP_STATUS_FORBIDDEN'. Wiederhole.",
                         status);
        clientCertPending_ = true;
        SelectClientCert();
        if (EndedByClientAuth()) break;
        continue;
      }
      TraceWriteFormat(diag::Error, kWebComm,
                       L"Client-Authentifizierung ist zum %d. Mal fehlgeschlagen.HTTP [%d].Request wird beendet.",
                       clientAuthAttempts, status);
      done_ = true;
    } else {
      TraceWriteFormat(diag::Info, kWebComm, L"HTTP-Request done. HTTP State Code: [%d].", status);
      done_ = true;
    }
  }
  connections_ = transfer.connections;
  return result_;
}

bool KeloHttpComm::ReadHttpContentAndLength() {
  RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloHttpComm::ReadHttpContentAndLength");
  size_t total = 0;
  for (const auto& chunk : chunks_) total += chunk->used;
  contentLength_ = static_cast<int32_t>(total);
  TraceWriteFormat(diag::Info, kWebComm, L"Ermittelte HttpContentLength: [%d] Bytes", contentLength_);
  bool result = false;
  if (total != 0) {
    // Joined once into a buffer of the exact size.
    content_ = std::make_unique<uint8_t[]>(total);
    size_t at = 0;
    for (const auto& chunk : chunks_) {
      std::memcpy(content_.get() + at, chunk->bytes, chunk->used);
      at += chunk->used;
    }
    result = true;
  }
  contentRead_ = true;
  chunkSizes_.clear();
  for (const auto& chunk : chunks_) chunkSizes_.push_back(chunk->used);
  chunks_.clear();
  return result;
}

int32_t KeloHttpComm::GetHttpContentLength() {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"WebCommLib::KeloHttpComm::GetHttpContentLength");
  if (!contentRead_) ReadHttpContentAndLength();
  return contentLength_;
}

bool KeloHttpComm::GetHttpContent(uint8_t* buffer) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"WebCommLib::KeloHttpComm::GetHttpContent");
  if (!contentRead_) ReadHttpContentAndLength();
  if (buffer == nullptr) return false;
  if (contentLength_ > 0) std::memcpy(buffer, content_.get(), static_cast<size_t>(contentLength_));
  return true;
}

bool KeloHttpComm::WriteBinaryFileFromContent(const std::wstring& path) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"WebCommLib::KeloHttpComm::WriteBinaryFileFromContent");
  return WriteFileFromContent(L"wb", path);
}

bool KeloHttpComm::WriteXmlFileFromContent(const std::wstring& path) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"WebCommLib::KeloHttpComm::WriteXmlFileFromContent");
  return WriteFileFromContent(L"wb", path);
}

bool KeloHttpComm::WriteFileFromContent(const wchar_t* mode, const std::wstring& path) {
  RIMO_METHOD_TRACE_AT(diag::Info, kWebComm, L"WebCommLib::KeloHttpComm::WriteFileFromContent");
  if (!contentRead_) ReadHttpContentAndLength();
  TraceWriteFormat(diag::Info, kWebComm, L"Handle zu <%s> wird geöffnet mit Filemode <%s> ", path.c_str(), mode);
  const auto narrow = platform::WideToUtf8Exact(path);
  const size_t slash = narrow ? narrow->rfind('/') : std::string::npos;
  const std::string dir = slash == std::string::npos ? std::string(".") : narrow->substr(0, slash + 1);
  if (!narrow || !platform::IsDirectory(dir)) {
    TraceWriteFormat(diag::Error, kWebComm, L"Fehler beim Erzeugen der Datei <%s>.Das Verzeichnis existiert nicht.",
                     path.c_str());
    return false;
  }
  // Never half-written: a temporary file beside it, flushed, then renamed.
  const std::string_view bytes(reinterpret_cast<const char*>(content_.get()),
                               contentLength_ > 0 ? static_cast<size_t>(contentLength_) : 0);
  const bool ok = platform::ReplaceFileAtomically(*narrow, bytes);
  if (!ok) {
    TraceWriteFormat(diag::Error, kWebComm, L"Fehler beim Erzeugen der Datei <%s>.RetrunCode[%d]", path.c_str(),
                     errno);
  }
  TraceWriteFormat(diag::Info, kWebComm, L"Handle zu <%s> wird geschlossen.", path.c_str());
  // The replacement's close and rename are part of its result.
  TraceWriteFormat(ok ? diag::Info : diag::Error, kWebComm, L"Handle zu <%s> %s geschlossen.fclose returned[%d]",
                   path.c_str(), ok ? L"erfolgreich" : L"nicht", ok ? 0 : -1);
  TraceWriteFormat(diag::Info, kWebComm, L"Pointer zu %s ist jetzt nullptr", path.c_str());
  return ok;
}

}  // namespace WebCommLib
