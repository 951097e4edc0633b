#include "crypto/RootStore.h"
#include "platform/ForkChild.h"

#include <new>
#include <pthread.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/Clock.h"
#include "platform/FileIo.h"
#include "platform/Folders.h"
#include "platform/SafeFiles.h"

namespace rimo::crypto {
namespace {

// A root file is small; anything larger is not read.
constexpr size_t kMaxFileSize = 1 << 20;

using Identity = platform::FileStamp;

// The stamp of a root-store entry or of the store's folder, links followed
// by the rule of SafeFiles.h; false for anything but a file or a folder.
bool StatIdentity(const std::string& path, Identity* id) {
  const std::optional<struct stat> st = platform::StatNoForeignLinks(path);
  if (!st) return false;
  *id = Identity::Of(*st);
  return S_ISREG(st->st_mode) || S_ISDIR(st->st_mode);
}

// A reading at readAtMs of a file with stamp id holds later only when the
// file had settled by then.
bool TrustedSince(const Identity& id, int64_t readAtMs) {
  Identity at = id;
  return at.SettledSince(readAtMs);
}

struct FileEntry {
  Identity identity;
  int64_t readAt = 0;
  std::vector<std::shared_ptr<X509>> certs;
};

struct Listing {
  Identity identity;
  int64_t readAt = 0;
  bool valid = false;
  // subject hash -> entry names ("0123abcd.0", ...)
  std::unordered_map<unsigned long, std::vector<std::string>> byHash;
};

struct Cache {
  std::mutex mutex;
  // The look during which the directory and the files named in
  // lookedEntries were last checked (0: none).
  uint64_t look = 0;
  std::vector<std::string> lookedEntries;
  std::string directory;
  Listing listing;
  std::map<std::string, FileEntry> files;
  std::vector<std::pair<std::string, unsigned long>> hashes;  // name DER -> subject hash
};

// Made when the library loads, so that it outlives the workers at exit.
Cache g_cache;
// In a child of fork a parent thread may have held the lock: the child
// starts with a fresh, empty one (what was there is left, never destroyed).
const bool g_cacheForkSafe = (pthread_atfork(nullptr, nullptr, [] { platform::RemakeInChild(g_cache); }), true);

std::atomic<uint64_t> g_looks{0};
// The look of this thread's outermost OneLook, 0 outside any.
thread_local uint64_t t_look = 0;
thread_local int t_lookDepth = 0;

Cache& TheCache() { return g_cache; }

// "<8 hex digits>.<decimal>"; CRL entries ("<hash>.r<N>") are not roots.
bool ParseEntryName(const char* name, unsigned long* hash) {
  if (std::strlen(name) < 10 || name[8] != '.') return false;
  unsigned long value = 0;
  for (int i = 0; i < 8; ++i) {
    const char c = name[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  for (const char* p = name + 9; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  *hash = value;
  return true;
}

void ReadListing(const std::string& directory, Listing* listing) {
  listing->byHash.clear();
  listing->valid = false;
  const int64_t readAt = platform::RealTimeMs();
  if (!StatIdentity(directory, &listing->identity)) return;
  platform::FileDescriptor folder = platform::OpenFolder(directory);
  platform::DirectoryStream dir(folder ? fdopendir(folder.Get()) : nullptr);
  if (dir != nullptr) folder.Release();  // the stream owns it now
  if (dir == nullptr) return;
  while (const struct dirent* entry = readdir(dir.get())) {
    unsigned long hash = 0;
    if (ParseEntryName(entry->d_name, &hash)) listing->byHash[hash].emplace_back(entry->d_name);
  }
  listing->readAt = readAt;
  listing->valid = true;
}

std::vector<std::shared_ptr<X509>> ReadPemFile(const std::string& path, const Identity& identity) {
  std::vector<std::shared_ptr<X509>> certs;
  if (identity.size == 0 || identity.size > kMaxFileSize) return certs;
  const std::optional<std::string> content = platform::ReadWholeFile(path, kMaxFileSize);
  if (!content) return certs;
  const std::string& bytes = *content;
  std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
  if (bio == nullptr) return certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certs.emplace_back(cert, &X509_free);
  }
  ERR_clear_error();
  return certs;
}

// The certificates of one entry, read again when the file behind it changed.
const std::vector<std::shared_ptr<X509>>* FileCertificates(Cache& cache, const std::string& path, int64_t now) {
  Identity identity;
  if (!StatIdentity(path, &identity)) {
    cache.files.erase(path);
    return nullptr;
  }
  auto it = cache.files.find(path);
  if (it != cache.files.end() && it->second.identity == identity && TrustedSince(identity, it->second.readAt)) {
    return &it->second.certs;
  }
  FileEntry entry;
  entry.readAt = now;
  entry.certs = ReadPemFile(path, identity);
  // Read again after reading: a file replaced meanwhile is taken up next time.
  Identity after;
  entry.identity = StatIdentity(path, &after) ? after : Identity{};
  auto& stored = cache.files[path] = std::move(entry);
  return &stored.certs;
}

void AddMatching(const std::vector<std::shared_ptr<X509>>& certs, const X509_NAME* name,
                 std::vector<std::shared_ptr<X509>>* out) {
  for (const auto& cert : certs) {
    if (X509_NAME_cmp(X509_get_subject_name(cert.get()), name) != 0) continue;
    // The same certificate under two entries counts once.
    const bool seen = std::any_of(out->begin(), out->end(),
                                  [&](const std::shared_ptr<X509>& c) { return X509_cmp(c.get(), cert.get()) == 0; });
    if (!seen) out->push_back(cert);
  }
}

void SortCandidates(std::vector<std::shared_ptr<X509>>* out) {
  std::sort(out->begin(), out->end(), [](const std::shared_ptr<X509>& a, const std::shared_ptr<X509>& b) {
    return X509_cmp(a.get(), b.get()) < 0;
  });
}

}  // namespace

std::string RootStore::Directory() { return platform::KeloRoot() + "/etc/ssl/certs/"; }

std::vector<std::shared_ptr<X509>> RootStore::Candidates(const X509_NAME* name) {
  std::vector<std::shared_ptr<X509>> out;
  if (name == nullptr) return out;
  const std::string directory = Directory();
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  // The subject hash of a name (a SHA-1 over its canonical form) is
  // remembered by the name's bytes: every load asks for the same few names.
  const unsigned char* der = nullptr;
  size_t derLength = 0;
  if (X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &derLength) != 1) return out;
  const std::string nameKey(reinterpret_cast<const char*>(der), derLength);
  unsigned long hash = 0;
  auto known = std::find_if(cache.hashes.begin(), cache.hashes.end(),
                            [&](const std::pair<std::string, unsigned long>& h) { return h.first == nameKey; });
  if (known != cache.hashes.end()) {
    hash = known->second;
  } else {
    int ok = 0;
    hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    if (ok != 1) {
      ERR_clear_error();
      return out;
    }
    if (cache.hashes.size() >= 16) cache.hashes.erase(cache.hashes.begin());
    cache.hashes.emplace_back(nameKey, hash);
  }
  const int64_t now = platform::RealTimeMs();
  if (cache.directory != directory) {
    cache.directory = directory;
    cache.listing = Listing{};
    cache.files.clear();
    cache.look = 0;
  }
  // Within one look, what was checked in it already is taken as it stands.
  const bool looked = t_look != 0 && cache.look == t_look && cache.listing.valid;
  if (looked) {
    auto entries = cache.listing.byHash.find(hash);
    if (entries == cache.listing.byHash.end()) return out;
    const bool allChecked = std::all_of(entries->second.begin(), entries->second.end(), [&](const std::string& e) {
      return std::find(cache.lookedEntries.begin(), cache.lookedEntries.end(), e) != cache.lookedEntries.end();
    });
    if (allChecked) {
      for (const std::string& entry : entries->second) {
        auto file = cache.files.find(directory + entry);
        if (file == cache.files.end()) continue;
        AddMatching(file->second.certs, name, &out);
      }
      SortCandidates(&out);
      return out;
    }
  }
  if (t_look != 0 && cache.look != t_look) {
    cache.look = t_look;
    cache.lookedEntries.clear();
  }
  Identity dirIdentity;
  const bool dirExists = StatIdentity(directory, &dirIdentity);
  if (!dirExists) {
    cache.listing = Listing{};
    cache.files.clear();
    cache.look = 0;
    return out;
  }
  if (!cache.listing.valid || !(cache.listing.identity == dirIdentity) ||
      !TrustedSince(dirIdentity, cache.listing.readAt)) {
    ReadListing(directory, &cache.listing);
  }
  auto entries = cache.listing.byHash.find(hash);
  if (entries == cache.listing.byHash.end()) return out;
  for (const std::string& entry : entries->second) {
    const auto* certs = FileCertificates(cache, directory + entry, now);
    if (cache.look != 0 && cache.look == t_look) cache.lookedEntries.push_back(entry);
    if (certs != nullptr) AddMatching(*certs, name, &out);
  }
  SortCandidates(&out);
  return out;
}

RootStore::OneLook::OneLook() {
  if (t_lookDepth++ == 0) t_look = g_looks.fetch_add(1, std::memory_order_relaxed) + 1;
}

RootStore::OneLook::~OneLook() {
  if (--t_lookDepth == 0) t_look = 0;
}

bool RootStore::Present() { return platform::IsDirectory(Directory()); }

void RootStore::Flush() {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  cache.directory.clear();
  cache.listing = Listing{};
  cache.files.clear();
  cache.look = 0;
}

}  // namespace rimo::crypto
