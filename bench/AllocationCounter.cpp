#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> allocations{0};
std::atomic<int64_t> live{0};
std::atomic<int64_t> peak{0};
std::atomic<int64_t> base{0};

void Allocated(void* p) {
  if (p == nullptr) return;
  const auto size = static_cast<int64_t>(malloc_usable_size(p));
  const int64_t now = live.fetch_add(size, std::memory_order_relaxed) + size;
  if (!counting.load(std::memory_order_relaxed)) return;
  allocations.fetch_add(1, std::memory_order_relaxed);
  int64_t high = peak.load(std::memory_order_relaxed);
  while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
  }
}

void Freed(void* p) {
  if (p != nullptr) live.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  Allocated(p);
  return p;
}

void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  Allocated(p);
  return p;
}

void* realloc(void* old, size_t size) {
  Freed(old);
  void* p = __libc_realloc(old, size);
  Allocated(p != nullptr ? p : (size == 0 ? nullptr : old));
  return p;
}

void free(void* p) {
  Freed(p);
  __libc_free(p);
}

void* memalign(size_t alignment, size_t size) {
  void* p = __libc_memalign(alignment, size);
  Allocated(p);
  return p;
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}

}  // extern "C"

namespace rimo::bench {

void AllocationCounter::Start() {
  allocations.store(0);
  base.store(live.load());
  peak.store(live.load());
  counting.store(true);
}

AllocationSample AllocationCounter::Stop() {
  counting.store(false);
  AllocationSample sample;
  sample.allocations = allocations.load();
  sample.peakBytes = static_cast<size_t>(peak.load() - base.load());
  return sample;
}

}  // namespace rimo::bench
