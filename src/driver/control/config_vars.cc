// The configuration variables with their compiled defaults.
#include "control/config.h"

uint8_t use_orla = 0;
std::string volume_manager_ips;
std::string volume_manager_ports;
std::string rdma_device;
int rdma_port = 0;
int gazelle_port = 0;
int rdma_index = 0;
std::string kLogLevel;
int retry_sleep_ms = 500;
int max_io_size = 16384;
int64_t max_flighting = 300;
int64_t polling_interval_ms = 500;
int64_t retry_pending_ms = 8000;
int worker_num = 0;
std::string worker_core_mask;
uint8_t is_soc = 0;
uint8_t is_tcp = 1;
uint8_t is_crc = 0;
uint8_t enable_metric = 0;
uint8_t enable_tarn_metric = 0;
int tarn_metrics_interval = 0;
uint8_t kAsynLog = 0;
uint64_t log_size = 52428800;
uint64_t max_log_size = 8589934592ULL;
std::string log_file = "/var/log/orla/pyxdriver";
uint8_t is_ipv6 = 0;
int client_nums = 1;
int64_t rpc_timeout = 10000;
uint32_t rpc_depth = 128;
uint32_t conn_idle_time = 0;
int64_t recv_buff_size = 0;
std::string service_ip;
int service_port = 0;
int service_worker_num = 0;

namespace pyx {

void ResetConfigForTest() {
  use_orla = 0;
  volume_manager_ips.clear();
  volume_manager_ports.clear();
  rdma_device.clear();
  rdma_port = 0;
  gazelle_port = 0;
  rdma_index = 0;
  kLogLevel.clear();
  retry_sleep_ms = 500;
  max_io_size = 16384;
  max_flighting = 300;
  polling_interval_ms = 500;
  retry_pending_ms = 8000;
  worker_num = 0;
  worker_core_mask.clear();
  is_soc = 0;
  is_tcp = 1;
  is_crc = 0;
  enable_metric = 0;
  enable_tarn_metric = 0;
  tarn_metrics_interval = 0;
  kAsynLog = 0;
  log_size = 52428800;
  log_file = "/var/log/orla/pyxdriver";
  is_ipv6 = 0;
  client_nums = 1;
  rpc_timeout = 10000;
  rpc_depth = 128;
  conn_idle_time = 0;
  recv_buff_size = 0;
  service_ip.clear();
  service_port = 0;
  service_worker_num = 0;
}

}  // namespace pyx
