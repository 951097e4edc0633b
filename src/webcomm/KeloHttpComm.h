// HTTP and HTTPS requests on libcurl (OpenSSL), with the data center's needs
// on users' machines: TLS verified against the machine root store only,
// proxies from the environment with credentials from the askpass helper, a
// client certificate chosen through the helper when the server asks for one
// (a PEM file, or a certificate on a token whose key stays there), stapled
// certificate status with a fallback when it is missing, bounded
// repetitions and time-outs, and a result record with WinInet numbers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "webcomm/IKeloHttpFunctions.h"
#include "webcomm/WinInetCodes.h"

namespace rimo::platform::pkcs11 {
class Module;
}

namespace WebCommLib {

class TokenKey;

class KeloHttpComm final : public IKeloHttpFunctions {
 public:
  static constexpr uint32_t kFlagExistingConnect = 0x20000000;
  static constexpr uint32_t kFlagSecure = 0x00800000;
  static constexpr uint32_t kFlagIgnoreRedirects = 0x0000C000;
  static constexpr uint32_t kSecurityIgnoreRevocation = 0x80;
  static constexpr size_t kChunkSize = 4096;

  KeloHttpComm();
  ~KeloHttpComm();
  KeloHttpComm(const KeloHttpComm&) = delete;
  KeloHttpComm& operator=(const KeloHttpComm&) = delete;

  void SetUrl(const std::wstring& url) override;
  std::wstring GetUrl() override;
  void SetUserAgent(const std::wstring& userAgent) override;
  std::wstring GetUserAgent() override;
  int32_t SetVerb(int32_t verb) override;
  int32_t GetVerb() override;
  void SetAcceptTypes(const std::wstring& acceptTypes) override;
  HttpRequestResult ExecuteHttpRequest(const std::wstring& url) override;
  HttpRequestResult ExecuteHttpRequest() override;
  bool GetHttpContent(uint8_t* buffer) override;
  int32_t GetHttpContentLength() override;
  bool WriteBinaryFileFromContent(const std::wstring& path) override;
  bool WriteXmlFileFromContent(const std::wstring& path) override;

  // Limits of one execution (defaults 30 s, 30 s, 120 s, 16 MiB). The
  // registry values "HttpConnectTimeout", "HttpStallTimeout" and
  // "HttpRequestTimeout" (DWORD, milliseconds; 0 or missing: the default)
  // of the package key override the time limits at each execution. The
  // request limit bounds the whole execution: every repetition and redirect
  // included. A stall is a time without a single byte arriving.
  void SetTimeouts(int connectMs, int stallMs, int totalMs);
  // The limits the last execution ran with.
  int ConnectTimeoutOfLastExecution() const { return connectMs_; }
  int StallTimeoutOfLastExecution() const { return stallMs_; }
  int RequestTimeoutOfLastExecution() const { return totalMs_; }
  void SetMaxBodySize(size_t bytes);
  // Ends the running execution as soon as libcurl next reports progress
  // (within a fraction of a second) and makes every later one fail at once
  // without sending. Safe from any thread.
  void Cancel() { cancelled_.store(true); }

  uint32_t RequestFlags() const { return requestFlags_; }
  uint32_t SecurityFlags() const { return securityFlags_; }
  bool Secure() const { return secure_; }
  // What the last execution took: sends, and connections opened for them.
  int SendsOfLastExecution() const { return sends_; }
  long ConnectionsOfLastExecution() const { return connections_; }
  // The sizes of the pieces the last body was collected in.
  const std::vector<uint32_t>& ChunkSizesOfLastBody() const { return chunkSizes_; }

  // The system's user agent, built from uname: "Mozilla/5.0 (X11; Linux x86_64)".
  static std::string SystemUserAgent();
  // curl's and the TLS library's process-wide state, made once; also done by
  // the first request.
  static void InitialiseLibraries();

 private:
  struct Transfer;
  struct Chunk {
    uint8_t bytes[kChunkSize];
    uint32_t used = 0;
  };

  bool SplitUrl();
  std::wstring ObtainUserAgent();
  void OpenTheRequest();
  bool AskForProxyCredentials();
  // Asks the helper for a client certificate, offering the present tokens'
  // certificates. A token certificate is used only after one login with the
  // PIN the helper gives; a wrong or locked PIN ends the request
  // (clientAuthEnd_ says why).
  void SelectClientCert();
  void UseTokenCertificate(std::unique_ptr<rimo::platform::pkcs11::Module>& module, const std::string& uri);
  // After the transfer's handles are gone: the token's key and the engine
  // holding it go, and the next execution may log in again.
  void ReleaseTokenKey();
  // The user cancelled the choice (or answered nothing usable): the request
  // ends (clientAuthEnd_).
  void CancelClientCert();
  // Reads the PEM file at path (a regular file only, opened without
  // blocking) into clientCertPem_; false when it cannot be had.
  bool ReadClientCertFile(const std::string& path);
  void WipeClientCertPem();
  // True when the client certificate's choice ended the request: the result
  // then says why (client authentication, 12044 unless the server answered).
  bool EndedByClientAuth();
  bool SendRequest(Transfer& transfer);
  // One send: the request and the redirects it is answered with, each
  // target checked before any connection to it.
  int PerformFollowingRedirects(Transfer& transfer, CurlFailure* failure);
  void ReadLimits();
  long RemainingMs() const;
  void SetSecurityOptions(Transfer& transfer);
  bool ReadHttpContentAndLength();
  bool WriteFileFromContent(const wchar_t* method, const std::wstring& path);
  void HandleInetEx(const char* method, uint32_t code, const std::wstring& text, bool isError);

  std::wstring url_;
  std::wstring userAgent_ = L"Mozilla/5.0";
  std::wstring acceptTypes_ = L"*/*";
  int32_t verb_ = kVerbGet;
  uint32_t requestFlags_ = kFlagExistingConnect;
  uint32_t securityFlags_ = 0;
  std::string serverName_;
  std::string objectPath_;
  uint16_t port_ = 80;
  bool secure_ = false;
  std::wstring headers_;

  bool proxyAuthPending_ = false;
  bool clientCertPending_ = false;
  bool contentRead_ = false;
  bool done_ = false;
  int sends_ = 0;
  long connections_ = 0;
  std::vector<uint32_t> chunkSizes_;
  HttpRequestResult result_;

  // Entered through the askpass helper; kept in memory only.
  std::string proxyUser_;
  std::string proxyPassword_;
  // The PEM file's text (certificate and key) the helper chose; wiped when
  // the execution ends or a token's certificate is chosen instead.
  std::string clientCertPem_;
  // The certificate on a token chosen in this execution, its URI, whether
  // this execution tried a login already, and why the choice ended the
  // request ("" while it did not).
  std::unique_ptr<TokenKey> tokenKey_;
  std::string tokenKeyUri_;
  bool tokenLoginTried_ = false;
  std::string clientAuthEnd_;

  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::unique_ptr<uint8_t[]> content_;
  int32_t contentLength_ = -1;

  int connectTimeoutMs_ = 30000;
  int stallTimeoutMs_ = 30000;
  int totalTimeoutMs_ = 120000;
  size_t maxBodySize_ = 16u << 20;
  // The limits of the running execution and its deadline.
  int connectMs_ = 0;
  int stallMs_ = 0;
  int totalMs_ = 0;
  std::atomic<bool> cancelled_{false};
  std::chrono::steady_clock::time_point deadline_;
  rimo::platform::RegistryFile registry_;
};

}  // namespace WebCommLib
