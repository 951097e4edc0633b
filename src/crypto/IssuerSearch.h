// Finding the issuers of a certificate in the machine root store, whatever
// the order of the store's entries.
//
// OpenSSL's own lookup takes the first certificate whose name matches and
// never tries another, so a second root with the same name (a key rollover,
// a name equal but for case, a link certificate) could decide the outcome by
// sorting first. Here every candidate whose name matches is considered, and
// where there is a choice, the one whose key verifies the signature wins.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "crypto/OpenSslHandles.h"

namespace rimo::crypto {

using CertPath = std::vector<std::shared_ptr<X509>>;  // issuers of the leaf, root last

class IssuerSearch {
 public:
  // The store's certificates whose name matches cert's issuer name, best
  // first by what costs no signature check: self-issued (a root) before a
  // link, the exact (byte-equal) issuer name, a matching key identifier,
  // currently valid, then the store's stable order. Key identifiers only
  // order: never exclude. Signatures are not checked here.
  static CertPath Issuers(X509* cert);

  // Visits the paths from leaf up through the store, best first, until
  // visit returns true, at most kMaxPaths of at most kMaxDepth issuers. A
  // path ends at a self-signed certificate, or where no issuer is found
  // (the chain check reports the gap). Paths are found as they are visited,
  // so a search that stops at the first path spends nothing on the rest.
  // Returns the number of paths visited.
  using PathVisitor = std::function<bool(const CertPath&)>;
  static size_t VisitPaths(X509* leaf, const PathVisitor& visit);

  // True when issuer's key verifies cert's signature; the outcome is
  // remembered for the exact pair of certificates. False without a check
  // when the thread's budget is spent. Thread-safe.
  static bool SignedBy(X509* cert, X509* issuer);
  // Records that the pair verified (a chain check saw it).
  static void RememberSigned(X509* cert, X509* issuer);

  // Bounds the signature checks that one operation on this thread makes
  // (checks answered from memory are free), so that no store, however
  // many costly same-name certificates it holds, makes a check dear.
  // Scoped; nests by saving the outer budget.
  class Budget {
   public:
    explicit Budget(size_t checks);
    ~Budget();
    Budget(const Budget&) = delete;
    Budget& operator=(const Budget&) = delete;
    // True once a check was refused for want of budget: the operation's
    // answer is then incomplete and must not be trusted.
    bool Spent() const;

   private:
    size_t savedLeft_;
    bool savedSpent_;
  };
  // Takes checks from the thread's budget; false (and the budget spent)
  // when not that many are left.
  static bool Spend(size_t checks);
  static constexpr size_t kCheckBudget = 64;

  // The chain callback that decides whether issuer may have issued x: the
  // names must match; key identifiers that disagree (a different key-id
  // method, a renewed root) leave the decision to the signature.
  static int CheckIssued(X509_STORE_CTX* ctx, X509* x, X509* issuer);

  static constexpr size_t kMaxPaths = 16;
  static constexpr size_t kMaxDepth = 8;
};

}  // namespace rimo::crypto
