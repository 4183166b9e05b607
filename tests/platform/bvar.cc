// Metric variables: exact sums under concurrency, naming, the registry,
// windows and latency percentiles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bvar/bvar.h"

namespace {

std::string underscored(const std::string& s) {
  std::string out;
  bvar::to_underscored_name(&out, s);
  return out;
}

template <typename F>
void run_threads(int n, F f) {
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(f, i);
  for (auto& t : threads) t.join();
}

// Waits until the sampling thread has taken at least `ticks` more samples of
// every variable made before the call; false when that takes more than half
// a minute per sample. The sampler may run late on a loaded machine, so this
// watches it rather than the clock: a window resets the Maxer it samples, and
// the probe, scheduled last, is sampled after everything else in each round.
// Scheduling it waits for a round in progress, so the first reset seen
// belongs to a round that began after the call.
bool wait_ticks(int ticks) {
  bvar::Maxer<int> probe;
  bvar::Window<bvar::Maxer<int>> probe_window(&probe, 1);
  for (int i = 0; i < ticks; ++i) {
    probe << 1;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (probe.get_value() != 0) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

TEST(BvarReducer, ConcurrentAddersSumExactly) {
  bvar::Adder<int64_t> sum;
  bvar::Adder<uint64_t> gauge;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200000;
  run_threads(kThreads, [&](int i) {
    for (int k = 0; k < kPerThread; ++k) {
      sum << (i + 1);
      gauge << 1;
      gauge << static_cast<uint64_t>(-1);  // a gauge goes back down
    }
    gauge << 1;
  });
  EXPECT_EQ(sum.get_value(), int64_t{kPerThread} * (kThreads * (kThreads + 1) / 2));
  EXPECT_EQ(gauge.get_value(), uint64_t{kThreads});
  EXPECT_EQ(sum.reset(), int64_t{kPerThread} * 36);
  EXPECT_EQ(sum.get_value(), 0);
}

TEST(BvarReducer, MaxerAndIntRecorderAcrossThreads) {
  bvar::Maxer<int64_t> peak;
  bvar::IntRecorder rec;
  EXPECT_EQ(peak.get_value(), 0);
  EXPECT_EQ(rec.average(), 0);
  run_threads(8, [&](int i) {
    for (int k = 0; k < 10000; ++k) {
      peak << static_cast<int64_t>(i * 10000 + k);
      rec << (i % 2 == 0 ? 10 : 30);
    }
  });
  EXPECT_EQ(peak.get_value(), 79999);
  EXPECT_EQ(rec.get_value().num, 80000);
  EXPECT_EQ(rec.average(), 20);
  EXPECT_EQ(peak.reset(), 79999);
  EXPECT_EQ(peak.get_value(), 0);
  peak << -5;
  EXPECT_EQ(peak.get_value(), -5);
}

TEST(BvarNaming, UnderscoredNames) {
  EXPECT_EQ(underscored("pyxdriver worker0"), "pyxdriver_worker0");
  EXPECT_EQ(underscored("PYXDriverService"), "pyxdriver_service");
  EXPECT_EQ(underscored("CreateSnapshot"), "create_snapshot");
  EXPECT_EQ(underscored("tarn_disk_0000:01:00.0"), "tarn_disk_0000_01_00_0");
  EXPECT_EQ(underscored("a  b--c"), "a_b_c");

  bvar::Adder<uint64_t> iops, k4, lat;
  ASSERT_EQ(iops.expose_as("pyxdriver worker0", "_read_iops"), 0);
  EXPECT_EQ(iops.name(), "pyxdriver_worker0_read_iops");
  ASSERT_EQ(k4.expose_as("pyxdriver worker12", "_4K_write_sum"), 0);
  EXPECT_EQ(k4.name(), "pyxdriver_worker12_4_k_write_sum");
  ASSERT_EQ(lat.expose_as("tarn_", "loop_task_wait"), 0);
  EXPECT_EQ(lat.name(), "tarn_loop_task_wait");
  bvar::Adder<int> rpc("tarn_rpc_pyxdriver_server_PYXDriverService_CreateSnapshot");
  EXPECT_EQ(rpc.name(), "tarn_rpc_pyxdriver_server_pyxdriver_service_create_snapshot");
}

TEST(BvarRegistry, ExposeHideAndConflicts) {
  const size_t before = bvar::Variable::count_exposed();
  bvar::Adder<int> a, b;
  a << 7;
  ASSERT_EQ(a.expose("test_reg_a"), 0);
  EXPECT_EQ(bvar::Variable::describe_exposed("test_reg_a"), "7");
  EXPECT_EQ(b.expose("Test Reg A"), -1);  // same name after normalising
  EXPECT_TRUE(b.is_hidden());
  EXPECT_EQ(bvar::Variable::count_exposed(), before + 1);

  // Exposing again renames.
  ASSERT_EQ(a.expose("test_reg_a2"), 0);
  EXPECT_EQ(bvar::Variable::describe_exposed("test_reg_a"), "");
  EXPECT_EQ(bvar::Variable::describe_exposed("test_reg_a2"), "7");

  EXPECT_TRUE(a.hide());
  EXPECT_FALSE(a.hide());
  EXPECT_EQ(bvar::Variable::describe_exposed("test_reg_a2"), "");
  EXPECT_EQ(b.expose("test_reg_a2"), 0);
  EXPECT_EQ(a.expose(""), -1);
  {
    bvar::Adder<int> scoped("test_reg_scoped");
    EXPECT_EQ(bvar::Variable::describe_exposed("test_reg_scoped"), "0");
  }
  EXPECT_EQ(bvar::Variable::describe_exposed("test_reg_scoped"), "");

  std::vector<std::pair<std::string, std::string>> all;
  bvar::Variable::dump_exposed(&all);
  bool found = false;
  for (const auto& kv : all) found |= kv.first == "test_reg_a2" && kv.second == "0";
  EXPECT_TRUE(found);
  std::vector<std::string> names;
  bvar::Variable::list_exposed(&names);
  EXPECT_EQ(names.size(), bvar::Variable::count_exposed());
}

TEST(BvarPassiveStatus, ValueFromCallback) {
  std::atomic<int64_t> depth{3};
  bvar::PassiveStatus<int64_t> status("test_passive_depth",
                                      [&depth] { return depth.load(); });
  EXPECT_EQ(bvar::Variable::describe_exposed("test_passive_depth"), "3");
  depth = 11;
  EXPECT_EQ(status.get_value(), 11);
  EXPECT_EQ(bvar::Variable::describe_exposed("test_passive_depth"), "11");

  static int calls = 0;
  bvar::PassiveStatus<std::string> text(
      [](void* arg) { ++*static_cast<int*>(arg); return std::string("up"); }, &calls);
  ASSERT_EQ(text.expose("test_passive_text"), 0);
  EXPECT_EQ(bvar::Variable::describe_exposed("test_passive_text", true), "\"up\"");
  EXPECT_EQ(calls, 1);
}

TEST(BvarWindow, PerSecondAndWindowFollowTheSampler) {
  bvar::Adder<uint64_t> reads;
  bvar::PerSecond<bvar::Adder<uint64_t>> iops("test_window_iops", &reads, 1);
  bvar::IntRecorder util;
  bvar::Window<bvar::IntRecorder> util_1s(&util, 1);
  bvar::Maxer<int> peak;
  bvar::Window<bvar::Maxer<int>> peak_2s(&peak, 2);
  EXPECT_EQ(util_1s.window_size(), 1);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop.load()) {
      reads << 100;
      util << 40;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  peak << 9;
  const bool first_ticks = wait_ticks(2);
  peak << 4;
  const bool last_tick = wait_ticks(1);
  const uint64_t rate = iops.get_value();
  const int64_t avg = util_1s.get_value().get_average_int();
  const int max = peak_2s.get_value();
  stop = true;
  writer.join();
  ASSERT_TRUE(first_ticks && last_tick);
  // About 100 per 10 ms when idle; a loaded machine may write far fewer.
  EXPECT_GT(rate, 0u);
  EXPECT_LT(rate, 20000u);
  EXPECT_EQ(avg, 40);
  EXPECT_GE(max, 4);
  EXPECT_NE(bvar::Variable::describe_exposed("test_window_iops"), "");
}

TEST(BvarLatency, PercentilesOfAKnownDistribution) {
  bvar::LatencyRecorder rec;
  // 1..10000 microseconds, each once, from 8 threads.
  run_threads(8, [&](int i) {
    for (int v = 1 + i; v <= 10000; v += 8) rec << v;
  });
  EXPECT_EQ(rec.count(), 10000);
  EXPECT_NEAR(rec.latency(), 5000, 10);
  EXPECT_EQ(rec.max_latency(), 10000);
  const struct {
    double ratio;
    double expect;
  } cases[] = {{0.5, 5000}, {0.9, 9000}, {0.99, 9900}, {0.999, 9990}};
  for (const auto& c : cases) {
    const double got = static_cast<double>(rec.latency_percentile(c.ratio));
    EXPECT_NEAR(got, c.expect, c.expect * 0.08) << "ratio " << c.ratio;
  }
  EXPECT_EQ(rec.latency_percentile(0.0), 1);
  rec << 7;  // small values are exact
  EXPECT_GT(rec.qps(), 0);

  bvar::LatencyRecorder small;
  for (int i = 0; i < 100; ++i) small << (i < 50 ? 3 : 12);
  EXPECT_EQ(small.latency_percentile(0.5), 3);
  EXPECT_EQ(small.latency_percentile(0.51), 12);
  EXPECT_EQ(small.latency_percentile(0.5), 3);
}

TEST(BvarLatency, ExposesItsViewsAndMovesWithTheWindow) {
  bvar::LatencyRecorder rec(2);
  ASSERT_EQ(rec.expose_as("pyxdriver worker3", "_read_lat"), 0);
  for (int i = 0; i < 1000; ++i) rec << 100;
  const std::string base = "pyxdriver_worker3_read_lat";
  EXPECT_EQ(bvar::Variable::describe_exposed(base + "_count"), "1000");
  EXPECT_EQ(bvar::Variable::describe_exposed(base + "_latency"), "100");
  EXPECT_EQ(bvar::Variable::describe_exposed(base + "_max_latency"), "100");
  for (const char* s : {"_qps", "_latency_50", "_latency_90", "_latency_99", "_latency_999"}) {
    EXPECT_NE(bvar::Variable::describe_exposed(base + s), "") << s;
  }
  EXPECT_NEAR(rec.latency_percentile(0.99), 100, 8);

  // After the window has passed without records, only the count remains.
  ASSERT_TRUE(wait_ticks(3));
  EXPECT_EQ(rec.count(), 1000);
  EXPECT_EQ(rec.qps(), 0);
  EXPECT_EQ(rec.latency(), 0);
  EXPECT_EQ(rec.max_latency(), 0);
  EXPECT_EQ(rec.latency_percentile(0.5), 0);
  rec.hide();
  EXPECT_EQ(bvar::Variable::describe_exposed(base + "_count"), "");
}

// Variables come and go while the sampler and a reader run. The point is
// that nothing crashes or races (ASan/TSan), so a fixed number of rounds is
// run rather than as many as fit in some time.
TEST(BvarLifetime, CreateAndDestroyWhileSampledAndDumped) {
  std::atomic<bool> stop{false};
  std::atomic<int> dumps{0};
  std::thread reader([&] {
    std::vector<std::pair<std::string, std::string>> all;
    while (!stop.load()) {
      bvar::Variable::dump_exposed(&all);
      dumps.fetch_add(1);
      std::this_thread::yield();
    }
  });
  // Let at least one sample pass over live variables.
  const auto sampled_by = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
  int rounds = 0;
  while (rounds < 200 || std::chrono::steady_clock::now() < sampled_by) {
    auto adder = std::make_unique<bvar::Adder<int>>();
    auto rate = std::make_unique<bvar::PerSecond<bvar::Adder<int>>>(
        "test_life_rate_" + std::to_string(rounds % 4), adder.get(), 1);
    auto lat = std::make_unique<bvar::LatencyRecorder>("test_life_lat_" +
                                                       std::to_string(rounds % 4));
    *adder << 1;
    *lat << 5;
    rate.reset();
    lat.reset();
    ++rounds;
  }
  // A starved reader may not have dumped yet; give it time, not a deadline.
  const auto dumped_by = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (dumps.load() == 0 && std::chrono::steady_clock::now() < dumped_by) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  reader.join();
  EXPECT_GE(rounds, 200);
  EXPECT_GT(dumps.load(), 0);
  EXPECT_EQ(bvar::Variable::describe_exposed("test_life_rate_0"), "");
}

}  // namespace
