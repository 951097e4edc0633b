#include "webcomm/WinInetCodes.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>

namespace WebCommLib {

uint32_t WinInetCodeOf(const CurlFailure& f) {
  // The proxy's answer to CONNECT comes first: later curl releases report a
  // refused CONNECT under other codes.
  if (f.connectCode == 407) return 0;
  if (f.revoked) return kInetCertRevoked;
  if (f.bodyTooLarge || f.headerOverflow) return kInetInvalidServerResponse;
  if (f.redirectToHttp) return kInetHttpsToHttp;
  if (f.reservedName) return kInetNameNotResolved;
  switch (f.curlCode) {
    case CURLE_OK:
      return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kInetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kInetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kInetTimeout;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return f.osErrno == ECONNRESET ? kInetConnectionReset : kInetConnectionAborted;
    case CURLE_PEER_FAILED_VERIFICATION:
      switch (f.verifyResult) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:  // curl's own name check failed
          return kInetCertCnInvalid;
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
          return kInetCertDateInvalid;
        default:
          return kInetInvalidCa;
      }
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kInetRevocationFailed;
    case CURLE_SSL_CONNECT_ERROR:
      if (f.clientCertRequested) return kInetClientCertNeeded;
      if (f.osErrno == ECONNRESET) return kInetConnectionReset;
      return kInetSecurityChannelError;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      if (f.clientCertRequested) return kInetClientCertNeeded;
      if (f.osErrno == ECONNRESET) return kInetConnectionReset;
      return kInetConnectionAborted;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_WRITE_ERROR:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_URL_MALFORMAT:
    // curl's own refusal of a header line too long to keep.
    case CURLE_OUT_OF_MEMORY:
      return kInetInvalidServerResponse;
    default:
      return kInetCannotConnect;
  }
}

bool NeverRepeated(const CurlFailure& f) {
  if (f.reservedName) return true;
  switch (WinInetCodeOf(f)) {
    case kInetInvalidServerResponse:
    case kInetHttpsToHttp:
    case kInetCertRevoked:
    case kInetInvalidCa:
    case kInetCertDateInvalid:
    case kInetCertCnInvalid:
      return true;
    default:
      return false;
  }
}

}  // namespace WebCommLib
