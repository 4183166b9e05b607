// The limits of Linux AIO on event loops: the record pool that bounds the
// requests in flight on one loop, and the kernel contexts, whose events the
// machine counts against one limit (fs.aio-max-nr) shared by every AIO user
// of the machine. A loop refused its context still runs, without AIO. These
// tests refuse contexts through the AIO context's test seam for the loops
// they start; the one test against the kernel's own limit asks for more
// than the limit allows in all, which the kernel refuses before counting
// anything, so no other AIO user is kept waiting and none can change the
// outcome.
#include <libaio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "disk/aio_test_util.h"
#include "support/log_capture.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/disk_io_util.h"
#include "tarn/event/aio_context.h"
#include "tarn/event/event_loop.h"

namespace tarn {
namespace {

using testsupport::AlignedBuf;
using testsupport::DirectFile;
using testsupport::Results;
using testsupport::WorkerOnThread;

using testsupport::kBlock;
using testsupport::kFileSize;

long ReadProcNumber(const char* path) {
  std::ifstream in(path);
  long v = -1;
  in >> v;
  return v;
}

// Kernel AIO contexts of this process: each maps one "[aio]" ring.
int AioRingsMapped() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int n = 0;
  while (std::getline(maps, line)) n += line.find("[aio]") != std::string::npos;
  return n;
}

// Hands out contexts to the loops started while it lives: the first `room`
// asks go to the kernel, the rest are refused as a machine whose limit is
// used up refuses them (EAGAIN).
class AioRation {
 public:
  explicit AioRation(int room) {
    room_ = room;
    asks_ = 0;
    granted_ = 0;
    previous_ = AioContext::SetSetupForTest(&Setup);
  }
  ~AioRation() { AioContext::SetSetupForTest(previous_); }
  AioRation(const AioRation&) = delete;
  AioRation& operator=(const AioRation&) = delete;

  static int asks() { return asks_.load(); }
  // Contexts the kernel gave.
  static int granted() { return granted_.load(); }

 private:
  static int Setup(int nr_events, io_context_t* ctx) {
    asks_.fetch_add(1);
    if (room_.fetch_sub(1) <= 0) return -EAGAIN;
    int ret = io_queue_init(nr_events, ctx);
    if (ret == 0) granted_.fetch_add(1);
    return ret;
  }

  static std::atomic<int> room_;
  static std::atomic<int> asks_;
  static std::atomic<int> granted_;
  AioContext::SetupFn previous_;
};
std::atomic<int> AioRation::room_{0};
std::atomic<int> AioRation::asks_{0};
std::atomic<int> AioRation::granted_{0};

// The record pool, not the kernel, is the bound here: a kernel queue deep
// enough for every record, 16384 requests in flight, and the next one is
// refused at once with -2.
TEST(AioLimitTest, TheRequestBeyondThePoolIsRefusedWithMinus2) {
  DirectFile file;
  ASSERT_GE(file.fd(), 0);
  WorkerOnThread w("aio_pool");
  EventLoop* loop = w.worker()->event_loop();
  std::unique_ptr<AioContext> aio;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    w.RunSync([&] {
      aio.reset(new AioContext(loop, AioContext::kMaxRequests, AioContext::kMaxRequests));
      if (aio->Init() != 0) aio.reset();
    });
    return aio != nullptr;
  })) << "no AIO context of " << AioContext::kMaxRequests << " events";

  constexpr size_t kN = AioContext::kMaxRequests;
  AlignedBuf buf(kBlock);
  Results res(kN + 1);
  testsupport::LogCapture log;
  w.RunSync([&] {
    for (size_t i = 0; i < kN; ++i) {
      uint64_t off = (i % (kFileSize / kBlock)) * kBlock;
      res.ret[i] = aio->SubmitWrite(file.fd(), buf.data, off, kBlock, res.Cb(i));
    }
    EXPECT_EQ(aio->in_flight(), static_cast<int>(kN));
    res.ret[kN] = aio->SubmitWrite(file.fd(), buf.data, 0, kBlock, res.Cb(kN));
    EXPECT_EQ(res.calls[kN].load(), 1);  // called back before returning
  });
  ASSERT_TRUE(res.WaitAll());
  res.ExpectEachOnce();
  for (size_t i = 0; i < kN; ++i) {
    ASSERT_EQ(res.ret[i], 0) << i;
    ASSERT_EQ(res.first[i], static_cast<int>(kBlock)) << i;
  }
  EXPECT_EQ(res.ret[kN], -2);
  EXPECT_EQ(res.first[kN], -2);
  EXPECT_NE(log.text().find("aio_data malloc error"), std::string::npos);

  // Records came back: the pool serves again.
  Results again(1);
  w.RunSync([&] { again.ret[0] = aio->SubmitRead(file.fd(), buf.data, 0, kBlock, again.Cb(0)); });
  ASSERT_TRUE(again.WaitAll());
  EXPECT_EQ(again.first[0], static_cast<int>(kBlock));
  w.RunSync([&] { aio.reset(); });
}

// Loops refused their context: each says so at ERROR with the setup's own
// error, runs its tasks and timers, and refuses descriptor I/O with one
// callback of -1. Once contexts are given again, a new loop gets one; no
// loop leaves a context behind.
TEST(AioLimitTest, LoopsRefusedAContextRunWithoutAio) {
  DirectFile file;
  ASSERT_GE(file.fd(), 0);
  const int rings_before = AioRingsMapped();
  AlignedBuf buf(kBlock);
  {
    AioRation none(0);
    testsupport::LogCapture log;
    std::vector<std::unique_ptr<WorkerOnThread>> loops;
    for (int i = 0; i < 6; ++i) loops.emplace_back(new WorkerOnThread("no_aio"));
    for (auto& w : loops) {
      DiskIOUtil* disk = w->worker()->loop()->disk_io();
      Results res(1);
      std::atomic<bool> fired{false};
      ASSERT_TRUE(w->RunSync([&] {
        EXPECT_FALSE(disk->aio_enabled());
        res.ret[0] = disk->SubmitRead(file.fd(), buf.data, 0, kBlock, res.Cb(0));
        EXPECT_EQ(res.calls[0].load(), 1);
        w->worker()->loop()->RunAfter(0.001, [&] { fired = true; });
      }));
      EXPECT_EQ(res.ret[0], -1);
      EXPECT_EQ(res.first[0], -1);
      EXPECT_TRUE(testsupport::WaitFor([&] { return fired.load(); }));
      w->RunSync([] {});
      res.ExpectEachOnce();
    }
    EXPECT_EQ(AioRation::asks(), 6);
    EXPECT_NE(log.text().find("libaio not enable"), std::string::npos);
    // The setup's own error (EAGAIN), not whatever errno held.
    std::string line = log.LineWith("io_queue_init failed");
    EXPECT_NE(line.find("(errno=11)"), std::string::npos) << line;
    loops.clear();
  }
  EXPECT_EQ(testsupport::WaitForCount(AioRingsMapped, rings_before), rings_before);

  auto w = testsupport::StartWorkerWithAio("aio_again");
  ASSERT_NE(w, nullptr);
  Results res(1);
  w->RunSync([&] {
    res.ret[0] = w->worker()->loop()->disk_io()->SubmitRead(file.fd(), buf.data, 0, kBlock,
                                                            res.Cb(0));
  });
  ASSERT_TRUE(res.WaitAll());
  EXPECT_EQ(res.first[0], static_cast<int>(kBlock));
  w.reset();
  EXPECT_EQ(testsupport::WaitForCount(AioRingsMapped, rings_before), rings_before);
}

// Many loops starting at once with room for only a few contexts: each asks
// once, no more than the room get one, those do I/O, the others refuse it,
// all run.
TEST(AioLimitTest, ManyLoopsNearTheLimit) {
  DirectFile file;
  ASSERT_GE(file.fd(), 0);
  constexpr int kRoom = 3;
  constexpr int kLoops = 8;
  AioRation ration(kRoom);
  std::vector<std::unique_ptr<WorkerOnThread>> loops(kLoops);
  {
    std::vector<std::thread> starters;
    for (int i = 0; i < kLoops; ++i) {
      starters.emplace_back([&loops, i] { loops[i].reset(new WorkerOnThread("near")); });
    }
    for (auto& t : starters) t.join();
  }
  AlignedBuf bufs(kLoops * kBlock);
  Results res(kLoops);
  int with_aio = 0;
  for (int i = 0; i < kLoops; ++i) {
    DiskIOUtil* disk = loops[i]->worker()->loop()->disk_io();
    bool on = false;
    ASSERT_TRUE(loops[i]->RunSync([&] {
      on = disk->aio_enabled();
      res.ret[i] = disk->SubmitRead(file.fd(), bufs.data + i * kBlock, i * kBlock, kBlock,
                                    res.Cb(i));
    }));
    with_aio += on;
    EXPECT_EQ(res.ret[i], on ? 0 : -1) << i;
  }
  ASSERT_TRUE(res.WaitAll());
  res.ExpectEachOnce();
  EXPECT_EQ(AioRation::asks(), kLoops);
  // The kernel may refuse a granted ask too, when other AIO users of the
  // machine hold the limit: every context it gave went to a loop.
  EXPECT_EQ(with_aio, AioRation::granted());
  EXPECT_LE(with_aio, kRoom);
  for (int i = 0; i < kLoops; ++i) {
    EXPECT_EQ(res.first[i], res.ret[i] == 0 ? static_cast<int>(kBlock) : -1) << i;
  }
}

// The kernel's own refusal. A context of more events than fs.aio-max-nr
// allows in all is refused (EAGAIN) before anything is counted against
// the limit: this takes nothing from the machine's other AIO users, and
// what they hold cannot change the answer. (Asks beyond 4194304 events
// overflow the kernel's ring and are refused as invalid instead.)
TEST(AioLimitTest, ALoopTheKernelRefusesRunsWithoutAio) {
  constexpr int kBeyond = 4194304;
  const long max_nr = ReadProcNumber("/proc/sys/fs/aio-max-nr");
  if (max_nr < 0 || max_nr >= kBeyond) {
    GTEST_SKIP() << "fs.aio-max-nr " << max_nr << " leaves no ask beyond it";
  }
  struct OverTheLimit {
    static int Setup(int, io_context_t* ctx) { return io_queue_init(kBeyond, ctx); }
  };
  DirectFile file;
  ASSERT_GE(file.fd(), 0);
  AlignedBuf buf(kBlock);
  const int rings_before = AioRingsMapped();
  testsupport::LogCapture log;
  const AioContext::SetupFn previous = AioContext::SetSetupForTest(&OverTheLimit::Setup);
  auto w = std::make_unique<WorkerOnThread>("over_limit");
  AioContext::SetSetupForTest(previous);
  Results res(1);
  bool on = true;
  ASSERT_TRUE(w->RunSync([&] {
    DiskIOUtil* disk = w->worker()->loop()->disk_io();
    on = disk->aio_enabled();
    res.ret[0] = disk->SubmitRead(file.fd(), buf.data, 0, kBlock, res.Cb(0));
  }));
  EXPECT_FALSE(on);
  EXPECT_EQ(res.ret[0], -1);
  EXPECT_EQ(res.first[0], -1);
  std::string line = log.LineWith("io_queue_init failed");
  EXPECT_NE(line.find("(errno=11)"), std::string::npos) << line;
  w.reset();
  EXPECT_EQ(testsupport::WaitForCount(AioRingsMapped, rings_before), rings_before);
}

}  // namespace
}  // namespace tarn
