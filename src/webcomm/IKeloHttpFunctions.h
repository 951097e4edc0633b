// One HTTP or HTTPS request per execution, and its answer.
#pragma once

#include <cstdint>
#include <string>

namespace WebCommLib {

// The state of a request when an execution ends.
struct HttpRequestResult {
  int32_t errorCode = 0;     // one of the kError* codes
  uint32_t wininetCode = 0;  // the WinInet number of a transport failure, else 0
  std::wstring message;      // what goes with errorCode, without a line break at its end
  int32_t httpStatus = 0;    // the last answer's status, else 0
  // The answer of httpStatus ended before its body was complete (the
  // connection was closed or reset): what came is no whole document.
  bool answerCut = false;
};

inline constexpr int32_t kErrorNone = 0;
inline constexpr int32_t kErrorUrl = 2;
inline constexpr int32_t kErrorOpenRequest = 3;
inline constexpr int32_t kErrorTransport = 4;
inline constexpr int32_t kErrorClientAuth = 5;
inline constexpr int32_t kErrorProxyAuth = 6;
inline constexpr int32_t kErrorEmptyUrl = 21;
inline constexpr int32_t kErrorScheme = 22;

inline constexpr int32_t kVerbGet = 1;

// Used by one thread at a time. Slot order is fixed.
class IKeloHttpFunctions {
 public:
  virtual void SetUrl(const std::wstring& url) = 0;
  virtual std::wstring GetUrl() = 0;
  virtual void SetUserAgent(const std::wstring& userAgent) = 0;
  virtual std::wstring GetUserAgent() = 0;
  virtual int32_t SetVerb(int32_t verb) = 0;
  virtual int32_t GetVerb() = 0;
  virtual void SetAcceptTypes(const std::wstring& acceptTypes) = 0;
  virtual HttpRequestResult ExecuteHttpRequest(const std::wstring& url) = 0;
  virtual HttpRequestResult ExecuteHttpRequest() = 0;
  // The answer's body: read once per execution, on first demand.
  virtual bool GetHttpContent(uint8_t* buffer) = 0;
  virtual int32_t GetHttpContentLength() = 0;
  virtual bool WriteBinaryFileFromContent(const std::wstring& path) = 0;
  virtual bool WriteXmlFileFromContent(const std::wstring& path) = 0;

 protected:
  ~IKeloHttpFunctions() = default;
};

}  // namespace WebCommLib
