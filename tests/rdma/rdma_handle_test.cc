// RdmaHandle over the emulated verbs device: opening and sharing devices,
// finding the port and GID, clean failure at every step, the pools.
#include "tarn/polling/rdma_handle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "support/log_capture.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "verbs_emu/verbs_emu.h"

namespace {

using tarn::PollingWorker;
using tarn::RdmaHandle;

tarn::WorkerOption RdmaOption(const std::string& device = "emu_0", uint8_t port = 1,
                              uint8_t gid_index = 0) {
  tarn::WorkerOption option;
  option.enable_rdma = 1;
  option.obj_pool_size = 64;
  option.rdma_option.device_name = device;
  option.rdma_option.port_id = port;
  option.rdma_option.gid_index = gid_index;
  return option;
}

ibv_gid Gid(const char* text) {
  ibv_gid gid{};
  EXPECT_EQ(inet_pton(AF_INET6, text, gid.raw), 1) << text;
  return gid;
}

verbs_emu::DeviceConfig Device(const std::string& name,
                               std::vector<std::vector<std::string>> port_gids) {
  verbs_emu::DeviceConfig d;
  d.name = name;
  d.attr = verbs_emu::DefaultDeviceAttr();
  for (auto& gids : port_gids) {
    verbs_emu::PortConfig p;
    p.gids = std::move(gids);
    d.ports.push_back(p);
  }
  return d;
}

class RdmaHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override { verbs_emu::ClearFailures(); }
};

TEST_F(RdmaHandleTest, InitBuildsTheContextAndTheDestructorUndoesIt) {
  const verbs_emu::Counters before = verbs_emu::GetCounters();
  PollingWorker worker(0, {}, RdmaOption("emu_0", 1, 3));
  {
    RdmaHandle handle(&worker);
    EXPECT_EQ(handle.NewQueuePair(), nullptr);  // no device yet: empty, no crash
    ASSERT_EQ(handle.Init(), 0);
    EXPECT_NE(handle.send_cq(), nullptr);
    EXPECT_NE(handle.recv_cq(), nullptr);
    EXPECT_NE(handle.srq(), nullptr);
    EXPECT_EQ(memcmp(handle.gid().raw, Gid("::ffff:127.0.0.1").raw, 16), 0);
    // The header block is one registered region.
    tarn::RdmaMessageHeader* header = handle.NewMessage(100, 4);
    ASSERT_NE(header, nullptr);
    uint32_t lkey = 0;
    ASSERT_EQ(handle.mr_manager()->GetKeyByAddr(header, &lkey, nullptr), 0);
    EXPECT_EQ(lkey, handle.header_lkey());
    handle.DeleteMessage(header);
    ASSERT_EQ(RdmaHandle::workers().size(), 1u);
    EXPECT_EQ(RdmaHandle::workers()[0], &worker);
  }
  const verbs_emu::Counters after = verbs_emu::GetCounters();
  EXPECT_EQ(after.cqs, before.cqs);
  EXPECT_EQ(after.srqs, before.srqs);
  EXPECT_EQ(after.mrs, before.mrs);
  EXPECT_TRUE(RdmaHandle::workers().empty());
}

TEST_F(RdmaHandleTest, WithoutSharedReceiveQueueNoSrqIsMade) {
  tarn::WorkerOption option = RdmaOption();
  option.rdma_option.use_srq = false;
  PollingWorker worker(0, {}, option);
  RdmaHandle handle(&worker);
  ASSERT_EQ(handle.Init(), 0);
  EXPECT_EQ(handle.srq(), nullptr);
  EXPECT_EQ(verbs_emu::GetCounters().srqs, 0);
}

TEST_F(RdmaHandleTest, TwoWorkersOnTwoThreadsShareOneOpenedDevice) {
  const verbs_emu::Counters before = verbs_emu::GetCounters();
  PollingWorker w0(0, {}, RdmaOption());
  PollingWorker w1(1, {}, RdmaOption());
  RdmaHandle h0(&w0);
  RdmaHandle h1(&w1);
  int r0 = -1;
  int r1 = -1;
  std::thread t0([&] { r0 = h0.Init(); });
  std::thread t1([&] { r1 = h1.Init(); });
  t0.join();
  t1.join();
  ASSERT_EQ(r0, 0);
  ASSERT_EQ(r1, 0);
  EXPECT_EQ(h0.context(), h1.context());
  EXPECT_EQ(h0.pd(), h1.pd());
  EXPECT_NE(h0.send_cq(), h1.send_cq());
  const verbs_emu::Counters after = verbs_emu::GetCounters();
  EXPECT_EQ(after.contexts, before.contexts + 1);
  EXPECT_EQ(after.pds, before.pds + 1);
  EXPECT_EQ(after.cqs, before.cqs + 4);
  EXPECT_EQ(RdmaHandle::workers().size(), 2u);
}

// The polling worker reads device events on its pass and must never block
// there: the shared context's event descriptor is non-blocking.
TEST_F(RdmaHandleTest, InjectedEventsAreReadableWithoutBlocking) {
  PollingWorker worker(0, {}, RdmaOption());
  RdmaHandle handle(&worker);
  ASSERT_EQ(handle.Init(), 0);
  ASSERT_NE(fcntl(handle.context()->async_fd, F_GETFL) & O_NONBLOCK, 0);
  ibv_async_event event{};
  errno = 0;
  EXPECT_EQ(ibv_get_async_event(handle.context(), &event), -1);
  EXPECT_EQ(errno, EAGAIN);

  ASSERT_TRUE(verbs_emu::InjectPortEvent("emu_0", 1, IBV_EVENT_GID_CHANGE));
  ASSERT_EQ(ibv_get_async_event(handle.context(), &event), 0);
  EXPECT_EQ(event.event_type, IBV_EVENT_GID_CHANGE);
  EXPECT_EQ(event.element.port_num, 1);
  ibv_ack_async_event(&event);

  auto qp = handle.NewQueuePair();
  ASSERT_NE(qp, nullptr);
  ASSERT_TRUE(verbs_emu::InjectQpEvent(qp->qp_num(), IBV_EVENT_QP_LAST_WQE_REACHED));
  ASSERT_EQ(ibv_get_async_event(handle.context(), &event), 0);
  EXPECT_EQ(event.event_type, IBV_EVENT_QP_LAST_WQE_REACHED);
  EXPECT_EQ(event.element.qp, qp->qp());
  ibv_ack_async_event(&event);
  qp->DestroyQp();
}

TEST_F(RdmaHandleTest, AddressLookupTakesTheLastMatchingGid) {
  verbs_emu::DefineDevices({
      Device("emu_a", {{"::ffff:10.0.0.50", "", "fd00::a"}}),
      Device("emu_b", {{"fe80::1", "::ffff:10.0.0.5"}, {"::ffff:10.0.0.5"}}),
  });
  struct Case {
    const char* ip;
    int ret;
    const char* device;
    int port;
    int gid_index;
  } cases[] = {
      {"10.0.0.5", 1, "emu_b", 2, 0},      // two matches: the last in scan order
      {"10.0.0.50", 1, "emu_a", 1, 0},     // not taken for 10.0.0.5 above
      {"fd00:0:0::a", 1, "emu_a", 1, 2},   // IPv6: equal bytes, other text
      {"::ffff:10.0.0.5", 1, "emu_b", 2, 0},
      {"10.0.0.6", -1, "", 0, 0},
      {"fd00::b", -1, "", 0, 0},
  };
  for (const Case& c : cases) {
    tarn::WorkerOption option = RdmaOption("", 0, 0);
    option.rdma_option.ip_addr = c.ip;
    PollingWorker worker(0, {}, option);
    RdmaHandle handle(&worker);
    testsupport::LogCapture log;
    EXPECT_EQ(handle.FetchRdmaInfoByIp(), c.ret) << c.ip;
    if (c.ret < 0) {
      EXPECT_NE(log.text().find(std::string("can not found a gid match ip_addr: ") + c.ip),
                std::string::npos);
      EXPECT_LT(handle.Init(), 0);
      continue;
    }
    EXPECT_EQ(handle.device_name(), c.device) << c.ip;
    EXPECT_EQ(handle.port_id(), c.port) << c.ip;
    EXPECT_EQ(handle.gid_index(), c.gid_index) << c.ip;
  }
  // Init with an address speaks from the GID found.
  tarn::WorkerOption option = RdmaOption("", 0, 0);
  option.rdma_option.ip_addr = "10.0.0.5";
  PollingWorker worker(0, {}, option);
  RdmaHandle handle(&worker);
  ASSERT_EQ(handle.Init(), 0);
  EXPECT_EQ(memcmp(handle.gid().raw, Gid("::ffff:10.0.0.5").raw, 16), 0);
}

// The cached GID decides the index, wherever it sits in the table (the last
// index and a table of one included); the address is then not looked up.
TEST_F(RdmaHandleTest, CachedGidPicksItsIndexAndSkipsTheAddressLookup) {
  verbs_emu::DefineDevices({
      Device("emu_a", {{"fe80::1", "::ffff:10.0.0.1", "::ffff:10.0.0.2"}}),
      Device("emu_one", {{"::ffff:10.0.0.3"}}),
  });
  struct Case {
    const char* device;
    const char* cached;
    int ret;
    int gid_index;
  } cases[] = {
      {"emu_a", "::ffff:10.0.0.2", 0, 2},
      {"emu_a", "fe80::1", 0, 0},
      {"emu_one", "::ffff:10.0.0.3", 0, 0},
      {"emu_a", "::ffff:10.0.0.9", -1, 0},
  };
  for (const Case& c : cases) {
    tarn::WorkerOption option = RdmaOption(c.device, 1, 0);
    option.rdma_option.ip_addr = "192.0.2.99";  // matches nothing
    PollingWorker worker(0, {}, option);
    worker.set_cached_gid(Gid(c.cached));
    RdmaHandle handle(&worker);
    testsupport::LogCapture log;
    const int ret = handle.Init();
    EXPECT_EQ(ret < 0 ? -1 : 0, c.ret) << c.cached;
    EXPECT_EQ(log.text().find("can not found a gid match"), std::string::npos);
    if (c.ret == 0) {
      EXPECT_EQ(handle.gid_index(), c.gid_index) << c.cached;
      EXPECT_EQ(memcmp(handle.gid().raw, Gid(c.cached).raw, 16), 0);
    } else {
      EXPECT_NE(log.text().find("each gid_index ibv_query_gid failed"), std::string::npos);
    }
  }
}

TEST_F(RdmaHandleTest, MissingDeviceOrInactivePortFailsClearly) {
  verbs_emu::DeviceConfig down = Device("emu_down", {{"::ffff:10.0.0.1"}});
  down.ports[0].state = IBV_PORT_DOWN;
  verbs_emu::DefineDevices({down});
  struct Case {
    const char* device;
    const char* text;
  } cases[] = {{"no_such_dev", "device_ is null"}, {"emu_down", "port state is not active"}};
  for (const Case& c : cases) {
    PollingWorker worker(0, {}, RdmaOption(c.device));
    RdmaHandle handle(&worker);
    testsupport::LogCapture log;
    EXPECT_LT(handle.Init(), 0);
    EXPECT_NE(log.text().find(c.text), std::string::npos) << log.text();
    EXPECT_EQ(handle.NewQueuePair(), nullptr);
  }
  verbs_emu::RemoveAllDevices();
  PollingWorker worker(0, {}, RdmaOption());
  RdmaHandle handle(&worker);
  EXPECT_LT(handle.Init(), 0);
  EXPECT_EQ(verbs_emu::GetCounters().cqs, 0);
  EXPECT_TRUE(RdmaHandle::workers().empty());
}

// A failure at any step leaves nothing a later context could trip over: no
// queues, no regions, no table entry for a device not fully opened, no place
// among the workers; the next worker opens the device normally.
TEST_F(RdmaHandleTest, FailureAtAnyStepLeavesNothingBehind) {
  struct Case {
    const char* verb;
    bool device_closed;  // the device was not yet in the table: closed again
  } cases[] = {
      {"ibv_get_device_list", true}, {"ibv_open_device", true}, {"ibv_alloc_pd", true},
      {"ibv_query_device", false},   {"ibv_create_cq", false},  {"ibv_create_srq", false},
      {"ibv_query_port", false},     {"ibv_query_gid", false},  {"ibv_reg_mr", false},
  };
  for (const Case& c : cases) {
    verbs_emu::ResetFabric();
    const verbs_emu::Counters before = verbs_emu::GetCounters();
    PollingWorker w0(0, {}, RdmaOption());
    {
      RdmaHandle failing(&w0);
      ASSERT_TRUE(verbs_emu::FailNextCall(c.verb, EIO)) << c.verb;
      testsupport::LogCapture log;
      EXPECT_LT(failing.Init(), 0) << c.verb;
      const verbs_emu::Counters mid = verbs_emu::GetCounters();
      EXPECT_EQ(mid.cqs, before.cqs) << c.verb;
      EXPECT_EQ(mid.srqs, before.srqs) << c.verb;
      EXPECT_EQ(mid.mrs, before.mrs) << c.verb;
      if (c.device_closed) {
        EXPECT_EQ(mid.contexts, before.contexts) << c.verb;
        EXPECT_EQ(mid.pds, before.pds) << c.verb;
      }
      EXPECT_TRUE(RdmaHandle::workers().empty()) << c.verb;
    }
    verbs_emu::ClearFailures();
    PollingWorker w1(1, {}, RdmaOption());
    RdmaHandle next(&w1);
    ASSERT_EQ(next.Init(), 0) << c.verb;
    ASSERT_NE(next.NewQueuePair(), nullptr) << c.verb;
  }
}

TEST_F(RdmaHandleTest, VerbsEnvironmentIsSetBeforeTheFirstDeviceList) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a fresh process: the address scan is the first to list devices, and
  // its list fails, so only an environment set before it can be seen.
  EXPECT_EXIT(
      {
        unsetenv("RDMAV_FORK_SAFE");
        unsetenv("RDMAV_HUGEPAGES_SAFE");
        tarn::WorkerOption option = RdmaOption();
        option.rdma_option.ip_addr = "127.0.0.1";
        PollingWorker worker(0, {}, option);
        RdmaHandle handle(&worker);
        verbs_emu::FailNextCall("ibv_get_device_list", ENOMEM);
        const bool failed = handle.Init() < 0;
        const char* fork_safe = getenv("RDMAV_FORK_SAFE");
        const char* huge_safe = getenv("RDMAV_HUGEPAGES_SAFE");
        const bool set = fork_safe != nullptr && strcmp(fork_safe, "1") == 0 &&
                         huge_safe != nullptr && strcmp(huge_safe, "1") == 0;
        std::_Exit(failed && set ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(RdmaHandleTest, PoolsHandOutFixedCountsAndCountFailures) {
  tarn::WorkerOption option = RdmaOption();
  option.obj_pool_size = 4;  // 4 send requests, 4 receive requests, 8 headers
  PollingWorker worker(0, {}, option);
  RdmaHandle handle(&worker);
  ASSERT_EQ(handle.Init(), 0);

  auto token = std::make_shared<int>(0);
  int called = 0;
  std::vector<tarn::RdmaWorkRequest*> sends;
  for (int i = 0; i < 4; ++i) {
    tarn::RdmaMessageHeader* header = handle.NewMessage(10 + i, 4);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->type, 4u);
    EXPECT_EQ(header->length, 10u + i);
    tarn::RdmaWorkRequest* wr =
        handle.NewWorkRequest(header, [token, &called](int r) { called += r == 0 ? 1 : 100; });
    ASSERT_NE(wr, nullptr);
    EXPECT_EQ(wr->header, header);
    sends.push_back(wr);
  }
  EXPECT_EQ(token.use_count(), 5);
  {
    testsupport::LogCapture log;
    tarn::RdmaMessageHeader* header = handle.NewMessage(1, 4);
    EXPECT_EQ(handle.NewWorkRequest(header, nullptr), nullptr);
    EXPECT_NE(log.text().find("NewWorkRequest Malloc failed"), std::string::npos);
    EXPECT_EQ(handle.work_request_pool().failed(), 1u);
    handle.DeleteMessage(header);
  }
  sends[0]->callback(0);
  EXPECT_EQ(called, 1);
  // Giving a request back returns its header and drops its callback uncalled.
  for (tarn::RdmaWorkRequest* wr : sends) handle.DeleteWorkRequest(wr);
  EXPECT_EQ(called, 1);
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(handle.work_request_pool().left(), 4);
  EXPECT_EQ(handle.header_pool().left(), 8);

  char buffers[5];
  std::vector<tarn::RdmaPostRecvWorkRequest*> recvs;
  for (int i = 0; i < 4; ++i) {
    tarn::RdmaPostRecvWorkRequest* r = handle.NewPostRecvWorkRequest(&buffers[i]);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->buffer, &buffers[i]);
    recvs.push_back(r);
  }
  EXPECT_EQ(handle.posted_buffers().size(), 4u);
  // No receive request left: the header taken for it goes back.
  EXPECT_EQ(handle.NewPostRecvWorkRequest(&buffers[4]), nullptr);
  EXPECT_EQ(handle.header_pool().left(), 4);
  EXPECT_EQ(handle.posted_buffers().count(&buffers[4]), 0u);
  for (tarn::RdmaPostRecvWorkRequest* r : recvs) handle.DeletePostRecvWorkRequest(r);
  EXPECT_TRUE(handle.posted_buffers().empty());
  EXPECT_EQ(handle.header_pool().left(), 8);
}

}  // namespace
