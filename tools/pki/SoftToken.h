// Tokens for tests and demos: a certificate and its RSA key written onto a
// PKCS#11 token (a SoftHSM2 token, whose folder SOFTHSM2_CONF names), as a
// card's personalisation would leave them.
#pragma once

#include <string>

#include "pki/Pki.h"

namespace rimo::pki {

// SoftHSM2's module, where Debian puts it.
std::string SoftHsmModule();

struct TokenTarget {
  std::string module;      // the PKCS#11 module
  std::string tokenLabel;  // the token: used when it exists, else made on a blank slot
  std::string pin;         // the user's PIN (set when the token is made)
  std::string soPin;       // the security officer's PIN, for making the token; empty: the user's PIN
};

// Makes the token when there is none of that label (on the module's first
// blank token), with the user PIN set. Throws std::runtime_error on failure.
void EnsureToken(const TokenTarget& target);

// Writes cert onto the token (made when missing) labelled objectLabel, and
// with key (not null) its private key (private, sensitive, not extractable)
// and public key, all with one CKA_ID taken from the key. Throws
// std::runtime_error on failure.
void PutOnToken(const TokenTarget& target, const std::string& objectLabel, const Cert& cert, const Key* key);

}  // namespace rimo::pki
