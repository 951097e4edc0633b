#include "crypto/IssuerSearch.h"
#include "platform/ForkChild.h"

#include <new>
#include <pthread.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "crypto/RootStore.h"

namespace rimo::crypto {
namespace {

// The outcome of every signature check between two certificates. Keyed by
// the two certificate objects, which the memory holds a reference to, so
// that an address is never reused while it is a key: the root store and the
// parsed-certificate cache hand out the same objects for the same bytes,
// and a certificate parsed anew is simply checked anew. Failures are kept
// as well as successes, so that a store full of same-name certificates
// costs its signature checks once, not on every load.
class SignatureMemory {
 public:
  using Key = std::pair<X509*, X509*>;

  static bool KeyOf(X509* cert, X509* issuer, Key* key) {
    *key = {cert, issuer};
    return cert != nullptr && issuer != nullptr;
  }
  std::optional<bool> Find(const Key& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = results_.find(key);
    if (found == results_.end()) return std::nullopt;
    return found->second.verified;
  }
  void Remember(const Key& key, bool verified) {
    std::lock_guard<std::mutex> guard(mutex_);
    // Bounded: a full memory starts over rather than growing without end.
    if (results_.size() >= kCapacity) results_.clear();
    auto [entry, added] = results_.try_emplace(key);
    entry->second.verified = verified;
    if (added) {
      X509_up_ref(key.first);
      X509_up_ref(key.second);
      entry->second.held = {X509Ptr(key.first), X509Ptr(key.second)};
    }
  }

 private:
  struct Hash {
    size_t operator()(const Key& key) const {
      return std::hash<const void*>{}(key.first) ^ (std::hash<const void*>{}(key.second) * 0x9E3779B97F4A7C15ull);
    }
  };
  struct Outcome {
    bool verified = false;
    std::pair<X509Ptr, X509Ptr> held;  // keeps the keys' addresses taken
  };
  static constexpr size_t kCapacity = 16384;
  std::mutex mutex_;
  std::unordered_map<Key, Outcome, Hash> results_;
};

// Made when the library loads, so that it outlives the workers at exit.
SignatureMemory g_memory;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_memoryForkSafe = (pthread_atfork(nullptr, nullptr, [] { platform::RemakeInChild(g_memory); }), true);

SignatureMemory& Memory() { return g_memory; }

// The signature checks the current operation on this thread may still make
// (those answered from memory are free); unlimited outside an operation.
thread_local size_t tBudgetLeft = SIZE_MAX;
thread_local bool tBudgetSpent = false;

bool ExactName(X509* cert, X509* issuer) {
  const unsigned char* a = nullptr;
  const unsigned char* b = nullptr;
  size_t na = 0, nb = 0;
  if (X509_NAME_get0_der(X509_get_issuer_name(cert), &a, &na) != 1 ||
      X509_NAME_get0_der(X509_get_subject_name(issuer), &b, &nb) != 1) {
    return false;
  }
  return na == nb && std::memcmp(a, b, na) == 0;
}

bool KeyIdMatches(X509* cert, X509* issuer) {
  const ASN1_OCTET_STRING* authority = X509_get0_authority_key_id(cert);
  const ASN1_OCTET_STRING* subject = X509_get0_subject_key_id(issuer);
  return authority != nullptr && subject != nullptr && ASN1_OCTET_STRING_cmp(authority, subject) == 0;
}

bool CurrentlyValid(X509* cert) {
  return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 && X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

bool IsSelfSigned(X509* cert) {
  if (X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) != 0) return false;
  return IssuerSearch::SignedBy(cert, cert);
}

// Subject and issuer names equal: a root, or a link of a root to itself
// (checked without a signature, which ranking need not cost).
bool SelfIssued(X509* cert) {
  return X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0;
}

// Best first, by what costs no signature check; the candidates arrive in
// the store's stable order, which std::stable_sort keeps among equals. A
// self-issued certificate (a root) goes before a link or cross certificate
// of the same subject and key, so that the issuer found is the root
// whatever the names' string types.
void Order(X509* cert, CertPath* candidates) {
  if (candidates->size() < 2) return;
  std::vector<std::pair<int, std::shared_ptr<X509>>> ranked;
  ranked.reserve(candidates->size());
  for (auto& c : *candidates) {
    const int rank = (SelfIssued(c.get()) ? 0 : 8) + (ExactName(cert, c.get()) ? 0 : 4) +
                     (KeyIdMatches(cert, c.get()) ? 0 : 2) + (CurrentlyValid(c.get()) ? 0 : 1);
    ranked.emplace_back(rank, std::move(c));
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < ranked.size(); ++i) (*candidates)[i] = std::move(ranked[i].second);
}

bool Same(X509* a, X509* b) { return a == b || X509_cmp(a, b) == 0; }

bool Contains(const CertPath& path, X509* cert) {
  return std::any_of(path.begin(), path.end(), [cert](const std::shared_ptr<X509>& c) { return Same(c.get(), cert); });
}

// Depth first, best issuer first; stops when visit says so or when
// kMaxPaths paths were visited. True when stopped by visit.
bool Extend(X509* cert, CertPath* current, size_t* visited, const IssuerSearch::PathVisitor& visit) {
  bool extended = false;
  const CertPath issuers = IssuerSearch::Issuers(cert);
  for (const auto& issuer : issuers) {
    // The certificate itself, or one already on the path, would be a loop.
    if (Same(issuer.get(), cert) || Contains(*current, issuer.get())) continue;
    // Among several candidates only one whose key verifies cert's signature
    // is an issuer; each is checked when its turn comes, best first, so a
    // search that succeeds early checks few. A single candidate is taken as
    // it is: the chain check reports a signature that does not verify.
    if (issuers.size() > 1 && !IssuerSearch::SignedBy(cert, issuer.get())) continue;
    extended = true;
    current->push_back(issuer);
    bool stop;
    if (IsSelfSigned(issuer.get()) || current->size() >= IssuerSearch::kMaxDepth) {
      ++*visited;
      stop = visit(*current);
    } else {
      stop = Extend(issuer.get(), current, visited, visit);
    }
    current->pop_back();
    if (stop) return true;
    if (*visited >= IssuerSearch::kMaxPaths) return false;
  }
  if (!extended && !current->empty()) {
    ++*visited;
    return visit(*current);
  }
  return false;
}

}  // namespace

CertPath IssuerSearch::Issuers(X509* cert) {
  CertPath candidates = RootStore::Candidates(X509_get_issuer_name(cert));
  Order(cert, &candidates);
  return candidates;
}

size_t IssuerSearch::VisitPaths(X509* leaf, const PathVisitor& visit) {
  CertPath current;
  size_t visited = 0;
  Extend(leaf, &current, &visited, visit);
  return visited;
}

bool IssuerSearch::SignedBy(X509* cert, X509* issuer) {
  SignatureMemory::Key key;
  const bool keyed = SignatureMemory::KeyOf(cert, issuer, &key);
  if (keyed) {
    if (const std::optional<bool> known = Memory().Find(key)) return *known;
  }
  if (!Spend(1)) return false;
  EVP_PKEY* publicKey = X509_get0_pubkey(issuer);
  const bool ok = publicKey != nullptr && X509_verify(cert, publicKey) == 1;
  ERR_clear_error();
  if (keyed) Memory().Remember(key, ok);
  return ok;
}

void IssuerSearch::RememberSigned(X509* cert, X509* issuer) {
  SignatureMemory::Key key;
  if (SignatureMemory::KeyOf(cert, issuer, &key)) Memory().Remember(key, true);
}

bool IssuerSearch::Spend(size_t checks) {
  if (tBudgetSpent) return false;
  if (tBudgetLeft == SIZE_MAX) return true;
  if (checks > tBudgetLeft) {
    tBudgetSpent = true;
    return false;
  }
  tBudgetLeft -= checks;
  return true;
}

IssuerSearch::Budget::Budget(size_t checks) : savedLeft_(tBudgetLeft), savedSpent_(tBudgetSpent) {
  tBudgetLeft = checks;
  tBudgetSpent = false;
}

IssuerSearch::Budget::~Budget() {
  tBudgetLeft = savedLeft_;
  tBudgetSpent = savedSpent_;
}

bool IssuerSearch::Budget::Spent() const { return tBudgetSpent; }

int IssuerSearch::CheckIssued(X509_STORE_CTX*, X509* x, X509* issuer) {
  const int e = X509_check_issued(issuer, x);
  ERR_clear_error();
  // A missing certificate-signing usage is the chain's usage error, not a
  // reason to look for another issuer.
  if (e == X509_V_OK || e == X509_V_ERR_KEYUSAGE_NO_CERTSIGN) return 1;
  if (e == X509_V_ERR_AKID_SKID_MISMATCH || e == X509_V_ERR_AKID_ISSUER_SERIAL_MISMATCH) {
    return SignedBy(x, issuer) ? 1 : 0;
  }
  return 0;
}

}  // namespace rimo::crypto
