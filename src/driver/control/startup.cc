// pyx_init_env and pyx_finish_env, on the calling host thread.
#include "control/startup.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "brpc/server.h"
#include "control/config.h"
#include "control/globals.h"
#include "control/snapshot_service.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/base/process_info.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/lib_init.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/spdk_rte.h"
#include "tarn/utils.h"
#include "tarn/worker.h"
#include "tarn/worker_colony.h"

namespace pyx {
namespace {

constexpr int kMetricPort = 8020;
constexpr uint32_t kLogRollDefaultMiB = 50;
// Over RDMA: receives posted per polling worker, and the traffic class of
// the I/O queue pairs.
constexpr uint32_t kRdmaRecvDepth = 1024;
constexpr uint8_t kRdmaTrafficClass = 105;
// Set once the colonies run: start-up happens once per process.
bool g_started = false;
bool g_stopped = false;

tarn::LibOption MakeLibOption() {
  tarn::LibOption option;
  option.enable_metrics = enable_tarn_metric != 0;
  option.metrics_port = 0;  // the metrics server, if any, is started above
  option.init_spdk_env = false;
  option.mem_size = 0;
  option.shm_id = -1;
  option.log_level = kLogLevel;
  option.numa_id = -1;
  option.log_roll_size = kLogRollDefaultMiB;
  if (kAsynLog) {
    option.log_file = log_file;
    option.log_roll_size = log_size / 1048576;
  }
  return option;
}

// The colony of the I/O workers and the manager over TCP.
tarn::WorkerOption MakeEventOption() {
  tarn::WorkerOption option;
  option.name_prefix = "pyx-event-";
  option.report_interval = static_cast<uint32_t>(tarn_metrics_interval);
  option.enable_memory_pool = 1;
  option.max_io_chunk_size = static_cast<uint32_t>(max_io_size) + 8192;
  option.max_io_chunk_count = 512;
  return option;
}

// Over RDMA: the polling colony of the I/O workers. recv_buff_size (KiB)
// sets the largest data of a message this end receives, which it announces
// to its peers; absent (0) the framework's default stays.
tarn::WorkerOption MakePollingOption() {
  tarn::WorkerOption option;
  option.name_prefix = "pyx-polling-";
  option.core_mask = worker_core_mask;
  option.report_interval = static_cast<uint32_t>(tarn_metrics_interval);
  option.enable_memory_pool = 1;
  option.enable_rdma = 1;
  option.max_io_chunk_size = static_cast<uint32_t>(max_io_size) + 8192;
  option.max_io_chunk_count = 512;
  tarn::WorkerOption::RdmaOption& rdma = option.rdma_option;
  rdma.device_name = rdma_device;
  rdma.port_id = static_cast<uint8_t>(rdma_port);
  rdma.gid_index = static_cast<uint8_t>(rdma_index);
  rdma.use_srq = is_soc == 0;
  if (recv_buff_size > 0) rdma.max_send_data_size = static_cast<uint32_t>(recv_buff_size * 1024);
  rdma.recv_depth = kRdmaRecvDepth;
  rdma.traffic_class = kRdmaTrafficClass;
  return option;
}

// The manager is created on its own loop; until then pyxmanager is null.
void PostManagerCreation(tarn::Worker* worker, const std::vector<std::string>& ips,
                         const std::vector<std::string>& ports) {
  SetManagerWorker(worker);
  worker->loop()->RunInLoop(
      [worker, ips, ports] {
        auto* manager = new PyxManager(tp_manager, worker);
        manager->save_volume_manager_addr(ips, ports);
        pyxmanager.store(manager, std::memory_order_release);
      },
      true);
}

// Finished I/O that found a completion ring full wait on their driver's
// overflow list until the host makes room; how many wait now, over every
// driver. A loop that has ended leaves its driver to this thread.
size_t OverflowLeft() {
  size_t left = 0;
  for (PyxDriver* driver : pyxdrivers) {
    size_t n = 0;
    if (driver->worker()->loop()->RunInLoop([driver, &n] { n = driver->overflow_count(); },
                                            false) != 0) {
      n = driver->overflow_count();
    }
    left += n;
  }
  return left;
}

// The loops hand the overflow lists over as the host takes entries off its
// rings; stopping them first would keep those I/O from the host for ever.
// So shut-down waits while the host keeps taking, and gives up only once it
// has taken none for finish_ring_wait_ms (it may poll on this very thread).
void WaitForRingRoom() {
  size_t left = OverflowLeft();
  if (left == 0) return;
  LOG_WARN << "pyx_finish_env: " << left
           << " finished I/O wait for room on the host's completion rings";
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_taken = Clock::now();
  while (left > 0) {
    usleep(1000);
    const size_t now_left = OverflowLeft();
    if (now_left < left) {
      last_taken = Clock::now();
    } else if (Clock::now() - last_taken > std::chrono::milliseconds(finish_ring_wait_ms)) {
      LOG_ERROR << "pyx_finish_env: " << now_left
                << " finished I/O could not be handed to the host, its completion rings "
                   "stayed full for "
                << finish_ring_wait_ms << " ms";
      return;
    }
    left = now_left;
  }
  LOG_INFO << "pyx_finish_env: every finished I/O handed to the host";
}

// What the configuration asks of the colonies, checked before any starts:
// a colony refuses these by ending the process.
bool ColoniesFit() {
  if (tp == tarn::kRdma && worker_num < 1) {
    LOG_ERROR << "error: io worker should be at least 1 over rdma, got " << worker_num;
    return false;
  }
  // Only the polling colony is pinned; the event colony ignores the mask.
  if (tp == tarn::kRdma && !worker_core_mask.empty() &&
      tarn::GetNumCores(worker_core_mask) != worker_num) {
    LOG_ERROR << "error: worker_core_mask " << worker_core_mask << " names "
              << tarn::GetNumCores(worker_core_mask) << " cores of this machine for worker_num "
              << worker_num;
    return false;
  }
  return true;
}

// Over RDMA: the I/O colony first, so that a machine without the device
// fails start-up before anything else runs.
bool StartPollingColony() {
  worker_colony = new tarn::PollingWorkerColony(static_cast<uint32_t>(worker_num),
                                                MakePollingOption(), nullptr);
  if (worker_colony->Start()) return true;
  LOG_ERROR << "pyx_init_env: the rdma io workers cannot start on device " << rdma_device
            << " port " << rdma_port << " (see the lines above)";
  delete worker_colony;
  worker_colony = nullptr;
  return false;
}

// The host may end its process right after a failed start: the lines that
// say why must be in the log file by then.
int StartFailed() {
  tarn::FlushLog();
  return -1;
}

}  // namespace

int finish_ring_wait_ms = 5000;

int InitEnv() {
  if (g_started) {
    LOG_ERROR << "pyx_init_env: the library is already started";
    return -1;
  }
  const ConfigResult config = ReadConfig();
  if (config == kConfigNotUsed) return 0;
  if (config == kConfigFailed) return StartFailed();
  tp = is_tcp ? tarn::kTcp : tarn::kRdma;
  tp_manager = tarn::kTcp;
  if (!ColoniesFit()) {
    LOG_ERROR << "Failed to int env";
    return StartFailed();
  }
  const std::vector<std::string> ips = SplitList(volume_manager_ips);
  const std::vector<std::string> ports = SplitList(volume_manager_ports);

  // Metrics are an extra: without their port the library runs all the same.
  if (enable_metric && brpc::StartDummyServerAt(kMetricPort) != 0) {
    LOG_ERROR << "metrics server not started on port " << kMetricPort << ", going on without";
  }
  // The SPDK environment is the host's and already runs.
  tarn::g_spdk_env_inited.store(true);
  tarn::LibInit(MakeLibOption());

  LOG_INFO << "pid = " << plinth::ProcessInfo::pid() << ", tid = " << plinth::CurrentThread::tid();
  const uint32_t io_workers = static_cast<uint32_t>(worker_num);
  if (tp == tarn::kTcp) {
    // One colony: the I/O workers and, last, the manager's.
    worker_colony = new tarn::EventWorkerColony(io_workers + 1, MakeEventOption(), nullptr);
    if (!worker_colony->Start()) {
      LOG_ERROR << "pyx_init_env: the io workers cannot start (see the lines above)";
      delete worker_colony;
      worker_colony = nullptr;
      return StartFailed();
    }
    g_started = true;
    PostManagerCreation(worker_colony->GetWorker(io_workers), ips, ports);
  } else {
    // The manager talks TCP on an event worker of its own; the I/O runs on
    // polling workers.
    if (!StartPollingColony()) return StartFailed();
    eventworker_colony = new tarn::EventWorkerColony(1, MakeEventOption(), nullptr);
    if (!eventworker_colony->Start()) {
      LOG_ERROR << "pyx_init_env: the manager's worker cannot start (see the lines above)";
      delete eventworker_colony;
      eventworker_colony = nullptr;
      worker_colony->Stop();
      delete worker_colony;
      worker_colony = nullptr;
      return StartFailed();
    }
    g_started = true;
    PostManagerCreation(eventworker_colony->GetWorker(0u), ips, ports);
  }

  pthread_t service_thread;
  if (pthread_create(&service_thread, nullptr, start_server, nullptr) != 0) {
    LOG_ERROR << "pyxdriver service create failed";
    return StartFailed();
  }
  pthread_detach(service_thread);

  LOG_INFO << "xxxxxxxxxxxxxx worker_num " << worker_num;
  // Drivers live until the process ends. The exported vector is destroyed
  // with the other globals at exit; this list, never destroyed, still holds
  // them then.
  static auto* const all_drivers = new std::vector<PyxDriver*>;
  for (uint32_t i = 0; i < io_workers; ++i) {
    pyxdrivers.push_back(new PyxDriver(tp, worker_colony->GetWorker(i), static_cast<int>(i)));
    all_drivers->push_back(pyxdrivers.back());
  }
  return 0;
}

void FinishEnv() {
  tarn::Worker* manager_worker = ManagerWorker();
  if (manager_worker != nullptr) {
    // The manager and its clients belong to the manager's loop.
    manager_worker->loop()->RunInLoop(
        [] { delete pyxmanager.exchange(nullptr, std::memory_order_acq_rel); }, false);
  }
  // Colonies stop once; a second call only finds the manager gone. A start
  // that failed left nothing running, and must not use up the stop of a
  // start tried again after it.
  if (g_started && !g_stopped) {
    g_stopped = true;
    // Once the colonies stop no timer fires and no answer is read: every
    // I/O a driver still holds completes now, while its loop runs, and the
    // drivers refuse what comes later. A loop that has ended already leaves
    // its driver to this thread.
    for (PyxDriver* driver : pyxdrivers) {
      if (driver->worker()->loop()->RunInLoop([driver] { driver->Shutdown(); }, false) != 0) {
        driver->Shutdown();
      }
    }
    WaitForRingRoom();
    if (worker_colony != nullptr) worker_colony->Stop();
    if (eventworker_colony != nullptr) eventworker_colony->Stop();
  }
  // A host often exits right after: the last lines must not wait for the
  // writer's next pass.
  tarn::FlushLog();
}

}  // namespace pyx
