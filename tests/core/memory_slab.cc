#include "tarn/memory_slab.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/log_capture.h"

namespace tarn {
namespace {

TEST(MemorySlabTest, LifoStackAndIndexes) {
  std::vector<char> mem(4 * 256);
  const uint64_t base = reinterpret_cast<uint64_t>(mem.data());
  auto slab = MemorySlab::Make(base, 256, 4);
  ASSERT_NE(slab, nullptr);
  EXPECT_EQ(slab->free_count(), 4u);
  void* a = slab->Malloc();
  EXPECT_EQ(a, mem.data() + 3 * 256);
  EXPECT_EQ(slab->GetIndex(a), 3);
  EXPECT_EQ(slab->GetIndex(mem.data() + 10), MemorySlab::kMisaligned);
  EXPECT_EQ(slab->GetIndex(mem.data() + 4 * 256), MemorySlab::kOutOfRange);
  EXPECT_EQ(slab->GetIndex(mem.data() - 256), MemorySlab::kOutOfRange);
  for (int i = 0; i < 3; ++i) EXPECT_NE(slab->Malloc(), nullptr);
  EXPECT_EQ(slab->Malloc(), nullptr);
  EXPECT_TRUE(slab->Free(a));
  EXPECT_EQ(slab->Malloc(), a);
  EXPECT_TRUE(slab->Free(a));
  EXPECT_EQ(MemorySlab::Make(base, 0, 4), nullptr);
  EXPECT_EQ(MemorySlab::Make(base, UINT64_MAX / 2, 4), nullptr);
}

TEST(MemorySlabTest, FreeBeyondCountIsRefused) {
  std::vector<char> mem(2 * 64);
  auto slab = MemorySlab::Make(reinterpret_cast<uint64_t>(mem.data()), 64, 2);
  ASSERT_NE(slab, nullptr);
  EXPECT_FALSE(slab->Free(mem.data()));
  EXPECT_EQ(slab->free_count(), 2u);
}

TEST(MemorySlabDeathTest, CheckingOperations) {
  testsupport::SendLogsToStderr();
  std::vector<char> mem(2 * 64);
  auto slab = MemorySlab::Make(reinterpret_cast<uint64_t>(mem.data()), 64, 2);
  ASSERT_NE(slab, nullptr);
  void* p = slab->Malloc();
  slab->MallocCheckAndSet(p);
  EXPECT_EQ(slab->chunk_malloc_count(1), 1u);
  EXPECT_DEATH(slab->MallocCheckAndSet(p), "double malloc");
  slab->FreeCheckAndSet(p);
  EXPECT_EQ(slab->chunk_free_count(1), 1u);
  EXPECT_DEATH(slab->FreeCheckAndSet(p), "double free");
  EXPECT_DEATH(slab->FreeCheckAndSet(mem.data() + 1), "get idx error, ret: -2");
  EXPECT_DEATH(slab->MallocCheckAndSet(mem.data() + 128), "get idx error, ret: -1");
}

}  // namespace
}  // namespace tarn
