// The driver's pool of I/O timing records under many threads: host threads
// take records and give them back themselves or hand them to a loop thread
// that does, as send_pyx_io and the completion step do. A record is held by
// one thread at a time (each holder stamps it and finds its stamp intact
// when it lets go), a record taken is always {0, 0}, an empty pool lends
// from the heap, and once every record is home the pool is whole again.
#include "io/stats_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records handed from the host threads to the one thread that gives them
// back, as a driver's loop does at completion.
class GiveBackThread {
 public:
  GiveBackThread(pyx::StatsPool* pool, std::atomic<uint64_t>* mismatches)
      : pool_(pool), mismatches_(mismatches), thread_([this] { Run(); }) {}
  ~GiveBackThread() {
    {
      std::lock_guard<std::mutex> l(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  void Post(bdev_pyx_io_stats* s, uint64_t stamp) {
    {
      std::lock_guard<std::mutex> l(mu_);
      queue_.push_back({s, stamp});
    }
    cv_.notify_one();
  }

 private:
  struct Item {
    bdev_pyx_io_stats* stats;
    uint64_t stamp;
  };
  void Run() {
    for (;;) {
      std::unique_lock<std::mutex> l(mu_);
      cv_.wait(l, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      const Item item = queue_.front();
      queue_.pop_front();
      l.unlock();
      if (item.stats->start != item.stamp) ++*mismatches_;
      item.stats->retried = 0;
      pool_->Give(item.stats);
    }
  }

  pyx::StatsPool* const pool_;
  std::atomic<uint64_t>* const mismatches_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  bool stop_ = false;
  std::thread thread_;
};

TEST(StatsPool, EachRecordHasOneHolderAtATimeAndAllComeHome) {
  struct Case {
    const char* what;
    size_t records;
    int threads;
    int held;  // records each thread holds at once
    bool loop_gives;
  };
  const Case cases[] = {
      {"never empty", 256, 4, 8, false},
      {"empty often: the heap lends", 8, 6, 4, false},
      {"one record, many takers", 1, 4, 1, false},
      {"no records at all", 0, 3, 2, false},
      {"a loop thread gives back", 16, 4, 4, true},
  };
  constexpr int kRounds = 20000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    pyx::StatsPool pool(c.records);
    ASSERT_EQ(pool.free_count(), c.records);
    std::atomic<uint64_t> not_zeroed{0}, mismatches{0};
    {
      std::unique_ptr<GiveBackThread> loop;
      if (c.loop_gives) loop.reset(new GiveBackThread(&pool, &mismatches));
      std::atomic<bool> go{false};
      std::vector<std::thread> hosts;
      for (int t = 0; t < c.threads; ++t) {
        hosts.emplace_back([&, t] {
          while (!go.load()) std::this_thread::yield();
          std::vector<bdev_pyx_io_stats*> held(c.held);
          for (int r = 0; r < kRounds; ++r) {
            const uint64_t stamp = (uint64_t{static_cast<uint32_t>(t)} << 32) | r;
            for (int k = 0; k < c.held; ++k) {
              held[k] = pool.Take();
              if (held[k]->start != 0 || held[k]->retried != 0) ++not_zeroed;
              held[k]->start = stamp + k;
              held[k]->retried = 1;
            }
            if (r % 64 == 0) std::this_thread::yield();
            // Back in another order than taken, so the stack's links change.
            for (int k = c.held - 1; k >= 0; --k) {
              if (c.loop_gives && k % 2 == 0) {
                loop->Post(held[k], stamp + k);
                continue;
              }
              if (held[k]->start != stamp + k) ++mismatches;
              held[k]->retried = 0;
              pool.Give(held[k]);
            }
          }
        });
      }
      go.store(true);
      for (std::thread& h : hosts) h.join();
      if (loop) {
        loop.reset();  // gives back all it was handed before it ends
      }
    }
    EXPECT_EQ(not_zeroed.load(), 0u);
    EXPECT_EQ(mismatches.load(), 0u);
    EXPECT_EQ(pool.free_count(), c.records);
    // Whole again: every record can be taken once more, each a distinct one
    // of the pool's, and then the heap lends.
    std::vector<bdev_pyx_io_stats*> all;
    for (size_t i = 0; i <= c.records; ++i) all.push_back(pool.Take());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::unique(all.begin(), all.end()), all.end());
    EXPECT_EQ(pool.free_count(), 0u);
    for (bdev_pyx_io_stats* s : all) pool.Give(s);
    EXPECT_EQ(pool.free_count(), c.records);
  }
}

}  // namespace
