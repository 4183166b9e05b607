// Rings of the environment stand-in: exact capacity, all-or-nothing
// enqueue, bursts in ring order, and several producers against one consumer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "spdk/env.h"

namespace {

void* as_obj(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t as_num(void* p) { return reinterpret_cast<uintptr_t>(p); }

struct RingDeleter {
  void operator()(spdk_ring* r) const { spdk_ring_free(r); }
};
using RingPtr = std::unique_ptr<spdk_ring, RingDeleter>;

RingPtr make_ring(spdk_ring_type type, size_t count) {
  return RingPtr(spdk_ring_create(type, count, SPDK_ENV_SOCKET_ID_ANY));
}

TEST(SpdkRing, CreateRejectsZeroAndFreeTakesNull) {
  EXPECT_EQ(spdk_ring_create(SPDK_RING_TYPE_MP_SC, 0, SPDK_ENV_SOCKET_ID_ANY), nullptr);
  spdk_ring_free(nullptr);
}

class SpdkRingTypes : public ::testing::TestWithParam<spdk_ring_type> {};

// A capacity that is not a power of two holds exactly that many entries; a
// batch that does not fit takes nothing; the exactly-full batch fits.
TEST_P(SpdkRingTypes, CapacityEdgeIsExactAndAllOrNothing) {
  for (size_t cap : {size_t{1}, size_t{5}, size_t{8}, size_t{1000}}) {
    SCOPED_TRACE(cap);
    RingPtr ring = make_ring(GetParam(), cap);
    ASSERT_NE(ring, nullptr);
    std::vector<void*> in(cap + 1);
    for (size_t i = 0; i < in.size(); ++i) in[i] = as_obj(i + 1);

    size_t free_space = 12345;
    EXPECT_EQ(spdk_ring_enqueue(ring.get(), in.data(), cap + 1, &free_space), 0u);
    EXPECT_EQ(free_space, cap);
    EXPECT_EQ(spdk_ring_count(ring.get()), 0u);

    EXPECT_EQ(spdk_ring_enqueue(ring.get(), in.data(), cap, &free_space), cap);
    EXPECT_EQ(free_space, 0u);
    EXPECT_EQ(spdk_ring_count(ring.get()), cap);
    EXPECT_EQ(spdk_ring_enqueue(ring.get(), in.data() + cap, 1, nullptr), 0u);
    EXPECT_EQ(spdk_ring_count(ring.get()), cap);

    std::vector<void*> out(cap + 1);
    EXPECT_EQ(spdk_ring_dequeue(ring.get(), out.data(), cap + 1), cap);
    for (size_t i = 0; i < cap; ++i) EXPECT_EQ(out[i], in[i]);
    EXPECT_EQ(spdk_ring_count(ring.get()), 0u);
    EXPECT_EQ(spdk_ring_dequeue(ring.get(), out.data(), 1), 0u);
  }
}

TEST_P(SpdkRingTypes, PartialBatchAtTheEdgeTakesNothing) {
  RingPtr ring = make_ring(GetParam(), 5);
  void* objs[5] = {as_obj(1), as_obj(2), as_obj(3), as_obj(4), as_obj(5)};
  size_t free_space = 0;
  ASSERT_EQ(spdk_ring_enqueue(ring.get(), objs, 3, &free_space), 3u);
  EXPECT_EQ(free_space, 2u);
  EXPECT_EQ(spdk_ring_enqueue(ring.get(), objs, 3, &free_space), 0u);
  EXPECT_EQ(free_space, 2u);
  EXPECT_EQ(spdk_ring_count(ring.get()), 3u);
  EXPECT_EQ(spdk_ring_enqueue(ring.get(), objs + 3, 2, &free_space), 2u);
  EXPECT_EQ(free_space, 0u);

  void* out[5] = {};
  ASSERT_EQ(spdk_ring_dequeue(ring.get(), out, 5), 5u);
  const uintptr_t expect[5] = {1, 2, 3, 4, 5};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(as_num(out[i]), expect[i]);
}

// Bursts come out in ring order, across the wrap of the slot array many times.
TEST_P(SpdkRingTypes, BurstsKeepOrderAcrossWraps) {
  RingPtr ring = make_ring(GetParam(), 7);
  uintptr_t next_in = 1, next_out = 1;
  void* buf[7];
  for (int round = 0; round < 500; ++round) {
    const size_t put = 1 + round % 7;
    const size_t take = 1 + (round * 3) % 7;
    const size_t held = spdk_ring_count(ring.get());
    if (held + put <= 7) {
      for (size_t i = 0; i < put; ++i) buf[i] = as_obj(next_in + i);
      ASSERT_EQ(spdk_ring_enqueue(ring.get(), buf, put, nullptr), put);
      next_in += put;
    } else {
      ASSERT_EQ(spdk_ring_enqueue(ring.get(), buf, put, nullptr), 0u);
    }
    const size_t got = spdk_ring_dequeue(ring.get(), buf, take);
    ASSERT_EQ(got, std::min(take, spdk_ring_count(ring.get()) + got));
    for (size_t i = 0; i < got; ++i) ASSERT_EQ(as_num(buf[i]), next_out++);
  }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, SpdkRingTypes,
                         ::testing::Values(SPDK_RING_TYPE_SP_SC, SPDK_RING_TYPE_MP_SC,
                                           SPDK_RING_TYPE_MP_MC));

// Objects carry (producer << 32 | sequence), sequence from 1.
constexpr int kProducers = 4;
constexpr uint64_t kPerProducer = 50000;

void produce(spdk_ring* ring, uint64_t id, size_t batch) {
  std::vector<void*> objs(batch);
  uint64_t seq = 1;
  while (seq <= kPerProducer) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(batch, kPerProducer - seq + 1));
    for (size_t i = 0; i < n; ++i) objs[i] = as_obj((id << 32) | (seq + i));
    if (spdk_ring_enqueue(ring, objs.data(), n, nullptr) == n) {
      seq += n;
    } else {
      std::this_thread::yield();
    }
  }
}

// Each producer's objects arrive once each and in that producer's order.
void consume_and_check(spdk_ring* ring, std::vector<uint64_t>* last_seq,
                       const std::atomic<int>* done_producers) {
  uint64_t total = 0;
  void* burst[64];
  while (total < kProducers * kPerProducer) {
    const size_t n = spdk_ring_dequeue(ring, burst, 64);
    if (n == 0) {
      ASSERT_FALSE(done_producers->load() == kProducers && spdk_ring_count(ring) == 0 &&
                   spdk_ring_dequeue(ring, burst, 1) == 0)
          << "objects lost: " << total << " of " << kProducers * kPerProducer;
      std::this_thread::yield();
      continue;
    }
    for (size_t i = 0; i < n; ++i) {
      const uint64_t v = as_num(burst[i]);
      const uint64_t id = v >> 32, seq = v & 0xffffffffu;
      ASSERT_LT(id, static_cast<uint64_t>(kProducers));
      ASSERT_EQ(seq, (*last_seq)[id] + 1) << "producer " << id;
      (*last_seq)[id] = seq;
    }
    total += n;
  }
}

class SpdkRingMultiProducer : public ::testing::TestWithParam<size_t> {};

TEST_P(SpdkRingMultiProducer, NothingLostNothingTwicePerProducerOrder) {
  // A small ring keeps producers hitting the full edge and each other.
  RingPtr ring = make_ring(SPDK_RING_TYPE_MP_SC, 100);
  std::atomic<int> done{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      produce(ring.get(), static_cast<uint64_t>(p), GetParam());
      done.fetch_add(1);
    });
  }
  std::vector<uint64_t> last_seq(kProducers, 0);
  consume_and_check(ring.get(), &last_seq, &done);
  for (auto& t : producers) t.join();
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(last_seq[p], kPerProducer);
  EXPECT_EQ(spdk_ring_count(ring.get()), 0u);
}

INSTANTIATE_TEST_SUITE_P(BatchSizes, SpdkRingMultiProducer, ::testing::Values(1, 7));

TEST(SpdkRing, SingleProducerSingleConsumerAcrossThreads) {
  RingPtr ring = make_ring(SPDK_RING_TYPE_SP_SC, 64);
  constexpr uintptr_t kCount = 200000;
  std::thread producer([&] {
    for (uintptr_t i = 1; i <= kCount;) {
      void* obj = as_obj(i);
      if (spdk_ring_enqueue(ring.get(), &obj, 1, nullptr) == 1) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  uintptr_t expect = 1;
  void* burst[16];
  while (expect <= kCount) {
    const size_t n = spdk_ring_dequeue(ring.get(), burst, 16);
    if (n == 0) std::this_thread::yield();
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(as_num(burst[i]), expect++);
  }
  producer.join();
}

// Two consumers on a multi-consumer ring share the objects between them.
TEST(SpdkRing, MultiConsumerSharesEveryObjectOnce) {
  RingPtr ring = make_ring(SPDK_RING_TYPE_MP_MC, 32);
  constexpr uintptr_t kCount = 100000;
  std::vector<std::vector<uintptr_t>> seen(2);
  std::atomic<uintptr_t> taken{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&, c] {
      void* burst[8];
      while (taken.load() < kCount) {
        const size_t n = spdk_ring_dequeue(ring.get(), burst, 8);
        if (n == 0) std::this_thread::yield();
        for (size_t i = 0; i < n; ++i) seen[c].push_back(as_num(burst[i]));
        taken.fetch_add(n);
      }
    });
  }
  for (uintptr_t i = 1; i <= kCount;) {
    void* obj = as_obj(i);
    if (spdk_ring_enqueue(ring.get(), &obj, 1, nullptr) == 1) {
      ++i;
    } else {
      std::this_thread::yield();
    }
  }
  for (auto& t : threads) t.join();
  std::vector<bool> hit(kCount + 1, false);
  for (const auto& s : seen) {
    for (size_t i = 0; i < s.size(); ++i) {
      ASSERT_FALSE(hit[s[i]]) << s[i] << " twice";
      hit[s[i]] = true;
      if (i > 0) {
        ASSERT_LT(s[i - 1], s[i]);  // each consumer sees ring order
      }
    }
  }
  EXPECT_EQ(seen[0].size() + seen[1].size(), kCount);
}

}  // namespace
