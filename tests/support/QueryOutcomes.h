// Every answer of the data center and what the query must make of it: one
// table, run against a scripted HTTP double and against rimo-datacenter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pki/Pki.h"

namespace rimo::testing {

struct QueryOutcomeCase {
  const char* name;
  std::string card;  // the card number (3 characters) the answer is kept under
  // What the data center answers.
  int32_t httpStatus;
  std::string body;
  // How the HTTP layer ends the execution: 0, or the layer's error code
  // and WinInet number where it gives up.
  int32_t layerError = 0;
  uint32_t wininetCode = 0;
  bool throughServer = true;  // false: the double alone can play it
  // What the query must leave.
  int32_t stateCode;
  int32_t outcome;
  int32_t errorKind;
  std::wstring errorId;  // empty: none
  std::wstring userMessage = L"";
  std::wstring faultId = L"";
};

// The TC responses the table's answers carry: a genuine one of tc, one
// changed after signing, and bytes that are no TC response.
struct QueryOutcomeResponses {
  std::string genuine;
  std::string tampered;
  std::string garbage = "these bytes are no TC response";
  static QueryOutcomeResponses Make(const pki::TrustCenter& tc);
};

std::vector<QueryOutcomeCase> QueryOutcomeCases(const QueryOutcomeResponses& responses);

// The data center's envelope around a TC response, and its fault document.
std::string Envelope(const std::string& tcResponse);
std::string FaultDocument(const std::string& id, const std::string& userMessage, const std::string& techMessage);

}  // namespace rimo::testing
