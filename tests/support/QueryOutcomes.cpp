#include "support/QueryOutcomes.h"

#include "rimo/RimoStatusCodes.h"
#include "webcomm/IKeloHttpFunctions.h"
#include "webcomm/WinInetCodes.h"

namespace rimo::testing {

using namespace rimo::codes;

QueryOutcomeResponses QueryOutcomeResponses::Make(const pki::TrustCenter& tc) {
  QueryOutcomeResponses r;
  const std::string container = pki::MakeContainer(
      "NEIN", "JA", {{"SIG", pki::CertificateText(tc.signer)}, {"ROOT", pki::CertificateText(tc.root)}});
  pki::TcResponseParts parts =
      pki::SignContainer(container, tc.signerKey, tc.signer, "12345678901234567890", "12345678901234567891");
  r.genuine = pki::MakeTcResponse(parts);
  parts.containerBase64 = pki::Base64(container + " ");
  r.tampered = pki::MakeTcResponse(parts);
  return r;
}

std::string Envelope(const std::string& tcResponse) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GETDATATCRESPONSE><TCRESPONSE>" + pki::Base64(tcResponse) +
         "</TCRESPONSE></GETDATATCRESPONSE>\n";
}

std::string FaultDocument(const std::string& id, const std::string& userMessage, const std::string& techMessage) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FAULTINFO><ID>" + pki::XmlEscape(id) + "</ID><USERMESSAGE>" +
         pki::XmlEscape(userMessage) + "</USERMESSAGE><TECHMESSAGE>" + pki::XmlEscape(techMessage) +
         "</TECHMESSAGE></FAULTINFO>\n";
}

std::vector<QueryOutcomeCase> QueryOutcomeCases(const QueryOutcomeResponses& responses) {
  const std::string blocked = FaultDocument("RZ-4711", "Ihre Karte ist gesperrt.", "card blocked in backend");
  const std::string unknown = FaultDocument("RZ-0404", "Unbekannt.", "no such card");
  const std::string emptyTc = "<GETDATATCRESPONSE><TCRESPONSE></TCRESPONSE></GETDATATCRESPONSE>";
  // Field order: name, card, status, body, layer error, WinInet, through
  // the server, state, outcome, error kind, error ID, user message, fault ID.
  return {
      {"200 with a TC response", "t00", 200, Envelope(responses.genuine), 0, 0, true,
       kStatePublished, kOutcomeReceived, kErrorNone, L""},
      {"200, TC response changed after signing", "t01", 200, Envelope(responses.tampered), 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorVerification, L"200-99000"},
      {"200, TC response that is none", "t02", 200, Envelope(responses.garbage), 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorVerification, L"200-99000"},
      {"200, envelope that is not Base64", "t03", 200,
       "<GETDATATCRESPONSE><TCRESPONSE>!!notbase64</TCRESPONSE></GETDATATCRESPONSE>", 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"200-99000"},
      {"200, envelope without TCRESPONSE", "t04", 200, "<GETDATATCRESPONSE><OTHER/></GETDATATCRESPONSE>", 0, 0,
       true, kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"200-99000"},
      {"200, empty body", "t05", 200, "", 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"200-99000"},
      {"200, TC response of no bytes", "t06", 200, emptyTc, 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"200-99000"},
      {"200, a fault document instead of an envelope", "t07", 200, blocked, 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"200-99000"},
      {"204", "t08", 204, "", 0, 0, true, kStateQueryStarted, kOutcomeNoPackage, kErrorNoPackage, L""},
      {"212", "t09", 212, "", 0, 0, true, kStateQueryStarted, kOutcomeNoPackage, kErrorNoPackage, L""},
      {"500 with a fault document", "t10", 500, blocked, 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorFault, L"500-00000", L"Ihre Karte ist gesperrt.", L"RZ-4711"},
      {"404 with a fault document", "t11", 404, unknown, 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorFault, L"404-00000", L"Unbekannt.", L"RZ-0404"},
      {"404, body that is no fault document", "t12", 404, "not a fault document", 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorFaultUnreadable, L"404-99000"},
      {"400, empty body", "t13", 400, "", 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"400-00000"},
      {"500, envelope with a TC response", "t14", 500, Envelope(responses.genuine), 0, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorFaultUnreadable, L"500-99000"},
      {"503", "t15", 503, "busy", 0, 0, true,
       kStateUnexpectedStatus, kOutcomeNoResult, kErrorNone, L""},
      {"401", "t16", 401, "", 0, 0, true, kStateUnexpectedStatus, kOutcomeNoResult, kErrorNone, L""},
      {"201 with a TC response", "t17", 201, Envelope(responses.genuine), 0, 0, true,
       kStateUnexpectedStatus, kOutcomeNoResult, kErrorNone, L""},
      {"403 on which the HTTP layer gives up", "t18", 403, "", WebCommLib::kErrorClientAuth, 0, true,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"403-00000"},
      {"no connection", "t19", 0, "", WebCommLib::kErrorTransport, WebCommLib::kInetCannotConnect, false,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"000-12029"},
      {"the overall time-out", "t20", 0, "", WebCommLib::kErrorTransport, WebCommLib::kInetTimeout, false,
       kStateQueryStarted, kOutcomeNoResult, kErrorRequest, L"000-12002"},
  };
}

}  // namespace rimo::testing
