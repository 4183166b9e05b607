// Option records of the framework, the connection callback type with its
// do-nothing defaults, and the per-loop user object.
//
// Both option records are plain values: every colony, server and worker keeps
// its own copy, so changing the caller's record afterwards changes nothing.
#ifndef TARN_TYPES_H_
#define TARN_TYPES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tarn {

class Connection;

// Which transport a client, server or colony uses.
enum Transport : int {
  kTcp = 0,   // event workers, libevent
  kRdma = 1,  // polling workers, RDMA queue pairs
};

// Options of process-wide start-up (LibInit).
struct LibOption {
  bool enable_metrics = false;  // framework metrics on (g_enable_metrics)
  int metrics_port = 0;         // > 0: TCP port of the metrics server
  bool init_spdk_env = false;   // start the SPDK environment
  int mem_size = 0;             // SPDK environment memory (MB), passed through
  int shm_id = 0;               // SPDK shared-memory id, passed through
  std::string hugedir;          // SPDK huge-page directory; passed when set
  std::string log_file;         // log file base path; empty: standard output
  std::string log_level;        // "trace", "debug", "info", "warning", ...
  uint64_t log_roll_size = 0;   // roll size of the log file in MiB
  int numa_id = -1;             // NUMA node of the process; -1 for none
};

// Options of one worker colony; copied into each of its workers.
struct WorkerOption {
  // RDMA device and queue-pair settings of the colony's polling workers.
  struct RdmaOption {
    std::string device_name;
    uint8_t port_id = 0;
    uint8_t gid_index = 0;
    bool use_srq = true;
    uint32_t timeout = 17;
    uint32_t retry_cnt = 3;
    uint32_t max_send_data_size = 524288;
    uint32_t max_send_meta_size = 8192;
    uint32_t recv_depth = 512;
    uint8_t rnr_retry = 6;
    uint8_t traffic_class = 184;
    std::string ip_addr;
  };

  // 0 next in turn, 1 first idle, 2 least loaded.
  uint32_t select_policy = 0;
  // Thread-name prefix; the worker index is appended.
  std::string name_prefix = "worker-";
  // Hexadecimal CPU mask whose set CPUs must number the workers; empty: pin
  // to the CPUs of the process's NUMA node.
  std::string core_mask;
  // Seconds between worker reports and framework metric reports.
  uint32_t report_interval = 3;
  // Build the worker memory pools from the size map; off: every buffer is a
  // tracked direct allocation.
  uint8_t enable_memory_pool = 0;
  // The colony's workers run RDMA (implies enable_memory_pool).
  uint8_t enable_rdma = 0;
  // Event loops poll without blocking.
  uint8_t busy_poll = 0;
  // Object count of each per-worker RDMA object pool.
  uint32_t obj_pool_size = 16384;
  // Size and count of the largest I/O chunks of the memory pools.
  uint32_t max_io_chunk_size = 532480;
  uint32_t max_io_chunk_count = 256;
  RdmaOption rdma_option;
};

// A per-loop object made by a factory that colonies and servers accept; what
// it holds belongs to whoever installs the factory.
class UserHandle {
 public:
  virtual ~UserHandle() = default;
};

// Connection callbacks: established, closed, message read, write complete.
using ConnectionCallback = std::function<void(const std::shared_ptr<Connection>&)>;

void DefaultConnectionSuccessCbImpl(const std::shared_ptr<Connection>& conn);
void DefaultConnectionClosedCbImpl(const std::shared_ptr<Connection>& conn);
void DefaultMessageReadCbImpl(const std::shared_ptr<Connection>& conn);
void DefaultMessageWriteCbImpl(const std::shared_ptr<Connection>& conn);

// Process-wide defaults, each wrapping the do-nothing function above.
extern const ConnectionCallback DefaultConnectionSuccessCb;
extern const ConnectionCallback DefaultConnectionClosedCb;
extern const ConnectionCallback DefaultMessageReadCb;
extern const ConnectionCallback DefaultMessageWriteCb;

// Process-wide switches set once by start-up (LibInit) and read without locks
// afterwards: framework metrics on, and the NUMA node of the process (-1 none).
extern bool g_enable_metrics;
extern int g_numa_id;

}  // namespace tarn

#endif  // TARN_TYPES_H_
