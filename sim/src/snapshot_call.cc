// The cluster's side of a snapshot: the call to the registered client's
// snapshot service, on a client worker of its own.
#include "cluster_state.h"
#include "pyxsim/cluster.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"
#include "volume.pb.h"

namespace pyxsim {

int Cluster::NotifySnapshot(const std::string& name, uint64_t dgs, int* retcode,
                            uint32_t timeout_ms) {
  Disk* disk = state_->disks.ByName(name);
  ClusterState::Registration client;
  {
    std::lock_guard<std::mutex> lock(state_->registrations_mutex);
    auto it = state_->registrations.find(name);
    if (disk == nullptr || it == state_->registrations.end()) return -1;
    client = it->second;
  }
  const tarn::SockAddress peer(client.ip, static_cast<uint16_t>(client.port), client.ipv6);
  if (!peer.IsValid()) return -1;

  tarn::WorkerThread thread("pyxsim-snap", nullptr, tarn::WorkerOption(), false);
  tarn::Worker* worker = thread.Start();
  std::unique_ptr<tarn::RpcClient> rpc;
  tarn::RpcController* ctrl = nullptr;
  worker->loop()->RunInLoop(
      [&] {
        rpc.reset(new tarn::RpcClient(tarn::kTcp, worker, peer, "pyxsim_snapshot"));
        rpc->set_timeout_ms(timeout_ms);
        rpc->Connect();
        ctrl = new tarn::RpcController(rpc->conn());
      },
      false);
  volume::PYXDriverCreateSnapshotRequest request;
  volume::PYXDriverCreateSnapshotResponse response;
  request.mutable_vdi()->set_id(name);
  request.set_dgs(dgs);
  tarn::RpcController::DoSyncCall(
      [&] {
        volume::PYXDriverService_Stub stub(rpc.get());
        stub.CreateSnapshot(ctrl, &request, &response, ctrl->done());
      },
      ctrl, worker);
  const int error = ctrl->Failed() ? ctrl->error_code() : 0;
  delete ctrl;
  worker->loop()->RunInLoop([&rpc] { rpc.reset(); }, false);
  thread.Stop();
  if (error != 0) return error < 0 ? error : -1;
  *retcode = response.rc().retcode();
  if (*retcode == 0) disk->dgs.store(dgs);
  return 0;
}

}  // namespace pyxsim
