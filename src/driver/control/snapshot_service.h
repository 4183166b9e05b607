// The driver's own service: the cluster's snapshot notification
// (volume::PYXDriverService.CreateSnapshot), served on its own thread.
#ifndef PYXDRIVER_CONTROL_SNAPSHOT_SERVICE_H_
#define PYXDRIVER_CONTROL_SNAPSHOT_SERVICE_H_

#include "volume.pb.h"

namespace volume {

// Stateless: every call is handed to the manager, which answers once every
// I/O driver holds the new data generation sequence.
class PYXDriverServiceImpl : public PYXDriverService {
 public:
  void CreateSnapshot(google::protobuf::RpcController* controller,
                      const PYXDriverCreateSnapshotRequest* request,
                      PYXDriverCreateSnapshotResponse* response,
                      google::protobuf::Closure* done) override;
};

}  // namespace volume

// The service thread's body: the application worker, the RPC server
// "pyxdriver_server" on service_ip:service_port, run until asked to quit.
void* start_server(void* arg);

#endif  // PYXDRIVER_CONTROL_SNAPSHOT_SERVICE_H_
