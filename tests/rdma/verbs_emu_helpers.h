// Helpers shared by the emulated verbs device's tests: one side of a
// connection (context, PD, CQs, optional SRQ, QP, a registered buffer), the
// state walk with the framework's attribute masks, posting and polling.
#ifndef TESTS_RDMA_VERBS_EMU_HELPERS_H_
#define TESTS_RDMA_VERBS_EMU_HELPERS_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <infiniband/verbs.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "verbs_emu/verbs_emu.h"

namespace verbs_emu_test {

constexpr int kInitMask = IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_ACCESS_FLAGS;
constexpr int kRtrMask = IBV_QP_STATE | IBV_QP_AV | IBV_QP_PATH_MTU | IBV_QP_DEST_QPN |
                         IBV_QP_RQ_PSN | IBV_QP_MAX_DEST_RD_ATOMIC | IBV_QP_MIN_RNR_TIMER;
constexpr int kRtsMask = IBV_QP_STATE | IBV_QP_TIMEOUT | IBV_QP_RETRY_CNT | IBV_QP_RNR_RETRY |
                         IBV_QP_SQ_PSN | IBV_QP_MAX_QP_RD_ATOMIC;
constexpr int kLoopbackGid = 3;  // ::ffff:127.0.0.1 in the default device's table

inline ibv_context* OpenDevice(const char* name = "emu_0") {
  int n = 0;
  ibv_device** list = ibv_get_device_list(&n);
  if (list == nullptr) return nullptr;
  ibv_context* ctx = nullptr;
  for (int i = 0; i < n; ++i) {
    if (std::strcmp(ibv_get_device_name(list[i]), name) == 0) ctx = ibv_open_device(list[i]);
  }
  ibv_free_device_list(list);
  return ctx;
}

inline ibv_gid GidOf(const char* text) {
  ibv_gid g;
  std::memset(&g, 0, sizeof(g));
  inet_pton(AF_INET6, text, g.raw);
  return g;
}

// A second device beside the default one: the same port layout, GIDs of its
// own (its loopback entry, index 3, is ::ffff:127.0.0.2).
inline verbs_emu::DeviceConfig SecondDevice() {
  verbs_emu::DeviceConfig d = verbs_emu::DefaultDevice();
  d.name = "emu_1";
  d.ports[0].gids = {"fe80::2:c9ff:fe00:2", "::ffff:192.0.2.11", "fd00::b", "::ffff:127.0.0.2"};
  return d;
}

struct Caps {
  uint32_t send_wr = 64;
  uint32_t recv_wr = 64;
  uint32_t sge = 4;
  bool use_srq = false;
  uint32_t srq_wr = 64;
};

// One end: everything a queue pair needs, on its own context.
struct Side {
  ibv_context* ctx = nullptr;
  ibv_pd* pd = nullptr;
  ibv_cq* scq = nullptr;
  ibv_cq* rcq = nullptr;
  ibv_srq* srq = nullptr;
  ibv_qp* qp = nullptr;
  std::vector<char> buf;
  ibv_mr* mr = nullptr;

  void Open(const Caps& caps = Caps(), size_t buf_size = 1 << 16,
            const char* device = "emu_0") {
    ctx = OpenDevice(device);
    ASSERT_NE(ctx, nullptr);
    pd = ibv_alloc_pd(ctx);
    ASSERT_NE(pd, nullptr);
    scq = ibv_create_cq(ctx, 1024, nullptr, nullptr, 0);
    rcq = ibv_create_cq(ctx, 1024, nullptr, nullptr, 0);
    ASSERT_TRUE(scq != nullptr && rcq != nullptr);
    if (caps.use_srq) {
      ibv_srq_init_attr sa;
      std::memset(&sa, 0, sizeof(sa));
      sa.attr.max_wr = caps.srq_wr;
      sa.attr.max_sge = caps.sge;
      srq = ibv_create_srq(pd, &sa);
      ASSERT_NE(srq, nullptr);
    }
    qp = CreateQp(caps);
    ASSERT_NE(qp, nullptr);
    buf.assign(buf_size, 0);
    mr = ibv_reg_mr(pd, buf.data(), buf.size(),
                    IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE | IBV_ACCESS_REMOTE_READ);
    ASSERT_NE(mr, nullptr);
  }

  ibv_qp* CreateQp(const Caps& caps) {
    ibv_qp_init_attr ia;
    std::memset(&ia, 0, sizeof(ia));
    ia.send_cq = scq;
    ia.recv_cq = rcq;
    ia.srq = srq;
    ia.cap.max_send_wr = caps.send_wr;
    ia.cap.max_recv_wr = caps.recv_wr;
    ia.cap.max_send_sge = caps.sge;
    ia.cap.max_recv_sge = caps.sge;
    ia.qp_type = IBV_QPT_RC;
    return ibv_create_qp(pd, &ia);
  }

  void Close() {
    // Each in the order a careful owner tears down: what uses a thing first.
    if (qp != nullptr) {
      EXPECT_EQ(ibv_destroy_qp(qp), 0);
    }
    if (mr != nullptr) {
      EXPECT_EQ(ibv_dereg_mr(mr), 0);
    }
    if (srq != nullptr) {
      EXPECT_EQ(ibv_destroy_srq(srq), 0);
    }
    if (scq != nullptr) {
      EXPECT_EQ(ibv_destroy_cq(scq), 0);
      EXPECT_EQ(ibv_destroy_cq(rcq), 0);
    }
    if (pd != nullptr) {
      EXPECT_EQ(ibv_dealloc_pd(pd), 0);
    }
    if (ctx != nullptr) {
      EXPECT_EQ(ibv_close_device(ctx), 0);
    }
    *this = Side();
  }

  char* at(size_t off) { return buf.data() + off; }
};

inline int ToInit(ibv_qp* qp) {
  ibv_qp_attr a;
  std::memset(&a, 0, sizeof(a));
  a.qp_state = IBV_QPS_INIT;
  a.pkey_index = 0;
  a.port_num = 1;
  a.qp_access_flags = IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE |
                      IBV_ACCESS_REMOTE_READ | IBV_ACCESS_REMOTE_ATOMIC;
  return ibv_modify_qp(qp, &a, kInitMask);
}

inline ibv_qp_attr RtrAttr(uint32_t dest_qpn, const ibv_gid& dgid) {
  ibv_qp_attr a;
  std::memset(&a, 0, sizeof(a));
  a.qp_state = IBV_QPS_RTR;
  a.path_mtu = IBV_MTU_1024;
  a.dest_qp_num = dest_qpn;
  a.rq_psn = 0;
  a.max_dest_rd_atomic = 1;
  a.min_rnr_timer = 12;
  a.ah_attr.is_global = 1;
  a.ah_attr.grh.dgid = dgid;
  a.ah_attr.grh.sgid_index = kLoopbackGid;
  a.ah_attr.grh.hop_limit = 64;
  a.ah_attr.grh.traffic_class = 184;
  a.ah_attr.port_num = 1;
  return a;
}

inline ibv_qp_attr RtsAttr(uint8_t timeout = 17, uint8_t retry_cnt = 3, uint8_t rnr_retry = 7) {
  ibv_qp_attr a;
  std::memset(&a, 0, sizeof(a));
  a.qp_state = IBV_QPS_RTS;
  a.timeout = timeout;
  a.retry_cnt = retry_cnt;
  a.rnr_retry = rnr_retry;
  a.sq_psn = 0;
  a.max_rd_atomic = 1;
  return a;
}

// RESET -> INIT -> RTR -> RTS towards `dest_qpn` at the loopback GID.
inline void Walk(ibv_qp* qp, uint32_t dest_qpn, uint8_t rnr_retry = 7, uint8_t timeout = 17) {
  ASSERT_EQ(ToInit(qp), 0);
  ibv_qp_attr rtr = RtrAttr(dest_qpn, GidOf("::ffff:127.0.0.1"));
  ASSERT_EQ(ibv_modify_qp(qp, &rtr, kRtrMask), 0);
  ibv_qp_attr rts = RtsAttr(timeout, 3, rnr_retry);
  ASSERT_EQ(ibv_modify_qp(qp, &rts, kRtsMask), 0);
}

inline void Connect(Side& a, Side& b, uint8_t rnr_retry = 7) {
  Walk(a.qp, b.qp->qp_num, rnr_retry);
  Walk(b.qp, a.qp->qp_num, rnr_retry);
}

inline int PostSend(ibv_qp* qp, uint64_t wr_id, void* addr, uint32_t len, uint32_t lkey,
                    ibv_wr_opcode op = IBV_WR_SEND, ibv_send_wr** bad = nullptr) {
  ibv_sge sge{reinterpret_cast<uint64_t>(addr), len, lkey};
  ibv_send_wr wr;
  std::memset(&wr, 0, sizeof(wr));
  wr.wr_id = wr_id;
  wr.sg_list = &sge;
  wr.num_sge = addr == nullptr ? 0 : 1;
  wr.opcode = op;
  wr.send_flags = IBV_SEND_SIGNALED;
  ibv_send_wr* dummy = nullptr;
  return ibv_post_send(qp, &wr, bad != nullptr ? bad : &dummy);
}

// A zero-length signalled RDMA WRITE, as keepalives and the last-WQE marker.
inline int PostEmptyWrite(ibv_qp* qp, uint64_t wr_id) {
  return PostSend(qp, wr_id, nullptr, 0, 0, IBV_WR_RDMA_WRITE);
}

inline int PostRecv(ibv_qp* qp, ibv_srq* srq, uint64_t wr_id, void* addr, uint32_t len,
                    uint32_t lkey) {
  ibv_sge sge{reinterpret_cast<uint64_t>(addr), len, lkey};
  ibv_recv_wr wr;
  std::memset(&wr, 0, sizeof(wr));
  wr.wr_id = wr_id;
  wr.sg_list = &sge;
  wr.num_sge = 1;
  ibv_recv_wr* bad = nullptr;
  return srq != nullptr ? ibv_post_srq_recv(srq, &wr, &bad) : ibv_post_recv(qp, &wr, &bad);
}

// Polls until n completions arrived (generous deadline) and returns them.
inline std::vector<ibv_wc> Poll(ibv_cq* cq, size_t n, double seconds = 30) {
  std::vector<ibv_wc> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    ibv_wc wc[16];
    int got = ibv_poll_cq(cq, static_cast<int>(std::min<size_t>(16, n - out.size())), wc);
    if (got < 0) break;
    out.insert(out.end(), wc, wc + got);
    if (got == 0) std::this_thread::yield();
  }
  return out;
}

inline ibv_qp_state StateOf(ibv_qp* qp) {
  ibv_qp_attr a;
  ibv_qp_init_attr ia;
  EXPECT_EQ(ibv_query_qp(qp, &a, IBV_QP_STATE, &ia), 0);
  return a.qp_state;
}

}  // namespace verbs_emu_test

#endif  // TESTS_RDMA_VERBS_EMU_HELPERS_H_
