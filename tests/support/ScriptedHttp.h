// An HTTP layer that answers as a test scripts it and records what it was
// asked, for the code above the network without a server.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "webcomm/IKeloHttpFunctions.h"

namespace rimo::testing {

class ScriptedHttp final : public WebCommLib::IKeloHttpFunctions {
 public:
  // The answer of every execution.
  int32_t errorCode = WebCommLib::kErrorNone;
  uint32_t wininetCode = 0;
  int32_t httpStatus = 200;
  std::string body;
  // What was asked.
  std::vector<std::wstring> executedUrls;
  std::wstring userAgent, acceptTypes;
  int32_t verb = 0;

  void SetUrl(const std::wstring& url) override { url_ = url; }
  std::wstring GetUrl() override { return url_; }
  void SetUserAgent(const std::wstring& agent) override { userAgent = agent; }
  std::wstring GetUserAgent() override { return userAgent; }
  int32_t SetVerb(int32_t v) override { return verb = v; }
  int32_t GetVerb() override { return verb; }
  void SetAcceptTypes(const std::wstring& types) override { acceptTypes = types; }
  WebCommLib::HttpRequestResult ExecuteHttpRequest(const std::wstring& url) override {
    url_ = url;
    return ExecuteHttpRequest();
  }
  WebCommLib::HttpRequestResult ExecuteHttpRequest() override {
    executedUrls.push_back(url_);
    WebCommLib::HttpRequestResult r;
    r.errorCode = errorCode;
    r.wininetCode = wininetCode;
    r.httpStatus = httpStatus;
    return r;
  }
  bool GetHttpContent(uint8_t* buffer) override {
    std::memcpy(buffer, body.data(), body.size());
    return true;
  }
  int32_t GetHttpContentLength() override { return static_cast<int32_t>(body.size()); }
  bool WriteBinaryFileFromContent(const std::wstring&) override { return false; }
  bool WriteXmlFileFromContent(const std::wstring&) override { return false; }

 private:
  std::wstring url_;
};

}  // namespace rimo::testing
