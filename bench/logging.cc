// Logging throughput: formatting one line, the asynchronous writer with one
// and eight producers, and spdlog's asynchronous file logger on the same
// message for comparison.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "tarn/base/async_logging.h"
#include "tarn/base/logging.h"

#if __has_include(<spdlog/spdlog.h>)
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#define HAVE_SPDLOG 1
#endif

namespace {

std::string g_dir;

void nullOutput(const char*, int) {}

plinth::AsyncLogging* g_async = nullptr;
void asyncOutput(const char* msg, int len) { g_async->append(msg, len); }

void BM_FormatLine(benchmark::State& state) {
  plinth::Logger::setOutput(&nullOutput);
  int64_t i = 0;
  for (auto _ : state) {
    LOG_INFO << "benchmark line " << i++ << " of text " << 3.14;
  }
  state.SetItemsProcessed(state.iterations());
  plinth::Logger::setOutput(&plinth::defaultOutput);
}
BENCHMARK(BM_FormatLine);

void BM_AsyncWriter(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_async = new plinth::AsyncLogging(g_dir + "/plinth", 512 << 20, 1, false, false);
    g_async->start();
    plinth::Logger::setOutput(&asyncOutput);
  }
  int64_t i = 0;
  for (auto _ : state) {
    LOG_INFO << "benchmark line " << i++ << " of text " << 3.14;
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    plinth::Logger::setOutput(&nullOutput);
    g_async->stop();  // the writer's remaining work is part of the cost
    delete g_async;
    g_async = nullptr;
  }
}
BENCHMARK(BM_AsyncWriter)->Threads(1)->Threads(8)->UseRealTime();

#ifdef HAVE_SPDLOG
std::shared_ptr<spdlog::logger> g_spd;

void BM_SpdlogAsync(benchmark::State& state) {
  if (state.thread_index() == 0) {
    spdlog::init_thread_pool(8192, 1);
    g_spd = spdlog::basic_logger_mt<spdlog::async_factory>("bench", g_dir + "/spdlog.log", true);
    g_spd->set_pattern("%Y%m%d %H:%M:%S.%fZ %t %-5l %v - %s:%#");
  }
  int64_t i = 0;
  for (auto _ : state) {
    g_spd->info("benchmark line {} of text {}", i++, 3.14);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    g_spd->flush();
    spdlog::drop_all();
    g_spd.reset();
    spdlog::shutdown();
  }
}
BENCHMARK(BM_SpdlogAsync)->Threads(1)->Threads(8)->UseRealTime();
#endif

// Keeps each run's real time per item so the comparison can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it == run.counters.end() || it->second.value <= 0) continue;
      // Lines of all producer threads per second of real time.
      nsPerLine_[run.benchmark_name()] = 1e9 / it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    printf("\n%-40s %14s %14s\n", "benchmark", "ns/line", "lines/s");
    for (const auto& kv : nsPerLine_) {
      printf("%-40s %14.1f %14.0f\n", kv.first.c_str(), kv.second, 1e9 / kv.second);
    }
    for (const char* threads : {"1", "8"}) {
      std::string ours = std::string("BM_AsyncWriter/real_time/threads:") + threads;
      std::string theirs = std::string("BM_SpdlogAsync/real_time/threads:") + threads;
      if (nsPerLine_.count(ours) && nsPerLine_.count(theirs)) {
        printf("async writer vs spdlog, %s producer(s): %.2fx the spdlog throughput\n", threads,
               nsPerLine_[theirs] / nsPerLine_[ours]);
      }
    }
  }

 private:
  std::map<std::string, double> nsPerLine_;
};

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/plinth_bench_XXXXXX";
  char* dir = mkdtemp(tmpl);
  if (!dir) return 1;
  g_dir = dir;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::string cmd = "rm -rf '" + g_dir + "'";
  int rc = system(cmd.c_str());
  (void)rc;
  return 0;
}
