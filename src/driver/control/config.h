// The driver's configuration: exported process-wide variables filled once
// from the host's "ORLA" INI sections at the start of pyx_init_env, and read
// without locks by the rest of the library afterwards.
#ifndef PYXDRIVER_CONTROL_CONFIG_H_
#define PYXDRIVER_CONTROL_CONFIG_H_

#include <cstdint>
#include <string>
#include <vector>

#define PYX_EXPORT __attribute__((visibility("default")))

PYX_EXPORT extern uint8_t use_orla;
PYX_EXPORT extern std::string volume_manager_ips;
PYX_EXPORT extern std::string volume_manager_ports;
PYX_EXPORT extern std::string rdma_device;
PYX_EXPORT extern int rdma_port;
PYX_EXPORT extern int gazelle_port;
PYX_EXPORT extern int rdma_index;
PYX_EXPORT extern std::string kLogLevel;
PYX_EXPORT extern int retry_sleep_ms;
PYX_EXPORT extern int max_io_size;
PYX_EXPORT extern int64_t max_flighting;
PYX_EXPORT extern int64_t polling_interval_ms;
PYX_EXPORT extern int64_t retry_pending_ms;
PYX_EXPORT extern int worker_num;
PYX_EXPORT extern std::string worker_core_mask;
PYX_EXPORT extern uint8_t is_soc;
PYX_EXPORT extern uint8_t is_tcp;
PYX_EXPORT extern uint8_t is_crc;
PYX_EXPORT extern uint8_t enable_metric;
PYX_EXPORT extern uint8_t enable_tarn_metric;
PYX_EXPORT extern int tarn_metrics_interval;
PYX_EXPORT extern uint8_t kAsynLog;
PYX_EXPORT extern uint64_t log_size;
PYX_EXPORT extern uint64_t max_log_size;
PYX_EXPORT extern std::string log_file;
PYX_EXPORT extern uint8_t is_ipv6;
PYX_EXPORT extern int client_nums;
PYX_EXPORT extern int64_t rpc_timeout;
PYX_EXPORT extern uint32_t rpc_depth;
PYX_EXPORT extern uint32_t conn_idle_time;
PYX_EXPORT extern int64_t recv_buff_size;
PYX_EXPORT extern std::string service_ip;
PYX_EXPORT extern int service_port;
PYX_EXPORT extern int service_worker_num;

namespace pyx {

enum ConfigResult : int {
  kConfigOk = 0,        // read; start-up goes on
  kConfigNotUsed = 1,   // "use_orla" is off: start nothing, return 0
  kConfigFailed = -1,   // a check failed (logged); return -1
};

// Walks every section of the default SPDK configuration whose name begins
// with "ORLA", in order, into the variables above.
ConfigResult ReadConfig();

// "a, b ,c" -> {"a", "b", "c"}: cut at every ",", blanks trimmed.
std::vector<std::string> SplitList(const std::string& list);

// Puts every variable back to its compiled default (tests).
void ResetConfigForTest();

}  // namespace pyx

#endif  // PYXDRIVER_CONTROL_CONFIG_H_
