// The emulated device's control path: device list and queries, the queue
// pair state machine with its attribute masks, posting outside the right
// state, creation limits, destruction order, asynchronous events and the
// failure hook.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <functional>
#include <thread>

#include "rdma/verbs_emu_helpers.h"

namespace verbs_emu_test {
namespace {

// The masks the framework passes for INIT, RTR and RTS.
static_assert(kInitMask == 0x39, "INIT mask");
static_assert(kRtrMask == 0x129181, "RTR mask");
static_assert(kRtsMask == 0x12e01, "RTS mask");

class Control : public ::testing::Test {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override {
    a.Close();
    verbs_emu::ResetFabric();
  }
  Side a;
};

ibv_async_event ReadEvent(ibv_context* ctx) {
  pollfd pfd{ctx->async_fd, POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 30000), 1);
  ibv_async_event ev;
  std::memset(&ev, 0, sizeof(ev));
  EXPECT_EQ(ibv_get_async_event(ctx, &ev), 0);
  ibv_ack_async_event(&ev);
  return ev;
}

void MakeNonBlocking(int fd) { ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0); }

TEST_F(Control, DefaultDevice) {
  int n = -1;
  ibv_device** list = ibv_get_device_list(&n);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(ibv_get_device_name(list[0]), "emu_0");
  EXPECT_EQ(list[1], nullptr);
  ibv_context* ctx = ibv_open_device(list[0]);
  ibv_free_device_list(list);
  ASSERT_NE(ctx, nullptr);

  ibv_device_attr da;
  ASSERT_EQ(ibv_query_device(ctx, &da), 0);
  EXPECT_EQ(da.phys_port_cnt, 1);
  EXPECT_EQ(da.max_sge, 30);
  ibv_device_attr_ex dax;
  ASSERT_EQ(ibv_query_device_ex(ctx, nullptr, &dax), 0);  // the inline falls back
  EXPECT_EQ(dax.orig_attr.max_qp_wr, da.max_qp_wr);

  ibv_port_attr pa;
  ASSERT_EQ(ibv_query_port(ctx, 1, &pa), 0);
  EXPECT_EQ(pa.state, IBV_PORT_ACTIVE);
  EXPECT_EQ(pa.link_layer, IBV_LINK_LAYER_ETHERNET);
  EXPECT_EQ(pa.gid_tbl_len, 4);
  EXPECT_EQ(ibv_query_port(ctx, 2, &pa), EINVAL);

  ibv_gid gid;
  ASSERT_EQ(ibv_query_gid(ctx, 1, 3, &gid), 0);
  ibv_gid loopback = GidOf("::ffff:127.0.0.1");
  EXPECT_EQ(std::memcmp(gid.raw, loopback.raw, 16), 0);
  EXPECT_EQ(ibv_query_gid(ctx, 1, 4, &gid), -1);
  EXPECT_EQ(ibv_query_gid(ctx, 2, 0, &gid), -1);
  EXPECT_EQ(ibv_close_device(ctx), 0);
}

TEST_F(Control, DefinedAndRemovedDevices) {
  verbs_emu::DeviceConfig d = verbs_emu::DefaultDevice();
  d.name = "emu_a";
  d.attr.max_sge = 4;
  verbs_emu::DeviceConfig e = verbs_emu::DefaultDevice();
  e.name = "emu_b";
  e.ports.push_back(verbs_emu::PortConfig());
  e.ports[1].state = IBV_PORT_DOWN;
  e.ports[1].gids = {"fe80::1", "", "::ffff:10.0.0.5"};
  verbs_emu::DefineDevices({d, e});

  int n = 0;
  ibv_device** list = ibv_get_device_list(&n);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(ibv_get_device_name(list[0]), "emu_a");
  ibv_context* ctx = ibv_open_device(list[1]);
  ASSERT_NE(ctx, nullptr);
  ibv_port_attr pa;
  ASSERT_EQ(ibv_query_port(ctx, 2, &pa), 0);
  EXPECT_EQ(pa.state, IBV_PORT_DOWN);
  EXPECT_EQ(pa.gid_tbl_len, 3);
  ibv_gid gid;
  ASSERT_EQ(ibv_query_gid(ctx, 2, 1, &gid), 0);  // an empty entry reads as zeroes
  EXPECT_EQ(gid.global.subnet_prefix, 0u);
  EXPECT_EQ(gid.global.interface_id, 0u);

  verbs_emu::RemoveAllDevices();
  ibv_free_device_list(list);
  list = ibv_get_device_list(&n);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(list[0], nullptr);
  ibv_free_device_list(list);
  // The open context keeps working.
  ibv_device_attr da;
  EXPECT_EQ(ibv_query_device(ctx, &da), 0);
  EXPECT_EQ(ibv_close_device(ctx), 0);
}

// Only the transitions a reliable-connected queue pair has, each with its
// required attributes and nothing unknown, and values the device accepts.
TEST_F(Control, StateMachineRefusesWhatHardwareRefuses) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  const ibv_gid peer = GidOf("::ffff:127.0.0.1");
  struct Case {
    const char* name;
    ibv_qp_state start;
    std::function<void(ibv_qp_attr*, int*)> change;  // from the framework's attributes
    ibv_qp_state target;
    int expected;
  };
  auto none = [](ibv_qp_attr*, int*) {};
  const Case cases[] = {
      {"reset to init", IBV_QPS_RESET, none, IBV_QPS_INIT, 0},
      {"init without access flags", IBV_QPS_RESET,
       [](ibv_qp_attr*, int* m) { *m &= ~IBV_QP_ACCESS_FLAGS; }, IBV_QPS_INIT, EINVAL},
      {"init with a timeout", IBV_QPS_RESET, [](ibv_qp_attr*, int* m) { *m |= IBV_QP_TIMEOUT; },
       IBV_QPS_INIT, EINVAL},
      {"init on a missing port", IBV_QPS_RESET, [](ibv_qp_attr* at, int*) { at->port_num = 2; },
       IBV_QPS_INIT, EINVAL},
      {"init with unknown access bits", IBV_QPS_RESET,
       [](ibv_qp_attr* at, int*) { at->qp_access_flags |= 1u << 12; }, IBV_QPS_INIT, EINVAL},
      {"no state bit", IBV_QPS_RESET, [](ibv_qp_attr*, int* m) { *m &= ~IBV_QP_STATE; },
       IBV_QPS_INIT, EINVAL},
      {"reset to rtr", IBV_QPS_RESET, none, IBV_QPS_RTR, EINVAL},
      {"init to rtr", IBV_QPS_INIT, none, IBV_QPS_RTR, 0},
      {"rtr without rnr timer", IBV_QPS_INIT,
       [](ibv_qp_attr*, int* m) { *m &= ~IBV_QP_MIN_RNR_TIMER; }, IBV_QPS_RTR, EINVAL},
      {"rtr with a retry count", IBV_QPS_INIT,
       [](ibv_qp_attr*, int* m) { *m |= IBV_QP_RETRY_CNT; }, IBV_QPS_RTR, EINVAL},
      {"rtr without global route on RoCE", IBV_QPS_INIT,
       [](ibv_qp_attr* at, int*) { at->ah_attr.is_global = 0; }, IBV_QPS_RTR, EINVAL},
      {"rtr with a source GID index past the table", IBV_QPS_INIT,
       [](ibv_qp_attr* at, int*) { at->ah_attr.grh.sgid_index = 4; }, IBV_QPS_RTR, EINVAL},
      {"rtr with a path MTU past the port's", IBV_QPS_INIT,
       [](ibv_qp_attr* at, int*) { at->path_mtu = static_cast<ibv_mtu>(6); }, IBV_QPS_RTR,
       EINVAL},
      {"rtr with a queue-pair number of 25 bits", IBV_QPS_INIT,
       [](ibv_qp_attr* at, int*) { at->dest_qp_num = 1u << 24; }, IBV_QPS_RTR, EINVAL},
      {"init to rts", IBV_QPS_INIT, none, IBV_QPS_RTS, EINVAL},
      {"rtr to rts", IBV_QPS_RTR, none, IBV_QPS_RTS, 0},
      {"rts with retry count 8", IBV_QPS_RTR, [](ibv_qp_attr* at, int*) { at->retry_cnt = 8; },
       IBV_QPS_RTS, EINVAL},
      {"rts with a path MTU", IBV_QPS_RTR, [](ibv_qp_attr*, int* m) { *m |= IBV_QP_PATH_MTU; },
       IBV_QPS_RTS, EINVAL},
      {"rts without sq psn", IBV_QPS_RTR, [](ibv_qp_attr*, int* m) { *m &= ~IBV_QP_SQ_PSN; },
       IBV_QPS_RTS, EINVAL},
      {"error from init", IBV_QPS_INIT, none, IBV_QPS_ERR, 0},
      {"error with more than the state", IBV_QPS_RTR,
       [](ibv_qp_attr*, int* m) { *m |= IBV_QP_PORT; }, IBV_QPS_ERR, EINVAL},
      {"reset from rtr", IBV_QPS_RTR, none, IBV_QPS_RESET, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ibv_qp* qp = a.CreateQp(Caps());
    ASSERT_NE(qp, nullptr);
    if (c.start != IBV_QPS_RESET) {
      ASSERT_EQ(ToInit(qp), 0);
    }
    if (c.start == IBV_QPS_RTR) {
      ibv_qp_attr rtr = RtrAttr(0x77, peer);
      ASSERT_EQ(ibv_modify_qp(qp, &rtr, kRtrMask), 0);
    }
    ibv_qp_attr at;
    std::memset(&at, 0, sizeof(at));
    int mask = IBV_QP_STATE;
    if (c.target == IBV_QPS_INIT) {
      at.qp_state = IBV_QPS_INIT;
      at.port_num = 1;
      at.qp_access_flags = 0xf;
      mask = kInitMask;
    } else if (c.target == IBV_QPS_RTR) {
      at = RtrAttr(0x77, peer);
      mask = kRtrMask;
    } else if (c.target == IBV_QPS_RTS) {
      at = RtsAttr();
      mask = kRtsMask;
    } else {
      at.qp_state = c.target;
    }
    c.change(&at, &mask);
    EXPECT_EQ(ibv_modify_qp(qp, &at, mask), c.expected);
    EXPECT_EQ(StateOf(qp), c.expected == 0 ? c.target : c.start);
    if (c.expected == 0) {
      verbs_emu::ModifyRecord rec;
      ASSERT_TRUE(verbs_emu::GetLastModify(qp->qp_num, c.target, &rec));
      EXPECT_EQ(rec.attr_mask, mask);
    }
    EXPECT_EQ(ibv_destroy_qp(qp), 0);
  }
}

// Sends only in RTS (or ERROR, where they are flushed), receives from INIT
// on: anything else is EINVAL with the refused WR in bad_wr.
TEST_F(Control, PostingNeedsTheRightState) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  ibv_sge sge{reinterpret_cast<uint64_t>(a.at(0)), 8, a.mr->lkey};
  ibv_send_wr swr{};
  swr.sg_list = &sge;
  swr.num_sge = 1;
  swr.opcode = IBV_WR_SEND;
  ibv_recv_wr rwr{};
  rwr.sg_list = &sge;
  rwr.num_sge = 1;
  ibv_send_wr* sbad = nullptr;
  ibv_recv_wr* rbad = nullptr;
  EXPECT_EQ(ibv_post_recv(a.qp, &rwr, &rbad), EINVAL);
  EXPECT_EQ(rbad, &rwr);
  ASSERT_EQ(ToInit(a.qp), 0);
  EXPECT_EQ(ibv_post_send(a.qp, &swr, &sbad), EINVAL);
  EXPECT_EQ(sbad, &swr);
  EXPECT_EQ(ibv_post_recv(a.qp, &rwr, &rbad), 0);
  ibv_qp_attr rtr = RtrAttr(0x77, GidOf("::ffff:127.0.0.1"));
  ASSERT_EQ(ibv_modify_qp(a.qp, &rtr, kRtrMask), 0);
  sbad = nullptr;
  EXPECT_EQ(ibv_post_send(a.qp, &swr, &sbad), EINVAL);
  EXPECT_EQ(sbad, &swr);
  // An opcode the transport does not carry.
  ibv_qp_attr rts = RtsAttr();
  ASSERT_EQ(ibv_modify_qp(a.qp, &rts, kRtsMask), 0);
  swr.opcode = IBV_WR_BIND_MW;
  EXPECT_EQ(ibv_post_send(a.qp, &swr, &sbad), EINVAL);
}

// Capacities beyond the device's are refused; granted ones read back.
TEST_F(Control, QueuePairCreationLimits) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  struct Case {
    const char* name;
    std::function<void(ibv_qp_init_attr*)> change;
  };
  const Case cases[] = {
      {"send queue", [](ibv_qp_init_attr* ia) { ia->cap.max_send_wr = 32769; }},
      {"receive queue", [](ibv_qp_init_attr* ia) { ia->cap.max_recv_wr = 32769; }},
      {"send entries", [](ibv_qp_init_attr* ia) { ia->cap.max_send_sge = 31; }},
      {"receive entries", [](ibv_qp_init_attr* ia) { ia->cap.max_recv_sge = 31; }},
      {"inline data", [](ibv_qp_init_attr* ia) { ia->cap.max_inline_data = 4096; }},
      {"no send CQ", [](ibv_qp_init_attr* ia) { ia->send_cq = nullptr; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ibv_qp_init_attr ia{};
    ia.send_cq = a.scq;
    ia.recv_cq = a.rcq;
    ia.cap = {256, 128, 30, 3, 0};
    ia.qp_type = IBV_QPT_RC;
    c.change(&ia);
    errno = 0;
    EXPECT_EQ(ibv_create_qp(a.pd, &ia), nullptr);
    EXPECT_EQ(errno, EINVAL);
  }
  ibv_qp_init_attr ud{};
  ud.send_cq = ud.recv_cq = a.scq;
  ud.qp_type = IBV_QPT_UD;
  EXPECT_EQ(ibv_create_qp(a.pd, &ud), nullptr);

  // With a shared receive queue the queue pair has no receive queue of its own.
  ibv_srq_init_attr sa{};
  sa.attr.max_wr = 512;
  sa.attr.max_sge = 3;
  ibv_srq* srq = ibv_create_srq(a.pd, &sa);
  ASSERT_NE(srq, nullptr);
  ibv_qp_init_attr ia{};
  ia.send_cq = a.scq;
  ia.recv_cq = a.rcq;
  ia.srq = srq;
  ia.cap = {258, 512, 30, 3, 0};
  ia.qp_type = IBV_QPT_RC;
  ibv_qp* qp = ibv_create_qp(a.pd, &ia);
  ASSERT_NE(qp, nullptr);
  ibv_qp_attr at;
  ibv_qp_init_attr got;
  ASSERT_EQ(ibv_query_qp(qp, &at, IBV_QP_CAP, &got), 0);
  EXPECT_EQ(at.cap.max_send_wr, 258u);
  EXPECT_EQ(at.cap.max_send_sge, 30u);
  EXPECT_EQ(at.cap.max_recv_wr, 0u);
  EXPECT_EQ(got.srq, srq);
  // Things in use cannot go.
  EXPECT_EQ(ibv_destroy_srq(srq), EBUSY);
  EXPECT_EQ(ibv_destroy_cq(a.scq), EBUSY);
  EXPECT_EQ(ibv_dealloc_pd(a.pd), EBUSY);
  EXPECT_EQ(ibv_destroy_qp(qp), 0);
  EXPECT_EQ(ibv_destroy_qp(qp), EINVAL);
  EXPECT_EQ(ibv_destroy_srq(srq), 0);
}

TEST_F(Control, MemoryRegistration) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  char buf[64];
  errno = 0;
  EXPECT_EQ(ibv_reg_mr(a.pd, buf, sizeof(buf), IBV_ACCESS_REMOTE_WRITE), nullptr);
  EXPECT_EQ(errno, EINVAL);  // remote write needs local write
  EXPECT_EQ(ibv_reg_mr(a.pd, buf, 0, IBV_ACCESS_LOCAL_WRITE), nullptr);
  // Address space that is reserved (even without access) registers; a hole does not.
  const size_t kSize = 4 << 20;
  void* p = mmap(nullptr, kSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  ibv_mr* mr = ibv_reg_mr(a.pd, p, kSize, IBV_ACCESS_LOCAL_WRITE);
  ASSERT_NE(mr, nullptr);
  EXPECT_NE(mr->lkey, mr->rkey);
  EXPECT_EQ(verbs_emu::GetCounters().mrs, 2);
  EXPECT_EQ(ibv_dereg_mr(mr), 0);
  ASSERT_EQ(munmap(p, kSize), 0);
  errno = 0;
  EXPECT_EQ(ibv_reg_mr(a.pd, p, kSize, IBV_ACCESS_LOCAL_WRITE), nullptr);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(verbs_emu::GetCounters().mrs, 1);
}

TEST_F(Control, AsynchronousEvents) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  MakeNonBlocking(a.ctx->async_fd);
  ibv_async_event ev;
  errno = 0;
  EXPECT_EQ(ibv_get_async_event(a.ctx, &ev), -1);
  EXPECT_EQ(errno, EAGAIN);

  ASSERT_TRUE(verbs_emu::InjectDeviceEvent("emu_0", IBV_EVENT_DEVICE_FATAL));
  EXPECT_EQ(ReadEvent(a.ctx).event_type, IBV_EVENT_DEVICE_FATAL);
  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, false));
  ev = ReadEvent(a.ctx);
  EXPECT_EQ(ev.event_type, IBV_EVENT_PORT_ERR);
  EXPECT_EQ(ev.element.port_num, 1);
  ibv_port_attr pa;
  ASSERT_EQ(ibv_query_port(a.ctx, 1, &pa), 0);
  EXPECT_EQ(pa.state, IBV_PORT_DOWN);
  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, true));
  EXPECT_EQ(ReadEvent(a.ctx).event_type, IBV_EVENT_PORT_ACTIVE);
  ASSERT_TRUE(verbs_emu::InjectQpEvent(a.qp->qp_num, IBV_EVENT_COMM_EST));
  ev = ReadEvent(a.ctx);
  EXPECT_EQ(ev.event_type, IBV_EVENT_COMM_EST);
  EXPECT_EQ(ev.element.qp, a.qp);
  EXPECT_FALSE(verbs_emu::InjectQpEvent(0xfffff0, IBV_EVENT_COMM_EST));
  EXPECT_FALSE(verbs_emu::InjectPortEvent("emu_0", 2, IBV_EVENT_PORT_ERR));
  EXPECT_STREQ(ibv_event_type_str(IBV_EVENT_QP_LAST_WQE_REACHED), "last WQE reached");

  // A fatal queue-pair error: ERROR, outstanding receives flushed, the event.
  ASSERT_EQ(ToInit(a.qp), 0);
  ASSERT_EQ(PostRecv(a.qp, nullptr, 42, a.at(0), 64, a.mr->lkey), 0);
  ASSERT_TRUE(verbs_emu::KillQp(a.qp->qp_num));
  ev = ReadEvent(a.ctx);
  EXPECT_EQ(ev.event_type, IBV_EVENT_QP_FATAL);
  EXPECT_EQ(ev.element.qp, a.qp);
  EXPECT_EQ(StateOf(a.qp), IBV_QPS_ERR);
  std::vector<ibv_wc> wc = Poll(a.rcq, 1);
  ASSERT_EQ(wc.size(), 1u);
  EXPECT_EQ(wc[0].wr_id, 42u);
  EXPECT_EQ(wc[0].status, IBV_WC_WR_FLUSH_ERR);

  // Events about a queue pair that is destroyed before they are read vanish.
  ASSERT_TRUE(verbs_emu::InjectQpEvent(a.qp->qp_num, IBV_EVENT_QP_FATAL));
  ASSERT_EQ(ibv_destroy_qp(a.qp), 0);
  a.qp = nullptr;
  EXPECT_EQ(ibv_get_async_event(a.ctx, &ev), -1);
  EXPECT_EQ(verbs_emu::GetCounters().events, 0u);
}

// A reader blocked on a blocking descriptor wakes up for an event.
TEST_F(Control, BlockingEventReaderWakes) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  std::thread injector([] { verbs_emu::InjectPortEvent("emu_0", 1, IBV_EVENT_LID_CHANGE); });
  ibv_async_event ev;
  ASSERT_EQ(ibv_get_async_event(a.ctx, &ev), 0);
  EXPECT_EQ(ev.event_type, IBV_EVENT_LID_CHANGE);
  injector.join();
}

// An armed failure fails the named verb once, in that verb's own way.
TEST_F(Control, FailNextCall) {
  EXPECT_FALSE(verbs_emu::FailNextCall("ibv_no_such_verb", EIO));
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_get_device_list", ENOSYS));
  errno = 0;
  EXPECT_EQ(ibv_get_device_list(nullptr), nullptr);
  EXPECT_EQ(errno, ENOSYS);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_open_device", ENODEV, 2));
  EXPECT_EQ(OpenDevice(), nullptr);
  EXPECT_EQ(OpenDevice(), nullptr);
  ASSERT_NO_FATAL_FAILURE(a.Open());

  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_query_device", EIO));
  ibv_device_attr da;
  EXPECT_EQ(ibv_query_device(a.ctx, &da), EIO);
  EXPECT_EQ(ibv_query_device(a.ctx, &da), 0);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_query_gid", EIO));
  ibv_gid gid;
  EXPECT_EQ(ibv_query_gid(a.ctx, 1, 0, &gid), -1);
  EXPECT_EQ(errno, EIO);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_create_qp", ENOMEM));
  errno = 0;
  EXPECT_EQ(a.CreateQp(Caps()), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_modify_qp", EPERM));
  EXPECT_EQ(ToInit(a.qp), EPERM);
  EXPECT_EQ(ToInit(a.qp), 0);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_post_recv", EAGAIN));
  EXPECT_EQ(PostRecv(a.qp, nullptr, 1, a.at(0), 8, a.mr->lkey), EAGAIN);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_poll_cq", EIO));
  ibv_wc wc;
  EXPECT_EQ(ibv_poll_cq(a.rcq, 1, &wc), -EIO);
  EXPECT_EQ(ibv_poll_cq(a.rcq, 1, &wc), 0);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_reg_mr", ENOMEM));
  EXPECT_EQ(ibv_reg_mr(a.pd, a.at(0), 64, IBV_ACCESS_LOCAL_WRITE), nullptr);
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_alloc_pd", ENOMEM));
  verbs_emu::ClearFailures();
  ibv_pd* pd = ibv_alloc_pd(a.ctx);
  ASSERT_NE(pd, nullptr);
  EXPECT_EQ(ibv_dealloc_pd(pd), 0);
}

// Live objects are counted; closing a context drops what was left on it.
TEST_F(Control, CountersAndClose) {
  ASSERT_NO_FATAL_FAILURE(a.Open());
  verbs_emu::Counters c = verbs_emu::GetCounters();
  EXPECT_EQ(c.contexts, 1);
  EXPECT_EQ(c.pds, 1);
  EXPECT_EQ(c.cqs, 2);
  EXPECT_EQ(c.qps, 1);
  EXPECT_EQ(c.mrs, 1);
  ASSERT_EQ(ibv_close_device(a.ctx), 0);
  a = Side();
  c = verbs_emu::GetCounters();
  EXPECT_EQ(c.contexts + c.pds + c.cqs + c.qps + c.mrs, 0);
}

}  // namespace
}  // namespace verbs_emu_test
