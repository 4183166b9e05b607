// The SPDK environment stand-in: DMA memory, environment start, affinity.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "rte_lcore.h"
#include "spdk/env.h"
#include "spdk/env_standin.h"

namespace {

bool all_zero(const void* p, size_t n) {
  const unsigned char* c = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (c[i] != 0) return false;
  }
  return true;
}

cpu_set_t current_affinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  return set;
}

int first_cpu(const cpu_set_t& set) {
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (CPU_ISSET(i, &set)) return i;
  }
  return -1;
}

TEST(SpdkMemory, AlignedZeroedAndReusable) {
  for (size_t align : {size_t{0}, size_t{64}, size_t{512}, size_t{4096}}) {
    for (size_t size : {size_t{1}, size_t{100}, size_t{8192}, size_t{1} << 20}) {
      uint64_t phys = 0;
      void* p = spdk_zmalloc(size, align, &phys, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (align == 0 ? 64 : align), 0u);
      EXPECT_EQ(phys, reinterpret_cast<uintptr_t>(p));
      EXPECT_TRUE(all_zero(p, size));
      memset(p, 0xab, size);  // dirty it so that reuse must zero again
      spdk_free(p);
    }
  }
  EXPECT_EQ(spdk_zmalloc(64, 48, nullptr, SPDK_ENV_SOCKET_ID_ANY, 0), nullptr);
  EXPECT_EQ(spdk_zmalloc(SIZE_MAX - 8, 64, nullptr, SPDK_ENV_SOCKET_ID_ANY, 0), nullptr);
  spdk_free(nullptr);
  void* z = spdk_zmalloc(0, 0, nullptr, SPDK_ENV_SOCKET_ID_ANY, 0);
  EXPECT_NE(z, nullptr);
  spdk_free(z);
}

TEST(SpdkMemory, LargeBlocksAreLazyMappings) {
  // 1 GiB reserved: must not be backed until touched.
  const size_t size = size_t{1} << 30;
  void* p = spdk_zmalloc(size, 2 << 20, nullptr, SPDK_ENV_SOCKET_ID_ANY, SPDK_MALLOC_DMA);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (2 << 20), 0u);
  unsigned char* c = static_cast<unsigned char*>(p);
  EXPECT_EQ(c[0], 0);
  EXPECT_EQ(c[size - 1], 0);
  c[size / 2] = 1;
  spdk_free(p);

  // Many large blocks in a row: each goes back to the system.
  for (int i = 0; i < 64; ++i) {
    void* q = spdk_zmalloc(size_t{4} << 20, 4096, nullptr, SPDK_ENV_SOCKET_ID_ANY, 0);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(all_zero(q, 4096));
    static_cast<char*>(q)[0] = 1;
    spdk_free(q);
  }
}

TEST(SpdkEnv, StartRecordsOptionsAndPinsTheCaller) {
  const cpu_set_t before = current_affinity();
  const int cpu = first_cpu(before);
  ASSERT_GE(cpu, 0);
  spdk_standin::reset_env();

  spdk_env_opts opts;
  spdk_env_opts_init(&opts);
  EXPECT_STREQ(opts.name, "spdk");
  EXPECT_EQ(opts.shm_id, -1);
  EXPECT_EQ(opts.hugedir, nullptr);
  const std::string mask = "[" + std::to_string(cpu) + "]";
  opts.name = "tarn";
  opts.core_mask = mask.c_str();
  opts.shm_id = 7;
  opts.mem_size = 2048;
  opts.hugedir = "/dev/hugepages";

  std::thread([&] {
    EXPECT_FALSE(spdk_standin::env_started());
    ASSERT_EQ(spdk_env_init(&opts), 0);
    cpu_set_t pinned = current_affinity();
    EXPECT_EQ(CPU_COUNT(&pinned), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &pinned));
    spdk_unaffinitize_thread();
    // Free again: at least every CPU the thread had before the start (the
    // widest set may hold more when the test itself was started pinned).
    cpu_set_t after = current_affinity();
    cpu_set_t common;
    CPU_AND(&common, &after, &before);
    EXPECT_TRUE(CPU_EQUAL(&common, &before));
  }).join();

  spdk_standin::EnvRecord rec;
  ASSERT_TRUE(spdk_standin::env_record(&rec));
  EXPECT_EQ(rec.name, "tarn");
  EXPECT_EQ(rec.core_mask, mask);
  EXPECT_EQ(rec.shm_id, 7);
  EXPECT_EQ(rec.mem_size, 2048);
  EXPECT_EQ(rec.hugedir, "/dev/hugepages");
  EXPECT_EQ(rec.pinned_cpu, cpu);
  EXPECT_TRUE(spdk_standin::env_started());
  EXPECT_LT(spdk_env_init(&opts), 0);  // only once per process
  spdk_standin::reset_env();
}

TEST(SpdkEnv, CanBeToldToFailAndRejectsBadMasks) {
  spdk_standin::reset_env();
  spdk_env_opts opts;
  spdk_env_opts_init(&opts);
  spdk_standin::set_env_init_result(-12);
  EXPECT_EQ(spdk_env_init(&opts), -12);
  EXPECT_FALSE(spdk_standin::env_started());
  spdk_standin::EnvRecord rec;
  EXPECT_FALSE(spdk_standin::env_record(&rec));
  spdk_standin::set_env_init_result(0);

  std::thread([&] {
    for (const char* bad : {"", "0x", "0x0", "zz", "[", "[]", "[1,", "[a]", "[99999]"}) {
      opts.core_mask = bad;
      EXPECT_LT(spdk_env_init(&opts), 0) << bad;
    }
    EXPECT_EQ(spdk_env_init(nullptr), -EINVAL);
    EXPECT_FALSE(spdk_standin::env_started());
    // A hexadecimal mask: the lowest core is the one run on.
    const int cpu = first_cpu(current_affinity());
    ASSERT_LT(cpu, 60);
    char mask[32];
    snprintf(mask, sizeof(mask), "0x%llX", (3ULL << cpu) | (1ULL << 62));
    opts.core_mask = mask;
    ASSERT_EQ(spdk_env_init(&opts), 0);
    ASSERT_TRUE(spdk_standin::env_record(&rec));
    EXPECT_EQ(rec.pinned_cpu, cpu);
  }).join();
  spdk_standin::reset_env();
}

TEST(RteAffinity, SetsAndReadsBack) {
  const cpu_set_t before = current_affinity();
  const int cpu = first_cpu(before);
  std::thread([&] {
    rte_cpuset_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    ASSERT_EQ(rte_thread_set_affinity(&set), 0);
    cpu_set_t now = current_affinity();
    EXPECT_TRUE(CPU_EQUAL(&now, &set));
    CPU_ZERO(&set);  // an empty set is refused
    EXPECT_LT(rte_thread_set_affinity(&set), 0);
    EXPECT_EQ(rte_thread_set_affinity(nullptr), -EINVAL);
  }).join();
}

}  // namespace
