#include "control/snapshot_service.h"

#include "control/config.h"
#include "control/pyx_manager.h"
#include "tarn/base/logging.h"
#include "tarn/lib_init.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/sock_address.h"

namespace volume {

void PYXDriverServiceImpl::CreateSnapshot(google::protobuf::RpcController* /*controller*/,
                                          const PYXDriverCreateSnapshotRequest* request,
                                          PYXDriverCreateSnapshotResponse* response,
                                          google::protobuf::Closure* done) {
  LOG_INFO << "create snapshot";
  // The manager is looked up on its own loop: one that does not exist yet,
  // or no longer, answers "not found".
  PyxManager::CreateSnapshot(request->vdi().id(), request->dgs(), response, done);
}

}  // namespace volume

void* start_server(void* /*arg*/) {
  tarn::WorkerOption option;
  option.name_prefix = "pyx_service";
  option.report_interval = static_cast<uint32_t>(tarn_metrics_interval);
  option.enable_memory_pool = 1;
  option.max_io_chunk_size = static_cast<uint32_t>(max_io_size) + 8192;
  option.max_io_chunk_count = 512;

  tarn::AppInit();
  if (tarn::g_app_worker == nullptr) {
    LOG_ERROR << "pyxdriver service not started: no worker to run it";
    return nullptr;
  }
  const bool ipv6 = service_ip.find(':') != std::string::npos;
  tarn::SockAddress addr(service_ip, static_cast<uint16_t>(service_port), ipv6);
  auto* service = new volume::PYXDriverServiceImpl;
  auto* server = new tarn::RpcServer(tarn::kTcp, tarn::g_app_worker, addr, "pyxdriver_server",
                                     option, nullptr);
  server->AddService(service);
  server->SetWorkerNum(static_cast<uint32_t>(service_worker_num));
  const int rc = server->Start();
  if (rc != 0) {
    LOG_ERROR << "pyxdriver service start failed, addr: " << addr.ToString() << ", rc: " << rc;
  } else {
    LOG_INFO << "pyxdriver service started, addr: " << addr.ToString();
  }
  tarn::AppRunUntilAskedToQuit("pyx-server");
  delete server;
  delete service;
  return nullptr;
}
