// The control service and its blocking client drive a cluster as its own
// fault controls do.
#include <gtest/gtest.h>

#include "pyxsim/cluster.h"
#include "pyxsim/control_client.h"
#include "pyxsim/control_server.h"
#include "sim/sim_test_util.h"
#include "support/wait.h"

namespace {

using pyxsim::Faults;
using pyxsim::IoFault;
using pyxsim::Role;

class SimControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pyxsim::ClusterOptions opt;
    opt.block_masters = 2;
    cluster_.reset(new pyxsim::Cluster(opt));
    ASSERT_EQ(cluster_->Start(), 0);
    server_.reset(new pyxsim::ControlServer(cluster_.get(), "127.0.0.1", 0));
    ASSERT_EQ(server_->Start(), 0);
    ASSERT_NE(server_->port(), 0);
    client_.reset(new pyxsim::ControlClient("127.0.0.1", server_->port()));
    ASSERT_EQ(client_->Connect(), 0);
  }
  void TearDown() override {
    client_.reset();
    server_.reset();
    cluster_.reset();
  }

  Faults& faults() { return cluster_->faults(); }

  std::unique_ptr<pyxsim::Cluster> cluster_;
  std::unique_ptr<pyxsim::ControlServer> server_;
  std::unique_ptr<pyxsim::ControlClient> client_;
};

TEST_F(SimControlTest, ManagesDisks) {
  EXPECT_EQ(client_->Ping(), 0);
  ASSERT_EQ(client_->CreateDisk("d0", 64 << 20, 3), 0);
  EXPECT_EQ(client_->CreateDisk("d0", 64 << 20), -1);
  EXPECT_EQ(client_->CreateDisk("odd", 1000), -1);
  ASSERT_EQ(client_->CreateDisk("d1", 1ull << 30), 0);

  pyxsim::DiskInfo info;
  ASSERT_EQ(client_->GetDisk("d0", &info), 0);
  EXPECT_EQ(info.name, "d0");
  EXPECT_EQ(info.uuid, cluster_->DiskUuid("d0"));
  EXPECT_EQ(info.size, 64u << 20);
  EXPECT_EQ(info.dgs, 3u);
  EXPECT_EQ(info.route_term, cluster_->RouteTerm("d0"));
  EXPECT_EQ(info.planes, 16u);
  EXPECT_EQ(client_->GetDisk("nope", &info), -1);
  std::vector<pyxsim::DiskInfo> disks;
  ASSERT_EQ(client_->ListDisks(&disks), 0);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[1].name, "d1");

  ASSERT_EQ(client_->SetDiskDgs("d0", 9), 0);
  EXPECT_EQ(cluster_->DiskDgs("d0"), 9u);

  const std::string data = simtest::Pattern(8192, 1);
  ASSERT_EQ(cluster_->WriteStored("d0", 4096, data), 0);
  std::string read;
  ASSERT_EQ(client_->ReadStored("d0", 4096 + 10, 5000, &read), 0);
  EXPECT_EQ(read, data.substr(10, 5000));
  EXPECT_EQ(client_->ReadStored("d0", 64 << 20, 1, &read), -1);
  int retcode = 0;
  EXPECT_EQ(client_->NotifySnapshot("d0", 10, &retcode), -1);  // nobody registered
}

TEST_F(SimControlTest, InjectsCallFaults) {
  ASSERT_EQ(client_->FailCalls(Role::kBlockServer, 1, "Write", -12001, 2), 0);
  ASSERT_EQ(client_->DelayCalls(Role::kBlockMaster, 0, "", 10, 1), 0);
  ASSERT_EQ(client_->DropCalls(Role::kVolumeManager, Faults::kAnyServer, "LocateVdi", 1), 0);
  ASSERT_EQ(client_->CloseOnCalls(Role::kVolumeManager, 0, "GetVdiSize", 1), 0);
  ASSERT_EQ(client_->InjectIoFault(0, "Read", IoFault::kFlipByte, 1), 0);
  EXPECT_EQ(faults().PendingFaults(), 5);
  ASSERT_EQ(client_->ClearCallFaults(), 0);
  EXPECT_EQ(faults().PendingFaults(), 0);

  // A fault set through the service meets a real call.
  ASSERT_EQ(client_->FailCalls(Role::kVolumeManager, 0, "GetVdiSize", -55, 1), 0);
  ASSERT_EQ(cluster_->CreateDisk("d0", 64 << 20), 0);
  simtest::Caller caller;
  volume::VolumeManagerGetVdiSizeRequest req;
  volume::VolumeManagerGetVdiSizeResponse resp;
  req.mutable_vdi()->set_id("d0");
  ASSERT_EQ(caller
                .Call(cluster_->port(Role::kVolumeManager, 0),
                      &volume::VolumeManagerService_Stub::GetVdiSize, req, &resp)
                .error,
            0);
  EXPECT_EQ(resp.rc().retcode(), -55);
  uint64_t count = 0;
  ASSERT_EQ(client_->CallCount(Role::kVolumeManager, 0, "GetVdiSize", &count), 0);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(client_->ResetCounts(), 0);
  ASSERT_EQ(client_->CallCount(Role::kVolumeManager, Faults::kAnyServer, "", &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(SimControlTest, ControlsServersAndRoutes) {
  ASSERT_EQ(cluster_->CreateDisk("d0", 1ull << 30), 0);
  ASSERT_EQ(client_->StopServer(Role::kBlockServer, 0), 0);
  EXPECT_FALSE(faults().IsRunning(Role::kBlockServer, 0));
  EXPECT_EQ(client_->StopServer(Role::kBlockServer, 0), -1);
  ASSERT_EQ(client_->RestartServer(Role::kBlockServer, 0), 0);
  EXPECT_TRUE(faults().IsRunning(Role::kBlockServer, 0));
  ASSERT_EQ(client_->MarkDown(Role::kBlockMaster, 1), 0);
  EXPECT_TRUE(faults().IsDown(Role::kBlockMaster, 1));
  ASSERT_EQ(client_->MarkUp(Role::kBlockMaster, 1), 0);
  EXPECT_FALSE(faults().IsDown(Role::kBlockMaster, 1));
  ASSERT_EQ(client_->SetPrimaryBlockMaster(1), 0);
  EXPECT_EQ(faults().primary_block_master(), 1);
  EXPECT_EQ(client_->SetPrimaryBlockMaster(7), -1);
  EXPECT_EQ(client_->StopServer(Role::kVolumeManager, 3), -1);

  const uint64_t term = cluster_->RouteTerm("d0");
  ASSERT_EQ(client_->MovePlane("d0", 4, 1), 0);
  EXPECT_EQ(cluster_->PlaneServer("d0", 4), 1);
  EXPECT_EQ(cluster_->RouteTerm("d0"), term + 1);
  EXPECT_EQ(client_->MovePlane("d0", 4, 9), -1);
  EXPECT_EQ(client_->MovePlane("nope", 4, 0), -1);
  EXPECT_EQ(client_->UnroutePlanes("d0", {1, 2}), 0);
  EXPECT_EQ(client_->RestorePlanes("d0"), 0);
  EXPECT_EQ(client_->UnroutePlanes("d0", {64}), -1);
  EXPECT_EQ(client_->ReportDiskMissing("d0", true), 0);
  EXPECT_EQ(client_->ReportDiskMissing("d0", false), 0);
}

TEST_F(SimControlTest, RunsRandomFaultsAndReportsThem) {
  ASSERT_EQ(cluster_->CreateDisk("d0", 1ull << 30), 0);
  pyxsim::RandomFaultRates rates;
  rates.event_interval_ms = 5;
  rates.route_moves = true;
  ASSERT_EQ(client_->SetRandomFaults(1, rates), 0);
  pyxsim::RandomFaultStats stats;
  EXPECT_TRUE(testsupport::WaitFor(
      [&] { return client_->GetRandomStats(&stats) == 0 && stats.route_moves >= 3; }));
  ASSERT_EQ(client_->StopRandomFaults(&stats), 0);
  EXPECT_GE(stats.route_moves, 3u);
  EXPECT_EQ(faults().random_stats().route_moves, stats.route_moves);
}

TEST(SimControlClientTest, FailsCleanlyWithoutAServer) {
  pyxsim::ControlClient unconnected("127.0.0.1", 1);
  EXPECT_EQ(unconnected.Ping(), tarn::kRpcConnectError);
  pyxsim::ControlClient bad_address("not an address", 1);
  EXPECT_EQ(bad_address.Connect(), -1);
}

}  // namespace
