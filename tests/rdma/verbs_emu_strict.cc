// Where the emulated device is as strict as real adapters, so that code
// tested on it does not count on kinder behaviour: flushes written after the
// call that caused them, a destroyed queue pair's completions discarded, and
// queue-pair numbers that are only unique per device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rdma/verbs_emu_helpers.h"

namespace verbs_emu_test {
namespace {

class Strict : public ::testing::Test {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override {
    for (Side* side : {&a, &b, &c}) side->Close();
    verbs_emu::ResetFabric();
  }
  Side a, b, c;
};

int PollOnce(ibv_cq* cq) {
  ibv_wc wc[8];
  return ibv_poll_cq(cq, 8, wc);
}

void ExpectFlushed(const std::vector<ibv_wc>& wcs, size_t n) {
  ASSERT_EQ(wcs.size(), n);
  for (const ibv_wc& wc : wcs) EXPECT_EQ(wc.status, IBV_WC_WR_FLUSH_ERR);
}

// However a queue pair reaches ERROR, or whatever is posted to it there, the
// flush completions are not there right after: the next poll comes back
// empty, and they arrive on a later one.
TEST_F(Strict, FlushesArriveOnALaterPoll) {
  struct Case {
    const char* how;
    void (*to_error)(Side*);
  };
  const Case cases[] = {
      {"modify",
       [](Side* s) {
         ibv_qp_attr attr{};
         attr.qp_state = IBV_QPS_ERR;
         ASSERT_EQ(ibv_modify_qp(s->qp, &attr, IBV_QP_STATE), 0);
       }},
      {"killed", [](Side* s) { ASSERT_TRUE(verbs_emu::KillQp(s->qp->qp_num)); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.how);
    ASSERT_NO_FATAL_FAILURE(a.Open());
    ASSERT_EQ(ToInit(a.qp), 0);
    for (uint64_t i = 1; i <= 3; ++i) ASSERT_EQ(PostRecv(a.qp, nullptr, i, a.at(0), 64, a.mr->lkey), 0);
    k.to_error(&a);
    EXPECT_EQ(PollOnce(a.rcq), 0);
    EXPECT_EQ(verbs_emu::GetCounters().flushes_in_transit, 3u);
    ExpectFlushed(Poll(a.rcq, 3), 3);

    // Posted to a queue pair in ERROR: accepted, flushed later.
    ASSERT_EQ(PostSend(a.qp, 9, a.at(0), 64, a.mr->lkey), 0);
    EXPECT_EQ(PollOnce(a.scq), 0);
    ExpectFlushed(Poll(a.scq, 1), 1);
    a.Close();
  }
}

// Destroying a queue pair drops what it had queued and what was on its way;
// its peer's completions stay.
TEST_F(Strict, DestroyDiscardsTheQueuePairsCompletions) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  ASSERT_NO_FATAL_FAILURE(b.Open());
  Connect(a, b);
  for (uint64_t i = 1; i <= 3; ++i) {
    ASSERT_EQ(PostRecv(b.qp, nullptr, i, b.at(64 * i), 64, b.mr->lkey), 0);
    ASSERT_EQ(PostRecv(a.qp, nullptr, 10 + i, a.at(64 * i), 64, a.mr->lkey), 0);
  }
  for (uint64_t i = 1; i <= 3; ++i) ASSERT_EQ(PostSend(a.qp, i, a.at(0), 16, a.mr->lkey), 0);
  ibv_qp_attr attr{};
  attr.qp_state = IBV_QPS_ERR;
  ASSERT_EQ(ibv_modify_qp(a.qp, &attr, IBV_QP_STATE), 0);  // a's 3 receives on their way
  verbs_emu::Counters before = verbs_emu::GetCounters();
  EXPECT_EQ(before.cqes, 6u);  // a's 3 sends, b's 3 receives
  EXPECT_EQ(before.flushes_in_transit, 3u);

  ASSERT_EQ(ibv_destroy_qp(a.qp), 0);
  a.qp = nullptr;
  verbs_emu::Counters after = verbs_emu::GetCounters();
  EXPECT_EQ(after.cqes, 3u);
  EXPECT_EQ(after.flushes_in_transit, 0u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(PollOnce(a.scq), 0);
    EXPECT_EQ(PollOnce(a.rcq), 0);
  }
  std::vector<ibv_wc> got = Poll(b.rcq, 3);
  ASSERT_EQ(got.size(), 3u);
  for (const ibv_wc& wc : got) EXPECT_EQ(wc.status, IBV_WC_SUCCESS);
}

// Two devices number their queue pairs alike. A message follows the address
// vector to the right device, never to a same-numbered queue pair elsewhere,
// and the test hooks want the device named when the number is not enough.
TEST_F(Strict, QueuePairNumbersArePerDevice) {
  verbs_emu::DefineDevices({verbs_emu::DefaultDevice(), SecondDevice()});
  ASSERT_NO_FATAL_FAILURE(a.Open(Caps(), 1 << 16, "emu_0"));
  ASSERT_NO_FATAL_FAILURE(b.Open(Caps(), 1 << 16, "emu_1"));
  ASSERT_EQ(a.qp->qp_num, b.qp->qp_num);
  // A decoy on emu_0 with the number a's peer has on emu_1, pointing back
  // at a's number.
  ASSERT_NO_FATAL_FAILURE(c.Open(Caps(), 1 << 16, "emu_0"));
  ibv_qp* peer = b.CreateQp(Caps());  // emu_1, numbered like c's queue pair
  ASSERT_NE(peer, nullptr);
  ASSERT_EQ(peer->qp_num, c.qp->qp_num);

  const ibv_gid gid0 = GidOf("::ffff:127.0.0.1");
  const ibv_gid gid1 = GidOf("::ffff:127.0.0.2");
  auto walk = [](ibv_qp* qp, uint32_t dest, const ibv_gid& dgid) {
    ASSERT_EQ(ToInit(qp), 0);
    ibv_qp_attr rtr = RtrAttr(dest, dgid);
    ASSERT_EQ(ibv_modify_qp(qp, &rtr, kRtrMask), 0);
    ibv_qp_attr rts = RtsAttr();
    ASSERT_EQ(ibv_modify_qp(qp, &rts, kRtsMask), 0);
  };
  walk(a.qp, peer->qp_num, gid1);
  walk(peer, a.qp->qp_num, gid0);
  walk(c.qp, a.qp->qp_num, gid0);  // the decoy: right number, wrong device
  ASSERT_EQ(PostRecv(peer, nullptr, 1, b.at(0), 64, b.mr->lkey), 0);
  ASSERT_EQ(PostRecv(c.qp, nullptr, 2, c.at(0), 64, c.mr->lkey), 0);
  std::memcpy(a.at(0), "to emu_1", 8);
  ASSERT_EQ(PostSend(a.qp, 7, a.at(0), 8, a.mr->lkey), 0);
  std::vector<ibv_wc> sent = Poll(a.scq, 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].status, IBV_WC_SUCCESS);
  std::vector<ibv_wc> got = Poll(b.rcq, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].qp_num, peer->qp_num);
  EXPECT_EQ(std::string(b.at(0), 8), "to emu_1");
  EXPECT_EQ(PollOnce(c.rcq), 0);

  ibv_qp_state state;
  EXPECT_FALSE(verbs_emu::GetQpState(a.qp->qp_num, &state));  // ambiguous
  ASSERT_TRUE(verbs_emu::GetQpState("emu_1", b.qp->qp_num, &state));
  EXPECT_EQ(state, IBV_QPS_RESET);
  ASSERT_TRUE(verbs_emu::KillQp("emu_1", peer->qp_num));
  EXPECT_EQ(StateOf(peer), IBV_QPS_ERR);
  EXPECT_EQ(StateOf(c.qp), IBV_QPS_RTS);
  ASSERT_EQ(ibv_destroy_qp(peer), 0);
}

}  // namespace
}  // namespace verbs_emu_test
