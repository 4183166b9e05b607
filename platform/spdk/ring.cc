// Lock-free rings of object pointers.
//
// The slot array is a power of two so that a position maps to its slot with
// a mask, but the ring admits only `capacity` entries, exactly the count
// asked at creation. Positions are 64-bit counters that never wrap in
// practice; differences of positions are taken modulo 2^64 anyway.
//
// Each side has a head and a tail:
//   producers: prod_head  next position to hand out
//              prod_tail  everything below it is written and visible
//   consumers: cons_head  next position to hand out
//              cons_tail  everything below it is read; its slots are free
// A producer reserves [head, head + n) by moving prod_head (with a CAS when
// several producers share the ring), writes its slots, waits until the
// producers before it have published (prod_tail == head), then publishes
// with a release store of prod_tail = head + n. The consumer side is the
// mirror image. Acquire loads of the other side's tail make the slot writes
// (or reads) of that side visible before a slot is read (or written again).
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "spdk/env.h"

namespace {

constexpr size_t kCacheLine = 64;

// Lets the CPU breathe inside a spin; after a while gives the time slice
// away, since the thread we wait for may be preempted on a busy machine.
class Backoff {
 public:
  void pause() {
    if (++spins_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield" ::: "memory");
#endif
    } else {
      sched_yield();
    }
  }

 private:
  unsigned spins_ = 0;
};

size_t slots_for(size_t capacity) {
  size_t n = 1;
  while (n < capacity) n <<= 1;
  return n;
}

}  // namespace

struct spdk_ring {
  spdk_ring(spdk_ring_type t, size_t cap)
      : type(t), capacity(cap), mask(slots_for(cap) - 1), slots(new void*[mask + 1]) {}

  bool multi_producer() const { return type != SPDK_RING_TYPE_SP_SC; }
  bool multi_consumer() const { return type == SPDK_RING_TYPE_MP_MC; }

  const spdk_ring_type type;
  const uint64_t capacity;
  const uint64_t mask;
  const std::unique_ptr<void*[]> slots;

  alignas(kCacheLine) std::atomic<uint64_t> prod_head{0};
  std::atomic<uint64_t> prod_tail{0};
  alignas(kCacheLine) std::atomic<uint64_t> cons_head{0};
  std::atomic<uint64_t> cons_tail{0};
};

namespace {

// Waits for the earlier reservations of the same side to be published, then
// publishes ours. The acquire load carries the earlier writers' slot
// accesses into our release store, so whoever acquires our tail sees theirs.
void publish(std::atomic<uint64_t>* tail, uint64_t from, uint64_t to, bool shared) {
  if (shared) {
    Backoff backoff;
    while (tail->load(std::memory_order_acquire) != from) backoff.pause();
  }
  tail->store(to, std::memory_order_release);
}

// Reserves `n` positions for producers; false when they do not all fit.
bool reserve_enqueue(spdk_ring* r, uint64_t n, uint64_t* head, uint64_t* free_after) {
  uint64_t h = r->prod_head.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t free = r->capacity - (h - r->cons_tail.load(std::memory_order_acquire));
    if (n > free) {
      *free_after = free;
      return false;
    }
    *free_after = free - n;
    if (!r->multi_producer()) {
      r->prod_head.store(h + n, std::memory_order_relaxed);
      break;
    }
    if (r->prod_head.compare_exchange_weak(h, h + n, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
      break;
    }
  }
  *head = h;
  return true;
}

// Reserves up to `want` positions for consumers; returns how many.
uint64_t reserve_dequeue(spdk_ring* r, uint64_t want, uint64_t* head) {
  uint64_t h = r->cons_head.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t avail = r->prod_tail.load(std::memory_order_acquire) - h;
    const uint64_t n = std::min(want, avail);
    if (n == 0) return 0;
    if (!r->multi_consumer()) {
      r->cons_head.store(h + n, std::memory_order_relaxed);
      *head = h;
      return n;
    }
    if (r->cons_head.compare_exchange_weak(h, h + n, std::memory_order_relaxed,
                                           std::memory_order_relaxed)) {
      *head = h;
      return n;
    }
  }
}

}  // namespace

extern "C" {

struct spdk_ring* spdk_ring_create(enum spdk_ring_type type, size_t count, int /*socket_id*/) {
  if (count == 0 || count > (size_t{1} << 40)) return nullptr;
  if (type != SPDK_RING_TYPE_SP_SC && type != SPDK_RING_TYPE_MP_SC &&
      type != SPDK_RING_TYPE_MP_MC) {
    return nullptr;
  }
  return new (std::nothrow) spdk_ring(type, count);
}

void spdk_ring_free(struct spdk_ring* ring) { delete ring; }

size_t spdk_ring_count(struct spdk_ring* ring) {
  // cons_tail first: it only grows and never passes prod_tail, so the
  // difference cannot go below zero.
  const uint64_t cons = ring->cons_tail.load(std::memory_order_acquire);
  const uint64_t prod = ring->prod_tail.load(std::memory_order_acquire);
  return static_cast<size_t>(std::min(prod - cons, ring->capacity));
}

size_t spdk_ring_enqueue(struct spdk_ring* ring, void** objs, size_t count, size_t* free_space) {
  uint64_t head = 0;
  uint64_t free_after = 0;
  if (count == 0 || !reserve_enqueue(ring, count, &head, &free_after)) {
    if (free_space != nullptr) {
      *free_space = count == 0 ? ring->capacity - spdk_ring_count(ring) : free_after;
    }
    return 0;
  }
  void** slots = ring->slots.get();
  for (size_t i = 0; i < count; ++i) slots[(head + i) & ring->mask] = objs[i];
  publish(&ring->prod_tail, head, head + count, ring->multi_producer());
  if (free_space != nullptr) *free_space = free_after;
  return count;
}

size_t spdk_ring_dequeue(struct spdk_ring* ring, void** objs, size_t count) {
  uint64_t head = 0;
  const uint64_t n = count == 0 ? 0 : reserve_dequeue(ring, count, &head);
  if (n == 0) return 0;
  void* const* slots = ring->slots.get();
  for (uint64_t i = 0; i < n; ++i) objs[i] = slots[(head + i) & ring->mask];
  publish(&ring->cons_tail, head, head + n, ring->multi_consumer());
  return static_cast<size_t>(n);
}

}  // extern "C"
