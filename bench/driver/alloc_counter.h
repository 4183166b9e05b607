// Heap allocations counted in this program: the malloc family is replaced
// by counting wrappers around glibc's own allocator (operator new comes
// through malloc too). Linked into bench_driver_io only.
//
// Every allocation counts in the process total; those made on a thread that
// called CountThisThread() count in the marked total as well, and those made
// while a HostCall lives on the calling thread in the host total.
#ifndef BENCH_DRIVER_ALLOC_COUNTER_H_
#define BENCH_DRIVER_ALLOC_COUNTER_H_

#include <cstdint>

namespace allocs {

// Marks the calling thread (the driver's loop thread).
void CountThisThread();
// Allocations so far: on marked threads, inside host calls, and in the
// whole process.
uint64_t Marked();
uint64_t Host();
uint64_t Total();

// Counts what the calling thread allocates while it lives (a host thread
// inside a library call).
class HostCall {
 public:
  HostCall();
  ~HostCall();
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
};

}  // namespace allocs

#endif  // BENCH_DRIVER_ALLOC_COUNTER_H_
