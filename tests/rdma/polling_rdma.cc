// Polling workers with RDMA switched on, over the emulated verbs device: the
// device context and "rdma_poller" come with Init, every memory pool is a
// registered region, and teardown leaves no verbs object and no busy pool.
#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "tarn/memory_pool.h"
#include "tarn/polling/poller.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "verbs_emu/verbs_emu.h"

namespace tarn {
namespace {

// Small pools and object pools: the emulated device registers them all.
WorkerOption RdmaOption() {
  WorkerOption option;
  option.enable_rdma = 1;
  option.obj_pool_size = 64;
  option.max_io_chunk_count = 16;
  option.rdma_option.device_name = "emu_0";
  option.rdma_option.port_id = 1;
  option.rdma_option.gid_index = 3;
  option.rdma_option.recv_depth = 16;
  option.rdma_option.max_send_data_size = 65536;
  return option;
}

bool HasPoller(const PollingWorker* worker, const std::string& name) {
  const auto& pollers = worker->pollers();
  return std::any_of(pollers.begin(), pollers.end(),
                     [&](const Poller* p) { return p->name == name; });
}

class PollingRdmaTest : public ::testing::Test {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override { verbs_emu::ClearFailures(); }
};

TEST_F(PollingRdmaTest, ColonyWorkerRegistersItsPoolsAndTearsDownClean) {
  testsupport::LogCapture logs;
  {
    PollingWorkerColony colony(1, RdmaOption(), nullptr);
    colony.Start();
    auto* worker = static_cast<PollingWorker*>(colony.GetWorker(0u));
    bool checked = false;
    ASSERT_EQ(worker->loop()->RunInLoop(
                  [&] {
                    ASSERT_NE(worker->rdma_handle(), nullptr);
                    EXPECT_TRUE(HasPoller(worker, "rdma_poller"));
                    ASSERT_GE(worker->mem_pool_num(), 1u);
                    MemoryPool* pool = worker->mem_pool(0);
                    char* base = static_cast<char*>(pool->base_ptr());
                    uint32_t lkey = 0, rkey = 0;
                    for (char* addr : {base, base + pool->size() - 1}) {
                      ASSERT_EQ(worker->GetMrKey(addr, &lkey, &rkey), 0);
                      EXPECT_NE(lkey, 0u);
                    }
                    // Worker memory lies in a registered region too.
                    void* buf = worker->Malloc(4096);
                    EXPECT_EQ(worker->GetMrKey(buf, &lkey, &rkey), 0);
                    worker->Free(buf);
                    int on_stack = 0;
                    EXPECT_LT(worker->GetMrKey(&on_stack, &lkey, &rkey), 0);
                    std::shared_ptr<RdmaQueuePair> qp = worker->NewQueuePair();
                    ASSERT_NE(qp, nullptr);
                    qp->DestroyQp();  // its owner's duty
                    checked = true;
                  },
                  false),
              0);
    EXPECT_TRUE(checked);
    EXPECT_GT(verbs_emu::GetCounters().mrs, 0);
    colony.Stop();
  }
  const verbs_emu::Counters after = verbs_emu::GetCounters();
  EXPECT_EQ(after.qps, 0);
  EXPECT_EQ(after.mrs, 0);
  EXPECT_EQ(after.cqs, 0);
  EXPECT_EQ(after.srqs, 0);
  EXPECT_TRUE(RdmaHandle::workers().empty());
  EXPECT_EQ(logs.LineWith("still in use"), "");
  EXPECT_EQ(logs.LineWith("mr failed"), "");
}

TEST_F(PollingRdmaTest, FailedInitRdmaLeavesNothingAndALaterOneStartsAfresh) {
  WorkerOption option = RdmaOption();
  option.enable_rdma = 0;  // Init opens nothing; InitRdma is called below
  option.enable_memory_pool = 1;
  PollingWorker worker(0, nullptr, option);
  worker.Init();  // this thread is the loop's

  testsupport::LogCapture logs;
  verbs_emu::RemoveAllDevices();
  EXPECT_FALSE(worker.InitRdma());
  EXPECT_NE(logs.LineWith("init rdma handle failed"), "");
  EXPECT_EQ(worker.rdma_handle(), nullptr);
  EXPECT_FALSE(HasPoller(&worker, "rdma_poller"));
  EXPECT_EQ(worker.NewQueuePair(), nullptr);
  uint32_t lkey = 0, rkey = 0;
  EXPECT_LT(worker.GetMrKey(worker.mem_pool(0)->base_ptr(), &lkey, &rkey), 0);
  EXPECT_EQ(verbs_emu::GetCounters().cqs, 0);

  verbs_emu::DefineDevices({verbs_emu::DefaultDevice()});
  ASSERT_TRUE(worker.InitRdma());
  EXPECT_NE(worker.rdma_handle(), nullptr);
  EXPECT_EQ(worker.GetMrKey(worker.mem_pool(0)->base_ptr(), &lkey, &rkey), 0);
  EXPECT_TRUE(worker.InitRdma());  // already open: nothing more
  EXPECT_EQ(worker.pollers().size(), 1u);
}

}  // namespace
}  // namespace tarn
