// The data-center query: the REST request for one user's TC response and
// what its answer means, as a result value. It writes no status object and
// no file; the caller publishes and stores the result.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/ResponseChecks.h"
#include "platform/ByteStream.h"
#include "platform/Registry.h"
#include "rimo/RimoStatusCodes.h"
#include "webcomm/IKeloHttpFunctions.h"
#include "xml/TcResponseXml.h"

namespace rimo::component {

// What one query ended with: every field a query sets in the status record,
// starting from a clean record.
struct QueryResult {
  int32_t stateCode = codes::kStateQueryStarted;
  int32_t outcome = codes::kOutcomeNoResult;
  int32_t errorKind = codes::kErrorNone;
  std::wstring errorId;
  std::wstring userMessage;
  std::wstring faultId;
  int32_t httpStatus = 0;
  uint32_t requestError = 0;  // the WinInet number of a transport failure
  // With outcome kOutcomeReceived: the TC response's bytes, and the same
  // response parsed and passed through every check.
  std::vector<uint8_t> response;
  std::unique_ptr<xml::CTcResponseXml> verified;
};

class DataCenterQuery {
 public:
  // Every reference must outlive this object.
  DataCenterQuery(WebCommLib::IKeloHttpFunctions& http, platform::RegistryFile& registry, ResponseChecks& checks);

  // Asks the data center for userId's TC response. A response counts as
  // received only when it passed every check. Never throws for an answer.
  QueryResult Run(const wchar_t* userId);

  // The request's URL; empty when userId carries no follow-up card number.
  std::wstring CreateRestUrl(const wchar_t* userId);

 private:
  std::vector<uint8_t> ReadHttpBody();
  void ReadAnswer(QueryResult& result);
  // An answer whose body was cut off: as unreadable as its status allows.
  void ReadCutAnswer(QueryResult& result);
  // The TC response carried by the envelope; empty (and result set) when none.
  std::vector<uint8_t> GetTcResponseFromStream(std::shared_ptr<platform::IByteStream> stream, QueryResult& result);
  void GetResponseErrorDetails(std::shared_ptr<platform::IByteStream> stream, QueryResult& result);

  WebCommLib::IKeloHttpFunctions& http_;
  platform::RegistryFile& registry_;
  ResponseChecks& checks_;
};

// "SSS-DDDDD": the HTTP status and a detail number, as the data center's
// error identifiers read.
std::wstring ErrorIdFromCodes(int32_t httpStatus, uint32_t detail);

}  // namespace rimo::component
