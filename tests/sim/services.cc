// The simulated servers answer a real RPC client with the fields the driver
// reads.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "pyxsim/cluster.h"
#include "sim/sim_test_util.h"
#include "support/ports.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"

namespace {

using pyxsim::Role;
using simtest::CallResult;
using simtest::Pattern;
using simtest::kBlock;

constexpr uint64_t kServicesDiskSize = 1ull << 30;

class SimServicesTest : public ::testing::Test {
 protected:
  void SetUp() override { StartCluster(MakeOptions()); }

  static pyxsim::ClusterOptions MakeOptions() {
    pyxsim::ClusterOptions opt;
    opt.volume_managers = 2;
    opt.block_masters = 2;
    opt.block_servers = 2;
    return opt;
  }

  void StartCluster(const pyxsim::ClusterOptions& opt) {
    cluster_.reset(new pyxsim::Cluster(opt));
    ASSERT_EQ(cluster_->Start(), 0);
    ASSERT_EQ(cluster_->CreateDisk("d0", kServicesDiskSize, 7), 0);
    uuid_ = cluster_->DiskUuid("d0");
    caller_.reset(new simtest::Caller(opt.ip, opt.ipv6));
  }

  uint16_t Port(Role role, int i) const { return cluster_->port(role, i); }
  const pyxsim::Geometry& geo() const { return cluster_->options().geometry; }
  // The block server that holds the plane of lba.
  int ServerOf(uint64_t lba) const { return cluster_->PlaneServer("d0", geo().PlaneOf(lba)); }

  CallResult Write(int bs, uint64_t lba, const std::string& data,
                   vovorav::BlockServerWriteResponse* resp, uint64_t term = 0, uint64_t size = 0,
                   const std::string& uuid = "") {
    vovorav::BlockServerWriteRequest req;
    req.mutable_vdi()->set_id(uuid.empty() ? uuid_ : uuid);
    req.set_lba(lba);
    req.set_size(size != 0 ? size : data.size());
    req.set_dgs(7);
    req.mutable_route_term()->set_term(term != 0 ? term : cluster_->RouteTerm("d0"));
    return caller_->Call(Port(Role::kBlockServer, bs), &vovorav::BlockServerService_Stub::Write,
                         req, resp, data);
  }

  CallResult Read(int bs, uint64_t lba, uint64_t size, vovorav::BlockServerReadResponse* resp,
                  uint64_t term = 0) {
    vovorav::BlockServerReadRequest req;
    req.mutable_vdi()->set_id(uuid_);
    req.set_lba(lba);
    req.set_size(size);
    req.mutable_route_term()->set_term(term != 0 ? term : cluster_->RouteTerm("d0"));
    return caller_->Call(Port(Role::kBlockServer, bs), &vovorav::BlockServerService_Stub::Read, req,
                         resp);
  }

  CallResult Locate(int vm, const std::string& name, volume::VolumeManagerLocateVdiResponse* resp) {
    volume::VolumeManagerLocateVdiRequest req;
    req.mutable_vdi()->set_id(name);
    return caller_->Call(Port(Role::kVolumeManager, vm),
                         &volume::VolumeManagerService_Stub::LocateVdi, req, resp);
  }

  CallResult Routes(int bm, const std::string& uuid,
                    vovorav::BlockMasterQueryPlaneRouteResponse* resp) {
    vovorav::BlockMasterQueryPlaneRouteRequest req;
    req.mutable_vdi()->set_id(uuid);
    req.set_start_lba(0);
    req.set_lba_size(kServicesDiskSize);
    return caller_->Call(Port(Role::kBlockMaster, bm),
                         &vovorav::BlockMasterService_Stub::QueryPlaneRoute, req, resp);
  }

  std::unique_ptr<pyxsim::Cluster> cluster_;
  std::unique_ptr<simtest::Caller> caller_;
  std::string uuid_;
};

TEST(SimGeometryTest, PlanesFollowTheDriversFormula) {
  pyxsim::Geometry geo;  // 256 MiB dies of 16 planes, 1 MiB blocks
  ASSERT_TRUE(geo.Valid());
  struct Case {
    uint64_t offset;
    uint64_t plane;
  } cases[] = {{0, 0},
               {(1 << 20) - 1, 0},
               {1 << 20, 1},
               {15ull << 20, 15},
               {16ull << 20, 0},
               {17ull << 20, 1},
               {256ull << 20, 16},
               {(256ull + 5) << 20, 21}};
  for (const Case& c : cases) EXPECT_EQ(geo.PlaneOf(c.offset), c.plane) << c.offset;
  EXPECT_EQ(geo.PlaneCount(1ull << 30), 64u);
  EXPECT_EQ(geo.PlaneCount(4ull << 30), 256u);
  EXPECT_EQ(geo.PlaneCount((1ull << 30) + kBlock), 80u);
  for (uint64_t p = 0; p < 64; ++p) EXPECT_EQ(geo.PlaneOf(geo.PlaneStart(p)), p);
  pyxsim::Geometry bad;
  bad.plane_capacity = 3 << 20;
  EXPECT_FALSE(bad.Valid());
}

TEST_F(SimServicesTest, VolumeManagersAnswerSizeAndLocation) {
  for (int vm = 0; vm < 2; ++vm) {
    volume::VolumeManagerGetVdiSizeRequest req;
    volume::VolumeManagerGetVdiSizeResponse resp;
    req.mutable_vdi()->set_id("d0");
    ASSERT_EQ(caller_->Call(Port(Role::kVolumeManager, vm),
                            &volume::VolumeManagerService_Stub::GetVdiSize, req, &resp)
                  .error,
              0);
    EXPECT_EQ(resp.rc().retcode(), 0);
    EXPECT_EQ(resp.size(), kServicesDiskSize);
  }

  volume::VolumeManagerLocateVdiResponse loc;
  ASSERT_EQ(Locate(1, "d0", &loc).error, 0);
  EXPECT_EQ(loc.rc().retcode(), 0);
  EXPECT_EQ(loc.vdi_uuid(), uuid_);
  EXPECT_EQ(loc.dgs(), 7u);
  EXPECT_EQ(cluster_->DiskDgs("d0"), 7u);
  const uint32_t ip = inet_addr("127.0.0.1");
  ASSERT_EQ(loc.blockmasters_size(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(loc.blockmasters(i).ip(), ip);
    EXPECT_EQ(loc.blockmasters(i).port(), Port(Role::kBlockMaster, i));
  }
  EXPECT_EQ(loc.blockmasters(0).role(), MemberInfo::PRIMARY);
  EXPECT_EQ(loc.blockmasters(1).role(), MemberInfo::SLAVERY);
  ASSERT_EQ(loc.blocksvrs_size(), 2);
  EXPECT_EQ(loc.blocksvrs(1).ip(), ip);
  EXPECT_EQ(loc.blocksvrs(1).port(), Port(Role::kBlockServer, 1));
  EXPECT_EQ(loc.blockmasters_v6_size(), 0);

  // The primary follows the cluster's choice.
  ASSERT_EQ(cluster_->faults().SetPrimaryBlockMaster(1), 0);
  ASSERT_EQ(Locate(0, "d0", &loc).error, 0);
  EXPECT_EQ(loc.blockmasters(0).role(), MemberInfo::SLAVERY);
  EXPECT_EQ(loc.blockmasters(1).role(), MemberInfo::PRIMARY);
}

TEST_F(SimServicesTest, VolumeManagersRecordRegistrations) {
  volume::VolumeManagerRegisterVdiRequest reg;
  volume::VolumeManagerRegisterVdiResponse reg_resp;
  reg.mutable_vdi()->set_id("d0");
  reg.mutable_info()->mutable_endpoint()->set_ip(inet_addr("127.0.0.9"));
  reg.mutable_info()->mutable_endpoint()->set_port(5555);
  ASSERT_EQ(caller_->Call(Port(Role::kVolumeManager, 0),
                          &volume::VolumeManagerService_Stub::RegisterVdi, reg, &reg_resp)
                .error,
            0);
  EXPECT_EQ(reg_resp.rc().retcode(), 0);
  EXPECT_EQ(cluster_->Registrations().at("d0"), "127.0.0.9:5555");

  volume::VolumeManagerUnregisterVdiRequest unreg;
  volume::VolumeManagerUnregisterVdiResponse unreg_resp;
  unreg.mutable_vdi()->set_id("d0");
  *unreg.mutable_info() = reg.info();
  ASSERT_EQ(caller_->Call(Port(Role::kVolumeManager, 1),
                          &volume::VolumeManagerService_Stub::UnregisterVdi, unreg, &unreg_resp)
                .error,
            0);
  EXPECT_EQ(unreg_resp.rc().retcode(), 0);
  EXPECT_TRUE(cluster_->Registrations().empty());

  reg.mutable_info()->clear_endpoint();
  reg.mutable_info()->mutable_endpoint_v6()->set_ipv6("::1");
  reg.mutable_info()->mutable_endpoint_v6()->set_port(6000);
  ASSERT_EQ(caller_->Call(Port(Role::kVolumeManager, 0),
                          &volume::VolumeManagerService_Stub::RegisterVdi, reg, &reg_resp)
                .error,
            0);
  EXPECT_EQ(cluster_->Registrations().at("d0"), "[::1]:6000");
}

// The driver's snapshot service as a test double.
class FakeSnapshotService : public volume::PYXDriverService {
 public:
  void CreateSnapshot(google::protobuf::RpcController*,
                      const volume::PYXDriverCreateSnapshotRequest* req,
                      volume::PYXDriverCreateSnapshotResponse* resp,
                      google::protobuf::Closure* done) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.emplace_back(req->vdi().id(), req->dgs());
    }
    resp->mutable_rc()->set_retcode(answer.load());
    done->Run();
  }
  std::vector<std::pair<std::string, uint64_t>> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::atomic<int> answer{0};

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, uint64_t>> calls_;
};

TEST_F(SimServicesTest, SnapshotsCallTheRegisteredClient) {
  FakeSnapshotService service;
  tarn::WorkerThread acceptor_thread("snap-acc", nullptr, tarn::WorkerOption(), false);
  auto* acceptor = static_cast<tarn::EventWorker*>(acceptor_thread.Start());
  tarn::WorkerOption option;
  option.obj_pool_size = 16;
  auto server = std::make_unique<tarn::RpcServer>(tarn::kTcp, acceptor,
                                                   tarn::SockAddress("127.0.0.1", 0, false),
                                                   "snapshot", option, nullptr);
  ASSERT_EQ(server->AddService(&service), 0);
  ASSERT_EQ(server->Start(), 0);
  const uint16_t port = server->server()->listen_addr().ToPort();

  int retcode = 1;
  EXPECT_EQ(cluster_->NotifySnapshot("d0", 9, &retcode), -1);  // nobody registered
  volume::VolumeManagerRegisterVdiRequest reg;
  volume::VolumeManagerRegisterVdiResponse reg_resp;
  reg.mutable_vdi()->set_id("d0");
  reg.mutable_info()->mutable_endpoint()->set_ip(inet_addr("127.0.0.1"));
  reg.mutable_info()->mutable_endpoint()->set_port(port);
  ASSERT_EQ(caller_->Call(Port(Role::kVolumeManager, 0),
                          &volume::VolumeManagerService_Stub::RegisterVdi, reg, &reg_resp)
                .error,
            0);

  ASSERT_EQ(cluster_->NotifySnapshot("d0", 9, &retcode), 0);
  EXPECT_EQ(retcode, 0);
  EXPECT_EQ(cluster_->DiskDgs("d0"), 9u);
  service.answer = -30101;
  ASSERT_EQ(cluster_->NotifySnapshot("d0", 8, &retcode), 0);
  EXPECT_EQ(retcode, -30101);
  EXPECT_EQ(cluster_->DiskDgs("d0"), 9u);  // refused: unchanged
  const std::vector<std::pair<std::string, uint64_t>> expect = {{"d0", 9}, {"d0", 8}};
  EXPECT_EQ(service.calls(), expect);
  EXPECT_EQ(cluster_->NotifySnapshot("none", 9, &retcode), -1);

  server.reset();
  acceptor_thread.Stop();
  EXPECT_LT(cluster_->NotifySnapshot("d0", 10, &retcode, 500), 0);
}

TEST_F(SimServicesTest, MissingDisksAreDeniedByVolumeManagersAndBlockMasters) {
  volume::VolumeManagerLocateVdiResponse loc;
  ASSERT_EQ(Locate(0, "nope", &loc).error, 0);
  EXPECT_EQ(loc.rc().retcode(), pyxsim::kRcVdiNotFound);

  vovorav::BlockMasterQueryPlaneRouteResponse routes;
  ASSERT_EQ(Routes(0, "no-such-uuid", &routes).error, 0);
  EXPECT_EQ(routes.rc().retcode(), pyxsim::kRcVdiNotFound);

  ASSERT_EQ(cluster_->faults().ReportDiskMissing("d0", true), 0);
  volume::VolumeManagerGetVdiSizeRequest size_req;
  volume::VolumeManagerGetVdiSizeResponse size_resp;
  size_req.mutable_vdi()->set_id("d0");
  ASSERT_EQ(caller_->Call(Port(Role::kVolumeManager, 0),
                          &volume::VolumeManagerService_Stub::GetVdiSize, size_req, &size_resp)
                .error,
            0);
  EXPECT_NE(size_resp.rc().retcode(), 0);
  ASSERT_EQ(Locate(0, "d0", &loc).error, 0);
  EXPECT_NE(loc.rc().retcode(), 0);
  ASSERT_EQ(Routes(0, uuid_, &routes).error, 0);
  EXPECT_EQ(routes.rc().retcode(), pyxsim::kRcVdiNotFound);

  ASSERT_EQ(cluster_->faults().ReportDiskMissing("d0", false), 0);
  ASSERT_EQ(Routes(0, uuid_, &routes).error, 0);
  EXPECT_EQ(routes.rc().retcode(), 0);
}

TEST_F(SimServicesTest, BlockMasterAnswersRoutesInPlaneOrder) {
  vovorav::BlockMasterQueryPlaneRouteResponse resp;
  ASSERT_EQ(Routes(0, uuid_, &resp).error, 0);
  ASSERT_EQ(resp.rc().retcode(), 0);
  EXPECT_EQ(resp.route_term().term(), cluster_->RouteTerm("d0"));
  EXPECT_EQ(resp.basic().die_unit_capacity(), geo().die_unit_capacity);
  EXPECT_EQ(resp.basic().die_capacity(), geo().die_capacity);
  EXPECT_EQ(resp.basic().plane_capacity(), geo().plane_capacity);
  EXPECT_EQ(resp.basic().block_capacity(), geo().block_capacity);
  ASSERT_EQ(resp.routes_size(), 4);  // 1 GiB of 256 MiB dies
  uint64_t p = 0;
  for (int die = 0; die < resp.routes_size(); ++die) {
    const vovorav::PlaneRouteInDie& in_die = resp.routes(die);
    EXPECT_EQ(in_die.die_start_lba(), die * geo().die_capacity);
    ASSERT_EQ(in_die.route_size(), 16);
    for (const vovorav::PlaneRouteDetail& route : in_die.route()) {
      // The driver's plane number is the position of the route.
      EXPECT_EQ(geo().PlaneOf(route.plane_id().start_lba()), p);
      EXPECT_EQ(route.endpoint().ip(), inet_addr("127.0.0.1"));
      const int server = cluster_->PlaneServer("d0", p);
      EXPECT_EQ(server, static_cast<int>(p % 2));
      EXPECT_EQ(route.endpoint().port(), Port(Role::kBlockServer, server));
      ++p;
    }
  }
  EXPECT_EQ(p, cluster_->PlaneCount("d0"));

  // Only the primary answers.
  ASSERT_EQ(Routes(1, uuid_, &resp).error, 0);
  EXPECT_EQ(resp.rc().retcode(), pyxsim::kRcNotLeader);
}

TEST_F(SimServicesTest, BlockMasterFollowsMovesAndWithheldRoutes) {
  const uint64_t term = cluster_->RouteTerm("d0");
  ASSERT_EQ(cluster_->faults().MovePlane("d0", 3, 0), 0);
  EXPECT_EQ(cluster_->RouteTerm("d0"), term + 1);
  ASSERT_EQ(cluster_->faults().UnroutePlanes("d0", {5, 6}), 0);
  vovorav::BlockMasterQueryPlaneRouteResponse resp;
  ASSERT_EQ(Routes(0, uuid_, &resp).error, 0);
  EXPECT_EQ(resp.route_term().term(), term + 1);
  EXPECT_EQ(resp.routes(0).route(3).endpoint().port(), Port(Role::kBlockServer, 0));
  EXPECT_EQ(resp.routes(0).route(5).endpoint().port(), 0u);
  EXPECT_EQ(resp.routes(0).route(6).endpoint().port(), 0u);
  EXPECT_NE(resp.routes(0).route(7).endpoint().port(), 0u);

  ASSERT_EQ(cluster_->faults().UnroutePlanes("d0"), 0);
  ASSERT_EQ(Routes(0, uuid_, &resp).error, 0);
  EXPECT_EQ(resp.routes(3).route(15).endpoint().port(), 0u);
  ASSERT_EQ(cluster_->faults().RestorePlanes("d0"), 0);
  ASSERT_EQ(Routes(0, uuid_, &resp).error, 0);
  EXPECT_NE(resp.routes(0).route(5).endpoint().port(), 0u);
  EXPECT_EQ(cluster_->faults().MovePlane("d0", 64, 0), -1);
  EXPECT_EQ(cluster_->faults().MovePlane("d0", 1, 2), -1);
}

TEST_F(SimServicesTest, WritesReadBack) {
  // One block, then a whole 256 KiB stripe, each on its plane's server.
  const uint64_t one = 5 * kBlock;
  const uint64_t stripe = (3ull << 20) + 256 * 1024;
  const std::string a = Pattern(kBlock, 1);
  const std::string b = Pattern(256 * 1024, 2);
  vovorav::BlockServerWriteResponse wresp;
  ASSERT_EQ(Write(ServerOf(one), one, a, &wresp).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), 0);
  EXPECT_EQ(wresp.latest_route_term().term(), cluster_->RouteTerm("d0"));
  ASSERT_EQ(Write(ServerOf(stripe), stripe, b, &wresp).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), 0);

  vovorav::BlockServerReadResponse rresp;
  CallResult r = Read(ServerOf(one), one, kBlock, &rresp);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(rresp.rc().retcode(), 0);
  EXPECT_EQ(rresp.size(), kBlock);
  EXPECT_FALSE(rresp.zerod());
  EXPECT_EQ(r.attachment, a);

  r = Read(ServerOf(stripe), stripe, b.size(), &rresp);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.attachment, b);
  ASSERT_EQ(rresp.block_info_size(), 64);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(rresp.block_info(i).lba(), stripe + i * kBlock);
  // A write reports the location that reads of its first block report.
  ASSERT_EQ(Write(ServerOf(stripe), stripe, b, &wresp).error, 0);
  EXPECT_EQ(wresp.segment_id(), rresp.block_info(0).segment_id());
  EXPECT_EQ(wresp.stream_id(), rresp.block_info(0).stream_id());
  EXPECT_EQ(wresp.extent_id(), rresp.block_info(0).extent_id());
  EXPECT_EQ(wresp.offset_in_extent(), rresp.block_info(0).offset_in_extent());

  EXPECT_EQ(cluster_->ReadStored("d0", stripe, b.size()), b);
  EXPECT_EQ(cluster_->ReadStored("d0", stripe + 100, 5000), b.substr(100, 5000));
  EXPECT_EQ(cluster_->WrittenBlocks("d0"), 65u);
}

TEST_F(SimServicesTest, UnwrittenRangesReadAsZerodAndGapsAsZeros) {
  vovorav::BlockServerReadResponse rresp;
  const uint64_t lba = 7ull << 20;
  CallResult r = Read(ServerOf(lba), lba, 16 * kBlock, &rresp);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(rresp.rc().retcode(), 0);
  EXPECT_TRUE(rresp.zerod());
  EXPECT_EQ(rresp.size(), 16 * kBlock);
  EXPECT_EQ(rresp.block_info_size(), 16);
  EXPECT_TRUE(r.attachment.empty());

  // Blocks 1 and 3 of four written: the others come back as zeros.
  const std::string one = Pattern(kBlock, 3);
  const std::string three = Pattern(kBlock, 4);
  vovorav::BlockServerWriteResponse wresp;
  ASSERT_EQ(Write(ServerOf(lba), lba + kBlock, one, &wresp).error, 0);
  ASSERT_EQ(Write(ServerOf(lba), lba + 3 * kBlock, three, &wresp).error, 0);
  r = Read(ServerOf(lba), lba, 4 * kBlock, &rresp);
  ASSERT_EQ(r.error, 0);
  EXPECT_FALSE(rresp.zerod());
  const std::string zeros(kBlock, '\0');
  EXPECT_EQ(r.attachment, zeros + one + zeros + three);
  EXPECT_EQ(cluster_->ReadStored("d0", lba, 4 * kBlock), zeros + one + zeros + three);
}

TEST_F(SimServicesTest, StaleTermsForeignPlanesAndMalformedRequestsAreRefused) {
  const uint64_t lba = 2ull << 20;  // plane 2, block server 0
  const int home = ServerOf(lba);
  const int other = 1 - home;
  const uint64_t term = cluster_->RouteTerm("d0");
  const std::string data = Pattern(2 * kBlock, 5);
  struct Case {
    const char* what;
    int bs;
    uint64_t lba;
    uint64_t term;
    uint64_t size;  // 0: the data's
    std::string uuid;
    int retcode;
  } cases[] = {
      {"stale term", home, lba, term + 5, 0, "", pyxsim::kRcStaleRouteTerm},
      {"foreign plane", other, lba, term, 0, "", pyxsim::kRcPlaneNotHere},
      {"range into a foreign plane", home, lba + (1 << 20) - kBlock, term, 0, "",
       pyxsim::kRcPlaneNotHere},
      {"unknown disk", home, lba, term, 0, "no-such-uuid", pyxsim::kRcVdiNotOnServer},
      {"unaligned lba", home, lba + 512, term, 0, "", pyxsim::kRcInvalidArgument},
      {"size other than the data", home, lba, term, 3 * kBlock, "", pyxsim::kRcInvalidArgument},
      {"past the end", home, kServicesDiskSize - kBlock, term, 0, "", pyxsim::kRcInvalidArgument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vovorav::BlockServerWriteResponse wresp;
    ASSERT_EQ(Write(c.bs, c.lba, data, &wresp, c.term, c.size, c.uuid).error, 0);
    EXPECT_EQ(wresp.rc().retcode(), c.retcode);
    EXPECT_EQ(wresp.latest_route_term().term(), c.uuid.empty() ? term : 0u);
  }
  EXPECT_EQ(cluster_->WrittenBlocks("d0"), 0u);

  vovorav::BlockServerReadResponse rresp;
  CallResult r = Read(home, lba, kBlock, &rresp, term + 1);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(rresp.rc().retcode(), pyxsim::kRcStaleRouteTerm);
  EXPECT_EQ(rresp.latest_route_term().term(), term);
  r = Read(other, lba, kBlock, &rresp);
  EXPECT_EQ(rresp.rc().retcode(), pyxsim::kRcPlaneNotHere);
  EXPECT_TRUE(r.attachment.empty());

  // After a move the new holder serves the plane and the old one refuses.
  ASSERT_EQ(cluster_->faults().MovePlane("d0", geo().PlaneOf(lba), other), 0);
  vovorav::BlockServerWriteResponse wresp;
  ASSERT_EQ(Write(other, lba, data, &wresp, term).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), pyxsim::kRcStaleRouteTerm);
  EXPECT_EQ(wresp.latest_route_term().term(), term + 1);
  ASSERT_EQ(Write(other, lba, data, &wresp, term + 1).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), 0);
  ASSERT_EQ(Write(home, lba, data, &wresp, term + 1).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), pyxsim::kRcPlaneNotHere);
  EXPECT_EQ(cluster_->ReadStored("d0", lba, data.size()), data);
}

TEST_F(SimServicesTest, ServesOverIpv6) {
  if (!testsupport::Ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
  pyxsim::ClusterOptions opt = MakeOptions();
  opt.ip = "::1";
  opt.ipv6 = true;
  caller_.reset();
  StartCluster(opt);
  EXPECT_EQ(cluster_->volume_manager_ips(), "::1,::1");

  volume::VolumeManagerLocateVdiResponse loc;
  ASSERT_EQ(Locate(0, "d0", &loc).error, 0);
  ASSERT_EQ(loc.rc().retcode(), 0);
  EXPECT_EQ(loc.blockmasters_size(), 0);
  ASSERT_EQ(loc.blockmasters_v6_size(), 2);
  EXPECT_EQ(loc.blockmasters_v6(0).ipv6(), "::1");
  EXPECT_EQ(loc.blockmasters_v6(0).role(), MemberIPv6Info::PRIMARY);
  ASSERT_EQ(loc.blocksvrs_v6_size(), 2);
  EXPECT_EQ(loc.blocksvrs_v6(1).port(), Port(Role::kBlockServer, 1));

  vovorav::BlockMasterQueryPlaneRouteResponse routes;
  ASSERT_EQ(Routes(0, uuid_, &routes).error, 0);
  ASSERT_EQ(routes.rc().retcode(), 0);
  const vovorav::BlockServerEndpoint& ep = routes.routes(0).route(1).endpoint();
  ASSERT_EQ(ep.ipv6().ip_size(), 4);
  in6_addr expect;
  ASSERT_EQ(inet_pton(AF_INET6, "::1", &expect), 1);
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) words[i] = ep.ipv6().ip(i);
  EXPECT_EQ(memcmp(words, &expect, sizeof(words)), 0);
  EXPECT_EQ(ep.port(), Port(Role::kBlockServer, 1));

  const std::string data = Pattern(kBlock, 6);
  vovorav::BlockServerWriteResponse wresp;
  ASSERT_EQ(Write(ServerOf(0), 0, data, &wresp).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), 0);
  vovorav::BlockServerReadResponse rresp;
  EXPECT_EQ(Read(ServerOf(0), 0, kBlock, &rresp).attachment, data);
}

}  // namespace

namespace {

TEST(SimClusterTest, ListensOnFixedPortsAndRefusesBusyOnes) {
  pyxsim::ClusterOptions opt;
  opt.block_servers = 1;
  for (int i = 0; i < 3; ++i) opt.ports.push_back(testsupport::PickFreePort());
  pyxsim::Cluster cluster(opt);
  ASSERT_EQ(cluster.Start(), 0);
  EXPECT_EQ(cluster.Start(), -1);
  EXPECT_EQ(cluster.port(Role::kVolumeManager, 0), opt.ports[0]);
  EXPECT_EQ(cluster.port(Role::kBlockMaster, 0), opt.ports[1]);
  EXPECT_EQ(cluster.port(Role::kBlockServer, 0), opt.ports[2]);
  EXPECT_EQ(cluster.volume_manager_ports(), std::to_string(opt.ports[0]));

  // The same ports again, while the first cluster holds them.
  pyxsim::Cluster second(opt);
  EXPECT_EQ(second.Start(), -1);
}

TEST(SimClusterTest, RefusesInvalidOptionsAndDisks) {
  pyxsim::ClusterOptions opt;
  opt.block_servers = 0;
  EXPECT_EQ(pyxsim::Cluster(opt).Start(), -1);
  opt = pyxsim::ClusterOptions();
  opt.geometry.block_capacity = 1000;
  EXPECT_EQ(pyxsim::Cluster(opt).Start(), -1);
  opt = pyxsim::ClusterOptions();
  opt.ip = "not an address";
  EXPECT_EQ(pyxsim::Cluster(opt).Start(), -1);

  pyxsim::Cluster cluster{pyxsim::ClusterOptions()};
  EXPECT_EQ(cluster.CreateDisk("d0", 1000), -1);  // not whole blocks
  EXPECT_EQ(cluster.CreateDisk("d0", 0), -1);
  // 8192 planes of 16 per 256 MiB die: 128 GiB at most.
  EXPECT_EQ(cluster.CreateDisk("big", 129ull << 30), -1);
  EXPECT_EQ(cluster.CreateDisk("max", 128ull << 30), 0);
  EXPECT_EQ(cluster.PlaneCount("max"), pyxsim::kMaxPlanes);
  EXPECT_EQ(cluster.CreateDisk("max", 1 << 20), -1);
  EXPECT_NE(cluster.DiskUuid("max"), "");
  EXPECT_EQ(cluster.DiskUuid("none"), "");
  EXPECT_EQ(cluster.WriteStored("max", 100, std::string(kBlock, 'x')), -1);
  EXPECT_EQ(cluster.ReadStored("max", 128ull << 30, 1), "");
}

TEST(SimClusterTest, ConcurrentWritersOfOneMegabyteKeepEveryBlock) {
  pyxsim::Cluster cluster{pyxsim::ClusterOptions()};
  ASSERT_EQ(cluster.CreateDisk("d0", 64 << 20), 0);
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&cluster, t] {
      // Each thread owns every eighth block of the first megabyte and
      // rewrites them, reading other threads' blocks in between.
      for (int round = 0; round < kRounds; ++round) {
        for (uint64_t b = t; b < 256; b += kThreads) {
          cluster.WriteStored("d0", b * kBlock, Pattern(kBlock, static_cast<uint32_t>(b + round)));
        }
        const uint64_t at = static_cast<uint64_t>((round * 7 + t) % 252) * kBlock;
        EXPECT_EQ(cluster.ReadStored("d0", at, 4 * kBlock).size(), 4 * kBlock);
      }
    });
  }
  for (std::thread& w : writers) w.join();
  for (uint64_t b = 0; b < 256; ++b) {
    EXPECT_EQ(cluster.ReadStored("d0", b * kBlock, kBlock),
              Pattern(kBlock, static_cast<uint32_t>(b + kRounds - 1)));
  }
  EXPECT_EQ(cluster.WrittenBlocks("d0"), 256u);
}

}  // namespace
