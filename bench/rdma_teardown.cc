// Tear-down cost on one polling worker over the emulated verbs device: the
// time one task takes to destroy every connection of the worker at once
// (DestroyConnectionNow, as a server destroyed from another thread does
// past its drain wait) while each queue pair still has its own receives
// posted. Each queue pair's receives go back from its own list, so the
// task should grow linearly with the number of connections.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_connection.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "verbs_emu/verbs_emu.h"

namespace {

constexpr uint32_t kRecvDepth = 4;

tarn::WorkerOption Option() {
  tarn::WorkerOption option;
  option.name_prefix = "bench-td-";
  option.enable_rdma = 1;
  option.obj_pool_size = 16384;
  option.report_interval = 0;
  option.rdma_option.device_name = "emu_0";
  option.rdma_option.port_id = 1;
  option.rdma_option.gid_index = 3;  // ::ffff:127.0.0.1
  option.rdma_option.use_srq = false;
  option.rdma_option.recv_depth = kRecvDepth;
  option.rdma_option.max_send_data_size = 2048;
  option.rdma_option.max_send_meta_size = 2048;
  return option;
}

// On the worker: a connection in the table with its queue pair at RTS
// facing `peer` (or a placeholder until the peer exists) and its
// receives posted.
std::shared_ptr<tarn::RdmaConnection> NewConnection(
    tarn::PollingWorker* worker, const tarn::WorkerOption& option,
    const std::shared_ptr<tarn::RdmaQueuePair>& qp,
    const std::shared_ptr<tarn::RdmaQueuePair>& peer) {
  qp->set_peer_qp_num(peer->qp_num());
  qp->set_peer_lid(peer->lid());
  qp->set_peer_gid(peer->gid());
  if (qp->ModifyQpToRts() != 0) return nullptr;
  auto conn = std::make_shared<tarn::RdmaConnection>(
      worker, "bench-conn", tarn::g_conn_id.fetch_add(1), tarn::SockAddress("127.0.0.1", 1, false),
      option.rdma_option);
  conn->set_state(tarn::kConnected);
  conn->set_queue_pair(qp);
  worker->PostQpRecvWr(qp, static_cast<int>(kRecvDepth), true);
  worker->AddConnection(conn);
  return conn;
}

// range(0): connections (pairs of queue pairs joined to each other).
void BM_DestroyConnectionsInOneTask(benchmark::State& state) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  verbs_emu::ResetFabric();
  const tarn::WorkerOption option = Option();
  auto colony = std::make_unique<tarn::PollingWorkerColony>(1, option, nullptr);
  colony->Start();
  auto* worker = static_cast<tarn::PollingWorker*>(colony->GetWorker(0u));
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::shared_ptr<tarn::RdmaConnection>> conns;
    double seconds = 0;
    testsupport::RunSync(worker, [&] {
      for (int i = 0; i < count; i += 2) {
        std::shared_ptr<tarn::RdmaQueuePair> a = worker->NewQueuePair();
        std::shared_ptr<tarn::RdmaQueuePair> b = worker->NewQueuePair();
        if (a == nullptr || b == nullptr) return;
        conns.push_back(NewConnection(worker, option, a, b));
        conns.push_back(NewConnection(worker, option, b, a));
      }
    });
    for (const auto& conn : conns) {
      if (conn == nullptr) {
        state.SkipWithError("connection not made");
        return;
      }
    }
    testsupport::RunSync(worker, [&] {
      const auto start = std::chrono::steady_clock::now();
      for (const auto& conn : conns) worker->DestroyConnectionNow(conn);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
    state.SetIterationTime(seconds);
    conns.clear();
    // Whatever the device still flushes is discarded; let the worker idle.
    testsupport::RunSync(worker, [] {});
  }
  state.counters["connections"] = count;
  colony->Stop();
  colony.reset();  // the workers go before the device they use
  verbs_emu::ResetFabric();
}
BENCHMARK(BM_DestroyConnectionsInOneTask)
    ->ArgName("connections")
    ->Arg(250)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
