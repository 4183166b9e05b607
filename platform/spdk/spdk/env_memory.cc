// DMA-safe memory of the environment stand-in.
//
// Every block carries a small header right in front of the address handed
// out, saying how the block was made. Live blocks are also kept in a table
// so that the emulated devices can refuse memory a real device could not
// reach (spdk_standin::dma_range_ok).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <cstdint>
#include <map>
#include <mutex>

#include "spdk/env.h"
#include "spdk/env_standin.h"

namespace {

constexpr size_t kLargeBlock = size_t{2} << 20;
constexpr uint64_t kMagic = 0x7370646b7a6d656dULL;
constexpr uint64_t kFreedMagic = 0x7370646b66726565ULL;

enum Kind : uint32_t { kHeap = 1, kMapped = 2 };

struct Header {
  uint64_t magic;
  uint32_t kind;
  void* base;     // what malloc or mmap returned
  size_t length;  // the mapping's length
};

// Live blocks: user start -> user end.
std::mutex g_blocks_mu;
std::map<uintptr_t, uintptr_t>& blocks() {
  static auto* table = new std::map<uintptr_t, uintptr_t>;  // never freed: used at exit
  return *table;
}

uintptr_t round_up(uintptr_t v, size_t align) {
  return (v + align - 1) & ~static_cast<uintptr_t>(align - 1);
}

}  // namespace

extern "C" void* spdk_zmalloc(size_t size, size_t align, uint64_t* phys_addr,
                              int /*socket_id*/, uint32_t /*flags*/) {
  if (align == 0) align = 64;
  if ((align & (align - 1)) != 0) return nullptr;
  if (align < 16) align = 16;
  if (size == 0) size = 1;
  // Room for the header and for moving the start up to the alignment.
  const size_t slack = sizeof(Header) + align;
  if (size > SIZE_MAX - slack) return nullptr;
  const size_t length = size + slack;

  void* base = nullptr;
  Kind kind = kHeap;
  if (size >= kLargeBlock) {
    base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                -1, 0);
    if (base == MAP_FAILED) return nullptr;
    kind = kMapped;
  } else {
    base = malloc(length);
    if (base == nullptr) return nullptr;
  }
  const uintptr_t user =
      round_up(reinterpret_cast<uintptr_t>(base) + sizeof(Header), align);
  if (kind == kHeap) memset(reinterpret_cast<void*>(user), 0, size);
  Header* h = reinterpret_cast<Header*>(user) - 1;
  h->magic = kMagic;
  h->kind = kind;
  h->base = base;
  h->length = length;
  if (phys_addr != nullptr) *phys_addr = user;
  {
    std::lock_guard<std::mutex> lock(g_blocks_mu);
    blocks()[user] = user + size;
  }
  return reinterpret_cast<void*>(user);
}

extern "C" void spdk_free(void* buf) {
  if (buf == nullptr) return;
  Header* h = static_cast<Header*>(buf) - 1;
  if (h->magic != kMagic) {
    // Freeing a foreign or already freed pointer would corrupt the heap;
    // leaking it is the lesser harm.
    fprintf(stderr, "spdk_free: %p is not a live spdk_zmalloc block\n", buf);
    return;
  }
  h->magic = kFreedMagic;
  {
    std::lock_guard<std::mutex> lock(g_blocks_mu);
    blocks().erase(reinterpret_cast<uintptr_t>(buf));
  }
  if (h->kind == kMapped) {
    munmap(h->base, h->length);
  } else {
    free(h->base);
  }
}

extern "C" void* spdk_dma_zmalloc(size_t size, size_t align, uint64_t* phys_addr) {
  return spdk_zmalloc(size, align, phys_addr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
}

extern "C" void spdk_dma_free(void* buf) { spdk_free(buf); }

namespace spdk_standin {

bool dma_range_ok(const void* addr, size_t len) {
  if (addr == nullptr) return false;
  const uintptr_t start = reinterpret_cast<uintptr_t>(addr);
  if (len > UINTPTR_MAX - start) return false;
  std::lock_guard<std::mutex> lock(g_blocks_mu);
  const auto& table = blocks();
  auto it = table.upper_bound(start);
  if (it == table.begin()) return false;
  --it;
  return start >= it->first && start + len <= it->second;
}

}  // namespace spdk_standin
