// DMA-safe memory of the environment stand-in.
//
// Every block carries a small header right in front of the address handed
// out, saying how the block was made, so spdk_free needs no lookup table
// and no lock.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <cstdint>

#include "spdk/env.h"

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
  if (h->kind == kMapped) {
    munmap(h->base, h->length);
  } else {
    free(h->base);
  }
}
