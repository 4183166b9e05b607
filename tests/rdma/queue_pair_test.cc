// RdmaQueuePair over the emulated verbs device: the exact state-change
// attributes, capacities, a message across a connected pair, and failures
// that must never reach a caller as a usable queue pair.
#include "tarn/polling/rdma_queue_pair.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/log_capture.h"
#include "support/wait.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_handle.h"
#include "verbs_emu/verbs_emu.h"

namespace {

using tarn::RdmaQueuePair;

tarn::WorkerOption Option(bool use_srq = true, uint32_t recv_depth = 512) {
  tarn::WorkerOption option;
  option.enable_rdma = 1;
  option.obj_pool_size = 1024;
  option.rdma_option.device_name = "emu_0";
  option.rdma_option.port_id = 1;
  option.rdma_option.gid_index = 3;
  option.rdma_option.use_srq = use_srq;
  option.rdma_option.recv_depth = recv_depth;
  option.rdma_option.timeout = 14;
  option.rdma_option.retry_cnt = 5;
  option.rdma_option.rnr_retry = 7;
  option.rdma_option.traffic_class = 106;
  return option;
}

// One worker's device context, opened on the test thread.
struct Side {
  explicit Side(const tarn::WorkerOption& option, uint32_t index = 0)
      : worker(index, {}, option), handle(&worker) {}
  tarn::PollingWorker worker;
  tarn::RdmaHandle handle;
};

// Two workers' contexts with a queue pair each.
struct Pair {
  Side a{Option(), 0};
  Side b{Option(), 1};
  std::shared_ptr<RdmaQueuePair> qa;
  std::shared_ptr<RdmaQueuePair> qb;

  // Both contexts opened and a queue pair made on each, still in INIT.
  void Open() {
    ASSERT_EQ(a.handle.Init(), 0);
    ASSERT_EQ(b.handle.Init(), 0);
    qa = a.handle.NewQueuePair();
    qb = b.handle.NewQueuePair();
    ASSERT_NE(qa, nullptr);
    ASSERT_NE(qb, nullptr);
  }

  // Each queue pair told where the other is.
  void Address() {
    qa->set_peer_qp_num(qb->qp_num());
    qa->set_peer_lid(qb->lid());
    qa->set_peer_gid(qb->gid());
    qb->set_peer_qp_num(qa->qp_num());
    qb->set_peer_lid(qa->lid());
    qb->set_peer_gid(qa->gid());
  }

  void Connect() {
    Address();
    ASSERT_EQ(qa->ModifyQpToRts(), 0);
    ASSERT_EQ(qb->ModifyQpToRts(), 0);
  }
};

int PostWrite(RdmaQueuePair* qp, uint64_t wr_id) {
  ibv_send_wr wr{};
  ibv_send_wr* bad = nullptr;
  wr.wr_id = wr_id;
  wr.opcode = IBV_WR_RDMA_WRITE;
  wr.send_flags = IBV_SEND_SIGNALED;
  return ibv_post_send(qp->qp(), &wr, &bad);
}

int PostHeaderSend(tarn::RdmaHandle* handle, RdmaQueuePair* qp, uint64_t wr_id,
                   tarn::RdmaMessageHeader* header, void* data, uint32_t len, uint32_t lkey) {
  ibv_sge sge[2] = {{reinterpret_cast<uint64_t>(header), 8, handle->header_lkey()},
                    {reinterpret_cast<uint64_t>(data), len, lkey}};
  ibv_send_wr wr{};
  ibv_send_wr* bad = nullptr;
  wr.wr_id = wr_id;
  wr.sg_list = sge;
  wr.num_sge = data != nullptr ? 2 : 1;
  wr.opcode = IBV_WR_SEND;
  wr.send_flags = IBV_SEND_SIGNALED;
  return ibv_post_send(qp->qp(), &wr, &bad);
}

// Waits for one completion on `cq`.
bool PollOne(ibv_cq* cq, ibv_wc* wc) {
  return testsupport::WaitFor([&] { return ibv_poll_cq(cq, 1, wc) == 1; });
}

class QueuePairTest : public ::testing::Test {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override { verbs_emu::ClearFailures(); }
};

TEST_F(QueuePairTest, StateChangesCarryExactlyTheirMasksAndValues) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(p.Open());
  EXPECT_EQ(p.qa->state(), RdmaQueuePair::kNew);
  ASSERT_NO_FATAL_FAILURE(p.Connect());
  EXPECT_EQ(p.qa->state(), RdmaQueuePair::kReady);

  verbs_emu::ModifyRecord init, rtr, rts;
  ASSERT_TRUE(verbs_emu::GetLastModify(p.qa->qp_num(), IBV_QPS_INIT, &init));
  ASSERT_TRUE(verbs_emu::GetLastModify(p.qa->qp_num(), IBV_QPS_RTR, &rtr));
  ASSERT_TRUE(verbs_emu::GetLastModify(p.qa->qp_num(), IBV_QPS_RTS, &rts));

  EXPECT_EQ(init.attr_mask, 0x39);
  EXPECT_EQ(init.attr.pkey_index, 0);
  EXPECT_EQ(init.attr.port_num, 1);
  EXPECT_EQ(init.attr.qp_access_flags, 0xfu);

  EXPECT_EQ(rtr.attr_mask, 0x129181);
  EXPECT_EQ(rtr.attr.path_mtu, IBV_MTU_1024);
  EXPECT_EQ(rtr.attr.dest_qp_num, p.qb->qp_num());
  EXPECT_EQ(rtr.attr.rq_psn, 0u);
  EXPECT_EQ(rtr.attr.max_dest_rd_atomic, 1);
  EXPECT_EQ(rtr.attr.min_rnr_timer, 12);
  const ibv_ah_attr& ah = rtr.attr.ah_attr;
  EXPECT_EQ(ah.is_global, 1);
  EXPECT_EQ(memcmp(ah.grh.dgid.raw, p.qb->gid().raw, 16), 0);
  EXPECT_EQ(ah.grh.sgid_index, 3);
  EXPECT_EQ(ah.grh.hop_limit, 64);
  EXPECT_EQ(ah.grh.traffic_class, 106);
  EXPECT_EQ(ah.grh.flow_label, 0u);
  EXPECT_EQ(ah.dlid, p.qb->lid());
  EXPECT_EQ(ah.sl, 0);
  EXPECT_EQ(ah.src_path_bits, 0);
  EXPECT_EQ(ah.static_rate, 0);
  EXPECT_EQ(ah.port_num, 1);

  EXPECT_EQ(rts.attr_mask, 0x12e01);
  EXPECT_EQ(rts.attr.timeout, 14);
  EXPECT_EQ(rts.attr.retry_cnt, 5);
  EXPECT_EQ(rts.attr.rnr_retry, 7);
  EXPECT_EQ(rts.attr.sq_psn, 0u);
  EXPECT_EQ(rts.attr.max_rd_atomic, 1);

  // The pair really is connected: a header-first SEND lands in b's shared
  // receive queue, in memory registered through b's manager.
  const size_t zone = tarn::MrManager::kZoneAlign;
  void* mem = mmap(nullptr, 2 * zone, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  char* buf = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(mem) + zone - 1) & ~(zone - 1));
  ASSERT_EQ(p.a.handle.mr_manager()->RegisterMr(buf, zone), 0);
  ASSERT_EQ(p.b.handle.mr_manager()->RegisterMr(buf, zone), 0);  // a second PD: allowed
  uint32_t a_lkey = 0;
  uint32_t b_lkey = 0;
  ASSERT_EQ(p.a.handle.mr_manager()->GetKeyByAddr(buf, &a_lkey, nullptr), 0);
  ASSERT_EQ(p.b.handle.mr_manager()->GetKeyByAddr(buf + 4096, &b_lkey, nullptr), 0);
  strcpy(buf, "hello queue pair");
  tarn::RdmaPostRecvWorkRequest* rr = p.b.handle.NewPostRecvWorkRequest(buf + 4096);
  ASSERT_NE(rr, nullptr);
  ibv_sge rsge[2] = {{reinterpret_cast<uint64_t>(rr->header), 8, p.b.handle.header_lkey()},
                     {reinterpret_cast<uint64_t>(buf + 4096), 4096, b_lkey}};
  ibv_recv_wr rwr{};
  ibv_recv_wr* bad_rwr = nullptr;
  rwr.wr_id = reinterpret_cast<uint64_t>(rr);
  rwr.sg_list = rsge;
  rwr.num_sge = 2;
  ASSERT_EQ(ibv_post_srq_recv(p.b.handle.srq(), &rwr, &bad_rwr), 0);
  tarn::RdmaMessageHeader* header = p.a.handle.NewMessage(17, 4);
  ASSERT_EQ(PostHeaderSend(&p.a.handle, p.qa.get(), 42, header, buf, 17, a_lkey), 0);

  ibv_wc rwc{};
  ibv_wc swc{};
  ASSERT_TRUE(PollOne(p.b.handle.recv_cq(), &rwc));
  ASSERT_TRUE(PollOne(p.a.handle.send_cq(), &swc));
  EXPECT_EQ(swc.status, IBV_WC_SUCCESS);
  EXPECT_EQ(swc.wr_id, 42u);
  EXPECT_EQ(rwc.status, IBV_WC_SUCCESS);
  EXPECT_EQ(rwc.wr_id, reinterpret_cast<uint64_t>(rr));
  EXPECT_EQ(rwc.byte_len, 8u + 17u);
  EXPECT_EQ(rr->header->type, 4u);
  EXPECT_EQ(rr->header->length, 17u);
  EXPECT_STREQ(buf + 4096, "hello queue pair");
  p.a.handle.DeleteMessage(header);
  p.b.handle.DeletePostRecvWorkRequest(rr);

  p.qa->Shutdown();
  p.qb->Shutdown();
  p.qa->DestroyQp();
  p.qb->DestroyQp();
  EXPECT_EQ(p.a.handle.mr_manager()->UnregisterMr(buf, zone), 0);
  EXPECT_EQ(p.b.handle.mr_manager()->UnregisterMr(buf, zone), 0);
  munmap(mem, 2 * zone);
}

// A full in-flight depth of sends still leaves room for the keepalive write
// and, after the move to ERROR, the last-WQE marker.
TEST_F(QueuePairTest, SendQueueKeepsRoomForKeepaliveAndMarker) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(p.Open());
  EXPECT_EQ(p.qa->send_depth(), RdmaQueuePair::kSendDepth);
  EXPECT_GE(p.qa->max_send_wr(), RdmaQueuePair::kSendDepth + RdmaQueuePair::kReservedSendWrs);
  ASSERT_NO_FATAL_FAILURE(p.Connect());

  std::vector<tarn::RdmaMessageHeader*> headers;
  for (uint32_t i = 0; i < p.qa->send_depth(); ++i) {
    headers.push_back(p.a.handle.NewMessage(0, 4));
    ASSERT_EQ(PostHeaderSend(&p.a.handle, p.qa.get(), i + 1, headers.back(), nullptr, 0, 0), 0)
        << i;
  }
  EXPECT_EQ(PostWrite(p.qa.get(), tarn::kKeepAliveWrId), 0);
  p.qa->Shutdown();
  EXPECT_EQ(PostWrite(p.qa.get(), tarn::kLastWqeWrId), 0);

  // Everything completes flushed, the marker last.
  ibv_wc wc[32];
  uint32_t seen = 0;
  uint64_t last = 0;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    const int n = ibv_poll_cq(p.a.handle.send_cq(), 32, wc);
    for (int i = 0; i < n; ++i) last = wc[i].wr_id;
    seen += n > 0 ? n : 0;
    return seen == p.qa->send_depth() + 2;
  }));
  EXPECT_EQ(last, tarn::kLastWqeWrId);
  for (auto* h : headers) p.a.handle.DeleteMessage(h);
  p.qb->Shutdown();
  p.qa->DestroyQp();
  p.qb->DestroyQp();
}

TEST_F(QueuePairTest, CapacitiesFollowTheDeviceAndTheReceiveMode) {
  verbs_emu::DeviceConfig small = verbs_emu::DefaultDevice();
  small.name = "emu_small";
  small.attr.max_qp_wr = 100;
  small.attr.max_sge = 7;
  verbs_emu::DefineDevices({verbs_emu::DefaultDevice(), small});
  struct Case {
    const char* device;
    bool use_srq;
    uint32_t recv_depth;
    uint32_t send_wr;
    uint32_t send_depth;
    uint32_t send_sge;
    uint32_t recv_wr;
    uint32_t recv_sge;
  } cases[] = {
      {"emu_0", true, 1024, 258, 256, 30, 0, 0},
      {"emu_0", false, 1024, 258, 256, 30, 128, 3},  // depth lowered by the worker
      {"emu_0", false, 64, 258, 256, 30, 64, 3},
      {"emu_small", true, 512, 100, 98, 7, 0, 0},
  };
  for (const Case& c : cases) {
    tarn::WorkerOption option = Option(c.use_srq, c.recv_depth);
    option.rdma_option.device_name = c.device;
    Side side(option);
    ASSERT_EQ(side.handle.Init(), 0) << c.device;
    testsupport::LogCapture log;
    auto qp = side.handle.NewQueuePair();
    ASSERT_NE(qp, nullptr) << c.device;
    EXPECT_GE(qp->max_send_wr(), c.send_wr) << c.device;
    EXPECT_EQ(qp->send_depth(), c.send_depth) << c.device;
    EXPECT_EQ(qp->max_send_sge(), c.send_sge) << c.device;
    EXPECT_EQ(qp->max_msg_size(), 524288u + 8192u);
    const std::string line = log.LineWith("rdma qp created, qp_num: ");
    EXPECT_NE(line.find("max_recv_wr: " + std::to_string(c.recv_wr) + ", max_send_sge: "),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("max_recv_sge: " + std::to_string(c.recv_sge)), std::string::npos)
        << line;
    qp->DestroyQp();
  }
}

// A queue pair the device refuses, or one stuck in RESET, never reaches the
// caller; nothing is left on the device.
TEST_F(QueuePairTest, RefusedCreationOrInitGivesNoQueuePair) {
  Side side(Option());
  ASSERT_EQ(side.handle.Init(), 0);
  const int qps = verbs_emu::GetCounters().qps;
  for (const char* verb : {"ibv_create_qp", "ibv_query_qp", "ibv_modify_qp"}) {
    testsupport::LogCapture log;
    ASSERT_TRUE(verbs_emu::FailNextCall(verb, EINVAL));
    EXPECT_EQ(side.handle.NewQueuePair(), nullptr) << verb;
    EXPECT_EQ(verbs_emu::GetCounters().qps, qps) << verb;
  }
  auto qp = side.handle.NewQueuePair();
  ASSERT_NE(qp, nullptr);
  qp->DestroyQp();
}

TEST_F(QueuePairTest, FailedRtsShutdownAndDestroyAreReportedOnce) {
  Pair p;
  ASSERT_NO_FATAL_FAILURE(p.Open());
  p.Address();

  testsupport::LogCapture log;
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_modify_qp", EINVAL));
  EXPECT_EQ(p.qa->ModifyQpToRts(), EINVAL);
  EXPECT_NE(log.text().find("Failed to modify qp to RTR. err: "), std::string::npos);
  EXPECT_EQ(p.qa->state(), RdmaQueuePair::kNew);
  EXPECT_EQ(p.qa->ModifyQpToRts(), 0);  // still in INIT: a retry goes through

  // Shutdown from INIT (a connection closed during its handshake), twice.
  log.Clear();
  p.qb->Shutdown();
  p.qb->Shutdown();
  EXPECT_EQ(p.qb->state(), RdmaQueuePair::kShutdown);
  ibv_qp_state state;
  ASSERT_TRUE(verbs_emu::GetQpState(p.qb->qp_num(), &state));
  EXPECT_EQ(state, IBV_QPS_ERR);
  EXPECT_NE(log.text().find("qp already destroyed, qp_num: " + std::to_string(p.qb->qp_num())),
            std::string::npos);

  const int qps = verbs_emu::GetCounters().qps;
  p.qb->DestroyQp();
  p.qb->DestroyQp();
  EXPECT_EQ(p.qb->qp(), nullptr);
  EXPECT_EQ(verbs_emu::GetCounters().qps, qps - 1);
  p.qa->Shutdown();
  p.qa->DestroyQp();
}

}  // namespace
