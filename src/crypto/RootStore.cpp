#include "crypto/RootStore.h"

#include <sys/stat.h>

#include <mutex>

#include "platform/Folders.h"

namespace rimo::crypto {
namespace {

struct Cache {
  std::mutex mutex;
  std::string directory;
  int64_t mtimeNs = -1;
  ino_t inode = 0;
  std::shared_ptr<X509_STORE> store;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

std::shared_ptr<X509_STORE> MakeStore(const std::string& directory) {
  X509StorePtr store(X509_STORE_new());
  if (store == nullptr) return nullptr;
  X509_LOOKUP* lookup = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
  if (lookup == nullptr || X509_LOOKUP_add_dir(lookup, directory.c_str(), X509_FILETYPE_PEM) != 1) return nullptr;
  return std::shared_ptr<X509_STORE>(store.release(), &X509_STORE_free);
}

}  // namespace

std::string RootStore::Directory() { return platform::KeloRoot() + "/etc/ssl/certs/"; }

std::shared_ptr<X509_STORE> RootStore::Current() {
  const std::string directory = Directory();
  struct stat st {};
  int64_t mtime = -1;
  ino_t inode = 0;
  if (stat(directory.c_str(), &st) == 0) {
    mtime = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    inode = st.st_ino;
  }
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  if (cache.store == nullptr || cache.directory != directory || cache.mtimeNs != mtime || cache.inode != inode) {
    cache.store = MakeStore(directory);
    cache.directory = directory;
    cache.mtimeNs = mtime;
    cache.inode = inode;
  }
  return cache.store;
}

}  // namespace rimo::crypto
