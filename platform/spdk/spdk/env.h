// The SPDK environment layer as the framework and the driver use it:
// environment start, DMA-safe memory and rings.
//
// In production the host process supplies this layer. This stand-in keeps
// the same names and signatures so that the framework builds and runs in
// tests: memory comes from the heap or anonymous mappings, and starting the
// environment records its options and pins the caller like the real start
// does, without touching huge pages or devices.
#ifndef PLATFORM_SPDK_ENV_H
#define PLATFORM_SPDK_ENV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SPDK_ENV_SOCKET_ID_ANY (-1)
// Memory that devices may read and write.
#define SPDK_MALLOC_DMA 0x01
// Memory shared with other processes (accepted, not acted upon).
#define SPDK_MALLOC_SHARE 0x02

struct spdk_env_opts {
  const char* name;       // process name
  const char* core_mask;  // hexadecimal mask ("0x3") or list ("[0,2-3]")
  int shm_id;             // -1: no shared memory
  int mem_channel;
  int main_core;
  int mem_size;           // MiB, -1: default
  bool no_pci;
  bool hugepage_single_segments;
  bool unlink_hugepage;
  const char* hugedir;    // NULL: the default huge-page mount
  uint64_t base_virtaddr;
  void* env_context;
};

// Fills `opts` with the defaults.
void spdk_env_opts_init(struct spdk_env_opts* opts);

// Starts the environment for the whole process; pins the calling thread to
// the first core of the mask. Returns 0, or a negative errno value (the
// environment then stays down).
int spdk_env_init(const struct spdk_env_opts* opts);

// Lets the calling thread run on every CPU again.
void spdk_unaffinitize_thread(void);

// `size` bytes, zeroed, aligned to `align` (a power of two; 0 means 64).
// Blocks of 2 MiB and more are fresh anonymous mappings, so their pages are
// only backed once touched. `phys_addr`, when given, receives the address
// a device would use. Returns NULL on failure.
void* spdk_zmalloc(size_t size, size_t align, uint64_t* phys_addr, int socket_id,
                   uint32_t flags);

// Releases a block of spdk_zmalloc; NULL is ignored.
void spdk_free(void* buf);

// The older DMA allocation calls: spdk_zmalloc with SPDK_MALLOC_DMA, and
// spdk_free.
void* spdk_dma_zmalloc(size_t size, size_t align, uint64_t* phys_addr);
void spdk_dma_free(void* buf);

// PCI addresses and devices.
struct spdk_pci_addr {
  uint32_t domain;
  uint8_t bus;
  uint8_t dev;
  uint8_t func;
};

struct spdk_pci_device;

// Parses "DDDD:BB:DD.F" or "BB:DD.F" (hexadecimal; the domain defaults to
// 0). Returns 0, or -EINVAL.
int spdk_pci_addr_parse(struct spdk_pci_addr* addr, const char* bdf);
// Writes "DDDD:BB:DD.F" into `bdf`. Returns 0, or -1 when it does not fit.
int spdk_pci_addr_fmt(char* bdf, size_t sz, const struct spdk_pci_addr* addr);
// -1, 0 or 1 as a1 sorts before, with or after a2.
int spdk_pci_addr_compare(const struct spdk_pci_addr* a1, const struct spdk_pci_addr* a2);
struct spdk_pci_addr spdk_pci_device_get_addr(struct spdk_pci_device* dev);


// Rings of object pointers, lock-free.
//
// A ring holds exactly the number of entries asked at creation (any count
// from 1). SPDK_RING_TYPE_MP_SC takes producers on any number of threads and
// one consumer; SPDK_RING_TYPE_SP_SC one producer and one consumer;
// SPDK_RING_TYPE_MP_MC any number of both. Enqueue is all-or-nothing: it
// takes `count` objects or none, and returns how many it took. Dequeue takes
// up to `count` objects in ring order. Neither allocates nor locks; a
// producer may briefly wait for producers that reserved slots before it.
enum spdk_ring_type {
  SPDK_RING_TYPE_SP_SC, /* single-producer, single-consumer */
  SPDK_RING_TYPE_MP_SC, /* multi-producer, single-consumer */
  SPDK_RING_TYPE_MP_MC, /* multi-producer, multi-consumer */
};

struct spdk_ring;

// NULL when count is 0 or memory is short.
struct spdk_ring* spdk_ring_create(enum spdk_ring_type type, size_t count, int socket_id);
// NULL is ignored.
void spdk_ring_free(struct spdk_ring* ring);
// Entries currently held.
size_t spdk_ring_count(struct spdk_ring* ring);
// `free_space`, when given, receives the entries left free afterwards (as
// seen at the attempt).
size_t spdk_ring_enqueue(struct spdk_ring* ring, void** objs, size_t count, size_t* free_space);
size_t spdk_ring_dequeue(struct spdk_ring* ring, void** objs, size_t count);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SPDK_ENV_H
