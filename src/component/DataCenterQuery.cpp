#include "component/DataCenterQuery.h"

#include <cwchar>

#include "config/DirectoryLibrary.h"
#include "diag/DiagnosticTexts.h"
#include "diag/MethodTrace.h"
#include "diag/Trace.h"
#include "platform/Utf8.h"
#include "webcomm/KeloHttpComm.h"
#include "xml/RzResponseXml.h"

namespace rimo::component {

using diag::TraceWrite;
using diag::TraceWriteFormat;
using diag::category::kDataDll;

namespace {

constexpr wchar_t kNoUrlErrorId[] = L"INT-99001";
constexpr uint32_t kDetailUnreadable = 99000;
constexpr char kServiceUrlValue[] = "RimoServiceUrl";
constexpr char kDefaultServiceUrl[] = "https://rz.kelo.invalid/pvtwmod/rest/";

// RFC 3986 percent-encoding of UTF-8 text: only unreserved characters stay,
// so nothing in a user ID can change a request's path or query.
std::wstring PercentEncoded(const std::wstring& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring out;
  for (unsigned char c : platform::WideToUtf8(text)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out.push_back(static_cast<wchar_t>(c));
    } else {
      out.push_back(L'%');
      out.push_back(static_cast<wchar_t>(kHex[c >> 4]));
      out.push_back(static_cast<wchar_t>(kHex[c & 15]));
    }
  }
  return out;
}

// An answer that could not be read as what its status promised.
void Unreadable(QueryResult& result, int32_t errorKind) {
  result.errorId = ErrorIdFromCodes(result.httpStatus, kDetailUnreadable);
  result.errorKind = errorKind;
  result.outcome = codes::kOutcomeNoResult;
}

}  // namespace

std::wstring ErrorIdFromCodes(int32_t httpStatus, uint32_t detail) {
  wchar_t id[16] = {};
  std::swprintf(id, std::size(id), L"%03d-%05d", static_cast<int>(httpStatus), static_cast<int>(detail));
  return id;
}

DataCenterQuery::DataCenterQuery(WebCommLib::IKeloHttpFunctions& http, platform::RegistryFile& registry,
                                 ResponseChecks& checks)
    : http_(http), registry_(registry), checks_(checks) {}

QueryResult DataCenterQuery::Run(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::ExecuteQueryResponse");
  QueryResult result;
  const std::wstring url = CreateRestUrl(userId);
  if (url.empty()) {
    result.errorId = kNoUrlErrorId;
    result.errorKind = codes::kErrorRequest;
    return result;
  }
  http_.SetUrl(url);
  http_.SetUserAgent(L"KeloRimoWizzard|" + platform::Utf8ToWide(WebCommLib::KeloHttpComm::SystemUserAgent()));
  http_.SetAcceptTypes(L"application/xml");
  http_.SetVerb(WebCommLib::kVerbGet);
  const WebCommLib::HttpRequestResult request = http_.ExecuteHttpRequest();
  result.httpStatus = request.httpStatus;
  result.requestError = request.wininetCode;
  if (request.answerCut && request.httpStatus != 0) {
    // The data center did answer: its status is recorded, and what came of
    // the body is no document of that status.
    ReadCutAnswer(result);
    return result;
  }
  if (request.errorCode != WebCommLib::kErrorNone) {
    TraceWrite(diag::Error, kDataDll, L"ExecuteHttpRequest NOT succeeded.");
    TraceWriteFormat(diag::Error, kDataDll, diag::text::kRequestFailed, url.c_str(),
                     static_cast<int>(request.errorCode), static_cast<int>(request.wininetCode));
    result.errorId = ErrorIdFromCodes(request.httpStatus, request.wininetCode);
    result.errorKind = codes::kErrorRequest;
    return result;
  }
  ReadAnswer(result);
  return result;
}

void DataCenterQuery::ReadAnswer(QueryResult& result) {
  switch (result.httpStatus) {
    case 200: {
      const std::vector<uint8_t> body = ReadHttpBody();
      // An empty answer, or one that decodes to nothing, is no response.
      std::vector<uint8_t> response =
          body.empty() ? std::vector<uint8_t>()
                       : GetTcResponseFromStream(std::make_shared<platform::MemoryStream>(body), result);
      if (response.empty()) {
        Unreadable(result, codes::kErrorRequest);
        return;
      }
      // Nothing unverified counts as received: the caller neither stores
      // nor publishes it, and the next query asks again.
      result.verified = checks_.Verify(response);
      if (result.verified == nullptr) {
        TraceWrite(diag::Error, kDataDll,
                   L"Die empfangene TC-Response besteht die Prüfungen nicht und wird nicht gespeichert.");
        Unreadable(result, codes::kErrorVerification);
        return;
      }
      result.response = std::move(response);
      result.outcome = codes::kOutcomeReceived;
      result.stateCode = codes::kStatePublished;
      return;
    }
    case 204:
    case 212:
      result.outcome = codes::kOutcomeNoPackage;
      result.errorKind = codes::kErrorNoPackage;
      return;
    case 400:
    case 404:
    case 500: {
      const std::vector<uint8_t> body = ReadHttpBody();
      if (!body.empty()) {
        GetResponseErrorDetails(std::make_shared<platform::MemoryStream>(body), result);
      } else {
        result.errorId = ErrorIdFromCodes(result.httpStatus, result.requestError);
        result.errorKind = codes::kErrorRequest;
      }
      return;
    }
    default:
      result.outcome = codes::kOutcomeNoResult;
      result.stateCode = codes::kStateUnexpectedStatus;
      return;
  }
}

void DataCenterQuery::ReadCutAnswer(QueryResult& result) {
  switch (result.httpStatus) {
    case 200:
      Unreadable(result, codes::kErrorRequest);
      return;
    case 400:
    case 404:
    case 500:
      Unreadable(result, codes::kErrorFaultUnreadable);
      return;
    default:
      // What a whole answer of this status would have ended with: its body
      // is never read.
      ReadAnswer(result);
      return;
  }
}

std::vector<uint8_t> DataCenterQuery::ReadHttpBody() {
  const int32_t length = http_.GetHttpContentLength();
  std::vector<uint8_t> body(length > 0 ? static_cast<size_t>(length) : 0);
  if (!body.empty() && !http_.GetHttpContent(body.data())) body.clear();
  return body;
}

std::wstring DataCenterQuery::CreateRestUrl(const wchar_t* userId) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::CreateRestUrl");
  char version[15] = {};
  char toolVersion[15] = {};
  if (config::CDB_GetVersion(config::kComponentId, version, sizeof version, 0) != config::kResultOk) version[0] = '\0';
  if (version[0] == '\0') {
    TraceWrite(diag::Error, kDataDll,
               L"Die Kelo Version aus RimoPaths konnte nicht ermittelt werden. Url wird ohne erstellt.");
  }
  if (config::CDB_GetVersion(config::kComponentId, toolVersion, sizeof toolVersion, 0) != config::kResultOk) {
    toolVersion[0] = '\0';
  }
  if (toolVersion[0] == '\0') {
    TraceWrite(diag::Error, kDataDll,
               L"Die Version des Nachlade-Assistenten konnte nicht ermittelt werden.  Url wird ohne erstellt.");
  }
  if (userId == nullptr || userId[0] == L'\0') {
    TraceWrite(diag::Error, kDataDll, L"Die SC-User-ID ist leer. Url kann nicht erstellt werden.");
    return {};
  }
  const std::wstring id = userId;
  if (id.size() <= 17) {
    TraceWrite(diag::Error, kDataDll,
               L"Die Folgekartennummer konnte nicht ermittelt werden. Url kann nicht erstellt werden.");
    return {};
  }
  std::string base = registry_.ReadString(config::kPackageKey, kServiceUrlValue).value_or(kDefaultServiceUrl);
  // A registry file that cannot be read whole is named with each problem:
  // otherwise its values would be missing without a word.
  for (const std::string& problem : registry_.Problems()) {
    TraceWriteFormat(diag::Error, kDataDll, diag::text::kRegistryNotWhole,
                     registry_.Path().c_str(), problem.c_str());
  }
  if (base.empty()) base = kDefaultServiceUrl;
  if (base.back() != '/') base.push_back('/');
  return platform::Utf8ToWide(base) + L"DataTcService/" + PercentEncoded(id.substr(17)) + L"?anw=KeloComp" +
         L"&anwvnr=" + PercentEncoded(platform::Utf8ToWide(version)) + L"&toolvnr=" +
         PercentEncoded(platform::Utf8ToWide(toolVersion)) + L"&CASCADE_DESTINATION_MEDIUM=QUANDEL_medium4";
}

std::vector<uint8_t> DataCenterQuery::GetTcResponseFromStream(std::shared_ptr<platform::IByteStream> stream,
                                                              QueryResult& result) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetTcResponseFromStream");
  xml::CRzResponseXml envelope(std::move(stream), checks_.Utilities(), checks_.Signature());
  if (envelope.Parse()) {
    if (envelope.TcResponseLength() == 0) {
      TraceWrite(diag::Error, kDataDll, L"Die Datenlänge des Elements tcresponse ist [0].");
      return {};
    }
    if (envelope.TcResponseLength() > xml::kMaxTcResponseBytes) {
      // The same limit as for a file: what loads from one loads from the other.
      TraceWriteFormat(diag::Error, kDataDll, L"Die TC-Response ist größer als %d Bytes.",
                       static_cast<int>(xml::kMaxTcResponseBytes));
      Unreadable(result, codes::kErrorRequest);
      return {};
    }
    TraceWrite(diag::Info, kDataDll, L"Die Response vom RZ wurde erfolgreich geparst.");
    return envelope.TcResponse();
  }
  if (envelope.ErrorCode() != 0) {
    TraceWriteFormat(diag::Error, kDataDll,
                     L"Error Parsing Response:Die TC-Response wurde im Content nicht gefunden.[%d]",
                     static_cast<int>(envelope.ErrorCode()));
  }
  Unreadable(result, codes::kErrorRequest);
  return {};
}

void DataCenterQuery::GetResponseErrorDetails(std::shared_ptr<platform::IByteStream> stream, QueryResult& result) {
  RIMO_METHOD_TRACE(kDataDll, L"RimoData::GetResponseErrorDetails");
  xml::CRzErrorXml fault(std::move(stream), checks_.Utilities(), checks_.Signature());
  if (fault.Parse()) {
    result.userMessage = *fault.UserMessage();
    result.faultId = *fault.FaultId();
    result.errorKind = codes::kErrorFault;
    result.errorId = ErrorIdFromCodes(result.httpStatus, 0);
    TraceWriteFormat(diag::Error, kDataDll, L"Fehler bei RZ-Verarbeitung: %s", fault.TechMessage()->c_str());
    return;
  }
  if (fault.MissingParts() != 0) {
    TraceWriteFormat(diag::Error, kDataDll, L"Error Parsing Response:RzFaultInfo wurde im Content nicht gefunden.[%d]",
                     static_cast<int>(fault.MissingParts()));
  }
  Unreadable(result, codes::kErrorFaultUnreadable);
}

}  // namespace rimo::component
