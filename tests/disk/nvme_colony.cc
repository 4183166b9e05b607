// An NVMe device registered with a polling colony: every worker gets its own
// queue pair at start, serves submissions through its loop's disk front and
// completes them from its "spdk_nvme_qp_poller"; the controller is probed
// once and detached once the colony and the device are gone.
#include <algorithm>
#include <functional>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "disk/nvme_test_util.h"
#include "gtest/gtest.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/disk_io_util.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/polling/spdk_rte.h"
#include "tarn/rpc/attachment.h"

namespace {

constexpr uint32_t kDevId = 5;  // ids need not be dense

TEST(NvmeColonyTest, EveryPollingWorkerServesTheDevice) {
  nvmetest::StartSpdkEnv();
  tarn::g_spdk_env_inited.store(true);  // devices are handed over only then
  nvmetest::TempDir dir;
  const std::string addr = nvmetest::FreshAddress();
  ASSERT_EQ(0, spdk_standin::add_controller(
                   nvmetest::MakeSpec(dir.path(), addr, 512, 8, 4096)));
  auto dev = std::make_shared<tarn::SpdkNvmeDevice>(nvmetest::Trid(addr), 1, kDevId);

  const uint32_t n = std::min(2u, std::max(1u, std::thread::hardware_concurrency()));
  tarn::WorkerOption option;
  option.name_prefix = "nvme-";
  {
    tarn::PollingWorkerColony colony(n, option, [](tarn::Loop*) { return nullptr; });
    colony.AddSpdkNvmeDevice(dev);
    colony.Start();
    spdk_standin::ControllerStats st;
    ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
    EXPECT_EQ(1, st.probes);
    EXPECT_EQ(n, st.io_qpairs);
    EXPECT_EQ(n, dev->qpair_count());

    // Each worker writes its own stretch (flat and scattered), then reads it
    // back with its metadata; results are gathered per worker.
    const uint64_t len = 8192;
    std::vector<std::unique_ptr<nvmetest::DmaBuf>> out, in, md;
    std::vector<std::atomic<int>> done(n);
    std::vector<std::atomic<int>> bad(n);
    for (uint32_t i = 0; i < n; ++i) {
      out.push_back(std::make_unique<nvmetest::DmaBuf>(len));
      in.push_back(std::make_unique<nvmetest::DmaBuf>(len));
      md.push_back(std::make_unique<nvmetest::DmaBuf>(len / 512 * 8));
      memset(out[i]->get(), 'a' + i, len);
    }
    // Runs `submit` on every worker and waits for `calls` callbacks each.
    auto phase = [&](int calls, const std::function<void(uint32_t, tarn::DiskIOUtil*)>& submit) {
      for (auto& d : done) d.store(0);
      for (uint32_t i = 0; i < n; ++i) {
        tarn::Worker* w = colony.GetWorker(i);
        ASSERT_TRUE(testsupport::RunSync(w, [&, i, w] { submit(i, w->loop()->disk_io()); }));
      }
      ASSERT_TRUE(testsupport::WaitFor([&] {
        for (auto& d : done) {
          if (d.load() < calls) return false;
        }
        return true;
      }));
      for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(calls, done[i].load()) << "worker " << i;
    };
    auto expect = [&](uint32_t i, int want) {
      return [&, i, want](int r) {
        if (r != want) ++bad[i];
        ++done[i];
      };
    };
    const int half = static_cast<int>(len / 2);
    phase(3, [&](uint32_t i, tarn::DiskIOUtil* io) {
      const uint64_t off = i * len * 2;
      io->SubmitWriteSpdk(kDevId, out[i]->get(), off, len / 2, expect(i, half));
      tarn::SgEntry sge;
      sge.addr = reinterpret_cast<uint64_t>(out[i]->get() + len / 2);
      sge.len = len / 2;
      io->SubmitWritevSpdk(kDevId, &sge, 1, off + len / 2, len / 2, expect(i, half));
      io->SubmitReadSpdk(kDevId + 1, in[i]->get(), off, len, expect(i, -1));  // no such device
    });
    phase(1, [&](uint32_t i, tarn::DiskIOUtil* io) {
      io->SubmitReadMdSpdk(kDevId, in[i]->get(), i * len * 2, len, md[i]->get(),
                           expect(i, static_cast<int>(len)), 0, 0, 0);
    });
    for (uint32_t i = 0; i < n; ++i) {
      EXPECT_EQ(0, bad[i].load()) << "worker " << i;
      EXPECT_EQ(0, memcmp(out[i]->get(), in[i]->get(), len)) << "worker " << i;
    }
    colony.Stop();
  }
  // The workers' queue pairs went with their loops; the device still holds
  // the controller until it goes too.
  EXPECT_EQ(0u, dev->qpair_count());
  spdk_standin::ControllerStats st;
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_TRUE(st.attached);
  dev.reset();
  ASSERT_TRUE(spdk_standin::controller_stats(addr, &st));
  EXPECT_EQ(1, st.attaches);
  EXPECT_EQ(1, st.detaches);
  EXPECT_EQ(0, spdk_standin::remove_controller(addr));
}

}  // namespace
