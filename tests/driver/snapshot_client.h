// A real RPC client of the driver's snapshot service, on a worker of its
// own, as the cluster calls it.
#ifndef TESTS_DRIVER_SNAPSHOT_CLIENT_H_
#define TESTS_DRIVER_SNAPSHOT_CLIENT_H_

#include <google/protobuf/stubs/callback.h>

#include <atomic>
#include <memory>
#include <string>

#include "support/wait.h"
#include "support/worker.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/sock_address.h"
#include "volume.pb.h"

namespace ctltest {

class SnapshotClient {
 public:
  // One call; `retcode` is valid once `answered` is set (kCallFailed when
  // the call itself failed).
  struct Call {
    static constexpr int kCallFailed = 1;
    std::atomic<bool> answered{false};
    int retcode = kCallFailed;
    volume::PYXDriverCreateSnapshotRequest request;
    volume::PYXDriverCreateSnapshotResponse response;
    std::unique_ptr<tarn::RpcController> cntl;
  };

  SnapshotClient(const std::string& ip, uint16_t port, bool ipv6) : worker_("snap-client") {
    worker_.RunSync([&] {
      client_.reset(new tarn::RpcClient(tarn::kTcp, worker_.worker(),
                                        tarn::SockAddress(ip, port, ipv6), "snapshot_client"));
      client_->set_timeout_ms(60000);
      client_->Connect();
    });
  }
  ~SnapshotClient() {
    worker_.RunSync([&] { client_.reset(); });
  }

  std::shared_ptr<Call> Send(const std::string& name, uint64_t dgs) {
    auto call = std::make_shared<Call>();
    call->request.mutable_vdi()->set_id(name);
    call->request.set_dgs(dgs);
    worker_.RunSync([&] {
      call->cntl.reset(new tarn::RpcController(client_->conn()));
      volume::PYXDriverService_Stub stub(client_.get());
      stub.CreateSnapshot(call->cntl.get(), &call->request, &call->response,
                          google::protobuf::NewCallback(&Answered, call));
    });
    return call;
  }

  // Sends and waits for the answer.
  int CreateSnapshot(const std::string& name, uint64_t dgs) {
    std::shared_ptr<Call> call = Send(name, dgs);
    testsupport::WaitFor([&] { return call->answered.load(); }, 60.0);
    return call->answered.load() ? call->retcode : Call::kCallFailed;
  }

 private:
  static void Answered(std::shared_ptr<Call> call) {
    call->retcode = call->cntl->Failed() ? Call::kCallFailed : call->response.rc().retcode();
    call->answered.store(true);
  }

  testsupport::WorkerOnThread worker_;
  std::unique_ptr<tarn::RpcClient> client_;
};

}  // namespace ctltest

#endif  // TESTS_DRIVER_SNAPSHOT_CLIENT_H_
