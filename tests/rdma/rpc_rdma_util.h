// The RDMA side of the RPC tests' workers: the worker options of servers
// and clients over the emulated verbs device, and how many polling workers
// a case may run (rpc/rpc_test_util.h builds its fixture on them).
//
// Polling workers spin without sleeping: a case runs at most SpinBudget()
// of them, so that a two-core machine under a sanitizer still makes
// progress.
#ifndef TESTS_RDMA_RPC_RDMA_UTIL_H_
#define TESTS_RDMA_RPC_RDMA_UTIL_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>

#include "tarn/types.h"

namespace rpctest {

// Polling workers one case may run at once: every one spins on a core.
inline uint32_t SpinBudget() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return cores <= 2 ? 2u : std::min(cores, 6u);
}

// Workers with RDMA on over the emulated device, named as the driver names
// it (device, port and the index of the loopback GID ::ffff:127.0.0.1) or,
// by_address, found by the loopback address as the cluster stand-in does. A
// short ACK timeout with one retry keeps the RDMA timeout floor at 504 ms,
// so that cases about timeouts stay short; the device's transport gives up
// within microseconds at its default time scale. A sender whose peer has no
// receive posted waits as long as it takes (rnr_retry 7): a sanitizer build
// on a loaded machine cannot promise to repost within the few milliseconds
// of a finite count. Receive requests come from the object pools: 64 queue
// pairs with receives of their own need 2048.
inline tarn::WorkerOption RdmaWorkerOption(const std::string& prefix, bool srq,
                                           uint32_t max_data = 1u << 20,
                                           uint32_t recv_depth = 32, bool by_address = false) {
  tarn::WorkerOption option;
  option.name_prefix = prefix;
  option.enable_memory_pool = 1;
  option.enable_rdma = 1;
  option.obj_pool_size = 4096;
  option.max_io_chunk_count = 8;
  option.report_interval = 0;
  tarn::WorkerOption::RdmaOption& rdma = option.rdma_option;
  if (by_address) {
    rdma.ip_addr = "127.0.0.1";
  } else {
    rdma.device_name = "emu_0";
    rdma.port_id = 1;
    rdma.gid_index = 3;
  }
  rdma.use_srq = srq;
  rdma.recv_depth = recv_depth;
  rdma.max_send_data_size = max_data;
  rdma.timeout = 10;
  rdma.retry_cnt = 1;
  rdma.rnr_retry = 7;
  return option;
}

}  // namespace rpctest

#endif  // TESTS_RDMA_RPC_RDMA_UTIL_H_
