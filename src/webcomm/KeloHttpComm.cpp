#include "webcomm/KeloHttpComm.h"

#include <curl/curl.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <sys/utsname.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "crypto/RootStore.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Askpass.h"
#include "platform/FileIo.h"
#include "platform/Folders.h"
#include "platform/Utf8.h"
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
constexpr long kMaxRedirects = 5;

void InitialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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

bool ReservedInvalidName(const std::string& host) {
  std::string lower;
  for (char c : host) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
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
  long connections = 0;

  static size_t OnBody(char* data, size_t size, size_t count, void* self);
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

CURLcode KeloHttpComm::Transfer::OnSslContext(CURL*, void* sslContext, void* self) {
  auto* t = static_cast<Transfer*>(self);
  auto* ctx = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_ex_data(ctx, TransferExIndex(), t);
  SSL_CTX_set_client_cert_cb(ctx, &Transfer::OnClientCertRequest);
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

KeloHttpComm::~KeloHttpComm() { RIMO_METHOD_TRACE(kWebComm, L"WebCommLib::KeloHttpComm::~KeloHttpComm"); }

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
  const auto file = platform::AskHelper("client-cert", serverName_);
  if (file) clientCertFile_ = *file;
  clientCertPending_ = false;
}

void KeloHttpComm::HandleInetEx(const char* method, uint32_t code, const std::wstring& text, bool isError) {
  TraceWriteFormat(isError ? diag::Error : diag::Info, kWebComm, L"CInternetException in %S:RC[%d]%s", method,
                   static_cast<int>(code), text.c_str());
  result_.errorCode = kErrorTransport;
  result_.wininetCode = code;
  result_.message = text;
}

bool KeloHttpComm::SendRequest(Transfer& transfer) {
  CURL* easy = transfer.easy.get();
  int failures = 0;
  int clientCertPasses = 0;
  bool sent = false;
  for (;;) {
    result_ = HttpRequestResult{};
    TraceWrite(diag::Info, kWebComm, L"Request-State cleared.");
    TraceWrite(diag::Info, kWebComm, L"Request wird gesendet.");
    chunks_.clear();
    transfer.bodyBytes = 0;
    transfer.bodyTooLarge = false;
    transfer.clientCertRequested = false;
    transfer.revoked = false;
    transfer.errorBuffer[0] = '\0';
    if (!proxyUser_.empty()) {
      curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxyUser_.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxyPassword_.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
    if (!clientCertFile_.empty()) {
      curl_easy_setopt(easy, CURLOPT_SSLCERT, clientCertFile_.c_str());
      curl_easy_setopt(easy, CURLOPT_SSLKEY, clientCertFile_.c_str());
    }
    ++sends_;
    const CURLcode code = curl_easy_perform(easy);
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    transfer.connections += connects;

    CurlFailure failure;
    failure.curlCode = code;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &failure.connectCode);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &failure.responseCode);
    long osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    failure.osErrno = static_cast<int>(osErrno);
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &failure.verifyResult);
    failure.clientCertRequested = transfer.clientCertRequested;
    failure.revoked = transfer.revoked;
    failure.bodyTooLarge = transfer.bodyTooLarge;
    if (code == CURLE_UNSUPPORTED_PROTOCOL && failure.responseCode >= 300 && failure.responseCode < 400) {
      // The refused target is left as the effective URL.
      char* location = nullptr;
      curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &location);
      failure.redirectToHttp = location != nullptr && std::strncmp(location, "http:", 5) == 0;
    }

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
      TraceWrite(diag::Info, kWebComm, L"Client-Zertifikat wurde ausgewählt.Request wird wiederholt.");
      continue;
    }
    HandleInetEx("WebCommLib::KeloHttpComm::SendRequest", wininet, Wide(text), true);
    // A revoked certificate, a refused redirect or a refused body answer the
    // same way every time: never sent again.
    if (failure.revoked || failure.redirectToHttp || failure.bodyTooLarge) {
      done_ = true;
      break;
    }
    ++failures;
    TraceWriteFormat(diag::Info, kWebComm,
                     L"SendRequest() durchlaufen mit WininetCode [%d],HTTP-Status [%d], LastError [%d]",
                     static_cast<int>(wininet), static_cast<int>(failure.responseCode), failure.osErrno);
    if (failures >= kMaxFailedSends) {
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
  contentRead_ = false;
  content_.reset();
  contentLength_ = -1;
  chunks_.clear();
  done_ = false;
  sends_ = 0;
  result_ = HttpRequestResult{};
  if (!SplitUrl()) return result_;
  if (userAgent_ == L"Mozilla/5.0") ObtainUserAgent();
  if (ReservedInvalidName(serverName_)) {
    // Names under .invalid never resolve (RFC 6761): no resolver is asked.
    HandleInetEx("WebCommLib::KeloHttpComm::ExecuteHttpRequest", kInetNameNotResolved,
                 L"The host name " + Wide(serverName_) + L" is reserved and never resolves.", true);
    return result_;
  }

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
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  // An HTTPS request never follows a redirect into clear text.
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure_ ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs_));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeoutMs_));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(1, stallTimeoutMs_ / 1000)));
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodySize_));
  // Peers are verified against the machine root store, and only against it.
  const std::string caPath = rimo::crypto::RootStore::Directory();
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, caPath.c_str());
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Transfer::OnSslContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);

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
  TraceWriteFormat(diag::Info, kWebComm, L"Pointer zu %s ist jetzt nullptr", path.c_str());
  return ok;
}

}  // namespace WebCommLib
