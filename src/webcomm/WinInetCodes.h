// The WinInet error numbers that the rest of the package knows (in error
// identifiers such as "000-12029"), from what libcurl and OpenSSL report.
#pragma once

#include <cstdint>

namespace WebCommLib {

inline constexpr uint32_t kInetTimeout = 12002;
inline constexpr uint32_t kInetNameNotResolved = 12007;
inline constexpr uint32_t kInetCannotConnect = 12029;
inline constexpr uint32_t kInetConnectionAborted = 12030;
inline constexpr uint32_t kInetConnectionReset = 12031;
inline constexpr uint32_t kInetForceRetry = 12032;
inline constexpr uint32_t kInetCertDateInvalid = 12037;
inline constexpr uint32_t kInetCertCnInvalid = 12038;
inline constexpr uint32_t kInetHttpsToHttp = 12040;
inline constexpr uint32_t kInetClientCertNeeded = 12044;
inline constexpr uint32_t kInetInvalidCa = 12045;
inline constexpr uint32_t kInetRevocationFailed = 12057;
inline constexpr uint32_t kInetInvalidServerResponse = 12152;
inline constexpr uint32_t kInetSecurityChannelError = 12157;
inline constexpr uint32_t kInetCertRevoked = 12170;

// What one failed transfer left behind.
struct CurlFailure {
  int curlCode = 0;             // CURLcode
  int osErrno = 0;              // CURLINFO_OS_ERRNO
  long verifyResult = 0;        // CURLINFO_SSL_VERIFYRESULT (X509_V_*)
  long connectCode = 0;         // CURLINFO_HTTP_CONNECTCODE
  long responseCode = 0;        // CURLINFO_RESPONSE_CODE
  bool redirectToHttp = false;  // a redirect to http:// was refused
  bool clientCertRequested = false;
  bool revoked = false;         // a stapled status said revoked
  bool bodyTooLarge = false;
  bool headerOverflow = false;  // more header bytes or interim answers than allowed
  bool reservedName = false;    // a redirect to a name that never resolves (.invalid)
  bool answerCut = false;       // an answer's headers came whole, its body did not
};

// The WinInet number of the same meaning; 0 when the transfer did not fail
// as a transport (for example a proxy that answered 407 to CONNECT: that is
// an HTTP status).
uint32_t WinInetCodeOf(const CurlFailure& failure);

// True for failures that a repetition cannot mend: the same request would
// fail the same way (a refused answer, redirect or certificate).
bool NeverRepeated(const CurlFailure& failure);

}  // namespace WebCommLib
