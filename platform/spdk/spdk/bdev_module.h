// The part of SPDK's block-device layer that the driver touches: the block
// I/O record, its type, and the driver-context area at its end (stand-in).
#ifndef PLATFORM_SPDK_BDEV_MODULE_H
#define PLATFORM_SPDK_BDEV_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum spdk_bdev_io_type {
  SPDK_BDEV_IO_TYPE_INVALID = 0,
  SPDK_BDEV_IO_TYPE_READ = 1,
  SPDK_BDEV_IO_TYPE_WRITE = 2,
  SPDK_BDEV_IO_TYPE_UNMAP = 3,
  SPDK_BDEV_IO_TYPE_FLUSH = 4,
};

// One block I/O of the host. The host allocates it with room for the block
// module's per-I/O context behind it (`driver_ctx`).
struct spdk_bdev_io {
  void* bdev;                     // the host's block device
  int16_t type;                   // enum spdk_bdev_io_type
  void* internal_cb_arg;          // the host's own completion context
  void* internal_ch;              // the host's channel
  uint8_t reserved[64];           // host-private state
  uint8_t driver_ctx[] __attribute__((aligned(8)));
};

// The driver context of a block I/O, and back.
static inline void* spdk_bdev_io_get_driver_ctx(struct spdk_bdev_io* bdev_io) {
  return bdev_io->driver_ctx;
}
static inline struct spdk_bdev_io* spdk_bdev_io_from_ctx(void* ctx) {
  return (struct spdk_bdev_io*)((uintptr_t)ctx - offsetof(struct spdk_bdev_io, driver_ctx));
}

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SPDK_BDEV_MODULE_H
