// Test hooks of the SPDK environment stand-in (not part of SPDK).
#ifndef PLATFORM_SPDK_ENV_STANDIN_H
#define PLATFORM_SPDK_ENV_STANDIN_H

#include <stddef.h>

#include <string>

namespace spdk_standin {

// The options of the last successful spdk_env_init, copied.
struct EnvRecord {
  std::string name;
  std::string core_mask;
  int shm_id = 0;
  int mem_size = 0;
  std::string hugedir;  // empty when none was given
  int pinned_cpu = -1;  // the CPU the starting thread was pinned to
};

bool env_started();
// The record of the running environment; false while it is down.
bool env_record(EnvRecord* out);
// Makes the next spdk_env_init calls fail with `rc` (negative), or succeed
// again with 0.
void set_env_init_result(int rc);
// Forgets the running environment so that a test can start it again.
void reset_env();

// True when [addr, addr + len) lies inside one live block of spdk_zmalloc
// (the only memory an emulated device can reach).
bool dma_range_ok(const void* addr, size_t len);

}  // namespace spdk_standin

#endif  // PLATFORM_SPDK_ENV_STANDIN_H
