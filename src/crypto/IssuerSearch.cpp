#include "crypto/IssuerSearch.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "crypto/RootStore.h"

namespace rimo::crypto {
namespace {

// Certificate pairs whose signature verified (most recent first), so that
// the same response checked again, and the root lookup after the chain
// check, need not verify the same signature again.
class SignedPairs {
 public:
  void Remember(X509* cert, X509* issuer) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (KnownLocked(cert, issuer)) return;
    X509_up_ref(cert);
    X509_up_ref(issuer);
    entries_.insert(entries_.begin(), {X509Ptr(cert), X509Ptr(issuer)});
    if (entries_.size() > kCapacity) entries_.pop_back();
  }
  bool Known(X509* cert, X509* issuer) {
    std::lock_guard<std::mutex> guard(mutex_);
    return KnownLocked(cert, issuer);
  }

 private:
  bool KnownLocked(X509* cert, X509* issuer) {
    for (const auto& [c, i] : entries_) {
      if (X509_cmp(c.get(), cert) == 0 && X509_cmp(i.get(), issuer) == 0) return true;
    }
    return false;
  }

  static constexpr size_t kCapacity = 16;
  std::mutex mutex_;
  std::vector<std::pair<X509Ptr, X509Ptr>> entries_;
};

SignedPairs& Pairs() {
  static SignedPairs pairs;
  return pairs;
}

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

bool SelfSigned(X509* cert) {
  if (X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) != 0) return false;
  return IssuerSearch::SignedBy(cert, cert);
}

// Best first; the candidates arrive in the store's stable order, which
// std::stable_sort keeps among equals.
void Order(X509* cert, CertPath* candidates) {
  auto rank = [cert](const std::shared_ptr<X509>& c) {
    return (ExactName(cert, c.get()) ? 0 : 4) + (KeyIdMatches(cert, c.get()) ? 0 : 2) +
           (CurrentlyValid(c.get()) ? 0 : 1);
  };
  std::stable_sort(candidates->begin(), candidates->end(),
                   [&](const std::shared_ptr<X509>& a, const std::shared_ptr<X509>& b) { return rank(a) < rank(b); });
}

bool Same(X509* a, X509* b) { return a == b || X509_cmp(a, b) == 0; }

bool Contains(const CertPath& path, X509* cert) {
  return std::any_of(path.begin(), path.end(), [cert](const std::shared_ptr<X509>& c) { return Same(c.get(), cert); });
}

void Extend(X509* cert, CertPath* current, std::vector<CertPath>* paths) {
  bool extended = false;
  for (const auto& issuer : IssuerSearch::Issuers(cert)) {
    // The certificate itself, or one already on the path, would be a loop.
    if (Same(issuer.get(), cert) || Contains(*current, issuer.get())) continue;
    extended = true;
    current->push_back(issuer);
    if (SelfSigned(issuer.get()) || current->size() >= IssuerSearch::kMaxDepth) {
      paths->push_back(*current);
    } else {
      Extend(issuer.get(), current, paths);
    }
    current->pop_back();
    if (paths->size() >= IssuerSearch::kMaxPaths) return;
  }
  if (!extended && !current->empty()) paths->push_back(*current);
}

void KeepSignedBy(X509* cert, CertPath* candidates) {
  candidates->erase(std::remove_if(candidates->begin(), candidates->end(),
                                   [cert](const std::shared_ptr<X509>& c) { return !IssuerSearch::SignedBy(cert, c.get()); }),
                    candidates->end());
}

}  // namespace

CertPath IssuerSearch::Issuers(X509* cert) {
  CertPath candidates = RootStore::Candidates(X509_get_issuer_name(cert));
  if (candidates.size() > 1) KeepSignedBy(cert, &candidates);
  Order(cert, &candidates);
  return candidates;
}

CertPath IssuerSearch::VerifiedIssuers(X509* cert) {
  CertPath candidates = RootStore::Candidates(X509_get_issuer_name(cert));
  KeepSignedBy(cert, &candidates);
  Order(cert, &candidates);
  return candidates;
}

std::vector<CertPath> IssuerSearch::Paths(X509* leaf) {
  std::vector<CertPath> paths;
  CertPath current;
  Extend(leaf, &current, &paths);
  return paths;
}

bool IssuerSearch::SignedBy(X509* cert, X509* issuer) {
  if (Pairs().Known(cert, issuer)) return true;
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  const bool ok = key != nullptr && X509_verify(cert, key) == 1;
  ERR_clear_error();
  if (ok) Pairs().Remember(cert, issuer);
  return ok;
}

void IssuerSearch::RememberSigned(X509* cert, X509* issuer) { Pairs().Remember(cert, issuer); }

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
