// Linux AIO through an event loop's disk I/O front, on a real file opened
// with O_DIRECT: data against a model, trims, refusals and kernel errors,
// thousands of requests in flight. Every submit must call back exactly once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
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

using testsupport::kBlock;
using testsupport::kFileSize;

class AioIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(file_.fd(), 0) << "no file system here supports O_DIRECT";
    worker_ = testsupport::StartWorkerWithAio("aio_io");
    ASSERT_NE(worker_, nullptr) << "no event loop got an AIO context";
  }
  void TearDown() override { worker_.reset(); }

  DiskIOUtil* disk() const { return worker_->worker()->loop()->disk_io(); }
  void Run(const std::function<void()>& fn) { ASSERT_TRUE(worker_->RunSync(fn)); }

  DirectFile file_;
  std::unique_ptr<testsupport::WorkerOnThread> worker_;
};

// Batches of writes, trims and reads on distinct 64 KiB slots, all of a
// batch in flight together; reads must see what the model holds.
TEST_F(AioIoTest, RandomReadsWritesAndTrimsMatchAModel) {
  constexpr size_t kSlot = 64 << 10;
  constexpr size_t kSlots = kFileSize / kSlot;
  constexpr size_t kBatch = 32;
  std::vector<uint8_t> model(kFileSize, 0);
  std::mt19937_64 rng(12345);
  AlignedBuf bufs(kBatch * kSlot);
  for (int round = 0; round < 40; ++round) {
    std::vector<size_t> slots(kSlots);
    for (size_t i = 0; i < kSlots; ++i) slots[i] = i;
    std::shuffle(slots.begin(), slots.end(), rng);
    struct Op {
      int kind;  // 0 read, 1 write, 2 trim
      uint64_t off, len;
      uint8_t* buf;
    };
    std::vector<Op> ops(kBatch);
    for (size_t i = 0; i < kBatch; ++i) {
      Op& op = ops[i];
      op.kind = static_cast<int>(rng() % 3);
      uint64_t blocks = 1 + rng() % (kSlot / kBlock);
      uint64_t start = rng() % (kSlot / kBlock - blocks + 1);
      op.off = slots[i] * kSlot + start * kBlock;
      op.len = blocks * kBlock;
      op.buf = bufs.data + i * kSlot;
      if (op.kind == 1) {
        for (uint64_t b = 0; b < op.len; ++b) op.buf[b] = static_cast<uint8_t>(rng());
      } else {
        memset(op.buf, 0xee, op.len);
      }
    }
    Results res(kBatch);
    Run([&] {
      for (size_t i = 0; i < kBatch; ++i) {
        const Op& op = ops[i];
        if (op.kind == 0) res.ret[i] = disk()->SubmitRead(file_.fd(), op.buf, op.off, op.len, res.Cb(i));
        if (op.kind == 1) res.ret[i] = disk()->SubmitWrite(file_.fd(), op.buf, op.off, op.len, res.Cb(i));
        if (op.kind == 2) res.ret[i] = disk()->SubmitTrim(file_.fd(), op.off, op.len, res.Cb(i));
      }
    });
    ASSERT_TRUE(res.WaitAll());
    res.ExpectEachOnce();
    for (size_t i = 0; i < kBatch; ++i) {
      const Op& op = ops[i];
      ASSERT_EQ(res.ret[i], 0) << "round " << round << " op " << i;
      ASSERT_EQ(res.first[i], static_cast<int>(op.len)) << "round " << round << " op " << i;
      uint8_t* m = model.data() + op.off;
      if (op.kind == 0) {
        ASSERT_EQ(memcmp(op.buf, m, op.len), 0) << "read at " << op.off;
      }
      if (op.kind == 1) memcpy(m, op.buf, op.len);
      if (op.kind == 2) memset(m, 0, op.len);
    }
  }
  // Everything read back at the end.
  AlignedBuf all(kFileSize);
  Results res(1);
  Run([&] { res.ret[0] = disk()->SubmitRead(file_.fd(), all.data, 0, kFileSize, res.Cb(0)); });
  ASSERT_TRUE(res.WaitAll());
  ASSERT_EQ(res.first[0], static_cast<int>(kFileSize));
  EXPECT_EQ(memcmp(all.data, model.data(), kFileSize), 0);
}

TEST_F(AioIoTest, TrimOfOneMiBIsAcceptedAndOneByteMoreRefused) {
  AlignedBuf ones(DiskIOUtil::kMaxZeroBufSize);
  memset(ones.data, 0x5a, ones.size);
  Results fill(1);
  Run([&] { disk()->SubmitWrite(file_.fd(), ones.data, kBlock, ones.size, fill.Cb(0)); });
  ASSERT_TRUE(fill.WaitAll());
  ASSERT_EQ(fill.first[0], static_cast<int>(ones.size));

  Results res(2);
  Run([&] {
    res.ret[0] = disk()->SubmitTrim(file_.fd(), kBlock, DiskIOUtil::kMaxZeroBufSize + 1, res.Cb(0));
    // Refused before the call returned.
    EXPECT_EQ(res.calls[0].load(), 1);
    res.ret[1] = disk()->SubmitTrim(file_.fd(), kBlock, DiskIOUtil::kMaxZeroBufSize, res.Cb(1));
  });
  ASSERT_TRUE(res.WaitAll());
  res.ExpectEachOnce();
  EXPECT_EQ(res.ret[0], -1);
  EXPECT_EQ(res.first[0], -1);
  EXPECT_EQ(res.ret[1], 0);
  EXPECT_EQ(res.first[1], static_cast<int>(DiskIOUtil::kMaxZeroBufSize));

  AlignedBuf back(ones.size);
  memset(back.data, 0xff, back.size);
  Results read(1);
  Run([&] { disk()->SubmitRead(file_.fd(), back.data, kBlock, back.size, read.Cb(0)); });
  ASSERT_TRUE(read.WaitAll());
  ASSERT_EQ(read.first[0], static_cast<int>(back.size));
  std::vector<uint8_t> zeros(back.size, 0);
  EXPECT_EQ(memcmp(back.data, zeros.data(), back.size), 0);
}

// Requests the kernel refuses or fails: each calls back once with the
// documented code, and the kernel's own error is logged with its number.
TEST_F(AioIoTest, RefusedAndFailedRequestsCallBackOnce) {
  AlignedBuf buf(2 * kBlock);
  int closed = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(closed, 0);
  ::close(closed);
  struct Case {
    const char* name;
    int fd;
    uint8_t* buf;
    uint64_t off, len;
    bool write;
    int ret, result;
    const char* log;  // a text the log must hold afterwards
  };
  const Case cases[] = {
      {"closed descriptor", closed, buf.data, 0, kBlock, false, -3, -3,
       "submit read io error, ret: -9"},
      {"closed descriptor write", closed, buf.data, 0, kBlock, true, -3, -3,
       "submit write io error, ret: -9"},
      {"unaligned offset", file_.fd(), buf.data, 100, kBlock, true, 0, -3, "(errno=22)"},
      {"unaligned length", file_.fd(), buf.data, 0, 100, true, 0, -3, "(errno=22)"},
      {"read at the end", file_.fd(), buf.data, kFileSize, kBlock, false, 0, -3, nullptr},
      {"read across the end", file_.fd(), buf.data, kFileSize - kBlock, 2 * kBlock, false, 0, -3,
       nullptr},
      {"empty write", file_.fd(), buf.data, 0, 0, true, 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture log;
    Results res(1);
    Run([&] {
      res.ret[0] = c.write ? disk()->SubmitWrite(c.fd, c.buf, c.off, c.len, res.Cb(0))
                           : disk()->SubmitRead(c.fd, c.buf, c.off, c.len, res.Cb(0));
      // A refusal has called back by the time the submit returns.
      if (c.ret != 0) {
        EXPECT_EQ(res.calls[0].load(), 1);
      }
    });
    ASSERT_TRUE(res.WaitAll());
    EXPECT_EQ(res.ret[0], c.ret);
    EXPECT_EQ(res.first[0], c.result);
    if (c.log != nullptr) {
      EXPECT_TRUE(log.WaitForText(c.log)) << log.text();
    }
    // A second callback would come through the same loop: one more pass
    // through it, then the count must still be one.
    Run([] {});
    res.ExpectEachOnce();
  }
}

// A buffer off the device's DMA alignment: kernels differ (some refuse it,
// some bounce it), but the outcome reaches the callback once, as the full
// length or as -3.
TEST_F(AioIoTest, UnalignedBufferCallsBackOnce) {
  AlignedBuf buf(2 * kBlock);
  Results res(1);
  Run([&] { res.ret[0] = disk()->SubmitRead(file_.fd(), buf.data + 1, 0, kBlock, res.Cb(0)); });
  ASSERT_TRUE(res.WaitAll());
  Run([] {});
  res.ExpectEachOnce();
  EXPECT_EQ(res.ret[0], 0);
  EXPECT_TRUE(res.first[0] == static_cast<int>(kBlock) || res.first[0] == -3) << res.first[0];
}

// Requests in flight beyond what the kernel's queue holds are refused with
// -3 at once; the accepted ones (at least the queue's depth) all complete;
// callbacks that submit again keep thousands going.
TEST_F(AioIoTest, ThousandsInFlight) {
  constexpr size_t kBurst = 6000;
  AlignedBuf buf(kBlock);
  Results res(kBurst);
  Run([&] {
    for (size_t i = 0; i < kBurst; ++i) {
      uint64_t off = (i % (kFileSize / kBlock)) * kBlock;
      res.ret[i] = disk()->SubmitWrite(file_.fd(), buf.data, off, kBlock, res.Cb(i));
    }
  });
  ASSERT_TRUE(res.WaitAll());
  res.ExpectEachOnce();
  size_t accepted = 0;
  for (size_t i = 0; i < kBurst; ++i) {
    ASSERT_TRUE(res.ret[i] == 0 || res.ret[i] == -3) << res.ret[i];
    if (res.ret[i] == 0) {
      ++accepted;
      EXPECT_EQ(res.first[i], static_cast<int>(kBlock));
    } else {
      EXPECT_EQ(res.first[i], -3);
    }
  }
  EXPECT_GE(accepted, static_cast<size_t>(AioContext::kQueueDepth));

  // A chain: every completion submits the next read until 20000 have run,
  // 2000 at a time.
  constexpr int kTotal = 20000;
  constexpr int kDepth = 2000;
  std::atomic<int> completed{0}, failed{0};
  int submitted = 0;  // loop thread only
  AlignedBuf rbuf(kDepth * kBlock);
  std::function<void(int)> next;
  next = [&](int slot) {
    if (submitted >= kTotal) return;
    ++submitted;
    uint64_t off = (static_cast<uint64_t>(submitted) * 7 % (kFileSize / kBlock)) * kBlock;
    disk()->SubmitRead(file_.fd(), rbuf.data + slot * kBlock, off, kBlock, [&, slot](int r) {
      if (r != static_cast<int>(kBlock)) failed.fetch_add(1);
      completed.fetch_add(1);
      next(slot);
    });
  };
  Run([&] {
    for (int s = 0; s < kDepth; ++s) next(s);
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return completed.load() >= kTotal; }));
  EXPECT_EQ(failed.load(), 0);
  Run([&] { EXPECT_EQ(disk()->aio_context()->in_flight(), 0); });
}

// A loop stopped with requests in flight waits for the kernel to finish with
// their buffers and drops them without calling back.
TEST_F(AioIoTest, LoopStoppedWithRequestsInFlight) {
  constexpr size_t kN = 512;
  auto buf = std::make_unique<AlignedBuf>(kN * kBlock);
  auto calls = std::make_shared<std::atomic<int>>(0);
  Run([&] {
    for (size_t i = 0; i < kN; ++i) {
      disk()->SubmitWrite(file_.fd(), buf->data + i * kBlock, i * kBlock, kBlock,
                          [calls](int) { calls->fetch_add(1); });
    }
  });
  worker_.reset();
  EXPECT_LE(calls->load(), static_cast<int>(kN));
  EXPECT_EQ(calls.use_count(), 1);  // every dropped callback was destroyed
  buf.reset();
}

}  // namespace
}  // namespace tarn
