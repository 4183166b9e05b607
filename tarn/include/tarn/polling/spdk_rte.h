// Process-wide start of the SPDK environment (DMA-safe memory, huge pages,
// PCI access).
//
// Once it has run, g_spdk_env_inited is true and memory pools take SPDK DMA
// memory. A host that started SPDK itself sets g_spdk_env_inited instead of
// calling Init.
#ifndef TARN_POLLING_SPDK_RTE_H_
#define TARN_POLLING_SPDK_RTE_H_

#include <atomic>
#include <mutex>

#include "tarn/types.h"

namespace tarn {

extern std::atomic<bool> g_spdk_env_inited;

class SpdkRte {
 public:
  // Any thread; the environment starts at most once. Returns 0 when the
  // environment is up (now or before), or the negative result of the start.
  // A failed start is logged and leaves g_spdk_env_inited false, so the
  // process goes on with ordinary memory instead of ending.
  static int Init(const LibOption& option);

 private:
  static std::mutex lock_;
};

}  // namespace tarn

#endif  // TARN_POLLING_SPDK_RTE_H_
