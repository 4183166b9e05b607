#include "alloc_counter.h"

#include <errno.h>

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t align, size_t size);
}

namespace allocs {
namespace {

std::atomic<uint64_t> g_marked{0};
std::atomic<uint64_t> g_host{0};
std::atomic<uint64_t> g_total{0};
// Plain thread-local storage of the executable: reading it never allocates.
__thread bool tl_marked = false;
__thread bool tl_host = false;

inline void Count() {
  g_total.fetch_add(1, std::memory_order_relaxed);
  if (tl_marked) g_marked.fetch_add(1, std::memory_order_relaxed);
  if (tl_host) g_host.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void CountThisThread() { tl_marked = true; }
uint64_t Marked() { return g_marked.load(std::memory_order_relaxed); }
uint64_t Host() { return g_host.load(std::memory_order_relaxed); }
uint64_t Total() { return g_total.load(std::memory_order_relaxed); }

HostCall::HostCall() { tl_host = true; }
HostCall::~HostCall() { tl_host = false; }

}  // namespace allocs

extern "C" {

void* malloc(size_t size) {
  allocs::Count();
  return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
  allocs::Count();
  return __libc_calloc(n, size);
}

void* realloc(void* p, size_t size) {
  allocs::Count();
  return __libc_realloc(p, size);
}

void* memalign(size_t align, size_t size) {
  allocs::Count();
  return __libc_memalign(align, size);
}

void* aligned_alloc(size_t align, size_t size) {
  allocs::Count();
  return __libc_memalign(align, size);
}

int posix_memalign(void** out, size_t align, size_t size) {
  if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
  allocs::Count();
  void* p = __libc_memalign(align, size);
  if (p == nullptr && size != 0) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
