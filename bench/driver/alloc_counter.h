// Heap allocations counted in this program: the malloc family is replaced
// by counting wrappers around glibc's own allocator (operator new comes
// through malloc too). Linked into bench_driver_io only.
//
// Every allocation counts in the process total; those made on a thread that
// called CountThisThread() count in the marked total as well.
#ifndef BENCH_DRIVER_ALLOC_COUNTER_H_
#define BENCH_DRIVER_ALLOC_COUNTER_H_

#include <cstdint>

namespace allocs {

// Marks the calling thread (the driver's loop thread).
void CountThisThread();
// Allocations so far: on marked threads, and in the whole process.
uint64_t Marked();
uint64_t Total();

}  // namespace allocs

#endif  // BENCH_DRIVER_ALLOC_COUNTER_H_
