// A loop's disk I/O front torn down with trims in flight on an O_DIRECT
// file: the kernel reads the zero buffer's pages until each write is done,
// so the buffer must outlive them. Freed memory is scribbled on as soon as
// it is freed (AddressSanitizer's free fill, or this program's own free
// below in a build without sanitizers): a buffer freed too early writes the
// scribble to the file instead of zeroes.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "disk/aio_test_util.h"
#include "tarn/disk_io_util.h"

namespace {

constexpr unsigned char kScribble = 0xAB;
constexpr size_t kMiB = 1048576;

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "max_free_fill_size=1048576:free_fill_byte=171";
}
#elif !defined(__SANITIZE_THREAD__)
namespace {
// While set, every block of 1 MiB or more is scribbled on as it is freed.
std::atomic<bool> g_scribble_large_frees{false};
}  // namespace

extern "C" void __libc_free(void* p);

extern "C" void free(void* p) {
  if (p != nullptr && g_scribble_large_frees.load(std::memory_order_relaxed)) {
    const size_t n = malloc_usable_size(p);
    if (n >= kMiB) memset(p, kScribble, n);
  }
  __libc_free(p);
}
#define TARN_TEST_SCRIBBLES_FREES 1
#endif

namespace tarn {
namespace {

using testsupport::AlignedBuf;
using testsupport::DirectFile;
using testsupport::kFileSize;

TEST(AioTeardown, TrimsInFlightStillWriteZeroesAfterTheFrontIsGone) {
  DirectFile file;
  ASSERT_GE(file.fd(), 0) << "no file system here supports O_DIRECT";
  // The file holds a pattern on allocated blocks, so that every trim is an
  // overwrite the kernel runs asynchronously.
  AlignedBuf pattern(kFileSize);
  memset(pattern.data, 0x5a, kFileSize);
  ASSERT_EQ(pwrite(file.fd(), pattern.data, kFileSize, 0), static_cast<ssize_t>(kFileSize));
  ASSERT_EQ(fdatasync(file.fd()), 0);

  std::unique_ptr<testsupport::WorkerOnThread> worker =
      testsupport::StartWorkerWithAio("aio_teardown");
  ASSERT_NE(worker, nullptr) << "no event loop got an AIO context";
  // Many trims of the whole zero buffer over each MiB of the file, all in
  // flight together; the front goes right after they are submitted.
  constexpr int kTrims = 512;
  const uint64_t slots = kFileSize / DiskIOUtil::kMaxZeroBufSize;
  std::atomic<int> accepted{0};
  ASSERT_TRUE(worker->RunSync([&] {
    DiskIOUtil* disk = worker->worker()->loop()->disk_io();
    for (int i = 0; i < kTrims; ++i) {
      const uint64_t off = (i % slots) * DiskIOUtil::kMaxZeroBufSize;
      if (disk->SubmitTrim(file.fd(), off, DiskIOUtil::kMaxZeroBufSize, [](int) {}) == 0) {
        accepted.fetch_add(1);
      }
    }
  }));
  EXPECT_GT(accepted.load(), 0);
#ifdef TARN_TEST_SCRIBBLES_FREES
  g_scribble_large_frees.store(true);
#endif
  worker.reset();
#ifdef TARN_TEST_SCRIBBLES_FREES
  g_scribble_large_frees.store(false);
#endif

  // Every trim that was accepted has run: the file reads back as zeroes.
  AlignedBuf back(kFileSize);
  ASSERT_EQ(pread(file.fd(), back.data, kFileSize, 0), static_cast<ssize_t>(kFileSize));
  size_t scribbled = 0;
  size_t other = 0;
  for (size_t i = 0; i < kFileSize; ++i) {
    scribbled += back.data[i] == kScribble;
    other += back.data[i] != 0 && back.data[i] != kScribble;
  }
  EXPECT_EQ(scribbled, 0u) << "trims wrote freed memory";
  EXPECT_EQ(other, 0u) << "trims did not run";
}

}  // namespace
}  // namespace tarn
