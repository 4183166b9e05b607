// The services of the simulated servers. Each instance serves one server
// (its slot); the cluster state is shared.
#ifndef PYXSIM_SERVICES_H_
#define PYXSIM_SERVICES_H_

#include "volume.pb.h"
#include "vovorav.pb.h"

namespace pyxsim {

class ClusterState;
class ServerSlot;

class VolumeManagerServiceImpl : public volume::VolumeManagerService {
 public:
  VolumeManagerServiceImpl(ClusterState* state, ServerSlot* slot) : state_(state), slot_(slot) {}

  void GetVdiSize(google::protobuf::RpcController* cntl,
                  const volume::VolumeManagerGetVdiSizeRequest* request,
                  volume::VolumeManagerGetVdiSizeResponse* response,
                  google::protobuf::Closure* done) override;
  void LocateVdi(google::protobuf::RpcController* cntl,
                 const volume::VolumeManagerLocateVdiRequest* request,
                 volume::VolumeManagerLocateVdiResponse* response,
                 google::protobuf::Closure* done) override;
  void RegisterVdi(google::protobuf::RpcController* cntl,
                   const volume::VolumeManagerRegisterVdiRequest* request,
                   volume::VolumeManagerRegisterVdiResponse* response,
                   google::protobuf::Closure* done) override;
  void UnregisterVdi(google::protobuf::RpcController* cntl,
                     const volume::VolumeManagerUnregisterVdiRequest* request,
                     volume::VolumeManagerUnregisterVdiResponse* response,
                     google::protobuf::Closure* done) override;

 private:
  // A call about the disk the request names: a verdict that forces a result
  // code answers with it, a disk that cannot be served is not found, and
  // otherwise `answer(disk)` fills in the successful answer.
  template <typename Request, typename Response, typename Answer>
  void ServeDiskCall(int method, google::protobuf::RpcController* cntl, const Request* request,
                     Response* response, google::protobuf::Closure* done, Answer answer);

  ClusterState* state_;
  ServerSlot* slot_;
};

class BlockMasterServiceImpl : public vovorav::BlockMasterService {
 public:
  BlockMasterServiceImpl(ClusterState* state, ServerSlot* slot) : state_(state), slot_(slot) {}

  void QueryPlaneRoute(google::protobuf::RpcController* cntl,
                       const vovorav::BlockMasterQueryPlaneRouteRequest* request,
                       vovorav::BlockMasterQueryPlaneRouteResponse* response,
                       google::protobuf::Closure* done) override;

 private:
  ClusterState* state_;
  ServerSlot* slot_;
};

class BlockServerServiceImpl : public vovorav::BlockServerService {
 public:
  BlockServerServiceImpl(ClusterState* state, ServerSlot* slot) : state_(state), slot_(slot) {}

  void Write(google::protobuf::RpcController* cntl, const vovorav::BlockServerWriteRequest* request,
             vovorav::BlockServerWriteResponse* response,
             google::protobuf::Closure* done) override;
  void Read(google::protobuf::RpcController* cntl, const vovorav::BlockServerReadRequest* request,
            vovorav::BlockServerReadResponse* response, google::protobuf::Closure* done) override;

 private:
  ClusterState* state_;
  ServerSlot* slot_;
};

}  // namespace pyxsim

#endif  // PYXSIM_SERVICES_H_
