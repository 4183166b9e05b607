// The limits of Linux AIO on event loops: the record pool that bounds the
// requests in flight on one loop, and the machine-wide limit on kernel
// contexts (fs.aio-max-nr), under which a loop refused its context still
// runs, without AIO. These tests take large shares of the machine-wide
// limit, so CTest runs them alone (see aio_limit.cmake).
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

constexpr uint64_t kBlock = testsupport::kBlock;
constexpr uint64_t kFileSize = testsupport::kFileSize;

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

// Holds kernel AIO contexts that use up the machine-wide limit, all but
// `leave` events of it, for as long as it lives.
class AioLimitHoard {
 public:
  explicit AioLimitHoard(long leave) : leave_(leave) { TopUp(); }
  ~AioLimitHoard() {
    for (io_context_t ctx : ctxs_) io_destroy(ctx);
  }

  // Takes again what others have given back meanwhile.
  void TopUp() {
    const long leave = leave_;
    long left = ReadProcNumber("/proc/sys/fs/aio-max-nr") - ReadProcNumber("/proc/sys/fs/aio-nr");
    // Others may take or give back some meanwhile: take in chunks, halving
    // a refused chunk, until nothing more than `leave` is left.
    long chunk = 65536;
    while (left > leave && chunk > 0) {
      long want = std::min(chunk, left - leave);
      io_context_t ctx = nullptr;
      if (io_queue_init(static_cast<int>(want), &ctx) == 0) {
        ctxs_.push_back(ctx);
        left -= want;
      } else {
        chunk = want / 2;
      }
    }
  }

 private:
  long leave_;
  std::vector<io_context_t> ctxs_;
};

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

// With the machine's AIO contexts used up, new loops are refused theirs:
// each says so at ERROR with the kernel's error, runs its tasks and timers,
// and refuses descriptor I/O with one callback of -1. Once contexts are
// free again, a new loop gets one; no loop leaves a context behind.
TEST(AioLimitTest, LoopsRefusedAContextRunWithoutAio) {
  DirectFile file;
  ASSERT_GE(file.fd(), 0);
  const int rings_before = AioRingsMapped();
  AlignedBuf buf(kBlock);
  {
    AioLimitHoard hoard(0);
    testsupport::LogCapture log;
    std::vector<std::unique_ptr<WorkerOnThread>> loops;
    for (int i = 0; i < 6; ++i) {
      hoard.TopUp();
      loops.emplace_back(new WorkerOnThread("no_aio"));
    }
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
    EXPECT_NE(log.text().find("libaio not enable"), std::string::npos);
    // io_queue_init's own error (EAGAIN), not whatever errno held.
    std::string line = log.LineWith("io_queue_init failed");
    EXPECT_NE(line.find("(errno=11)"), std::string::npos) << line;
    loops.clear();
  }
  EXPECT_EQ(AioRingsMapped(), rings_before);

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
  EXPECT_EQ(AioRingsMapped(), rings_before);
}

// Many loops at once with room left for only a few contexts: no more than
// that many get one, those do I/O, the others refuse it, all run.
TEST(AioLimitTest, ManyLoopsNearTheLimit) {
  DirectFile file;
  ASSERT_GE(file.fd(), 0);
  constexpr int kRoom = 3;
  constexpr int kLoops = 8;
  AioLimitHoard hoard(kRoom * AioContext::kQueueDepth);
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
  EXPECT_LE(with_aio, kRoom);
  for (int i = 0; i < kLoops; ++i) {
    EXPECT_EQ(res.first[i], res.ret[i] == 0 ? static_cast<int>(kBlock) : -1) << i;
  }
}

}  // namespace
}  // namespace tarn
