#include "tarn/polling/spdk_rte.h"

#include <string>

#include "spdk/env.h"
#include "tarn/base/logging.h"
#include "tarn/utils.h"

namespace tarn {

std::atomic<bool> g_spdk_env_inited{false};
std::mutex SpdkRte::lock_;

int SpdkRte::Init(const LibOption& option) {
  std::lock_guard<std::mutex> guard(lock_);
  if (g_spdk_env_inited.load()) return 0;

  // The environment keeps pointers to these texts for the life of the
  // process, so they live in statics.
  static std::string core_mask;
  static std::string hugedir;
  core_mask = GetNumaFirstCoreMask(option.numa_id);

  spdk_env_opts opts;
  spdk_env_opts_init(&opts);
  opts.name = "tarn";
  opts.core_mask = core_mask.c_str();
  opts.shm_id = option.shm_id;
  opts.mem_size = option.mem_size;
  if (!option.hugedir.empty()) {
    hugedir = option.hugedir;
    opts.hugedir = hugedir.c_str();
  }

  LOG_INFO << "init spdk env.";
  int rc = spdk_env_init(&opts);
  if (rc < 0) {
    LOG_ERROR << "init spdk env failed, rc: " << rc << ", core_mask: " << core_mask;
    return rc;
  }
  g_spdk_env_inited.store(true);
  // Workers pin their own threads later; undo the pinning of the start.
  spdk_unaffinitize_thread();
  return 0;
}

}  // namespace tarn
