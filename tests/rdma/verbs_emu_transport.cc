// The emulated device's reliable-connected transport: ordered delivery
// between threads, flush on ERROR, retry and RNR exhaustion, protection and
// length errors, queue capacities.
#include <atomic>
#include <functional>
#include <poll.h>
#include <thread>

#include "rdma/verbs_emu_helpers.h"

namespace verbs_emu_test {
namespace {

constexpr uint64_t kLastWqe = 0xdeadbeefdeadbeefULL;

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override {
    a.Close();
    b.Close();
    verbs_emu::ResetFabric();
  }

  // A clean fabric with both sides opened and connected to each other.
  void StartOver(const Caps& caps = Caps(), uint8_t rnr_retry = 7) {
    verbs_emu::ResetFabric();
    a = Side();
    b = Side();
    ASSERT_NO_FATAL_FAILURE(a.Open(caps));
    ASSERT_NO_FATAL_FAILURE(b.Open(caps));
    ASSERT_NO_FATAL_FAILURE(Connect(a, b, rnr_retry));
  }

  Side a, b;
};

// A signalled RDMA WRITE of len bytes at addr to the peer's remote address.
int PostWrite(ibv_qp* qp, uint64_t wr_id, void* addr, uint32_t len, uint32_t lkey, void* remote,
              uint32_t rkey) {
  ibv_sge sge{reinterpret_cast<uint64_t>(addr), len, lkey};
  ibv_send_wr wr{}, *bad;
  wr.wr_id = wr_id;
  wr.sg_list = &sge;
  wr.num_sge = 1;
  wr.opcode = IBV_WR_RDMA_WRITE;
  wr.send_flags = IBV_SEND_SIGNALED;
  wr.wr.rdma.remote_addr = reinterpret_cast<uint64_t>(remote);
  wr.wr.rdma.rkey = rkey;
  return ibv_post_send(qp, &wr, &bad);
}

class TransportSrq : public Transport, public ::testing::WithParamInterface<bool> {};

// A sender and a receiver on two threads: every message arrives once, in
// order, intact, with the completion fields a real device gives.
TEST_P(TransportSrq, OrderedDeliveryBetweenThreads) {
  Caps caps;
  caps.send_wr = 16;
  caps.use_srq = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartOver(caps));
  constexpr uint32_t kMessages = 3000, kSize = 64, kSlots = 32;
  for (uint32_t s = 0; s < kSlots; ++s) {
    ASSERT_EQ(PostRecv(b.qp, b.srq, s, b.at(s * kSize), kSize, b.mr->lkey), 0);
  }

  std::atomic<bool> receiver_ok{true};
  std::thread receiver([&] {
    uint32_t expected = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (expected < kMessages && std::chrono::steady_clock::now() < deadline) {
      ibv_wc wc[8];
      int n = ibv_poll_cq(b.rcq, 8, wc);
      for (int i = 0; i < n; ++i) {
        const char* p = b.at(wc[i].wr_id * kSize);
        uint32_t seq;
        std::memcpy(&seq, p, 4);
        bool ok = wc[i].status == IBV_WC_SUCCESS && wc[i].opcode == IBV_WC_RECV &&
                  wc[i].byte_len == kSize && wc[i].qp_num == b.qp->qp_num &&
                  wc[i].src_qp == a.qp->qp_num && wc[i].wc_flags == 0 && seq == expected;
        for (uint32_t j = 4; j < kSize; ++j) ok = ok && p[j] == static_cast<char>(seq + j);
        if (!ok) receiver_ok = false;
        ++expected;
        PostRecv(b.qp, b.srq, wc[i].wr_id, b.at(wc[i].wr_id * kSize), kSize, b.mr->lkey);
      }
    }
    if (expected != kMessages) receiver_ok = false;
  });

  // The sender reuses a slot only once its send has completed.
  std::vector<bool> busy(caps.send_wr, false);
  uint32_t sent = 0, done = 0;
  bool sender_ok = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (sender_ok && done < kMessages && std::chrono::steady_clock::now() < deadline) {
    for (uint32_t s = 0; s < caps.send_wr && sent < kMessages; ++s) {
      if (busy[s]) continue;
      char* p = a.at(s * kSize);
      std::memcpy(p, &sent, 4);
      for (uint32_t j = 4; j < kSize; ++j) p[j] = static_cast<char>(sent + j);
      sender_ok = sender_ok && PostSend(a.qp, s, p, kSize, a.mr->lkey) == 0;
      busy[s] = true;
      ++sent;
    }
    ibv_wc wc[8];
    int n = ibv_poll_cq(a.scq, 8, wc);
    for (int i = 0; i < n; ++i) {
      sender_ok = sender_ok && wc[i].status == IBV_WC_SUCCESS && wc[i].opcode == IBV_WC_SEND;
      busy[wc[i].wr_id] = false;
      ++done;
    }
  }
  receiver.join();
  EXPECT_TRUE(sender_ok);
  EXPECT_EQ(done, kMessages);
  EXPECT_TRUE(receiver_ok);
}

INSTANTIATE_TEST_SUITE_P(OwnQueueAndShared, TransportSrq, ::testing::Bool());

// Moving to ERROR flushes every outstanding send in order, then the
// receives of the queue pair's own queue; work posted afterwards (the
// last-WQE marker) is flushed behind it.  With an SRQ the receives stay in
// the shared queue and the queue pair reports its last WQE instead.
TEST_P(TransportSrq, ErrorFlushesOutstandingWork) {
  Caps caps;
  caps.use_srq = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartOver(caps));
  for (uint64_t id = 100; id < 103; ++id) {
    ASSERT_EQ(PostRecv(a.qp, a.srq, id, a.at(id * 64), 64, a.mr->lkey), 0);
  }
  // b has no receive and the sender retries for ever: the sends wait.
  for (uint64_t id = 1; id <= 3; ++id) ASSERT_EQ(PostSend(a.qp, id, a.at(0), 64, a.mr->lkey), 0);
  ASSERT_EQ(PostEmptyWrite(a.qp, 0), 0);
  ibv_wc wc;
  EXPECT_EQ(ibv_poll_cq(a.scq, 1, &wc), 0);

  ibv_qp_attr err;
  std::memset(&err, 0, sizeof(err));
  err.qp_state = IBV_QPS_ERR;
  ASSERT_EQ(ibv_modify_qp(a.qp, &err, IBV_QP_STATE), 0);
  ASSERT_EQ(PostEmptyWrite(a.qp, kLastWqe), 0);

  std::vector<ibv_wc> sends = Poll(a.scq, 5);
  ASSERT_EQ(sends.size(), 5u);
  const uint64_t order[] = {1, 2, 3, 0, kLastWqe};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(sends[i].wr_id, order[i]);
    EXPECT_EQ(sends[i].status, IBV_WC_WR_FLUSH_ERR);
    EXPECT_EQ(sends[i].qp_num, a.qp->qp_num);
  }
  verbs_emu::Counters c = verbs_emu::GetCounters();
  EXPECT_EQ(c.send_wrs, 0u);

  if (!GetParam()) {
    std::vector<ibv_wc> recvs = Poll(a.rcq, 3);
    ASSERT_EQ(recvs.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(recvs[i].wr_id, 100 + i);
      EXPECT_EQ(recvs[i].status, IBV_WC_WR_FLUSH_ERR);
    }
    EXPECT_EQ(verbs_emu::GetCounters().recv_wrs, 0u);
    return;
  }
  EXPECT_EQ(ibv_poll_cq(a.rcq, 1, &wc), 0);
  EXPECT_EQ(verbs_emu::GetCounters().srq_wrs, 3u);
  pollfd pfd{a.ctx->async_fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 30000), 1);
  ibv_async_event ev;
  ASSERT_EQ(ibv_get_async_event(a.ctx, &ev), 0);
  EXPECT_EQ(ev.event_type, IBV_EVENT_QP_LAST_WQE_REACHED);
  EXPECT_EQ(ev.element.qp, a.qp);
  ibv_ack_async_event(&ev);
}

// A peer that cannot be reached completes the head send with
// IBV_WC_RETRY_EXC_ERR after the (scaled) retry timeout; the queue pair
// enters ERROR and the sends behind it are flushed.
TEST_F(Transport, UnreachablePeerExhaustsRetries) {
  struct Case {
    const char* name;
    std::function<void(Side&, Side&)> break_it;
  };
  const Case cases[] = {
      {"peer destroyed", [](Side&, Side& b) { ibv_destroy_qp(b.qp); b.qp = nullptr; }},
      {"peer in error",
       [](Side&, Side& b) {
         ibv_qp_attr e{};
         e.qp_state = IBV_QPS_ERR;
         ibv_modify_qp(b.qp, &e, IBV_QP_STATE);
       }},
      {"peer reset",
       [](Side&, Side& b) {
         ibv_qp_attr e{};
         e.qp_state = IBV_QPS_RESET;
         ibv_modify_qp(b.qp, &e, IBV_QP_STATE);
       }},
      {"port down", [](Side&, Side&) { verbs_emu::SetPortState("emu_0", 1, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(StartOver());
    ASSERT_EQ(PostRecv(b.qp, nullptr, 7, b.at(0), 64, b.mr->lkey), 0);
    c.break_it(a, b);
    ASSERT_EQ(PostSend(a.qp, 1, a.at(0), 64, a.mr->lkey), 0);
    ASSERT_EQ(PostEmptyWrite(a.qp, 0), 0);
    std::vector<ibv_wc> wc = Poll(a.scq, 2);
    ASSERT_EQ(wc.size(), 2u);
    EXPECT_EQ(wc[0].wr_id, 1u);
    EXPECT_EQ(wc[0].status, IBV_WC_RETRY_EXC_ERR);
    EXPECT_EQ(wc[1].wr_id, 0u);
    EXPECT_EQ(wc[1].status, IBV_WC_WR_FLUSH_ERR);
    EXPECT_EQ(StateOf(a.qp), IBV_QPS_ERR);
  }
  // A queue pair connected to a number nobody has fails the same way.
  verbs_emu::ResetFabric();
  a = Side();
  b = Side();
  ASSERT_NO_FATAL_FAILURE(a.Open());
  ASSERT_NO_FATAL_FAILURE(Walk(a.qp, 0xabcdef));
  ASSERT_EQ(PostEmptyWrite(a.qp, 0), 0);
  std::vector<ibv_wc> wc = Poll(a.scq, 1);
  ASSERT_EQ(wc.size(), 1u);
  EXPECT_EQ(wc[0].status, IBV_WC_RETRY_EXC_ERR);
}

// A send that finds no receive waits (rnr_retry 7 waits for ever) and is
// delivered as soon as the receiver posts one.
TEST_F(Transport, ReceiverNotReadyWaitsThenDelivers) {
  ASSERT_NO_FATAL_FAILURE(StartOver());
  std::memcpy(a.at(0), "hello", 5);
  ASSERT_EQ(PostSend(a.qp, 1, a.at(0), 5, a.mr->lkey), 0);
  ASSERT_EQ(PostSend(a.qp, 2, a.at(0), 5, a.mr->lkey), 0);
  for (int i = 0; i < 20; ++i) {
    ibv_wc wc;
    ASSERT_EQ(ibv_poll_cq(a.scq, 1, &wc), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(PostRecv(b.qp, nullptr, 9, b.at(100), 64, b.mr->lkey), 0);
  std::vector<ibv_wc> sent = Poll(a.scq, 1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].wr_id, 1u);
  EXPECT_EQ(sent[0].status, IBV_WC_SUCCESS);
  std::vector<ibv_wc> got = Poll(b.rcq, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].byte_len, 5u);
  EXPECT_EQ(std::memcmp(b.at(100), "hello", 5), 0);
  ibv_wc wc;
  EXPECT_EQ(ibv_poll_cq(a.scq, 1, &wc), 0);  // the second still waits
}

// With a finite rnr_retry the wait ends in IBV_WC_RNR_RETRY_EXC_ERR.
TEST_F(Transport, ReceiverNotReadyExhaustsRetries) {
  for (uint8_t rnr_retry : {0, 2}) {
    SCOPED_TRACE(static_cast<int>(rnr_retry));
    ASSERT_NO_FATAL_FAILURE(StartOver(Caps(), rnr_retry));
    ASSERT_EQ(PostSend(a.qp, 1, a.at(0), 8, a.mr->lkey), 0);
    std::vector<ibv_wc> wc = Poll(a.scq, 1);
    ASSERT_EQ(wc.size(), 1u);
    EXPECT_EQ(wc[0].status, IBV_WC_RNR_RETRY_EXC_ERR);
    EXPECT_EQ(StateOf(a.qp), IBV_QPS_ERR);
    EXPECT_EQ(StateOf(b.qp), IBV_QPS_RTS);
  }
}

// Local and remote buffer faults: the status each side sees and the state
// each queue pair is left in.
TEST_F(Transport, ProtectionAndLengthErrors) {
  struct Case {
    const char* name;
    // Posts the faulty work (b already has one 64-byte receive unless the
    // case replaces it) and returns nothing; statuses are checked below.
    std::function<void(Side&, Side&)> post;
    bool post_receive;
    ibv_wc_status sender;
    int receiver;  // expected receive status, -1 for no receive completion
    ibv_qp_state receiver_state;
  };
  const Case cases[] = {
      {"wrong lkey", [](Side& a, Side&) { PostSend(a.qp, 1, a.at(0), 64, a.mr->lkey + 2); },
       true, IBV_WC_LOC_PROT_ERR, -1, IBV_QPS_RTS},
      {"rkey given as lkey", [](Side& a, Side&) { PostSend(a.qp, 1, a.at(0), 64, a.mr->rkey); },
       true, IBV_WC_LOC_PROT_ERR, -1, IBV_QPS_RTS},
      {"entry past the region",
       [](Side& a, Side&) { PostSend(a.qp, 1, a.at(a.buf.size() - 8), 64, a.mr->lkey); }, true,
       IBV_WC_LOC_PROT_ERR, -1, IBV_QPS_RTS},
      {"region of another PD",
       [](Side& a, Side&) {
         ibv_pd* other = ibv_alloc_pd(a.ctx);
         ibv_mr* mr = ibv_reg_mr(other, a.at(0), 4096, IBV_ACCESS_LOCAL_WRITE);
         PostSend(a.qp, 1, a.at(0), 64, mr->lkey);
         ibv_dereg_mr(mr);
         ibv_dealloc_pd(other);
       },
       true, IBV_WC_LOC_PROT_ERR, -1, IBV_QPS_RTS},
      {"receive buffer too small",
       [](Side& a, Side& b) {
         PostRecv(b.qp, nullptr, 5, b.at(0), 16, b.mr->lkey);
         PostSend(a.qp, 1, a.at(0), 64, a.mr->lkey);
       },
       false, IBV_WC_REM_INV_REQ_ERR, IBV_WC_LOC_LEN_ERR, IBV_QPS_ERR},
      {"receive with a wrong lkey",
       [](Side& a, Side& b) {
         PostRecv(b.qp, nullptr, 5, b.at(0), 64, b.mr->lkey + 2);
         PostSend(a.qp, 1, a.at(0), 64, a.mr->lkey);
       },
       false, IBV_WC_REM_OP_ERR, IBV_WC_LOC_PROT_ERR, IBV_QPS_ERR},
      {"write with a wrong rkey",
       [](Side& a, Side& b) { PostWrite(a.qp, 1, a.at(0), 64, a.mr->lkey, b.at(0), b.mr->lkey); },
       true, IBV_WC_REM_ACCESS_ERR, -1, IBV_QPS_RTS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(StartOver());
    if (c.post_receive) {
      ASSERT_EQ(PostRecv(b.qp, nullptr, 5, b.at(0), 64, b.mr->lkey), 0);
    }
    ASSERT_NO_FATAL_FAILURE(c.post(a, b));
    std::vector<ibv_wc> wc = Poll(a.scq, 1);
    ASSERT_EQ(wc.size(), 1u);
    EXPECT_EQ(wc[0].wr_id, 1u);
    EXPECT_EQ(wc[0].status, c.sender);
    EXPECT_EQ(StateOf(a.qp), IBV_QPS_ERR);
    if (c.receiver >= 0) {
      std::vector<ibv_wc> r = Poll(b.rcq, 1);
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0].wr_id, 5u);
      EXPECT_EQ(r[0].status, c.receiver);
    } else {
      ibv_wc r;
      EXPECT_EQ(ibv_poll_cq(b.rcq, 1, &r), 0);
    }
    EXPECT_EQ(StateOf(b.qp), c.receiver_state);
  }
}

// RDMA WRITE: a zero-length write (keepalive) needs no key; a keyed write
// lands in the peer's region and consumes no receive.
TEST_F(Transport, RdmaWrites) {
  ASSERT_NO_FATAL_FAILURE(StartOver());
  ASSERT_EQ(PostEmptyWrite(a.qp, 0), 0);
  std::memcpy(a.at(0), "payload!", 8);
  ASSERT_EQ(PostWrite(a.qp, 2, a.at(0), 8, a.mr->lkey, b.at(512), b.mr->rkey), 0);
  std::vector<ibv_wc> wc = Poll(a.scq, 2);
  ASSERT_EQ(wc.size(), 2u);
  EXPECT_EQ(wc[0].wr_id, 0u);
  EXPECT_EQ(wc[0].status, IBV_WC_SUCCESS);
  EXPECT_EQ(wc[0].opcode, IBV_WC_RDMA_WRITE);
  EXPECT_EQ(wc[1].status, IBV_WC_SUCCESS);
  EXPECT_EQ(std::memcmp(b.at(512), "payload!", 8), 0);
  ibv_wc r;
  EXPECT_EQ(ibv_poll_cq(b.rcq, 1, &r), 0);
}

// A message gathered from several entries is scattered over the receive's
// entries in order (a header entry, then the payload), whatever the entry
// boundaries; immediate data and RDMA READ come through too.
TEST_F(Transport, ScatterGatherAndOtherOpcodes) {
  ASSERT_NO_FATAL_FAILURE(StartOver());
  std::memcpy(a.at(0), "HDR-0001", 8);
  std::memcpy(a.at(1000), "abcde", 5);
  for (int i = 0; i < 100; ++i) a.at(2000)[i] = static_cast<char>(i);
  ibv_sge out[3] = {{reinterpret_cast<uint64_t>(a.at(0)), 8, a.mr->lkey},
                    {reinterpret_cast<uint64_t>(a.at(1000)), 5, a.mr->lkey},
                    {reinterpret_cast<uint64_t>(a.at(2000)), 100, a.mr->lkey}};
  ibv_sge in[2] = {{reinterpret_cast<uint64_t>(b.at(0)), 8, b.mr->lkey},
                   {reinterpret_cast<uint64_t>(b.at(4096)), 200, b.mr->lkey}};
  ibv_recv_wr rwr{};
  rwr.wr_id = 77;
  rwr.sg_list = in;
  rwr.num_sge = 2;
  ibv_recv_wr* rbad;
  ASSERT_EQ(ibv_post_recv(b.qp, &rwr, &rbad), 0);
  ibv_send_wr wr{}, *bad;
  wr.wr_id = 1;
  wr.sg_list = out;
  wr.num_sge = 3;
  wr.opcode = IBV_WR_SEND_WITH_IMM;
  wr.imm_data = htonl(0x1234);
  wr.send_flags = IBV_SEND_SIGNALED;
  ASSERT_EQ(ibv_post_send(a.qp, &wr, &bad), 0);
  std::vector<ibv_wc> got = Poll(b.rcq, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].wr_id, 77u);
  EXPECT_EQ(got[0].byte_len, 113u);
  EXPECT_EQ(got[0].wc_flags & IBV_WC_WITH_IMM, static_cast<unsigned>(IBV_WC_WITH_IMM));
  EXPECT_EQ(ntohl(got[0].imm_data), 0x1234u);
  EXPECT_EQ(std::memcmp(b.at(0), "HDR-0001", 8), 0);
  EXPECT_EQ(std::memcmp(b.at(4096), "abcde", 5), 0);
  EXPECT_EQ(std::memcmp(b.at(4101), a.at(2000), 100), 0);

  // Inline data beyond what the queue pair was created for is refused.
  char scratch[16] = "inline-data";
  ibv_sge inl{reinterpret_cast<uint64_t>(scratch), 12, 0};
  wr.sg_list = &inl;
  wr.num_sge = 1;
  wr.opcode = IBV_WR_SEND;
  wr.send_flags = IBV_SEND_SIGNALED | IBV_SEND_INLINE;
  EXPECT_EQ(ibv_post_send(a.qp, &wr, &bad), EINVAL);
  EXPECT_EQ(bad, &wr);
  wr.send_flags = IBV_SEND_SIGNALED;

  // RDMA READ of the peer's region.
  ibv_sge dst{reinterpret_cast<uint64_t>(a.at(3000)), 8, a.mr->lkey};
  wr.wr_id = 3;
  wr.sg_list = &dst;
  wr.opcode = IBV_WR_RDMA_READ;
  wr.wr.rdma.remote_addr = reinterpret_cast<uint64_t>(b.at(0));
  wr.wr.rdma.rkey = b.mr->rkey;
  ASSERT_EQ(ibv_post_send(a.qp, &wr, &bad), 0);
  std::vector<ibv_wc> sent = Poll(a.scq, 2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].wr_id, 3u);
  EXPECT_EQ(sent[1].status, IBV_WC_SUCCESS);
  EXPECT_EQ(sent[1].opcode, IBV_WC_RDMA_READ);
  EXPECT_EQ(std::memcmp(a.at(3000), "HDR-0001", 8), 0);
}

// More work than the queue holds is refused with ENOMEM and the first WR
// that did not fit; a slot comes back when its completion is polled.
TEST_F(Transport, QueueCapacities) {
  Caps caps;
  caps.send_wr = 4;
  caps.recv_wr = 4;
  caps.sge = 2;
  ASSERT_NO_FATAL_FAILURE(StartOver(caps));
  for (uint64_t i = 0; i < 4; ++i) ASSERT_EQ(PostRecv(b.qp, nullptr, i, b.at(i * 64), 64, b.mr->lkey), 0);
  EXPECT_EQ(PostRecv(b.qp, nullptr, 4, b.at(0), 64, b.mr->lkey), ENOMEM);

  ibv_sge sge{reinterpret_cast<uint64_t>(a.at(0)), 8, a.mr->lkey};
  ibv_send_wr wrs[6];
  for (int i = 0; i < 6; ++i) {
    std::memset(&wrs[i], 0, sizeof(wrs[i]));
    wrs[i].wr_id = i;
    wrs[i].sg_list = &sge;
    wrs[i].num_sge = 1;
    wrs[i].opcode = IBV_WR_SEND;
    wrs[i].send_flags = IBV_SEND_SIGNALED;
    wrs[i].next = i < 5 ? &wrs[i + 1] : nullptr;
  }
  ibv_send_wr* bad = nullptr;
  EXPECT_EQ(ibv_post_send(a.qp, &wrs[0], &bad), ENOMEM);
  EXPECT_EQ(bad, &wrs[4]);
  EXPECT_EQ(verbs_emu::GetCounters().send_wrs, 4u);
  ASSERT_EQ(Poll(a.scq, 1).size(), 1u);  // polling a completion frees its slot
  wrs[4].next = nullptr;
  EXPECT_EQ(ibv_post_send(a.qp, &wrs[4], &bad), 0);
  bad = nullptr;
  EXPECT_EQ(ibv_post_send(a.qp, &wrs[5], &bad), ENOMEM);
  EXPECT_EQ(bad, &wrs[5]);

  // More scatter-gather entries than the queue pair was created with.
  ibv_sge three[3] = {sge, sge, sge};
  wrs[5].sg_list = three;
  wrs[5].num_sge = 3;
  bad = nullptr;
  EXPECT_EQ(ibv_post_send(a.qp, &wrs[5], &bad), EINVAL);
  EXPECT_EQ(bad, &wrs[5]);
  ibv_recv_wr rwr{};
  rwr.sg_list = three;
  rwr.num_sge = 3;
  ibv_recv_wr* rbad = nullptr;
  EXPECT_EQ(ibv_post_recv(a.qp, &rwr, &rbad), EINVAL);
  EXPECT_EQ(rbad, &rwr);

  // A shared receive queue holds max_wr receives.
  ibv_srq_init_attr sa{};
  sa.attr.max_wr = 2;
  sa.attr.max_sge = 1;
  ibv_srq* srq = ibv_create_srq(a.pd, &sa);
  ASSERT_NE(srq, nullptr);
  EXPECT_EQ(PostRecv(nullptr, srq, 1, a.at(0), 64, a.mr->lkey), 0);
  EXPECT_EQ(PostRecv(nullptr, srq, 2, a.at(0), 64, a.mr->lkey), 0);
  EXPECT_EQ(PostRecv(nullptr, srq, 3, a.at(0), 64, a.mr->lkey), ENOMEM);
  EXPECT_EQ(ibv_destroy_srq(srq), 0);
}

}  // namespace
}  // namespace verbs_emu_test
