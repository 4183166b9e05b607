// The position of a method in its service travels in every frame header, so
// these tables pin each service's method order, and the request and response
// types behind each position, as the cluster's servers know them.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/service.h>
#include <google/protobuf/stubs/callback.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "volume.pb.h"
#include "vovorav.pb.h"

namespace {

namespace pb = google::protobuf;

struct MethodRow {
  const char* name;
  const char* request;
  const char* response;
};

struct ServiceTable {
  const pb::ServiceDescriptor* service;
  std::vector<MethodRow> methods;  // index = position
};

std::vector<ServiceTable> AllServices() {
  return {
      {vovorav::BlockMasterService::descriptor(),
       {{"CreateTarget", "BlockMasterCreateTargetRequest", "BlockMasterCreateTargetResponse"},
        {"ExtendTarget", "BlockMasterExtendTargetRequest", "BlockMasterExtendTargetResponse"},
        {"DeleteTarget", "BlockMasterDeleteTargetRequest", "BlockMasterDeleteTargetResponse"},
        {"RecoverTarget", "BlockMasterRecoverTargetRequest", "BlockMasterRecoverTargetResponse"},
        {"CloneTarget", "BlockMasterCreateTargetRequest", "BlockMasterCreateTargetResponse"},
        {"RestoreTarget", "BlockMasterCreateTargetRequest", "BlockMasterCreateTargetResponse"},
        {"QueryTarget", "BlockMasterQueryTargetRequest", "BlockMasterQueryTargetResponse"},
        {"CreateSnapshot", "BlockMasterCreateSnapshotRequest", "BlockMasterCreateSnapshotResponse"},
        {"DeleteSnapshot", "BlockMasterDeleteSnapshotRequest", "BlockMasterDeleteSnapshotResponse"},
        {"QueryPlaneRoute", "BlockMasterQueryPlaneRouteRequest", "BlockMasterQueryPlaneRouteResponse"},
        {"ReassignPlaneRoute", "BlockMasterReassignPlaneRouteRequest",
         "BlockMasterReassignPlaneRouteResponse"},
        {"QueryPlaneInfo", "BlockMasterQueryPlaneInfoRequest", "BlockMasterQueryPlaneInfoResponse"},
        {"ManagePlaneInfo", "BlockMasterManagePlaneRequest", "BlockMasterManagePlaneResponse"},
        {"ProtectSnap", "BlockMasterSnapshotRequest", "BlockMasterSnapshotResponse"},
        {"UnprotectSnap", "BlockMasterSnapshotRequest", "BlockMasterSnapshotResponse"},
        {"BackupInfo", "BlockMasterSnapshotRequest", "BlockMasterBackupInfoResponse"},
        {"ChangeNodeStatus", "BlockMasterChangeNodeStatusRequest",
         "BlockMasterChangeNodeStatusResponse"},
        {"MountVdi", "BlockMasterMountVdiRequest", "BlockMasterMountVdiResponse"},
        {"UMountVdi", "BlockMasterUMountVdiRequest", "BlockMasterUMountVdiResponse"},
        {"ListMountInfo", "BlockMasterListMountInfoRequest", "BlockMasterListMountInfoResponse"},
        {"ReloadLease", "BlockMasterReloadLeaseRequest", "BlockMasterReloadLeaseResponse"}}},
      {vovorav::BlockServerService::descriptor(),
       {{"Write", "BlockServerWriteRequest", "BlockServerWriteResponse"},
        {"Read", "BlockServerReadRequest", "BlockServerReadResponse"},
        {"LeaseRoute", "BlockServerLeaseRouteRequest", "BlockServerLeaseRouteResponse"},
        {"LoadPlane", "BlockServerLoadPlaneRequest", "BlockServerLoadPlaneResponse"},
        {"Compact", "BlockServerCompactRequest", "BlockServerCompactResponse"},
        {"CompactTrigger", "BlockServerCompactTriggerRequest", "BlockServerCompactTriggerResponse"},
        {"Collect", "BlockServerCollectPlaneRequest", "BlockServerCollectPlaneResponse"},
        {"CreateSnapshot", "BlockServerCreateSnapshotRequest", "BlockServerCreateSnapshotResponse"},
        {"DeleteSnapshot", "BlockServerDeleteSnapshotRequest", "BlockServerDeleteSnapshotResponse"},
        {"QueryNonZeroData", "BlockServerQueryNonZeroDataRequest",
         "BlockServerQueryNonZeroDataResponse"},
        {"QueryLoad", "BlockServerQueryLoadRequest", "BlockServerQueryLoadResponse"},
        {"QueryLoadBalance", "BlockServerQueryLoadBalanceRequest",
         "BlockServerQueryLoadBalanceResponse"}}},
      {vovorav::BackupServerService::descriptor(),
       {{"LoadPlane", "BackupServerLoadPlaneRequest", "BackupServerLoadPlaneResponse"},
        {"UnloadPlane", "BackupServerUnloadPlaneRequest", "BackupServerUnloadPlaneResponse"},
        {"Read", "BackupServerReadRequest", "BackupServerReadResponse"}}},
      {vovorav::BackupGatewayService::descriptor(),
       {{"ListVdi", "BackupGatewayListVdiRequest", "BackupGatewayListVdiResponse"},
        {"MountVdi", "BackupGatewayMountVdiRequest", "BackupGatewayMountVdiResponse"},
        {"UmountVdi", "BackupGatewayUmountVdiRequest", "BackupGatewayUmountVdiResponse"},
        {"Read", "BackupGatewayReadRequest", "BackupGatewayReadResponse"},
        {"Write", "BackupGatewayWriteRequest", "BackupGatewayWriteResponse"},
        {"RouteInfo", "BackupGatewayRouteInfoRequest", "BackupGatewayRouteInfoResponse"}}},
      {vovorav::BlockLinkService::descriptor(),
       {{"MountVdi", "BlockLinkMountVdiRequest", "BlockLinkMountVdiResponse"},
        {"Write", "BlockLinkWriteRequest", "BlockLinkWriteResponse"},
        {"Read", "BlockLinkReadRequest", "BlockLinkReadResponse"},
        {"QueryNonZeroData", "BlockLinkQueryNonZeroDataRequest", "BlockLinkQueryNonZeroDataResponse"},
        {"UmountVdi", "BlockLinkUMountVdiRequest", "BlockLinkUMountVdiResponse"},
        {"ListMountInfo", "BlockLinkListMountInfoRequest", "BlockLinkListMountInfoResponse"}}},
      {volume::VolumeManagerService::descriptor(),
       {{"CreateVdi", "VolumeManagerCreateVdiRequest", "VolumeManagerCreateVdiResponse"},
        {"DeleteVdi", "VolumeManagerDeleteVdiRequest", "VolumeManagerDeleteVdiResponse"},
        {"QueryVdi", "VolumeManagerQueryVdiRequest", "VolumeManagerQueryVdiResponse"},
        {"GetVdiSize", "VolumeManagerGetVdiSizeRequest", "VolumeManagerGetVdiSizeResponse"},
        {"RegisterVdi", "VolumeManagerRegisterVdiRequest", "VolumeManagerRegisterVdiResponse"},
        {"UnregisterVdi", "VolumeManagerUnregisterVdiRequest", "VolumeManagerUnregisterVdiResponse"},
        {"GetClientInfo", "VolumeManagerGetClientInfoRequest", "VolumeManagerGetClientInfoResponse"},
        {"LocateVdi", "VolumeManagerLocateVdiRequest", "VolumeManagerLocateVdiResponse"},
        {"ListVdi", "VolumeManagerListVdiRequest", "VolumeManagerListVdiResponse"},
        {"ExpandVdi", "VolumeManagerExpandVdiRequest", "VolumeManagerExpandVdiResponse"},
        {"RenameVdi", "VolumeManagerRenameVdiRequest", "VolumeManagerRenameVdiResponse"},
        {"CopyVdi", "VolumeManagerCopyVdiRequest", "VolumeManagerCopyVdiResponse"},
        {"FlattenVdi", "VolumeManagerFlattenVdiRequest", "VolumeManagerFlattenVdiResponse"},
        {"UpdateClusterStats", "VolumeManagerUpdateClusterStatsRequest",
         "VolumeManagerUpdateClusterStatsResponse"},
        {"GetUsageInfo", "VolumeManagerGetUsageInfoRequest", "VolumeManagerGetUsageInfoResponse"},
        {"TrashVdi", "VolumeManagerTrashVdiRequest", "VolumeManagerTrashVdiResponse"},
        {"TrashRecover", "VolumeManagerTrashRecoverRequest", "VolumeManagerTrashRecoverResponse"},
        {"TrashList", "VolumeManagerTrashListRequest", "VolumeManagerTrashListResponse"},
        {"TrashQuery", "VolumeManagerTrashQueryRequest", "VolumeManagerTrashQueryResponse"},
        {"TrashDelete", "VolumeManagerTrashDeleteRequest", "VolumeManagerTrashDeleteResponse"},
        {"TrashPurge", "VolumeManagerTrashPurgeRequest", "VolumeManagerTrashPurgeResponse"},
        {"CreateSnapshot", "VolumeManagerCreateSnapshotRequest", "VolumeManagerCreateSnapshotResponse"},
        {"DeleteSnapshot", "VolumeManagerDeleteSnapshotRequest", "VolumeManagerDeleteSnapshotResponse"},
        {"QuerySnapshot", "VolumeManagerQuerySnapshotRequest", "VolumeManagerQuerySnapshotResponse"},
        {"ListSnapshot", "VolumeManagerListSnapshotRequest", "VolumeManagerListSnapshotResponse"},
        {"RestoreSnapshot", "VolumeManagerRestoreSnapshotRequest",
         "VolumeManagerRestoreSnapshotResponse"},
        {"CloneSnapshot", "VolumeManagerCloneSnapshotRequest", "VolumeManagerCloneSnapshotResponse"},
        {"RegisterCluster", "VolumeManagerRegisterClusterRequest",
         "VolumeManagerRegisterClusterResponse"},
        {"ReportTarget", "VolumeManagerReportTargetRequest", "VolumeManagerReportTargetResponse"},
        {"ProtectSnap", "VolumeManagerProtectSnapRequest", "VolumeManagerProtectSnapResponse"},
        {"UnprotectSnap", "VolumeManagerUnprotectSnapRequest", "VolumeManagerUnprotectSnapResponse"},
        {"BackupInfo", "VolumeManagerBackupInfoRequest", "VolumeManagerBackupInfoResponse"}}},
      {volume::OmInterfaceService::descriptor(),
       {{"GetVolumeList", "HttpInterfaceGetVolumeListRequest", "HttpInterfaceGetVolumeListResponse"},
        {"GetVolumeInfo", "HttpInterfaceGetVolumeInfoRequest", "HttpInterfaceGetVolumeInfoResponse"},
        {"UpdateVolume", "HttpInterfaceUpdateVolumeRequest", "HttpInterfaceUpdateVolumeResponse"},
        {"GetClusterInfo", "HttpInterfaceGetClusterInfoRequest", "HttpInterfaceGetClusterInfoResponse"},
        {"GetClusterStatus", "HttpInterfaceGetClusterStatusRequest",
         "HttpInterfaceGetClusterStatusResponse"},
        {"GetClusterList", "HttpInterfaceGetClusterListRequest", "HttpInterfaceGetClusterListResponse"}}},
      {volume::PYXDriverService::descriptor(),
       {{"CreateSnapshot", "PYXDriverCreateSnapshotRequest", "PYXDriverCreateSnapshotResponse"}}},
  };
}

TEST(ServiceSchema, MethodOrderRequestAndResponseTypesMatchTheCluster) {
  int total = 0;
  for (const ServiceTable& t : AllServices()) {
    const pb::ServiceDescriptor* s = t.service;
    const std::string pkg = s->file()->package();
    ASSERT_EQ(static_cast<size_t>(s->method_count()), t.methods.size()) << s->full_name();
    for (int i = 0; i < s->method_count(); ++i) {
      const pb::MethodDescriptor* m = s->method(i);
      SCOPED_TRACE(s->name() + "." + m->name());
      EXPECT_EQ(m->index(), i);
      EXPECT_EQ(m->name(), t.methods[i].name);
      EXPECT_EQ(m->input_type()->full_name(), pkg + "." + t.methods[i].request);
      EXPECT_EQ(m->output_type()->full_name(), pkg + "." + t.methods[i].response);
    }
    total += s->method_count();
  }
  EXPECT_EQ(total, 48 + 39);
  EXPECT_EQ(vovorav::BlockMasterService::descriptor()->file()->service_count(), 5);
  EXPECT_EQ(volume::VolumeManagerService::descriptor()->file()->service_count(), 3);
}

TEST(ServiceSchema, DriverMethodsSitAtTheirWireIndexes) {
  EXPECT_EQ(vovorav::BlockMasterService::descriptor()->FindMethodByName("QueryPlaneRoute")->index(), 9);
  EXPECT_EQ(vovorav::BlockServerService::descriptor()->FindMethodByName("Write")->index(), 0);
  EXPECT_EQ(vovorav::BlockServerService::descriptor()->FindMethodByName("Read")->index(), 1);
  const pb::ServiceDescriptor* vm = volume::VolumeManagerService::descriptor();
  EXPECT_EQ(vm->FindMethodByName("GetVdiSize")->index(), 3);
  EXPECT_EQ(vm->FindMethodByName("RegisterVdi")->index(), 4);
  EXPECT_EQ(vm->FindMethodByName("UnregisterVdi")->index(), 5);
  EXPECT_EQ(vm->FindMethodByName("LocateVdi")->index(), 7);
  EXPECT_EQ(volume::PYXDriverService::descriptor()->FindMethodByName("CreateSnapshot")->index(), 0);
  // The frame carries the short service name, without the package.
  EXPECT_EQ(vovorav::BlockServerService::descriptor()->name(), "BlockServerService");
  EXPECT_EQ(volume::PYXDriverService::descriptor()->full_name(), "volume.PYXDriverService");
}

// Minimal controller: the generated services only need SetFailed and the
// failure text.
class TestController : public pb::RpcController {
 public:
  void Reset() override { failed_ = false; text_.clear(); }
  bool Failed() const override { return failed_; }
  std::string ErrorText() const override { return text_; }
  void StartCancel() override {}
  void SetFailed(const std::string& reason) override { failed_ = true; text_ = reason; }
  bool IsCanceled() const override { return false; }
  void NotifyOnCancel(pb::Closure*) override {}

 private:
  bool failed_ = false;
  std::string text_;
};

// Services with nothing overridden: every method answers "not implemented".
template <class S>
struct Bare : S {};

struct Unimplemented {
  Bare<vovorav::BlockMasterService> block_master;
  Bare<vovorav::BlockServerService> block_server;
  Bare<vovorav::BackupServerService> backup_server;
  Bare<vovorav::BackupGatewayService> backup_gateway;
  Bare<vovorav::BlockLinkService> block_link;
  Bare<volume::VolumeManagerService> volume_manager;
  Bare<volume::OmInterfaceService> om_interface;
  Bare<volume::PYXDriverService> driver;

  std::vector<pb::Service*> All() {
    return {&block_master, &block_server, &backup_server, &backup_gateway,
            &block_link,   &volume_manager, &om_interface, &driver};
  }
};

TEST(ServiceSchema, UnimplementedMethodFailsWithItsNameAndRunsDoneOnce) {
  Unimplemented services;
  int calls = 0;
  for (pb::Service* service : services.All()) {
    const pb::ServiceDescriptor* s = service->GetDescriptor();
    for (int i = 0; i < s->method_count(); ++i) {
      const pb::MethodDescriptor* m = s->method(i);
      SCOPED_TRACE(m->full_name());
      std::unique_ptr<pb::Message> req(service->GetRequestPrototype(m).New());
      std::unique_ptr<pb::Message> resp(service->GetResponsePrototype(m).New());
      EXPECT_EQ(req->GetDescriptor(), m->input_type());
      EXPECT_EQ(resp->GetDescriptor(), m->output_type());
      TestController cntl;
      int done_runs = 0;
      std::unique_ptr<pb::Closure> done(pb::NewPermanentCallback(
          +[](int* n) { ++*n; }, &done_runs));
      service->CallMethod(m, &cntl, req.get(), resp.get(), done.get());
      EXPECT_TRUE(cntl.Failed());
      EXPECT_EQ(cntl.ErrorText(), "Method " + m->name() + "() not implemented.");
      EXPECT_EQ(done_runs, 1);
      EXPECT_EQ(resp->ByteSizeLong(), 0u);
      ++calls;
    }
  }
  EXPECT_EQ(calls, 87);
}

// A served method overrides only its own slot; the others still fail.
class DriverService : public volume::PYXDriverService {
 public:
  void CreateSnapshot(pb::RpcController*, const volume::PYXDriverCreateSnapshotRequest* req,
                      volume::PYXDriverCreateSnapshotResponse* resp, pb::Closure* done) override {
    last_dgs = req->dgs();
    resp->mutable_rc()->set_retcode(0);
    done->Run();
  }
  uint64_t last_dgs = 0;
};

TEST(ServiceSchema, CallMethodDispatchesByIndexToTheOverride) {
  DriverService service;
  const pb::MethodDescriptor* m = service.GetDescriptor()->method(0);
  volume::PYXDriverCreateSnapshotRequest req;
  req.mutable_vdi()->set_id("uuid-1");
  req.set_dgs(42);
  volume::PYXDriverCreateSnapshotResponse resp;
  TestController cntl;
  bool done_ran = false;
  std::unique_ptr<pb::Closure> done(pb::NewPermanentCallback(
      +[](bool* b) { *b = true; }, &done_ran));
  service.CallMethod(m, &cntl, &req, &resp, done.get());
  EXPECT_FALSE(cntl.Failed());
  EXPECT_TRUE(done_ran);
  EXPECT_EQ(service.last_dgs, 42u);
  EXPECT_TRUE(resp.has_rc());
}

// Records what a stub hands to its channel.
class RecordingChannel : public pb::RpcChannel {
 public:
  void CallMethod(const pb::MethodDescriptor* method, pb::RpcController* cntl,
                  const pb::Message* request, pb::Message* response, pb::Closure* done) override {
    calls.push_back({method, cntl, request, response, done});
  }
  struct Call {
    const pb::MethodDescriptor* method;
    pb::RpcController* cntl;
    const pb::Message* request;
    pb::Message* response;
    pb::Closure* done;
  };
  std::vector<Call> calls;
};

TEST(ServiceSchema, StubsPassTheirOwnMethodAndTheCallersObjectsToTheChannel) {
  RecordingChannel channel;
  TestController cntl;
  std::unique_ptr<pb::Closure> done(pb::NewPermanentCallback(+[] {}));

  vovorav::BlockMasterService_Stub master(&channel);
  vovorav::BlockMasterQueryPlaneRouteRequest route_req;
  vovorav::BlockMasterQueryPlaneRouteResponse route_resp;
  master.QueryPlaneRoute(&cntl, &route_req, &route_resp, done.get());

  vovorav::BlockServerService_Stub server(&channel);
  vovorav::BlockServerWriteRequest write_req;
  vovorav::BlockServerWriteResponse write_resp;
  vovorav::BlockServerReadRequest read_req;
  vovorav::BlockServerReadResponse read_resp;
  server.Write(&cntl, &write_req, &write_resp, done.get());
  server.Read(&cntl, &read_req, &read_resp, done.get());

  volume::VolumeManagerService_Stub vm(&channel);
  volume::VolumeManagerGetVdiSizeRequest size_req;
  volume::VolumeManagerGetVdiSizeResponse size_resp;
  volume::VolumeManagerLocateVdiRequest locate_req;
  volume::VolumeManagerLocateVdiResponse locate_resp;
  volume::VolumeManagerRegisterVdiRequest reg_req;
  volume::VolumeManagerRegisterVdiResponse reg_resp;
  volume::VolumeManagerUnregisterVdiRequest unreg_req;
  volume::VolumeManagerUnregisterVdiResponse unreg_resp;
  vm.GetVdiSize(&cntl, &size_req, &size_resp, done.get());
  vm.LocateVdi(&cntl, &locate_req, &locate_resp, done.get());
  vm.RegisterVdi(&cntl, &reg_req, &reg_resp, done.get());
  vm.UnregisterVdi(&cntl, &unreg_req, &unreg_resp, done.get());

  volume::PYXDriverService_Stub driver(&channel);
  volume::PYXDriverCreateSnapshotRequest snap_req;
  volume::PYXDriverCreateSnapshotResponse snap_resp;
  driver.CreateSnapshot(&cntl, &snap_req, &snap_resp, done.get());

  struct Expect {
    const char* service;
    int index;
    const pb::Message* request;
    const pb::Message* response;
  };
  const Expect expected[] = {
      {"BlockMasterService", 9, &route_req, &route_resp},
      {"BlockServerService", 0, &write_req, &write_resp},
      {"BlockServerService", 1, &read_req, &read_resp},
      {"VolumeManagerService", 3, &size_req, &size_resp},
      {"VolumeManagerService", 7, &locate_req, &locate_resp},
      {"VolumeManagerService", 4, &reg_req, &reg_resp},
      {"VolumeManagerService", 5, &unreg_req, &unreg_resp},
      {"PYXDriverService", 0, &snap_req, &snap_resp},
  };
  ASSERT_EQ(channel.calls.size(), std::size(expected));
  for (size_t i = 0; i < channel.calls.size(); ++i) {
    const RecordingChannel::Call& c = channel.calls[i];
    SCOPED_TRACE(c.method->full_name());
    EXPECT_EQ(c.method->service()->name(), expected[i].service);
    EXPECT_EQ(c.method->index(), expected[i].index);
    EXPECT_EQ(c.request, expected[i].request);
    EXPECT_EQ(c.response, expected[i].response);
    EXPECT_EQ(c.cntl, &cntl);
    EXPECT_EQ(c.done, done.get());
  }
}

}  // namespace
