// Every fault control of the cluster stand-in, once, with exact call counts.
#include <gtest/gtest.h>

#include "pyxsim/cluster.h"
#include "sim/sim_test_util.h"
#include "support/wait.h"

namespace {

using pyxsim::Faults;
using pyxsim::IoFault;
using pyxsim::Role;
using simtest::CallResult;
using simtest::Pattern;
using simtest::kBlock;

// Calls meant to time out get a short budget; every other call a long one.
constexpr uint32_t kShortMs = 300;
constexpr uint32_t kLongMs = 30000;

class SimFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pyxsim::ClusterOptions opt;
    opt.volume_managers = 2;
    opt.block_masters = 2;
    opt.block_servers = 2;
    cluster_.reset(new pyxsim::Cluster(opt));
    ASSERT_EQ(cluster_->Start(), 0);
    ASSERT_EQ(cluster_->CreateDisk("d0", 1ull << 30), 0);
    uuid_ = cluster_->DiskUuid("d0");
    caller_.reset(new simtest::Caller);
  }
  void TearDown() override {
    caller_.reset();
    cluster_.reset();
  }

  Faults& faults() { return cluster_->faults(); }
  uint16_t Port(Role role, int i) const { return cluster_->port(role, i); }
  // An lba of a plane of block server bs.
  uint64_t LbaOf(int bs) const { return static_cast<uint64_t>(bs) << 20; }

  CallResult Write(int bs, const std::string& data, vovorav::BlockServerWriteResponse* resp,
                   uint32_t timeout_ms = kLongMs) {
    vovorav::BlockServerWriteRequest req;
    req.mutable_vdi()->set_id(uuid_);
    req.set_lba(LbaOf(bs));
    req.set_size(data.size());
    req.mutable_route_term()->set_term(cluster_->RouteTerm("d0"));
    return caller_->Call(Port(Role::kBlockServer, bs), &vovorav::BlockServerService_Stub::Write,
                         req, resp, data, timeout_ms);
  }

  CallResult Read(int bs, uint64_t size, vovorav::BlockServerReadResponse* resp) {
    vovorav::BlockServerReadRequest req;
    req.mutable_vdi()->set_id(uuid_);
    req.set_lba(LbaOf(bs));
    req.set_size(size);
    req.mutable_route_term()->set_term(cluster_->RouteTerm("d0"));
    return caller_->Call(Port(Role::kBlockServer, bs), &vovorav::BlockServerService_Stub::Read, req,
                         resp);
  }

  // GetVdiSize at volume manager vm: the controller error, or the retcode.
  int SizeCall(int vm, uint32_t timeout_ms = kLongMs) {
    volume::VolumeManagerGetVdiSizeRequest req;
    volume::VolumeManagerGetVdiSizeResponse resp;
    req.mutable_vdi()->set_id("d0");
    CallResult r = caller_->Call(Port(Role::kVolumeManager, vm),
                                 &volume::VolumeManagerService_Stub::GetVdiSize, req, &resp,
                                 std::string(), timeout_ms);
    return r.error != 0 ? r.error : resp.rc().retcode();
  }

  // QueryPlaneRoute at block master bm: the controller error, or the retcode.
  int RouteCall(int bm, uint32_t timeout_ms = kLongMs) {
    vovorav::BlockMasterQueryPlaneRouteRequest req;
    vovorav::BlockMasterQueryPlaneRouteResponse resp;
    req.mutable_vdi()->set_id(uuid_);
    CallResult r = caller_->Call(Port(Role::kBlockMaster, bm),
                                 &vovorav::BlockMasterService_Stub::QueryPlaneRoute, req, &resp,
                                 std::string(), timeout_ms);
    return r.error != 0 ? r.error : resp.rc().retcode();
  }

  std::unique_ptr<pyxsim::Cluster> cluster_;
  std::unique_ptr<simtest::Caller> caller_;
  std::string uuid_;
};

TEST_F(SimFaultsTest, FailCallsAnswersTheCodeTheGivenNumberOfTimes) {
  faults().FailCalls(Role::kBlockServer, 0, "Write", -12016, 2);
  EXPECT_EQ(faults().PendingFaults(), 1);
  const std::string data = Pattern(kBlock, 1);
  vovorav::BlockServerWriteResponse resp;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Write(0, data, &resp).error, 0);
    EXPECT_EQ(resp.rc().retcode(), -12016);
    EXPECT_EQ(resp.latest_route_term().term(), cluster_->RouteTerm("d0"));
  }
  EXPECT_EQ(cluster_->WrittenBlocks("d0"), 0u);  // refused before any work
  ASSERT_EQ(Write(0, data, &resp).error, 0);
  EXPECT_EQ(resp.rc().retcode(), 0);
  EXPECT_EQ(faults().PendingFaults(), 0);
  EXPECT_EQ(faults().CallCount(Role::kBlockServer, 0, "Write"), 3u);
  // Another server and another method were never hit.
  ASSERT_EQ(Write(1, data, &resp).error, 0);
  EXPECT_EQ(resp.rc().retcode(), 0);

  // Forever, on every volume manager, with a delay, until cleared.
  faults().FailCalls(Role::kVolumeManager, Faults::kAnyServer, "GetVdiSize", -77, Faults::kForever,
                     20);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SizeCall(i % 2), -77);
  EXPECT_EQ(faults().PendingFaults(), 1);
  faults().ClearCallFaults();
  EXPECT_EQ(SizeCall(0), 0);
  EXPECT_EQ(faults().CallCount(Role::kVolumeManager, Faults::kAnyServer, "GetVdiSize"), 4u);
  EXPECT_EQ(faults().CallCount(Role::kVolumeManager, 1, ""), 1u);
  EXPECT_EQ(faults().CallCount(Role::kBlockServer, Faults::kAnyServer, ""), 4u);

  faults().ResetCounts();
  EXPECT_EQ(faults().CallCount(Role::kBlockServer, Faults::kAnyServer, ""), 0u);
}

TEST_F(SimFaultsTest, DelayedWritesAreStoredBeforeTheLateAnswer) {
  faults().DelayCalls(Role::kBlockServer, 1, "Write", 5000, 1);
  const std::string data = Pattern(2 * kBlock, 2);
  vovorav::BlockServerWriteResponse resp;
  EXPECT_EQ(Write(1, data, &resp, kShortMs).error, tarn::kRpcTimeout);
  // The server did the work; only its answer is late.
  EXPECT_EQ(cluster_->ReadStored("d0", LbaOf(1), data.size()), data);
  ASSERT_EQ(Write(1, data, &resp).error, 0);
  EXPECT_EQ(resp.rc().retcode(), 0);
  EXPECT_EQ(faults().CallCount(Role::kBlockServer, 1, "Write"), 2u);
  // The held answer is sent when the cluster stops (TearDown).
}

TEST_F(SimFaultsTest, DroppedCallsGetNoAnswerAndDoNoWork) {
  faults().DropCalls(Role::kBlockServer, 0, "Write", 1);
  const std::string data = Pattern(kBlock, 3);
  vovorav::BlockServerWriteResponse resp;
  EXPECT_EQ(Write(0, data, &resp, kShortMs).error, tarn::kRpcTimeout);
  EXPECT_EQ(cluster_->WrittenBlocks("d0"), 0u);
  ASSERT_EQ(Write(0, data, &resp).error, 0);
  EXPECT_EQ(resp.rc().retcode(), 0);
  EXPECT_EQ(faults().CallCount(Role::kBlockServer, 0, "Write"), 2u);

  faults().DropCalls(Role::kBlockMaster, 0, "", 1);
  EXPECT_EQ(RouteCall(0, kShortMs), tarn::kRpcTimeout);
  EXPECT_EQ(RouteCall(0), 0);
}

TEST_F(SimFaultsTest, ClosedConnectionsFailTheCallAndTheNextCallReconnects) {
  faults().CloseOnCalls(Role::kVolumeManager, 1, "GetVdiSize", 1);
  EXPECT_LT(SizeCall(1, kShortMs * 3), 0);
  EXPECT_EQ(SizeCall(1), 0);
  EXPECT_EQ(faults().CallCount(Role::kVolumeManager, 1, "GetVdiSize"), 2u);
  EXPECT_EQ(faults().CallCount(Role::kVolumeManager, 0, "GetVdiSize"), 0u);
}

TEST_F(SimFaultsTest, StoppedServersRestartOnTheSamePort) {
  const uint16_t port = Port(Role::kBlockServer, 1);
  const std::string data = Pattern(kBlock, 4);
  vovorav::BlockServerWriteResponse resp;
  ASSERT_EQ(Write(1, data, &resp).error, 0);

  ASSERT_EQ(faults().StopServer(Role::kBlockServer, 1), 0);
  EXPECT_FALSE(faults().IsRunning(Role::kBlockServer, 1));
  EXPECT_EQ(faults().StopServer(Role::kBlockServer, 1), -1);
  EXPECT_NE(Write(1, data, &resp, kShortMs).error, 0);

  ASSERT_EQ(faults().RestartServer(Role::kBlockServer, 1), 0);
  EXPECT_TRUE(faults().IsRunning(Role::kBlockServer, 1));
  EXPECT_EQ(Port(Role::kBlockServer, 1), port);
  EXPECT_EQ(faults().RestartServer(Role::kBlockServer, 1), -1);
  // The data outlives the server.
  vovorav::BlockServerReadResponse rresp;
  bool served = testsupport::WaitFor([&] { return Read(1, kBlock, &rresp).attachment == data; });
  EXPECT_TRUE(served);

  // A block master too.
  ASSERT_EQ(faults().StopServer(Role::kBlockMaster, 0), 0);
  EXPECT_NE(RouteCall(0, kShortMs), 0);
  ASSERT_EQ(faults().RestartServer(Role::kBlockMaster, 0), 0);
  EXPECT_TRUE(testsupport::WaitFor([&] { return RouteCall(0) == 0; }));
  EXPECT_EQ(faults().StopServer(Role::kBlockMaster, 5), -1);

  // Nothing comes back once the cluster has stopped.
  cluster_->Stop();
  EXPECT_FALSE(faults().IsRunning(Role::kBlockServer, 1));
  EXPECT_EQ(faults().RestartServer(Role::kBlockServer, 1), -1);
  EXPECT_EQ(cluster_->Start(), -1);
}

TEST_F(SimFaultsTest, ServersMarkedDownCloseEveryCall) {
  ASSERT_EQ(faults().MarkDown(Role::kVolumeManager, 0), 0);
  EXPECT_TRUE(faults().IsDown(Role::kVolumeManager, 0));
  EXPECT_LT(SizeCall(0, kShortMs), 0);
  EXPECT_LT(SizeCall(0, kShortMs), 0);
  EXPECT_EQ(SizeCall(1), 0);
  ASSERT_EQ(faults().MarkUp(Role::kVolumeManager, 0), 0);
  EXPECT_FALSE(faults().IsDown(Role::kVolumeManager, 0));
  EXPECT_EQ(SizeCall(0), 0);
  EXPECT_EQ(faults().CallCount(Role::kVolumeManager, 0, "GetVdiSize"), 3u);
}

TEST_F(SimFaultsTest, PrimaryBlockMasterMoves) {
  EXPECT_EQ(RouteCall(0), 0);
  EXPECT_EQ(RouteCall(1), pyxsim::kRcNotLeader);
  ASSERT_EQ(faults().SetPrimaryBlockMaster(1), 0);
  EXPECT_EQ(faults().primary_block_master(), 1);
  EXPECT_EQ(RouteCall(0), pyxsim::kRcNotLeader);
  EXPECT_EQ(RouteCall(1), 0);
  EXPECT_EQ(faults().SetPrimaryBlockMaster(2), -1);
}

TEST_F(SimFaultsTest, IoFaultsBendOneAnswerEach) {
  const uint64_t size = 4 * kBlock;
  const std::string data = Pattern(size, 5);
  vovorav::BlockServerWriteResponse wresp;
  ASSERT_EQ(Write(0, data, &wresp).error, 0);
  const uint64_t term = cluster_->RouteTerm("d0");

  struct Case {
    IoFault fault;
    uint64_t answer_size;
    size_t attachment_len;
    bool zerod;
    bool same_term;
  } cases[] = {
      {IoFault::kWrongSize, size - kBlock, size, false, true},
      {IoFault::kShortAttachment, size, size - kBlock, false, true},
      {IoFault::kLongAttachment, size, size + kBlock, false, true},
      {IoFault::kFlipByte, size, size, false, true},
      {IoFault::kForceZerod, size, 0, true, true},
      {IoFault::kStaleTerm, size, size, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(pyxsim::IoFaultName(c.fault));
    faults().InjectIoFault(0, "Read", c.fault, 1);
    vovorav::BlockServerReadResponse resp;
    CallResult r = Read(0, size, &resp);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(resp.rc().retcode(), 0);
    EXPECT_EQ(resp.size(), c.answer_size);
    EXPECT_EQ(r.attachment.size(), c.attachment_len);
    EXPECT_EQ(resp.zerod(), c.zerod);
    EXPECT_EQ(resp.latest_route_term().term() == term, c.same_term);
    if (c.fault == IoFault::kFlipByte) {
      int differing = 0;
      for (size_t i = 0; i < size; ++i) differing += r.attachment[i] != data[i];
      EXPECT_EQ(differing, 1);
    }
    // Worn off: the next read is clean.
    r = Read(0, size, &resp);
    EXPECT_EQ(r.attachment, data);
    EXPECT_EQ(resp.latest_route_term().term(), term);
  }
  EXPECT_EQ(faults().CallCount(Role::kBlockServer, 0, "Read"), 12u);

  // A read fault waits for a read; a stale term also bends a write.
  faults().InjectIoFault(0, "", IoFault::kFlipByte, 1);
  faults().InjectIoFault(0, "Write", IoFault::kStaleTerm, 1);
  ASSERT_EQ(Write(0, data, &wresp).error, 0);
  EXPECT_EQ(wresp.rc().retcode(), 0);
  EXPECT_NE(wresp.latest_route_term().term(), term);
  EXPECT_EQ(faults().PendingFaults(), 1);
  faults().ClearCallFaults();
}

TEST_F(SimFaultsTest, RandomCallFaultsAreRepeatableForASeed) {
  pyxsim::RandomFaultRates rates;
  rates.retcode = 0.5;
  const std::string data = Pattern(kBlock, 6);
  std::vector<int> codes[2];
  for (int round = 0; round < 2; ++round) {
    faults().SetRandomFaults(42, rates);
    for (int i = 0; i < 40; ++i) {
      vovorav::BlockServerWriteResponse resp;
      ASSERT_EQ(Write(i % 2, data, &resp).error, 0);
      codes[round].push_back(resp.rc().retcode());
    }
    const pyxsim::RandomFaultStats stats = faults().random_stats();
    faults().StopRandomFaults();
    int failed = 0;
    for (int code : codes[round]) {
      if (code != 0) {
        ++failed;
        EXPECT_TRUE(code <= -12000 && code >= -14000) << code;
      }
    }
    EXPECT_EQ(stats.retcodes, static_cast<uint64_t>(failed));
    EXPECT_GT(failed, 0);
    EXPECT_LT(failed, 40);
  }
  EXPECT_EQ(codes[0], codes[1]);
  // Off again: nothing fails.
  vovorav::BlockServerWriteResponse resp;
  ASSERT_EQ(Write(0, data, &resp).error, 0);
  EXPECT_EQ(resp.rc().retcode(), 0);
}

TEST_F(SimFaultsTest, RandomClusterEventsLeaveEveryServerUpWhenStopped) {
  pyxsim::RandomFaultRates rates;
  rates.event_interval_ms = 5;
  rates.route_moves = true;
  rates.restarts = true;
  rates.failovers = true;
  rates.down_ms = 10;
  const uint64_t term = cluster_->RouteTerm("d0");
  faults().SetRandomFaults(7, rates);
  EXPECT_TRUE(testsupport::WaitFor([&] {
    const pyxsim::RandomFaultStats s = faults().random_stats();
    return s.route_moves >= 2 && s.restarts >= 1 && s.failovers >= 1;
  }));
  faults().StopRandomFaults();
  const pyxsim::RandomFaultStats stats = faults().random_stats();
  EXPECT_EQ(cluster_->RouteTerm("d0"), term + stats.route_moves);
  for (Role role : {Role::kVolumeManager, Role::kBlockMaster, Role::kBlockServer}) {
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(faults().IsRunning(role, i));
      EXPECT_FALSE(faults().IsDown(role, i));
    }
  }
  EXPECT_EQ(faults().primary_block_master(), 0);
  EXPECT_TRUE(testsupport::WaitFor([&] { return RouteCall(0) == 0; }));
}

}  // namespace
