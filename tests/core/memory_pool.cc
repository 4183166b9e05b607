#include "tarn/memory_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/log_capture.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"

// Huge requests must come back as null, also under AddressSanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace tarn {
namespace {

constexpr uint64_t kMiB2 = 2 * 1024 * 1024;

// 512 x4, 4096 x2, 8192 x2, 65536 x1: four slabs of one 2 MiB share each.
std::map<uint32_t, uint32_t> SmallMap() { return {{512, 4}, {4096, 2}, {8192, 2}, {65536, 1}}; }

uint64_t Off(const MemoryPool& pool, const void* p) { return reinterpret_cast<uint64_t>(p) - pool.base(); }

TEST(MemoryPoolTest, InitLaysOutAlignedSlabs) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  EXPECT_EQ(pool.alignment(), kMiB2);
  EXPECT_EQ(pool.base() % kMiB2, 0u);
  EXPECT_EQ(pool.size(), 4 * kMiB2);
  EXPECT_EQ(pool.max_chunk_size(), 65536u);
  EXPECT_EQ(pool.slab_count(), 4u);

  MemoryPool::ReportMap r;
  pool.Report(&r);
  MemoryPool::ReportMap want = {{512, {4, 4}}, {4096, {2, 2}}, {8192, {2, 2}}, {65536, {1, 1}}};
  EXPECT_EQ(r, want);

  // Last in, first out: the highest chunk is the first handed out.
  void* p = pool.Malloc(100);
  EXPECT_EQ(Off(pool, p), 3u * 512);
  r.clear();
  pool.Report(&r);
  EXPECT_EQ(r[512], std::make_pair(uint64_t{4}, uint64_t{3}));
  EXPECT_EQ(pool.Free(p), 0);
  EXPECT_EQ(pool.Malloc(1), p);
  EXPECT_EQ(pool.Free(p), 0);

  EXPECT_FALSE(pool.Init(SmallMap())) << "a second Init must be refused";
}

TEST(MemoryPoolTest, SlabChoiceAndSingleFallback) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  void* a = pool.Malloc(512);
  EXPECT_LT(Off(pool, a), kMiB2) << "512 bytes come from the 512 slab";
  void* b = pool.Malloc(513);
  EXPECT_GE(Off(pool, b), kMiB2);
  EXPECT_LT(Off(pool, b), 2 * kMiB2) << "513 bytes come from the 4096 slab";
  void* c = pool.Malloc(4096);
  EXPECT_LT(Off(pool, c), 2 * kMiB2);

  // 4096 slab empty: the next slab up serves, once.
  void* d = pool.Malloc(600);
  void* e = pool.Malloc(4000);
  EXPECT_GE(Off(pool, d), 2 * kMiB2);
  EXPECT_LT(Off(pool, d), 3 * kMiB2);
  EXPECT_GE(Off(pool, e), 2 * kMiB2);
  EXPECT_LT(Off(pool, e), 3 * kMiB2);
  // Both empty: null, although the 65536 slab still has a chunk.
  EXPECT_EQ(pool.Malloc(513), nullptr);
  EXPECT_NE(pool.Malloc(65536), nullptr);

  for (void* p : {a, b, c, d, e}) EXPECT_EQ(pool.Free(p), 0);
}

TEST(MemoryPoolTest, ZeroLengthIsASmallestChunk) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  void* p = pool.Malloc(0);
  ASSERT_NE(p, nullptr);
  EXPECT_LT(Off(pool, p), kMiB2);
  EXPECT_EQ(pool.large_count(), 0u);
  EXPECT_EQ(pool.Free(p), 0);

  // Without slabs every request is a tracked block, zero included, and two
  // zero-length requests never share an address.
  MemoryPool empty;
  ASSERT_TRUE(empty.Init({}));
  EXPECT_EQ(empty.alignment(), 4096u);
  EXPECT_EQ(empty.size(), 0u);
  void* z1 = empty.Malloc(0);
  void* z2 = empty.Malloc(0);
  ASSERT_NE(z1, nullptr);
  ASSERT_NE(z2, nullptr);
  EXPECT_NE(z1, z2);
  EXPECT_EQ(empty.large_count(), 2u);
  EXPECT_EQ(empty.Free(z1), 0);
  EXPECT_EQ(empty.Free(z2), 0);
  EXPECT_TRUE(empty.CheckIdleInner());
}

TEST(MemoryPoolTest, LargeBlocksAreTrackedAndFreed) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  void* big = pool.Malloc(65537);
  ASSERT_NE(big, nullptr);
  EXPECT_FALSE(pool.InRegion(big));
  EXPECT_EQ(reinterpret_cast<uint64_t>(big) % kMiB2, 0u);
  memset(big, 0xab, 65537);
  EXPECT_EQ(pool.large_count(), 1u);
  EXPECT_FALSE(pool.CheckIdleInner());
  EXPECT_EQ(pool.Free(big), 0);
  EXPECT_EQ(pool.large_count(), 0u);
  EXPECT_TRUE(pool.CheckIdleInner());
  EXPECT_EQ(pool.Malloc(SIZE_MAX), nullptr);
  EXPECT_EQ(pool.large_count(), 0u);
}

TEST(MemoryPoolTest, RefusesWhatItDidNotHandOut) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  int local = 0;
  EXPECT_EQ(pool.Free(&local), -1);
  EXPECT_EQ(pool.Free(nullptr), -1);
  char* base = static_cast<char*>(pool.base_ptr());
  // Inside a chunk, and in the padding after the 512 slab's chunks.
  char* p = static_cast<char*>(pool.Malloc(512));
  EXPECT_EQ(pool.Free(p + 1), -1);
  EXPECT_EQ(pool.Free(base + 4 * 512), -1);
  EXPECT_EQ(pool.Free(p), 0);
  // Every chunk already free: a further return is refused, not pushed past
  // the end of the free stack.
  EXPECT_EQ(pool.Free(p), -1);
  MemoryPool::ReportMap r;
  pool.Report(&r);
  EXPECT_EQ(r[512].second, 4u);
  MemoryPool other;
  ASSERT_TRUE(other.Init(SmallMap()));
  void* q = other.Malloc(512);
  EXPECT_EQ(pool.Free(q), -1);
  EXPECT_EQ(other.Free(q), 0);
}

TEST(MemoryPoolTest, SkipsEmptyEntriesAndRejectsOverflow) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init({{0, 5}, {512, 0}, {4096, 1}}));
  EXPECT_EQ(pool.slab_count(), 1u);
  EXPECT_EQ(pool.max_chunk_size(), 4096u);
  EXPECT_NE(pool.Malloc(1), nullptr);

  MemoryPool huge;
  EXPECT_FALSE(huge.Init({{0xffffffffu, 0xffffffffu}, {0xfffffffeu, 0xffffffffu}}));
  EXPECT_EQ(huge.Malloc(1), nullptr) << "a pool whose Init failed serves nothing";
  EXPECT_EQ(huge.Malloc(1 << 20), nullptr);
}

TEST(MemoryPoolTest, IdleNeedsNothingOutAndQuietTime) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  const uint64_t mhz = std::max<uint64_t>(plinth::TimeCycle::tsc_rate_mhz_, 1);
  const uint64_t last = pool.last_use_tsc();
  const uint64_t later = last + (MemoryPool::kDefaultIdleMicros + 2) * mhz;
  EXPECT_TRUE(pool.CheckIdleInner());
  EXPECT_FALSE(pool.CheckIdle(last + 1000 * mhz));
  EXPECT_TRUE(pool.CheckIdle(later));
  EXPECT_FALSE(pool.CheckIdle(last - 1)) << "a clock behind the last use is not idle time";

  void* p = pool.Malloc(8192);
  const uint64_t used = pool.last_use_tsc();
  EXPECT_GE(used, last);
  EXPECT_FALSE(pool.CheckIdleInner());
  EXPECT_FALSE(pool.CheckIdle(used + (MemoryPool::kDefaultIdleMicros + 2) * mhz));
  EXPECT_EQ(pool.Free(p), 0);
  EXPECT_TRUE(pool.CheckIdle(used + (MemoryPool::kDefaultIdleMicros + 2) * mhz));

  pool.set_idle_threshold_us(10);
  pool.set_last_use_tsc(1000);
  EXPECT_FALSE(pool.CheckIdle(1000 + 10 * mhz));
  EXPECT_TRUE(pool.CheckIdle(1000 + 11 * mhz));
}

TEST(MemoryPoolTest, ReleaseOfIdlePool) {
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  void* p = pool.Malloc(64);
  ASSERT_EQ(pool.Free(p), 0);
  pool.Release();
  EXPECT_EQ(pool.base(), 0u);
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_EQ(pool.slab_count(), 0u);
  EXPECT_EQ(pool.Malloc(64), nullptr);
}

TEST(MemoryPoolDeathTest, ReleaseOfBusyPoolEndsTheProcess) {
  testsupport::SendLogsToStderr();
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(SmallMap()));
  void* p = pool.Malloc(64);
  ASSERT_NE(p, nullptr);
  EXPECT_DEATH(pool.Release(), "memory pool is not idle, cannot release");
  void* big = pool.Malloc(1 << 20);
  ASSERT_EQ(pool.Free(p), 0);
  EXPECT_DEATH(pool.Release(), "memory pool is not idle, cannot release");
  ASSERT_EQ(pool.Free(big), 0);
}

// Random takes and returns against a model: no chunk is handed out twice,
// contents survive, counts add up.
TEST(MemoryPoolTest, RandomTrafficKeepsChunksDisjoint) {
  const std::map<uint32_t, uint32_t> sizes = {{512, 64}, {4096, 32}, {16384, 8}};
  MemoryPool pool;
  ASSERT_TRUE(pool.Init(sizes));
  std::mt19937 rng(1234);
  struct Out {
    unsigned char* p;
    size_t len;
    unsigned char tag;
  };
  std::vector<Out> out;
  for (int step = 0; step < 20000; ++step) {
    if (out.empty() || rng() % 2 == 0) {
      size_t len = rng() % 20000;
      auto* p = static_cast<unsigned char*>(pool.Malloc(len));
      if (p == nullptr) continue;
      const unsigned char tag = static_cast<unsigned char>(step);
      memset(p, tag, len);
      out.push_back({p, len, tag});
    } else {
      const size_t i = rng() % out.size();
      for (size_t k = 0; k < out[i].len; ++k) ASSERT_EQ(out[i].p[k], out[i].tag);
      ASSERT_EQ(pool.Free(out[i].p), 0);
      out[i] = out.back();
      out.pop_back();
    }
  }
  for (const Out& o : out) ASSERT_EQ(pool.Free(o.p), 0);
  MemoryPool::ReportMap r;
  pool.Report(&r);
  for (const auto& [size, count] : sizes) EXPECT_EQ(r[size], std::make_pair(uint64_t{count}, uint64_t{count}));
  EXPECT_TRUE(pool.CheckIdleInner());
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

// The DMA-safe source serves regions and large blocks alike and takes back
// what it gave.
TEST(MemoryPoolTest, DmaMemorySource) {
  MemoryPool pool;
  pool.set_dma(true);
  ASSERT_TRUE(pool.Init(SmallMap()));
  EXPECT_TRUE(pool.dma());
  pool.set_dma(false);
  EXPECT_TRUE(pool.dma()) << "the source is fixed once the pool is built";
  EXPECT_EQ(pool.base() % kMiB2, 0u);
  auto* p = static_cast<unsigned char*>(pool.Malloc(4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0) << "DMA memory comes zeroed";
  void* big = pool.Malloc(3 << 20);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(reinterpret_cast<uint64_t>(big) % kMiB2, 0u);
  EXPECT_EQ(pool.Free(big), 0);
  EXPECT_EQ(pool.Free(p), 0);
  pool.Release();
}

}  // namespace
}  // namespace tarn
