// Block servers on busy-polling loops serve the same answers as sleeping
// ones, stop cleanly and restart on their port.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pyxsim/cluster.h"
#include "sim/sim_test_util.h"

namespace {

using pyxsim::Role;
using simtest::CallResult;

constexpr uint64_t kBusyPollDiskSize = 256ull << 20;

class SimBusyPollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pyxsim::ClusterOptions opt;
    opt.block_servers = 1;
    opt.threads = 1;
    opt.busy_poll = true;
    cluster_.reset(new pyxsim::Cluster(opt));
    ASSERT_EQ(cluster_->Start(), 0);
    ASSERT_EQ(cluster_->CreateDisk("d0", kBusyPollDiskSize, 7), 0);
    caller_.reset(new simtest::Caller());
  }
  void TearDown() override {
    caller_.reset();
    cluster_.reset();
  }

  CallResult Write(uint64_t lba, const std::string& data) {
    vovorav::BlockServerWriteRequest req;
    vovorav::BlockServerWriteResponse resp;
    req.mutable_vdi()->set_id(cluster_->DiskUuid("d0"));
    req.set_lba(lba);
    req.set_size(data.size());
    req.set_dgs(7);
    req.mutable_route_term()->set_term(cluster_->RouteTerm("d0"));
    return caller_->Call(cluster_->port(Role::kBlockServer, 0),
                         &vovorav::BlockServerService_Stub::Write, req, &resp, data);
  }
  CallResult Read(uint64_t lba, uint64_t size) {
    vovorav::BlockServerReadRequest req;
    vovorav::BlockServerReadResponse resp;
    req.mutable_vdi()->set_id(cluster_->DiskUuid("d0"));
    req.set_lba(lba);
    req.set_size(size);
    req.mutable_route_term()->set_term(cluster_->RouteTerm("d0"));
    return caller_->Call(cluster_->port(Role::kBlockServer, 0),
                         &vovorav::BlockServerService_Stub::Read, req, &resp);
  }

  std::unique_ptr<pyxsim::Cluster> cluster_;
  std::unique_ptr<simtest::Caller> caller_;
};

TEST_F(SimBusyPollTest, WritesReadBackAcrossARestart) {
  const std::string data = simtest::Pattern(2 * pyxsim::kBlockSize, 5);
  ASSERT_EQ(Write(8192, data).error, 0);
  CallResult read = Read(8192, data.size());
  ASSERT_EQ(read.error, 0);
  EXPECT_EQ(read.attachment, data);

  ASSERT_EQ(cluster_->faults().StopServer(Role::kBlockServer, 0), 0);
  ASSERT_EQ(cluster_->faults().RestartServer(Role::kBlockServer, 0), 0);
  caller_->Forget(cluster_->port(Role::kBlockServer, 0));
  read = Read(8192, data.size());
  ASSERT_EQ(read.error, 0);
  EXPECT_EQ(read.attachment, data);
}

}  // namespace
