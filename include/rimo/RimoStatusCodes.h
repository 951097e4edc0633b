// The values a host reads from the status object of librimodata.so: state
// codes (GetStateCode), error kinds (GetErrorKind) and query outcomes
// (GetQueryOutcome).
//
// A load or fetch succeeded when the state code is kStatePublished, the
// error kind kErrorNone and the certificate list is not empty.
#ifndef RIMO_RIMOSTATUSCODES_H
#define RIMO_RIMOSTATUSCODES_H

#include <stdint.h>

namespace rimo::codes {

// State codes.
inline constexpr int32_t kStateNone = 0;               // no job has run on the status object
inline constexpr int32_t kStateQueryStarted = 6001;    // a data-center query started (and ended without an answer to publish)
inline constexpr int32_t kStatePublished = 6002;       // a TC response was received or published
inline constexpr int32_t kStateUnexpectedStatus = 6003;  // the query ended with an HTTP status it has no use for
inline constexpr int32_t kStateFileLoadStarted = 6004;   // loading a response file started

// Error kinds.
inline constexpr int32_t kErrorNone = 0;
inline constexpr int32_t kErrorVerification = 3;    // the TC response failed a check
inline constexpr int32_t kErrorNoPackage = 4;       // the data center holds no package for the user
inline constexpr int32_t kErrorFault = 5;           // the data center sent a fault document
inline constexpr int32_t kErrorFaultUnreadable = 6; // the data center's error answer could not be read
inline constexpr int32_t kErrorRequest = 8;         // request, address, empty answer or envelope failure

// Query outcomes.
inline constexpr int32_t kOutcomeReceived = 0;   // a verified response is present
inline constexpr int32_t kOutcomeNoPackage = 1;  // the data center holds no package for the user
inline constexpr int32_t kOutcomeNoResult = 2;   // no result (also the initial value)

}  // namespace rimo::codes

#endif  // RIMO_RIMOSTATUSCODES_H
